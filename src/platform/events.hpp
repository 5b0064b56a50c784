// Synthetic input: mouse, keyboard and scroll events, built, then posted as
// from the hardware; and the pointer's location.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "platform/geometry.hpp"

namespace kest::platform {

// Mouse event types, by the numbers the engine uses.
enum class MouseEventType : std::uint32_t {
    leftDown = 1,
    leftUp = 2,
    rightDown = 3,
    rightUp = 4,
    moved = 5,
    leftDragged = 6,
    otherDown = 25,
    otherUp = 26,
};

enum class MouseButton : std::uint32_t { left = 0, right = 1, center = 2 };

// Scroll units: pixels, or lines (a backend turns lines into wheel clicks).
enum class ScrollUnit : std::uint32_t { pixel = 0, line = 1 };

// 16-bit virtual key codes, as in the keyboard's key table (0 is "a", 36 is
// Return, 126 is Up...). Backends translate them to their own key symbols.
using KeyCode = std::uint16_t;

// Modifier masks; an event carries exactly the OR of the masks set on it.
using EventFlags = std::uint64_t;
namespace EventFlag {
inline constexpr EventFlags kShift = 0x20000;
inline constexpr EventFlags kControl = 0x40000;
inline constexpr EventFlags kOption = 0x80000;
inline constexpr EventFlags kCommand = 0x100000;
inline constexpr EventFlags kFunction = 0x800000;
}  // namespace EventFlag

// Events are plain values: the logic creates one through the service (which may
// refuse), sets the optional fields, and posts it.
struct MouseEvent {
    MouseEventType type = MouseEventType::moved;
    Point location;  // global display points, top-left origin
    MouseButton button = MouseButton::left;
    std::int64_t clickState = 0;  // the n-th click of a multi-click; 0 = not set
    EventFlags flags = 0;
    bool operator==(const MouseEvent&) const = default;
};

struct KeyEvent {
    KeyCode keyCode = 0;
    bool keyDown = true;
    // The characters this event types instead of its key's own, as UTF-8;
    // empty when none was set.
    std::string text;
    EventFlags flags = 0;
    bool operator==(const KeyEvent&) const = default;
};

// Two wheels: vertical (positive is up) and horizontal (positive is left).
struct ScrollEvent {
    ScrollUnit unit = ScrollUnit::line;
    std::int32_t vertical = 0;
    std::int32_t horizontal = 0;
    EventFlags flags = 0;
    bool operator==(const ScrollEvent&) const = default;
};

using Event = std::variant<MouseEvent, KeyEvent, ScrollEvent>;

// Threading: request thread only, under the dispatch lock.
class Events {
public:
    virtual ~Events() = default;

    // Each creation answers nothing when the event cannot be made; the caller
    // then skips it or reports the failure, as its operation says.
    virtual std::optional<MouseEvent> createMouseEvent(MouseEventType type, Point location,
                                                       MouseButton button) = 0;
    virtual std::optional<KeyEvent> createKeyEvent(KeyCode keyCode, bool keyDown) = 0;
    virtual std::optional<ScrollEvent> createScrollEvent(ScrollUnit unit, std::int32_t vertical,
                                                         std::int32_t horizontal) = 0;

    // Delivers the event as from the hardware; events arrive in posting order.
    // Delivery failures are not reported: the logic has nothing to do with them.
    virtual void post(const Event& event) = 0;
    // Delivers the events as post() would one after the other. A backend may
    // deliver them together: typed characters that need a key bound to them
    // are then bound at once.
    virtual void postAll(std::span<const Event> events) {
        for (const auto& event : events) post(event);
    }

    // Asks the application with the input focus to answer once it has read
    // every event posted so far, and answers the ask's number; nothing when
    // the backend cannot ask (the caller then waits a fixed time instead).
    virtual std::optional<std::uint64_t> askWhenRead() { return std::nullopt; }
    // Whether that answer has come; looks, never waits.
    virtual bool answered(std::uint64_t ask) {
        (void)ask;
        return true;
    }

    // The pointer's position in global display points, or nothing when it
    // cannot be read (callers use (0, 0) then).
    virtual std::optional<Point> pointerLocation() = 0;
};

}  // namespace kest::platform
