// Mouse actions: clicks on an element or at a point, pointer moves, and bare
// button presses and releases.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/pause.hpp"
#include "platform/platform.hpp"
#include "rpc/protocol.hpp"
#include "rpc/result.hpp"
#include "snapshot/snapshot_builder.hpp"

namespace kest {

// Stateless; every wait goes through the pause.
class Actions {
public:
    // Clicks the element of `ref` (looked up exactly; it wins over x and y) or
    // the point (x, y). On an element, a plain left click performs AXPress,
    // falling back to a left down and up at its centre when the press is
    // refused; a right click or one with modifiers is always posted as events
    // at the centre. "double" makes two clicks; a count below 1 makes one, one above 100 is
    // refused (-32602).
    // Events are never aimed at an element whose position or size cannot be
    // read: -32001 when it has gone, else -32600. {"ok", "ref", "bounds"} on
    // an element, {"ok"} at a point.
    static Result<Json> click(platform::Platform& platform, Pause& pause, const std::optional<std::string>& ref,
                              std::optional<double> x, std::optional<double> y, bool right, bool doubleClick,
                              std::int64_t count, const std::vector<std::string>& modifiers, const RefMap& refMap);

    // Moves the pointer to the element's centre (refused, as for click, when
    // its position cannot be read) or to (x, y).
    static Result<Json> hover(platform::Platform& platform, const std::optional<std::string>& ref,
                              std::optional<double> x, std::optional<double> y, const RefMap& refMap);

    // One press ("down") or release (any other action) of "left", "right" or
    // "middle" (any other name is left) at the pointer, without moving it.
    static Result<Json> mouseButton(platform::Events& events, const std::string& action, const std::string& button);

    // Where the element is: [x, y, width, height] from AXPosition and AXSize
    // (an unreadable attribute leaves its two numbers 0), each read once, and
    // why events cannot be aimed at it when one is unreadable or its size is
    // empty: -32001
    // "<what> not found: <ref>. Take a snapshot first." when it has gone,
    // -32600 "<what> <ref> has no position on screen" otherwise.
    struct Location {
        std::array<double, 4> bounds{0, 0, 0, 0};
        std::optional<RPCErrorData> unaimable;
    };
    static Location locate(platform::Accessibility& accessibility, const std::string& ref,
                           const platform::Element& element, std::string_view what = "Element");
    // The element's centre, or the reason of locate.
    static Result<platform::Point> aimAt(platform::Accessibility& accessibility, const std::string& ref,
                                         const platform::Element& element, std::string_view what = "Element");
    // One left down and up at the point: the press of an element that refuses
    // AXPress. False when the events cannot be made.
    static bool clickAt(platform::Events& events, platform::Point point);
};

}  // namespace kest
