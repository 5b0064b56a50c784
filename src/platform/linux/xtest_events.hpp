// The Events service over XTest: engine mouse, key and scroll events posted
// as from the hardware, and the pointer location.
//
// Ownership: owns its own X connection, opened on first use. Threading: the
// request thread only (the dispatch lock serialises callers).
#pragma once

#include <memory>

#include "platform/events.hpp"
#include "platform/linux/xtest_input.hpp"

namespace kest::platform::linux_desktop {

class XTestEvents final : public Events {
public:
    std::optional<MouseEvent> createMouseEvent(MouseEventType type, Point location, MouseButton button) override;
    std::optional<KeyEvent> createKeyEvent(KeyCode keyCode, bool keyDown) override;
    std::optional<ScrollEvent> createScrollEvent(ScrollUnit unit, std::int32_t vertical,
                                                 std::int32_t horizontal) override;
    // A key event carrying text types that text on key-down; its key-up
    // posts nothing (the characters were already pressed and released).
    void post(const Event& event) override;
    // The texts of consecutive text-carrying key events are typed as one:
    // their characters' bindings then cost one keymap change, not one each.
    void postAll(std::span<const Event> events) override;
    // By a ping to the focused window's client (clients that do not take
    // pings cannot be asked).
    std::optional<std::uint64_t> askWhenRead() override;
    bool answered(std::uint64_t ask) override;
    std::optional<Point> pointerLocation() override;

private:
    XTestInput* input();

    std::unique_ptr<X11Connection> connection_;
    std::unique_ptr<XTestInput> input_;
};

}  // namespace kest::platform::linux_desktop
