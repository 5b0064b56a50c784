// Turn-taking and interruptible pauses for the daemon's requests.
#include "rpc/request_gate.hpp"

namespace kest {

void RequestGate::take() {
    turn_.lock();
    holder_.store(std::this_thread::get_id());
}

void RequestGate::release() {
    holder_.store(std::thread::id());
    turn_.unlock();
}

bool RequestGate::sleepFor(Clock::duration duration) {
    const bool holding = holder_.load() == std::this_thread::get_id();
    if (holding) release();
    {
        std::unique_lock lock(stopMutex_);
        stopSignal_.wait_for(lock, duration, [this] { return stopping_.load(); });
    }
    if (holding) take();
    return !stopping_.load();
}

void RequestGate::stop() {
    {
        std::lock_guard lock(stopMutex_);
        stopping_.store(true);
    }
    stopSignal_.notify_all();
}

}  // namespace kest
