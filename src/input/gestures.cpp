// Drag, scroll and the human-like methods, and their registration.
#include "input/gestures.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "common/text.hpp"
#include "input/actions.hpp"
#include "input/keyboard.hpp"
#include "rpc/dispatcher.hpp"
#include "snapshot/read.hpp"

namespace kest {
namespace {

namespace p = platform;

constexpr auto DRAG_SETTLE = std::chrono::milliseconds(50);
constexpr auto SCROLL_MOVE_SETTLE = std::chrono::milliseconds(50);
constexpr auto SMOOTH_STEP_PAUSE = std::chrono::milliseconds(20);
constexpr std::int64_t SMOOTH_MOST_STEPS = 20;
constexpr double MOVE_STEP_SECONDS = 0.01;
constexpr std::int64_t MOVE_LEAST_STEPS = 10;
// Beyond this a jitter means nothing more: the target is kept inside the
// element anyway, and the arithmetic stays finite.
constexpr double LARGEST_JITTER = 1e6;

std::int32_t clampToInt32(std::int64_t value) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                                              std::numeric_limits<std::int32_t>::max()));
}

std::int64_t saturatingTimesTen(std::int64_t value) {
    constexpr std::int64_t LIMIT = std::numeric_limits<std::int64_t>::max() / 10;
    return std::clamp(value, -LIMIT, LIMIT) * 10;
}

Json pointJson(p::Point point) { return {{"x", point.x}, {"y", point.y}}; }

void postMouse(p::Events& events, p::MouseEventType type, p::Point at) {
    if (auto event = events.createMouseEvent(type, at, p::MouseButton::left)) events.post(*event);
}

// The centre of the ref's element (`what` names it in errors), else the
// coordinates, else the missing-position error.
Result<p::Point> resolvePoint(p::Accessibility& accessibility, const GesturePoint& point, const RefMap& refMap,
                              std::string_view what, const std::string& missing) {
    if (point.ref) {
        auto found = refMap.find(*point.ref);
        if (found == refMap.end()) {
            return fail(ErrorCode::kNotFound, std::string(what) + " not found: " + *point.ref + ". Take a snapshot first.");
        }
        return Actions::aimAt(accessibility, *point.ref, found->second, what);
    }
    if (!point.x || !point.y) return fail(ErrorCode::kInvalidParams, missing);
    return p::Point{*point.x, *point.y};
}

}  // namespace

Result<Json> Drag::drag(p::Platform& platform, Pause& pause, const GesturePoint& from, const GesturePoint& to,
                        double duration, std::int64_t steps, const RefMap& refMap) {
    auto start = resolvePoint(platform.accessibility(), from, refMap, "From element",
                              "Missing from position: provide from_ref or from_x/from_y");
    if (!start) return std::unexpected(start.error());
    auto end = resolvePoint(platform.accessibility(), to, refMap, "To element",
                            "Missing to position: provide to_ref or to_x/to_y");
    if (!end) return std::unexpected(end.error());

    auto& events = platform.events();
    const std::int64_t n = steps >= 3 ? std::min(steps, MOST_STEPS) : 2;
    const auto stepPause = Pause::seconds(duration / static_cast<double>(n));
    bool going = true;
    postMouse(events, p::MouseEventType::moved, *start);
    going = pause.sleepFor(DRAG_SETTLE);
    if (going) {
        postMouse(events, p::MouseEventType::leftDown, *start);
        going = pause.sleepFor(DRAG_SETTLE);
        for (std::int64_t i = 1; i <= n && going; ++i) {
            const double t = static_cast<double>(i) / static_cast<double>(n);
            postMouse(events, p::MouseEventType::leftDragged,
                      {start->x + (end->x - start->x) * t, start->y + (end->y - start->y) * t});
            going = pause.sleepFor(stepPause);
        }
        // Released even when cut short, so that no button stays held.
        postMouse(events, p::MouseEventType::leftUp, *end);
    }
    if (!going) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
    return Json{{"ok", true}, {"from", pointJson(*start)}, {"to", pointJson(*end)}};
}

