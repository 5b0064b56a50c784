// The method table and request dispatch.
#include "rpc/dispatcher.hpp"

namespace kest {

Dispatcher::Dispatcher(platform::Platform& platform_)
    : platform(platform_), startTime(std::chrono::steady_clock::now()) {
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

RPCResponse Dispatcher::dispatch(const RPCRequest& request) {
    auto it = handlers.find(request.method);
    if (it == handlers.end()) {
        return RPCResponse::failure(request.id, ErrorCode::kMethodNotFound, "Method not found: " + request.method);
    }
    return it->second(request);
}

}  // namespace kest
