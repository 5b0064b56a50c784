// Pauses: the one way a request waits, whether for a fixed time or between
// the polls of a wait.
//
// Why one facility: in the daemon, requests of all connections take turns on
// the desktop, and a request that slept while holding its turn would hold up
// every other client (a ten-minute wait would block even "shutdown"). A pause
// gives the turn away while it lasts, so anything read from the desktop or from
// the dispatcher's state before a pause may have changed after it: callers keep
// copies of what they need (refs, elements), never iterators into shared state.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>

namespace kest {

class Pause {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~Pause() = default;

    // Waits for the duration on the calling thread. False when the program is
    // stopping: the pause ended early (or did not start), and the caller should
    // finish at once without further waits.
    virtual bool sleepFor(Clock::duration duration) = 0;

    // The clock pauses run on; deadlines are taken from it.
    virtual Clock::time_point now() const { return Clock::now(); }

    // now() plus the duration, held at the clock's end rather than wrapping
    // (a clock that has run far, or a caller's longest wait, stays ordered).
    Clock::time_point deadlineAfter(Clock::duration duration) const {
        const Clock::time_point start = now();
        if (duration <= Clock::duration::zero()) return start;
        if (duration >= Clock::time_point::max() - start) return Clock::time_point::max();
        return start + duration;
    }

    template <class Rep, class Period>
    bool sleepFor(std::chrono::duration<Rep, Period> duration) {
        return sleepFor(std::chrono::duration_cast<Clock::duration>(duration));
    }

    // The longest pause or deadline: far beyond any real wait, and far from
    // overflowing the clock's arithmetic (about 30 years).
    static constexpr std::int64_t LONGEST_MS = 1'000'000'000'000;

    // A caller's count of milliseconds as a pause length, held within
    // LONGEST_MS (negative stays negative, which pauses not at all).
    static Clock::duration milliseconds(std::int64_t ms) {
        return std::chrono::milliseconds(std::clamp(ms, -LONGEST_MS, LONGEST_MS));
    }
    // Seconds as a pause length: not a number or not above 0 is no pause,
    // beyond LONGEST_MS the longest.
    static Clock::duration seconds(double value) {
        if (!(value > 0)) return Clock::duration::zero();
        if (value >= static_cast<double>(LONGEST_MS) / 1000) return std::chrono::milliseconds(LONGEST_MS);
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
    }
    bool sleepSeconds(double value) { return sleepFor(seconds(value)); }
};

// A plain sleep on the calling thread: for runs that serve one request and so
// have no turn to give away (one-shot and standard-input modes).
class ThreadPause final : public Pause {
public:
    using Pause::sleepFor;
    bool sleepFor(Clock::duration duration) override {
        // The one request of the run is the only one: there is no turn to
        // hand on, so the pause is the thread's own sleep.
        if (duration > Clock::duration::zero()) std::this_thread::sleep_for(duration);
        return true;
    }
};

// The message a request answers when a pause was cut short by the program
// stopping.
inline constexpr const char* STOPPING_MESSAGE = "Interrupted: kest-core is shutting down";

}  // namespace kest