Result<Json> Scroll::scroll(p::Platform& platform, Pause& pause, const std::string& direction, std::int64_t amount,
                            const std::optional<std::string>& on, std::optional<std::int64_t> pixels, bool smooth,
                            const RefMap& refMap) {
    auto& events = platform.events();
    if (on) {
        auto element = resolveRef(*on, refMap);
        if (!element) return std::unexpected(element.error());
        auto centre = Actions::aimAt(platform.accessibility(), *on, *element);
        if (!centre) return std::unexpected(centre.error());
        if (auto moved = events.createMouseEvent(p::MouseEventType::moved, *centre, p::MouseButton::left)) {
            events.post(*moved);
            if (!pause.sleepFor(SCROLL_MOVE_SETTLE)) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
        }
    }
    // Vertical positive is up, horizontal positive is left.
    auto wheels = [&](std::int64_t magnitude) -> std::pair<std::int32_t, std::int32_t> {
        if (direction == "up") return {clampToInt32(magnitude), 0};
        if (direction == "down") return {clampToInt32(-magnitude), 0};
        if (direction == "left") return {0, clampToInt32(magnitude)};
        if (direction == "right") return {0, clampToInt32(-magnitude)};
        return {0, 0};
    };
    auto post = [&](p::ScrollUnit unit, std::int64_t magnitude) {
        const auto [vertical, horizontal] = wheels(magnitude);
        if (auto event = events.createScrollEvent(unit, vertical, horizontal)) events.post(*event);
    };

    if (!smooth) {
        post(pixels ? p::ScrollUnit::pixel : p::ScrollUnit::line, pixels ? *pixels : amount);
    } else {
        const std::int64_t total = pixels ? *pixels : saturatingTimesTen(amount);
        const std::int64_t stepCount = std::min(total, SMOOTH_MOST_STEPS);
        const std::int64_t perStep = stepCount > 0 ? std::max<std::int64_t>(total / stepCount, 1) : 0;
        for (std::int64_t i = 0; i < stepCount; ++i) {
            post(p::ScrollUnit::pixel, perStep);
            if (!pause.sleepFor(SMOOTH_STEP_PAUSE)) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
        }
    }
    return Json{{"ok", true}, {"direction", direction}, {"amount", amount}};
}

Result<Json> HumanLike::humanClick(p::Platform& platform, Pause& pause, Randomness& random, const std::string& ref,
                                   const p::Element& element, double jitter) {
    const auto location = Actions::locate(platform.accessibility(), ref, element);
    if (location.unaimable) return std::unexpected(*location.unaimable);
    const auto& bounds = location.bounds;
    const double spread = std::isfinite(jitter) ? std::min(std::abs(jitter), LARGEST_JITTER) : 0.0;
    const double dx = random.uniform(-spread, spread);
    const double dy = random.uniform(-spread, spread);
    const double left = bounds[0], top = bounds[1], width = bounds[2], height = bounds[3];
    // The lower bound wins for an element narrower than 4 points.
    const p::Point at{std::max(left + 2, std::min(left + width - 2, left + width * 0.5 + dx)),
                      std::max(top + 2, std::min(top + height - 2, top + height * 0.5 + dy))};

    if (!pause.sleepSeconds(random.uniform(0.02, 0.08))) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
    auto& events = platform.events();
    auto down = events.createMouseEvent(p::MouseEventType::leftDown, at, p::MouseButton::left);
    auto up = events.createMouseEvent(p::MouseEventType::leftUp, at, p::MouseButton::left);
    bool finished = true;
    if (down && up) {
        events.post(*down);
        finished = pause.sleepSeconds(random.uniform(0.05, 0.12));
        events.post(*up);  // released even when cut short
    }
    if (!finished) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
    return Json{{"ok", true}, {"ref", ref}, {"human", true}};
}

Result<Json> HumanLike::humanType(p::Events& events, Pause& pause, Randomness& random, const std::string& text,
                                  std::int64_t baseDelayMs) {
    const double base = baseDelayMs > 0 ? static_cast<double>(baseDelayMs) : 50.0;
    const auto characters = graphemeClusters(text);
    for (const std::string& character : characters) {
        double factor;
        if (character.size() == 1 && std::string_view(".!?,;:").find(character[0]) != std::string_view::npos) {
            factor = random.uniform(1.5, 3.0);
        } else if (character == " ") {
            factor = random.uniform(0.6, 1.0);
        } else {
            factor = random.uniform(0.7, 1.4);
        }
        Keyboard::typeCharacter(events, character);
        if (!pause.sleepSeconds(factor * base / 1000)) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
    }
    return Json{{"ok", true}, {"length", characters.size()}, {"human", true}};
}

