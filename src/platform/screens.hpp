// Screens: the displays' frames, visible frames and scale factors.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/geometry.hpp"

namespace kest::platform {

// Frames are in the desktop's bottom-left coordinates (points, y upwards, the
// origin at the bottom-left of the primary display), as display records and
// window presets expect; window bounds elsewhere use a top-left origin.
struct Screen {
    std::uint32_t id = 0;    // stable while the screen is attached; tells the main screen apart
    Rect frame;
    Rect visibleFrame;       // the frame less docks, panels and menu bars
    double scaleFactor = 1;  // device pixels per point
    bool operator==(const Screen&) const = default;
};

// Threading: request thread and main thread (the overlay reads the main
// screen's height); answers are values.
class Screens {
public:
    virtual ~Screens() = default;
    // In the platform's order; the first is not necessarily the main screen.
    virtual std::vector<Screen> screens() = 0;
    // The screen holding the focused window (else the primary); none when no
    // screen is attached.
    virtual std::optional<Screen> mainScreen() = 0;

    // A rectangle of screen coordinates in the top-left coordinates windows
    // are placed in. The two share the primary display's corner, so y is
    // flipped against the primary's height (the screen whose frame starts at
    // the origin), whichever screen the rectangle lies on. Backends whose
    // window coordinates start elsewhere translate as well.
    virtual Rect toWindowCoordinates(const Rect& rect) {
        const auto all = screens();
        double flipHeight = 0;
        for (const auto& screen : all) {
            if (screen.frame.x == 0 && screen.frame.y == 0) {
                flipHeight = screen.frame.height;
                break;
            }
        }
        if (flipHeight == 0 && !all.empty()) flipHeight = all.front().frame.height;
        return Rect{rect.x, flipHeight - rect.y - rect.height, rect.width, rect.height};
    }
};

}  // namespace kest::platform
