// Screens over XRandR: the monitors' frames in root coordinates, the work
// area, the scale factor, and their conversion to the engine's screen records
// (bottom-left origin).
//
// Ownership: borrows the connection. Threading: the connection's thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/geometry.hpp"
#include "platform/linux/x11_windows.hpp"
#include "platform/screens.hpp"

namespace kest::platform::linux_desktop {

struct Monitor {
    std::uint32_t id = 0;  // the monitor's name atom: stable while it is attached
    std::string name;
    bool primary = false;
    RootRect bounds;
};

// Root coordinates to the engine's screen coordinates, whose origin is the
// bottom-left corner of the primary monitor: x - primary.x, and y flipped
// against the primary's bottom edge. A monitor left of the primary gets a
// negative x, one above it a y beyond the primary's height.
Rect toBottomLeft(const RootRect& rect, const RootRect& primary);
// The way back, to root coordinates (where windows are placed).
Rect toRootCoordinates(const Rect& rect, const RootRect& primary);
// The primary monitor, else the first; `monitors` must not be empty.
const Monitor& primaryOf(const std::vector<Monitor>& monitors);
// Screen records for monitors in their order: frames and visible frames (work
// area ∩ monitor, the whole monitor where they do not meet) in screen
// coordinates.
std::vector<Screen> toScreens(const std::vector<Monitor>& monitors, const std::optional<RootRect>& workArea,
                              double scale);
std::optional<RootRect> intersect(const RootRect& a, const RootRect& b);
// The scale from an X resource database text ("Xft.dpi: 144" → 1.5); 1 when unset.
double scaleFromResources(const std::string& resources);

class XRandrMonitors {
public:
    explicit XRandrMonitors(X11Connection& connection) : x_(connection) {}

    // Active monitors in XRandR's order; the whole screen as one monitor when
    // the server lists none.
    std::vector<Monitor> monitors();
    // The current desktop's _NET_WORKAREA; nothing without a window manager.
    std::optional<RootRect> workArea();
    double scaleFactor();

    // Screens in the monitors' order, frames and visible frames (work area ∩
    // monitor) in bottom-left coordinates of the main screen (primary, else
    // first).
    std::vector<Screen> screens();
    std::optional<Screen> mainScreen();
    // Screen coordinates to root coordinates, against the current primary.
    Rect toRootCoordinates(const Rect& rect);

private:
    X11Connection& x_;
};

}  // namespace kest::platform::linux_desktop
