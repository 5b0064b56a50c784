// The request helper over the fake desktop.
#include "support/dispatcher_harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace kest::fake {

DispatcherHarness::DispatcherHarness(const Json& scene) {
    auto built = FakeDesktop::fromScene(scene);
    if (built) {
        desktop_ = std::move(*built);
    } else {
        ADD_FAILURE() << "bad scene: " << built.error();
        desktop_ = std::make_unique<FakeDesktop>();
    }
    clock_ = std::make_unique<VirtualPause>(*desktop_);
    dispatcher_ = std::make_unique<Dispatcher>(*desktop_, clock_.get());
}

bool VirtualPause::sleepFor(Clock::duration duration) {
    if (stopping) return false;
    if (onPause) onPause();
    desktop_.timeline.push_back({{"pause", std::chrono::duration<double>(duration).count()}});
    // Saturating: a test may pause for the longest time many times over.
    const auto room = Clock::time_point::max() - now_;
    if (duration > Clock::duration::zero()) now_ += std::min(duration, room);
    return !stopping;
}

Json DispatcherHarness::call(std::string_view method, const Json& params) {
    Json request = {{"jsonrpc", "2.0"}, {"id", nextId_++}, {"method", method}, {"params", params}};
    return callLine(request.dump());
}

Json DispatcherHarness::callLine(std::string_view line) {
    auto request = parseRPCRequestFromLine(line);
    RPCResponse response = request ? dispatcher_->dispatch(*request) : parseErrorResponse();
    auto text = response.toJSON();
    if (!text) {
        ADD_FAILURE() << "the response to " << line << " cannot be written as JSON";
        return nullptr;
    }
    return Json::parse(*text);
}

Json DispatcherHarness::result(std::string_view method, const Json& params) {
    Json response = call(method, params);
    if (!response.contains("result")) {
        ADD_FAILURE() << method << " " << params.dump() << " failed: " << response.dump();
        return nullptr;
    }
    return response["result"];
}

Json DispatcherHarness::error(std::string_view method, const Json& params) {
    Json response = call(method, params);
    return response.contains("error") ? response["error"] : Json(nullptr);
}

}  // namespace kest::fake
