// The method table and request dispatch.
#include "rpc/dispatcher.hpp"

namespace kest {
namespace {

Pause& plainSleep() {
    static ThreadPause pause;
    return pause;
}

Randomness& systemRandomness() {
    static SystemRandomness randomness;
    return randomness;
}

}  // namespace

Dispatcher::Dispatcher(platform::Platform& platform_, Pause* pause_)
    : platform(platform_),
      pause(pause_ ? *pause_ : plainSleep()),
      randomness(&systemRandomness()),
      startTime(std::chrono::steady_clock::now()) {
    registerBuiltinMethods();
    registerAppMethods();
    registerWindowMethods();
    registerSnapshotMethods();
    registerActionMethods();
    registerKeyboardMethods();
    registerClipboardMethods();
    registerCaptureMethods();
    registerScrollMethods();
    registerFocusMethods();
    registerFindMethods();
    registerReadMethods();
    registerWaitMethods();
    registerMenuMethods();
    registerDialogMethods();
    registerDragMethods();
    registerBatchMethods();
    registerDiffMethods();
    registerHumanLikeMethods();
}

Dispatcher::~Dispatcher() = default;

void Dispatcher::showHalo(const std::string&) {}

void Dispatcher::hideHalo() {}

void Dispatcher::showRipple(platform::Point) {}

RPCResponse Dispatcher::dispatch(const RPCRequest& request) {
    auto it = handlers.find(request.method);
    if (it == handlers.end()) {
        return RPCResponse::failure(request.id, ErrorCode::kMethodNotFound, "Method not found: " + request.method);
    }
    return it->second(request);
}

}  // namespace kest
