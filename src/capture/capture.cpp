// Screenshots through the platform's capture service, and display records.
#include "capture/capture.hpp"

#include <cmath>
#include <ctime>

namespace kest {
namespace p = platform;
namespace {

bool isJpeg(std::string_view format) { return format == "jpeg"; }

// The directory part of a path; empty for a bare file name.
std::string parentOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return {};
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::int64_t truncated(double value) { return static_cast<std::int64_t>(std::trunc(value)); }

}  // namespace

std::string Capture::generateFilename(std::string_view dir, std::string_view format) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    const std::size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%d-%H%M%S", &local);
    return std::string(dir) + "/kest-" + std::string(stamp, length) + (isJpeg(format) ? ".jpg" : ".png");
}

std::optional<p::WindowNumber> Capture::resolveWindowID(p::Platform& platform, WindowManager& windowManager,
                                                        std::string_view ref) {
    if (auto number = windowManager.getWindowID(ref)) return number;
    windowManager.listWindows(platform);
    return windowManager.getWindowID(ref);
}

Result<Json> Capture::screenshot(p::Platform& platform, WindowManager& windowManager,
                                 const std::optional<std::string>& ref, bool fullScreen, const std::string& format,
                                 const std::optional<std::string>& path) {
    auto& service = platform.capture();
    p::CaptureRequest request;
    request.path = path ? *path : generateFilename(DEFAULT_SCREENSHOT_DIR, format);
    request.format = isJpeg(format) ? p::ImageFormat::jpeg : p::ImageFormat::png;
    if (path) {
        // A directory that cannot be made shows up as the capture's own failure.
        if (const auto parent = parentOf(request.path); !parent.empty()) service.createDirectories(parent);
    } else {
        // The default directory is shared ground (/tmp): anyone could have made
        // it first to read what is written there.
        const std::string dir(DEFAULT_SCREENSHOT_DIR);
        if (auto refused = service.makePrivateDirectory(dir)) {
            return fail(ErrorCode::kFailed, "Screenshot directory " + dir + " is not safe to write to: " + *refused);
        }
        request.ownerOnly = true;
    }

    if (ref && !fullScreen) {
        request.window = resolveWindowID(platform, windowManager, *ref);
        if (!request.window) return fail(ErrorCode::kWindowNotFound, "Window not found: " + *ref);
    }

    auto exit = service.capture(request);
    if (!exit) return fail(ErrorCode::kFailed, "Failed to run screencapture: " + exit.error());
    if (exit->status != 0) {
        return fail(ErrorCode::kCaptureFailed,
                    "screencapture failed (exit " + std::to_string(exit->status) + "): " + exit->errorText);
    }
    if (!service.fileExists(request.path)) {
        return fail(ErrorCode::kFailed, "Screenshot file was not created at " + request.path);
    }
    const auto size = service.imagePixelSize(request.path).value_or(p::PixelSize{});
    return Json{{"ok", true}, {"path", request.path}, {"width", size.width}, {"height", size.height}};
}

Json Capture::listDisplays(p::Screens& screens) {
    const auto all = screens.screens();
    const auto main = screens.mainScreen();
    Json records = Json::array();
    for (std::size_t i = 0; i < all.size(); ++i) {
        const auto& screen = all[i];
        records.push_back({{"id", static_cast<std::int64_t>(i)},
                           {"width", truncated(screen.frame.width)},
                           {"height", truncated(screen.frame.height)},
                           {"x", truncated(screen.frame.x)},
                           {"y", truncated(screen.frame.y)},
                           {"is_main", main && *main == screen},
                           {"scale_factor", screen.scaleFactor}});
    }
    return records;
}

}  // namespace kest
