// The daemon's turn-taking: one request at a time on the desktop, with pauses
// that give the turn away.
//
// Threading: any thread may run a request through the gate; the request's
// handler may pause from that same thread. stop() may be called from any
// thread (not from a signal handler: it notifies a condition variable).
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "common/pause.hpp"

namespace kest {

class RequestGate final : public Pause {
public:
    // Runs `work` holding the turn; pauses inside it hand the turn to other
    // requests until they end.
    template <class Work>
    decltype(auto) serve(Work&& work) {
        Turn turn(*this);
        return std::forward<Work>(work)();
    }

    using Pause::sleepFor;
    // On the thread holding the turn: gives it away for the pause and takes it
    // back after. Elsewhere: a plain wait. Either way it ends early, answering
    // false, once stop() was called.
    bool sleepFor(Clock::duration duration) override;

    // Ends every pause now and every later one at once.
    void stop();
    bool stopping() const { return stopping_.load(); }

private:
    class Turn {
    public:
        explicit Turn(RequestGate& gate) : gate_(gate) { gate_.take(); }
        ~Turn() { gate_.release(); }
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;

    private:
        RequestGate& gate_;
    };

    void take();
    void release();

    std::mutex turn_;
    std::atomic<std::thread::id> holder_{};
    std::mutex stopMutex_;
    std::condition_variable stopSignal_;
    std::atomic<bool> stopping_{false};
};

}  // namespace kest
