// Screenshots of the whole screen or of one window, and the displays.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "desktop/window_manager.hpp"
#include "platform/platform.hpp"
#include "rpc/protocol.hpp"
#include "rpc/result.hpp"

namespace kest {

// Where screenshots go when the request names no path.
inline constexpr std::string_view DEFAULT_SCREENSHOT_DIR = "/tmp/kest";

// Stateless: every operation works on what it is handed.
class Capture {
public:
    // Captures the window a ref names (unless `fullScreen`, or no ref) or the
    // whole screen into `path`, else into a fresh default name. Answers
    // {"ok", "path", "width", "height"}, the size read back from the file (0
    // when unreadable); -32005 when the ref has no window even after one
    // enumeration (nothing is captured then), -32002 when the capture failed,
    // -32600 when it could not start or left no file.
    static Result<Json> screenshot(platform::Platform& platform, WindowManager& windowManager,
                                   const std::optional<std::string>& ref, bool fullScreen,
                                   const std::string& format, const std::optional<std::string>& path);

    // One record per screen, in the platform's order: {"id", "width",
    // "height", "x", "y", "is_main", "scale_factor"}, the frame in bottom-left
    // coordinates, truncated toward zero.
    static Json listDisplays(platform::Screens& screens);

    // dir + "/kest-" + local "yyyy-MM-dd-HHmmss" + ".jpg" for "jpeg", else ".png".
    static std::string generateFilename(std::string_view dir, std::string_view format);

    // The ref's window number; with none, one unfiltered enumeration and a
    // second look.
    static std::optional<platform::WindowNumber> resolveWindowID(platform::Platform& platform,
                                                                 WindowManager& windowManager, std::string_view ref);
};

}  // namespace kest
