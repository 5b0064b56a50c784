// The method table and request dispatch.
#include "rpc/dispatcher.hpp"

#include <exception>

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
      startTime(std::chrono::steady_clock::now()),
      halo(std::make_shared<HaloSlot>(platform_)) {
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

// The posted work holds the slot weakly: run after the dispatcher is gone, it
// does nothing. A halo replaced or hidden is removed before it is dropped, so
// a tick it had already queued finds nothing either.
void Dispatcher::showHalo(const std::string& windowRef) {
    const auto windowID = windowManager.getWindowID(windowRef);
    if (!windowID) return;
    platform.overlay().postToMainThread([slot = std::weak_ptr(halo), windowID = *windowID] {
        auto held = slot.lock();
        if (!held) return;
        if (held->overlay) held->overlay->remove();
        held->overlay = HaloOverlay::create(held->platform, windowID);
    });
}

void Dispatcher::hideHalo() {
    platform.overlay().postToMainThread([slot = std::weak_ptr(halo)] {
        auto held = slot.lock();
        if (!held || !held->overlay) return;
        held->overlay->remove();
        held->overlay.reset();
    });
}

void Dispatcher::showRipple(platform::Point point) {
    platform.overlay().postToMainThread([slot = std::weak_ptr(halo), point] {
        auto held = slot.lock();
        if (held && held->overlay) held->overlay->showRipple(point);
    });
}

RPCResponse Dispatcher::dispatch(const RPCRequest& request) {
    auto it = handlers.find(request.method);
    if (it == handlers.end()) {
        return RPCResponse::failure(request.id, ErrorCode::kMethodNotFound, "Method not found: " + request.method);
    }
    // A fault that escapes a handler (memory or threads run out, a library
    // throws) costs that request its answer, not the daemon its life.
    RPCResponse response = [&] {
        try {
            return it->second(request);
        } catch (const std::exception& fault) {
            return RPCResponse::failure(request.id, ErrorCode::kInternalError, std::string("Internal error: ") + fault.what());
        } catch (...) {
            return RPCResponse::failure(request.id, ErrorCode::kInternalError, "Internal error");
        }
    }();
    if (!runsWithoutTurn(request.method)) publishStatus();
    return response;
}

void Dispatcher::publishStatus() {
    StatusBoard board{grabbedWindow, nullptr, nullptr, lastSnapshotId};
    if (grabbedWindow) {
        if (auto it = windowManager.windowInfoCache.find(*grabbedWindow);
            it != windowManager.windowInfoCache.end() && it->second.is_object()) {
            const Json& record = it->second;
            if (auto a = record.find("app"); a != record.end() && a->is_string()) board.grabbedApp = *a;
            if (auto p = record.find("process_id"); p != record.end() && p->is_number_integer()) board.grabbedPid = *p;
        }
    }
    std::lock_guard lock(statusMutex);
    statusBoard = std::move(board);
}

}  // namespace kest