Result<Json> HumanLike::curvedMouseMove(p::Events& events, Pause& pause, Randomness& random, p::Point to,
                                        double duration) {
    const p::Point from = events.pointerLocation().value_or(p::Point{0, 0});
    const double seconds = std::isfinite(duration) && duration > 0 ? duration : 0.0;
    const double wanted = std::floor(seconds / MOVE_STEP_SECONDS);
    const std::int64_t steps =
        wanted >= static_cast<double>(MOST_MOVE_STEPS) ? MOST_MOVE_STEPS
                                                        : std::max(static_cast<std::int64_t>(wanted), MOVE_LEAST_STEPS);

    const double dx = to.x - from.x, dy = to.y - from.y;
    const double distance = std::hypot(dx, dy);
    p::Point control{(from.x + to.x) / 2, (from.y + to.y) / 2};
    if (distance > 0 && std::isfinite(distance)) {
        const double offset = random.uniform(0.1, 0.4) * distance;
        const double side = random.sign();
        control.x -= dy / distance * offset * side;
        control.y += dx / distance * offset * side;
    }
    const double stepSeconds = seconds / static_cast<double>(steps);
    for (std::int64_t i = 0; i <= steps; ++i) {
        const double t = static_cast<double>(i) / static_cast<double>(steps);
        const double a = (1 - t) * (1 - t), b = 2 * (1 - t) * t, c = t * t;
        postMouse(events, p::MouseEventType::moved,
                  {a * from.x + b * control.x + c * to.x, a * from.y + b * control.y + c * to.y});
        if (!pause.sleepSeconds(stepSeconds * (1 + 0.5 * std::sin(t * std::numbers::pi)))) {
            return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
        }
    }
    return Json{{"ok", true}};
}

void Dispatcher::registerDragMethods() {
    handlers["drag"] = [this](const RPCRequest& request) {
        const GesturePoint from{request.paramString("from_ref"), request.paramDouble("from_x"), request.paramDouble("from_y")};
        const GesturePoint to{request.paramString("to_ref"), request.paramDouble("to_x"), request.paramDouble("to_y")};
        const RefMap refMap = lastRefMap;  // the drag pauses; a snapshot may replace the map meanwhile
        return respond(request.id, Drag::drag(platform, pause, from, to, request.paramDouble("duration").value_or(0.5),
                                              request.paramInt("steps").value_or(20), refMap));
    };
}

void Dispatcher::registerScrollMethods() {
    handlers["scroll"] = [this](const RPCRequest& request) {
        auto direction = request.paramString("direction");
        if (!direction) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing direction parameter");
        const RefMap refMap = lastRefMap;
        return respond(request.id, Scroll::scroll(platform, pause, *direction, request.paramInt("amount").value_or(3),
                                                  request.paramString("on"), request.paramInt("pixels"),
                                                  request.paramBool("smooth").value_or(false), refMap));
    };
}

// Human-like input without random draws would be the same motion every time.
constexpr const char* NO_RANDOMNESS = "The system's random source failed; nothing was sent";

void Dispatcher::registerHumanLikeMethods() {
    handlers["human_click"] = [this](const RPCRequest& request) {
        auto ref = request.paramString("ref");
        if (!ref) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing ref parameter");
        auto element = resolveRef(*ref, lastRefMap);
        if (!element) return respond(request.id, std::unexpected(element.error()));
        if (!randomness->available()) return RPCResponse::failure(request.id, ErrorCode::kFailed, NO_RANDOMNESS);
        const auto previous = activateGrabbedApp(std::nullopt);
        auto outcome = HumanLike::humanClick(platform, pause, *randomness, *ref, *element,
                                             request.paramDouble("jitter").value_or(3.0));
        restoreApp(previous);
        return respond(request.id, std::move(outcome));
    };
    handlers["human_type"] = [this](const RPCRequest& request) {
        auto text = request.paramString("text");
        if (!text) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing text parameter");
        if (!randomness->available()) return RPCResponse::failure(request.id, ErrorCode::kFailed, NO_RANDOMNESS);
        return respond(request.id, HumanLike::humanType(platform.events(), pause, *randomness, *text,
                                                        request.paramMilliseconds("delay").value_or(50)));
    };
    handlers["human_move"] = [this](const RPCRequest& request) {
        auto x = request.paramDouble("x");
        auto y = request.paramDouble("y");
        if (!x || !y) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing x or y coordinate");
        if (!randomness->available()) return RPCResponse::failure(request.id, ErrorCode::kFailed, NO_RANDOMNESS);
        return respond(request.id, HumanLike::curvedMouseMove(platform.events(), pause, *randomness, {*x, *y},
                                                              request.paramDouble("duration").value_or(0.5)));
    };
}

}  // namespace kest
