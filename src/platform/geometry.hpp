// Plain geometry values shared by every platform service.
#pragma once

namespace kest::platform {

// Which origin a point or rectangle uses is stated where it is handed over:
// element geometry, window bounds and event positions use global display
// points with the origin at the top-left of the main display; screen frames and
// the overlay use the desktop's bottom-left origin, y upwards.
struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

struct Size {
    double width = 0;
    double height = 0;
    bool operator==(const Size&) const = default;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    bool operator==(const Rect&) const = default;
};

}  // namespace kest::platform
