// Drives a real Dispatcher over a fake desktop with JSON requests, so that
// tests read as tables of requests, responses and recorded desktop activity.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "rpc/dispatcher.hpp"
#include "support/fake_desktop.hpp"

namespace kest::fake {

// A clock that moves only when paused: a pause returns at once, adds its
// length to the clock and records {"pause": seconds} on the desktop's
// timeline, so waits and their timeouts run instantly and in a known order.
class VirtualPause final : public Pause {
public:
    explicit VirtualPause(FakeDesktop& desktop) : desktop_(desktop) {}
    using Pause::sleepFor;
    bool sleepFor(Clock::duration duration) override;
    Clock::time_point now() const override { return now_; }
    // Pauses answer false from now on, as when the program stops.
    bool stopping = false;
    // Runs at every pause, before the clock moves: what other requests (or the
    // desktop) do meanwhile.
    std::function<void()> onPause;

private:
    FakeDesktop& desktop_;
    Clock::time_point now_{};
};

class DispatcherHarness {
public:
    // A scene the fake desktop refuses fails the current test and leaves an
    // empty desktop.
    explicit DispatcherHarness(const Json& scene = Json::object());

    FakeDesktop& desktop() { return *desktop_; }
    VirtualPause& clock() { return *clock_; }
    Dispatcher& dispatcher() { return *dispatcher_; }

    // Sends {"jsonrpc": "2.0", "id": n, "method": method, "params": params}
    // through the request decoder and the dispatcher and answers the response
    // as the client would read it (a parse of its wire text).
    Json call(std::string_view method, const Json& params = Json::object());
    // The response's "result"; a failed call fails the current test and
    // answers null.
    Json result(std::string_view method, const Json& params = Json::object());
    // The response's "error" ({"code", "message"}); null when the call succeeded.
    Json error(std::string_view method, const Json& params = Json::object());
    // One raw request line.
    Json callLine(std::string_view line);

private:
    std::unique_ptr<FakeDesktop> desktop_;
    std::unique_ptr<VirtualPause> clock_;
    std::unique_ptr<Dispatcher> dispatcher_;
    std::int64_t nextId_ = 1;
};

}  // namespace kest::fake
