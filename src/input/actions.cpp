// Clicks, hovers and button presses.
#include "input/actions.hpp"

#include "input/keys.hpp"
#include "snapshot/read.hpp"

namespace kest {
namespace {

namespace p = platform;

constexpr auto BETWEEN_CLICKS = std::chrono::milliseconds(50);
// More clicks than any gesture needs; a larger count is refused rather than
// left to run for hours.
constexpr std::int64_t MOST_CLICKS = 100;

p::Point centreOf(const std::array<double, 4>& bounds) {
    return {bounds[0] + bounds[2] * 0.5, bounds[1] + bounds[3] * 0.5};
}

// Posts `count` down/up pairs at the point, the n-th pair with click state n,
// pausing between pairs. A pair whose events cannot both be made is skipped.
bool clickByEvents(p::Events& events, Pause& pause, p::Point point, bool right, std::int64_t count,
                   p::EventFlags flags) {
    const auto downType = right ? p::MouseEventType::rightDown : p::MouseEventType::leftDown;
    const auto upType = right ? p::MouseEventType::rightUp : p::MouseEventType::leftUp;
    const auto button = right ? p::MouseButton::right : p::MouseButton::left;
    for (std::int64_t i = 1; i <= count; ++i) {
        auto down = events.createMouseEvent(downType, point, button);
        auto up = events.createMouseEvent(upType, point, button);
        if (down && up) {
            down->clickState = up->clickState = i;
            down->flags = up->flags = flags;
            events.post(*down);
            events.post(*up);
        }
        if (i < count && !pause.sleepFor(BETWEEN_CLICKS)) return false;
    }
    return true;
}

struct Target {
    p::Point point;
    std::optional<p::Element> element;  // with a ref
    std::array<double, 4> bounds{};
    std::optional<RPCErrorData> unaimable;  // why events cannot be aimed at the element
};

Result<Target> target(p::Accessibility& accessibility, const std::optional<std::string>& ref,
                      std::optional<double> x, std::optional<double> y, const RefMap& refMap) {
    if (ref) {
        auto found = resolveRef(*ref, refMap);
        if (!found) return std::unexpected(found.error());
        Target t;
        t.element = *found;
        auto location = Actions::locate(accessibility, *ref, *t.element);
        t.bounds = location.bounds;
        t.unaimable = std::move(location.unaimable);
        t.point = centreOf(t.bounds);
        return t;
    }
    if (!x || !y) return fail(ErrorCode::kInvalidParams, "Either ref or x,y coordinates required");
    return Target{p::Point{*x, *y}, std::nullopt, {}, std::nullopt};
}

}  // namespace

// Events are not aimed at an element whose position or size cannot be read:
// its centre would read as the top-left corner of the screen, and events
// there hit whatever is there.
Actions::Location Actions::locate(p::Accessibility& accessibility, const std::string& ref, const p::Element& element,
                                  std::string_view what) {
    Location location;
    auto position = accessibility.attribute(element, p::AXAttribute::kPosition);
    auto size = accessibility.attribute(element, p::AXAttribute::kSize);
    const auto point = position ? position->asPoint() : std::nullopt;
    const auto extent = size ? size->asSize() : std::nullopt;
    if (point) location.bounds[0] = point->x, location.bounds[1] = point->y;
    if (extent) location.bounds[2] = extent->width, location.bounds[3] = extent->height;
    // An element of no area (GTK 4 reads one it has not laid out as 0 by 0 at
    // its box's corner) has no place to click either.
    if (point && extent && extent->width > 0 && extent->height > 0) return location;
    const bool gone = (!position && position.error() == p::StatusCode::kInvalidElement) ||
                      (!size && size.error() == p::StatusCode::kInvalidElement);
    location.unaimable =
        gone ? RPCErrorData{ErrorCode::kNotFound, std::string(what) + " not found: " + ref + ". Take a snapshot first.",
                            std::nullopt}
             : RPCErrorData{ErrorCode::kFailed, std::string(what) + " " + ref + " has no position on screen", std::nullopt};
    return location;
}

Result<p::Point> Actions::aimAt(p::Accessibility& accessibility, const std::string& ref, const p::Element& element,
                                std::string_view what) {
    auto location = locate(accessibility, ref, element, what);
    if (location.unaimable) return std::unexpected(std::move(*location.unaimable));
    return centreOf(location.bounds);
}

bool Actions::clickAt(p::Events& events, p::Point point) {
    auto down = events.createMouseEvent(p::MouseEventType::leftDown, point, p::MouseButton::left);
    auto up = events.createMouseEvent(p::MouseEventType::leftUp, point, p::MouseButton::left);
    if (!down || !up) return false;
    down->clickState = up->clickState = 1;
    events.post(*down);
    events.post(*up);
    return true;
}

Result<Json> Actions::click(p::Platform& platform, Pause& pause, const std::optional<std::string>& ref,
                            std::optional<double> x, std::optional<double> y, bool right, bool doubleClick,
                            std::int64_t count, const std::vector<std::string>& modifiers, const RefMap& refMap) {
    if (doubleClick) count = 2;
    count = std::max<std::int64_t>(count, 1);
    if (count > MOST_CLICKS) {
        return fail(ErrorCode::kInvalidParams, "count must be at most " + std::to_string(MOST_CLICKS));
    }
    auto& accessibility = platform.accessibility();
    auto aim = target(accessibility, ref, x, y, refMap);
    if (!aim) return std::unexpected(aim.error());

    bool finished = true;
    if (!aim->element || right || !modifiers.empty()) {
        if (aim->element) {
            if (aim->unaimable) return std::unexpected(*aim->unaimable);
        }
        finished = clickByEvents(platform.events(), pause, aim->point, right, count, buildModifierFlags(modifiers));
    } else {
        for (std::int64_t i = 1; i <= count && finished; ++i) {
            if (accessibility.performAction(*aim->element, p::AXAction::kPress) != p::StatusCode::kSuccess) {
                if (aim->unaimable) return std::unexpected(*aim->unaimable);
                clickByEvents(platform.events(), pause, aim->point, false, 1, 0);
            }
            if (count != 1) finished = pause.sleepFor(BETWEEN_CLICKS);
        }
    }
    if (!finished) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
    if (!aim->element) return Json{{"ok", true}};
    return Json{{"ok", true}, {"ref", *ref}, {"bounds", aim->bounds}};
}

Result<Json> Actions::hover(p::Platform& platform, const std::optional<std::string>& ref, std::optional<double> x,
                            std::optional<double> y, const RefMap& refMap) {
    auto aim = target(platform.accessibility(), ref, x, y, refMap);
    if (!aim) return std::unexpected(aim.error());
    if (aim->unaimable) return std::unexpected(*aim->unaimable);
    auto moved = platform.events().createMouseEvent(p::MouseEventType::moved, aim->point, p::MouseButton::left);
    if (!moved) return fail(ErrorCode::kFailed, "Failed to create mouse move event");
    platform.events().post(*moved);
    if (!aim->element) return Json{{"ok", true}};
    return Json{{"ok", true}, {"ref", *ref}, {"bounds", aim->bounds}};
}

Result<Json> Actions::mouseButton(p::Events& events, const std::string& action, const std::string& button) {
    const p::Point at = events.pointerLocation().value_or(p::Point{0, 0});
    const bool down = action == "down";
    p::MouseEventType type;
    p::MouseButton which;
    if (button == "right") {
        type = down ? p::MouseEventType::rightDown : p::MouseEventType::rightUp;
        which = p::MouseButton::right;
    } else if (button == "middle") {
        type = down ? p::MouseEventType::otherDown : p::MouseEventType::otherUp;
        which = p::MouseButton::center;
    } else {
        type = down ? p::MouseEventType::leftDown : p::MouseEventType::leftUp;
        which = p::MouseButton::left;
    }
    auto event = events.createMouseEvent(type, at, which);
    if (!event) return fail(ErrorCode::kFailed, "Failed to create mouse event");
    events.post(*event);
    return Json{{"ok", true}, {"button", button}, {"action", action}};
}

}  // namespace kest
