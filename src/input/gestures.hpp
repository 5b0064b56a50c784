// Gestures: dragging between two points or elements, scrolling, and
// human-like clicks, typing and pointer movement.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/pause.hpp"
#include "common/randomness.hpp"
#include "platform/platform.hpp"
#include "rpc/protocol.hpp"
#include "rpc/result.hpp"
#include "snapshot/snapshot_builder.hpp"

namespace kest {

// A point or the ref of an element whose centre is meant.
struct GesturePoint {
    std::optional<std::string> ref;
    std::optional<double> x;
    std::optional<double> y;
};

// Stateless; events go through the platform, waits through the pause.
class Drag {
public:
    // The most steps a drag takes: more would only flood the event queue.
    static constexpr std::int64_t MOST_STEPS = 10'000;

    // A left-button drag from `from` to `to` (the start resolved and checked
    // before the end; a ref wins over coordinates): a move to the start, a
    // press, n dragged events at i/n of the way (n = steps when 3 or more,
    // else 2; at most MOST_STEPS), each followed by duration / n, and the
    // release at the end. {"ok", "from": {x, y}, "to": {x, y}}.
    static Result<Json> drag(platform::Platform& platform, Pause& pause, const GesturePoint& from,
                             const GesturePoint& to, double duration, std::int64_t steps, const RefMap& refMap);
};

class Scroll {
public:
    // "up", "down", "left" or "right" (exactly; any other direction scrolls
    // nothing but still posts). One line event of `amount`, or one pixel
    // event of `pixels` when given; smooth: min(total, 20) pixel events of
    // total / steps each (total = pixels, else amount × 10), 0.02 s apart; a
    // total of 0 or less posts none. Magnitudes are held to a signed 32-bit
    // range. With `on`, the pointer moves to that element's centre first.
    // {"ok", "direction", "amount"}.
    static Result<Json> scroll(platform::Platform& platform, Pause& pause, const std::string& direction,
                               std::int64_t amount, const std::optional<std::string>& on,
                               std::optional<std::int64_t> pixels, bool smooth, const RefMap& refMap);
};

class HumanLike {
public:
    // The most events a curved move posts: more would only flood the queue.
    static constexpr std::int64_t MOST_MOVE_STEPS = 10'000;

    // A press and release near the element's centre: jittered by up to
    // `jitter` points each way (a non-finite jitter counts as 0, a negative one
    // as its size) and kept 2 points inside its edges, with short random pauses
    // before and between. Fails as Actions::aimAt when the element cannot be
    // aimed at.
    static Result<Json> humanClick(platform::Platform& platform, Pause& pause, Randomness& random,
                                   const std::string& ref, const platform::Element& element, double jitter);
    // Types each character as typeText does, then pauses the base delay (50 ms
    // when not above 0) times a random factor: longer after punctuation,
    // shorter after a space. {"ok", "length", "human": true}.
    static Result<Json> humanType(platform::Events& events, Pause& pause, Randomness& random, const std::string& text,
                                  std::int64_t baseDelayMs);
    // Moves the pointer from where it is to `to` along a quadratic curve bowed
    // to a random side, slowing in the middle: about 1.33 to 1.42 × duration.
    // A non-finite or negative duration counts as 0; to the pointer's own
    // position the path is a straight (empty) one.
    static Result<Json> curvedMouseMove(platform::Events& events, Pause& pause, Randomness& random,
                                        platform::Point to, double duration);
};

}  // namespace kest
