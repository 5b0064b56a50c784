// Engine events → XTest.
#include "platform/linux/xtest_events.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace kest::platform::linux_desktop {
namespace {

unsigned int xButton(MouseEventType type, MouseButton button) {
    switch (type) {
        case MouseEventType::leftDown:
        case MouseEventType::leftUp:
            return 1;
        case MouseEventType::rightDown:
        case MouseEventType::rightUp:
            return 3;
        default:
            return button == MouseButton::right ? 3 : button == MouseButton::center ? 2 : 1;
    }
}

// A coordinate as a whole pixel; one far outside any screen (or not a number)
// stays far outside it, for the input to bring to the edge, without an
// overflow on the way.
int pixel(double coordinate) {
    if (std::isnan(coordinate)) return 0;
    return static_cast<int>(std::lround(std::clamp(coordinate, -1e6, 1e6)));
}

}  // namespace

XTestInput* XTestEvents::input() {
    if (!input_) {
        if (!connection_) connection_ = X11Connection::open();
        if (connection_) input_ = XTestInput::create(*connection_);
    }
    return input_.get();
}

std::optional<MouseEvent> XTestEvents::createMouseEvent(MouseEventType type, Point location, MouseButton button) {
    if (!input()) return std::nullopt;
    MouseEvent event;
    event.type = type;
    event.location = location;
    event.button = button;
    return event;
}

std::optional<KeyEvent> XTestEvents::createKeyEvent(KeyCode keyCode, bool keyDown) {
    if (!input()) return std::nullopt;
    KeyEvent event;
    event.keyCode = keyCode;
    event.keyDown = keyDown;
    return event;
}

std::optional<ScrollEvent> XTestEvents::createScrollEvent(ScrollUnit unit, std::int32_t vertical,
                                                          std::int32_t horizontal) {
    if (!input()) return std::nullopt;
    ScrollEvent event;
    event.unit = unit;
    event.vertical = vertical;
    event.horizontal = horizontal;
    return event;
}

void XTestEvents::post(const Event& event) {
    XTestInput* in = input();
    if (!in) return;
    std::visit(
        [&](const auto& e) {
            using T = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<T, MouseEvent>) {
                const int x = pixel(e.location.x);
                const int y = pixel(e.location.y);
                // A press or release where the pointer already is moves
                // nothing: X would report a motion to the same point.
                const bool moves = e.type == MouseEventType::moved || e.type == MouseEventType::leftDragged;
                const auto at = moves ? std::nullopt : in->pointerLocation();
                if (!at || *at != std::pair{x, y}) in->moveTo(x, y);
                switch (e.type) {
                    case MouseEventType::leftDown:
                    case MouseEventType::rightDown:
                    case MouseEventType::otherDown:
                        in->button(xButton(e.type, e.button), true, e.flags);
                        break;
                    case MouseEventType::leftUp:
                    case MouseEventType::rightUp:
                    case MouseEventType::otherUp:
                        in->button(xButton(e.type, e.button), false, e.flags);
                        break;
                    case MouseEventType::moved:
                    case MouseEventType::leftDragged:
                        break;
                }
            } else if constexpr (std::is_same_v<T, KeyEvent>) {
                if (!e.text.empty()) {
                    if (e.keyDown) in->typeText(e.text);
                } else {
                    in->key(e.keyCode, e.keyDown, e.flags);
                }
            } else {
                in->scroll(e.unit == ScrollUnit::line ? ScrollUnits::line : ScrollUnits::pixel, e.vertical,
                           e.horizontal, e.flags);
            }
        },
        event);
}

void XTestEvents::postAll(std::span<const Event> events) {
    std::string text;
    auto typePending = [&] {
        if (text.empty()) return;
        if (XTestInput* in = input()) in->typeText(text);
        text.clear();
    };
    for (const Event& event : events) {
        const auto* key = std::get_if<KeyEvent>(&event);
        if (key && !key->text.empty()) {
            if (key->keyDown) text += key->text;
            continue;
        }
        typePending();
        post(event);
    }
    typePending();
}

std::optional<std::uint64_t> XTestEvents::askWhenRead() {
    XTestInput* in = input();
    if (!in) return std::nullopt;
    auto ping = in->sendPing();
    if (!ping) return std::nullopt;
    return static_cast<std::uint64_t>(*ping);
}

bool XTestEvents::answered(std::uint64_t ask) {
    XTestInput* in = input();
    return !in || in->pingAnswered(static_cast<long>(ask));
}

std::optional<Point> XTestEvents::pointerLocation() {
    XTestInput* in = input();
    if (!in) return std::nullopt;
    auto location = in->pointerLocation();
    if (!location) return std::nullopt;
    return Point{static_cast<double>(location->first), static_cast<double>(location->second)};
}

}  // namespace kest::platform::linux_desktop
