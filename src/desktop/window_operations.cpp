// The operations that change a window: minimize, maximize, fullscreen, close,
// raise, move, resize, set bounds and the screen presets.
#include <algorithm>

#include "desktop/window_manager.hpp"

namespace kest {
namespace {

namespace p = platform;
namespace attrs = platform::AXAttribute;

Result<p::Element> windowFor(const WindowManager& manager, p::Platform& platform, const std::string& ref) {
    auto window = manager.getAXWindow(platform, ref);
    if (!window) return fail(ErrorCode::kWindowNotFound, "Window not found: " + ref);
    return window;
}

Json okFor(const std::string& ref) { return {{"ok", true}, {"ref", ref}}; }

// Presses the window's button held in `attribute`, when it has one.
void pressButton(p::Accessibility& access, const p::Element& window, std::string_view attribute) {
    auto button = access.attribute(window, attribute);
    if (!button) return;
    if (auto element = button->asElement()) access.performAction(element, p::AXAction::kPress);
}

struct Rectangle {
    double x, y, width, height;
};

}  // namespace

Result<Json> WindowManager::minimize(p::Platform& platform, const std::string& ref) {
    auto window = windowFor(*this, platform, ref);
    if (!window) return std::unexpected(window.error());
    platform.accessibility().setAttribute(*window, attrs::kMinimized, p::Value::boolean(true));
    return okFor(ref);
}

Result<Json> WindowManager::maximize(p::Platform& platform, const std::string& ref) {
    auto window = windowFor(*this, platform, ref);
    if (!window) return std::unexpected(window.error());
    pressButton(platform.accessibility(), *window, attrs::kZoomButton);
    return okFor(ref);
}

Result<Json> WindowManager::fullscreen(p::Platform& platform, const std::string& ref) {
    auto window = windowFor(*this, platform, ref);
    if (!window) return std::unexpected(window.error());
    auto& access = platform.accessibility();
    auto current = access.attribute(*window, attrs::kFullScreen);
    const bool now = current && current->asBool().value_or(false);
    access.setAttribute(*window, attrs::kFullScreen, p::Value::boolean(!now));
    auto result = okFor(ref);
    result["fullscreen"] = !now;
    return result;
}

Result<Json> WindowManager::close(p::Platform& platform, const std::string& ref) {
    auto window = windowFor(*this, platform, ref);
    if (!window) return std::unexpected(window.error());
    pressButton(platform.accessibility(), *window, attrs::kCloseButton);
    return okFor(ref);
}

Result<Json> WindowManager::raise(p::Platform& platform, const std::string& ref) {
    auto window = windowFor(*this, platform, ref);
    if (!window) return std::unexpected(window.error());
    auto& access = platform.accessibility();
    if (auto minimized = access.attribute(*window, attrs::kMinimized); minimized && minimized->asBool() == true) {
        access.setAttribute(*window, attrs::kMinimized, p::Value::boolean(false));
    }
    access.performAction(*window, p::AXAction::kRaise);
    if (auto pid = getPID(ref)) {
        auto running = platform.workspace().runningApplications();
        auto owner = std::ranges::find_if(running, [&](const auto& app) { return app.pid == *pid; });
        // The raised window itself: the application's front-most window as
        // the stacking order tells it may still be the one it was before.
        if (owner != running.end()) {
            if (auto number = getWindowID(ref)) {
                platform.workspace().activateWindow(owner->pid, *number, p::ActivationOption::kIgnoringOtherApps);
            } else {
                platform.workspace().activate(owner->pid, p::ActivationOption::kIgnoringOtherApps);
            }
        }
    }
    return okFor(ref);
}

Result<Json> WindowManager::move(p::Platform& platform, const std::string& ref, double x, double y) {
    auto window = windowFor(*this, platform, ref);
    if (!window) return std::unexpected(window.error());
    auto& access = platform.accessibility();
    auto value = access.createPointValue({x, y});
    if (!value) return fail(ErrorCode::kFailed, "Failed to create position value");
    access.setAttribute(*window, attrs::kPosition, *value);
    auto result = okFor(ref);
    result["position"] = Json::array({x, y});
    return result;
}

Result<Json> WindowManager::resize(p::Platform& platform, const std::string& ref, double width, double height) {
    auto window = windowFor(*this, platform, ref);
    if (!window) return std::unexpected(window.error());
    auto& access = platform.accessibility();
    auto value = access.createSizeValue({width, height});
    if (!value) return fail(ErrorCode::kFailed, "Failed to create size value");
    access.setAttribute(*window, attrs::kSize, *value);
    auto result = okFor(ref);
    result["size"] = Json::array({width, height});
    return result;
}

Result<Json> WindowManager::setBounds(p::Platform& platform, const std::string& ref, double x, double y,
                                      double width, double height) {
    auto window = windowFor(*this, platform, ref);
    if (!window) return std::unexpected(window.error());
    auto& access = platform.accessibility();
    if (auto position = access.createPointValue({x, y})) access.setAttribute(*window, attrs::kPosition, *position);
    if (auto size = access.createSizeValue({width, height})) access.setAttribute(*window, attrs::kSize, *size);
    auto result = okFor(ref);
    result["bounds"] = Json::array({x, y, width, height});
    return result;
}

Result<Json> WindowManager::applyPreset(p::Platform& platform, const std::string& ref, const std::string& preset) {
    auto screen = platform.screens().mainScreen();
    if (!screen) return fail(ErrorCode::kFailed, "No main screen found");
    // Screen frames grow upwards from the bottom-left of the primary display;
    // windows are placed from the top-left. The flip is against the primary's
    // height, not the main screen's own, so that a main screen on another
    // monitor of another height keeps its presets on itself.
    const auto v = platform.screens().toWindowCoordinates(screen->visibleFrame);
    const double top = v.y;

    std::optional<Rectangle> target;
    if (preset == "left-half") {
        target = Rectangle{v.x, top, v.width * 0.5, v.height};
    } else if (preset == "right-half") {
        target = Rectangle{v.x + v.width * 0.5, top, v.width * 0.5, v.height};
    } else if (preset == "top-half") {
        target = Rectangle{v.x, top, v.width, v.height * 0.5};
    } else if (preset == "bottom-half") {
        target = Rectangle{v.x, top + v.height * 0.5, v.width, v.height * 0.5};
    } else if (preset == "center") {
        target = Rectangle{v.x + (v.width - v.width * 0.6) * 0.5, top + (v.height - v.height * 0.6) * 0.5,
                           v.width * 0.6, v.height * 0.6};
    } else if (preset == "fill") {
        target = Rectangle{v.x, top, v.width, v.height};
    }
    if (!target) {
        return fail(ErrorCode::kInvalidParams,
                    "Unknown preset: " + preset + ". Use: left-half, right-half, top-half, bottom-half, center, fill");
    }
    return setBounds(platform, ref, target->x, target->y, target->width, target->height);
}

}  // namespace kest
