// The window server: the list of top-level windows with their owners and
// bounds, window stacking, and the screen-capture permission.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kest::platform {

using WindowNumber = std::uint32_t;

// Window-list options, ORed. The engine asks with 17 (on-screen only, no
// desktop elements) relative to no window, and with 8 (just one window).
using WindowListOptions = std::uint32_t;
namespace WindowListOption {
inline constexpr WindowListOptions kAll = 0;
inline constexpr WindowListOptions kOnScreenOnly = 1;
inline constexpr WindowListOptions kOnScreenAboveWindow = 2;
inline constexpr WindowListOptions kOnScreenBelowWindow = 4;
inline constexpr WindowListOptions kIncludingWindow = 8;
inline constexpr WindowListOptions kExcludeDesktopElements = 16;
}  // namespace WindowListOption

inline constexpr WindowNumber NULL_WINDOW = 0;

// kCGWindowBounds: "X", "Y", "Width", "Height". Each may be missing; callers
// apply their own defaults.
struct WindowBounds {
    std::optional<double> x;
    std::optional<double> y;
    std::optional<double> width;
    std::optional<double> height;
    bool operator==(const WindowBounds&) const = default;
};

// One window-list record. Every key may be missing and the logic tells a
// missing key from a present one, so each is optional. Bounds are the outer
// frame in global display points, top-left origin.
struct WindowRecord {
    std::optional<std::int64_t> number;      // kCGWindowNumber
    std::optional<std::string> ownerName;    // kCGWindowOwnerName
    std::optional<std::int64_t> ownerPID;    // kCGWindowOwnerPID
    std::optional<std::string> name;         // kCGWindowName
    std::optional<WindowBounds> bounds;      // kCGWindowBounds
    std::optional<std::int64_t> layer;       // kCGWindowLayer: 0 for normal windows
    std::optional<bool> isOnscreen;          // kCGWindowIsOnscreen
    bool operator==(const WindowRecord&) const = default;
};

// Threading: request thread, and the main thread for the overlay's tracking
// (listing with option 8 and 17, ordering). Backends keep the two apart (each
// thread its own connection) or serialise them.
class WindowServer {
public:
    virtual ~WindowServer() = default;

    // Records front-most first; nothing when no list can be had (callers then
    // keep what they knew before).
    virtual std::optional<std::vector<WindowRecord>> windowList(WindowListOptions options,
                                                                WindowNumber relativeTo) = 0;

    // Places `window` directly above `target` in the stacking order; false when
    // either is unknown.
    virtual bool orderWindowAbove(WindowNumber window, WindowNumber target) = 0;

    // May this process capture the screen? Never prompts.
    virtual bool preflightScreenCaptureAccess() = 0;
};

}  // namespace kest::platform
