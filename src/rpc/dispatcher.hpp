// The one object that turns a request into a response: the method table and
// every piece of state that outlives a single request.
//
// Threading: the dispatcher holds no lock. Callers serialise dispatch (the
// daemon holds one lock around it); handlers run on the caller's thread and may
// dispatch again on it (batch).
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "desktop/halo_overlay.hpp"
#include "desktop/window_manager.hpp"
#include "platform/platform.hpp"
#include "rpc/protocol.hpp"
#include "rpc/result.hpp"
#include "snapshot/snapshot_builder.hpp"

namespace kest {

class Dispatcher {
public:
    using Handler = std::function<RPCResponse(const RPCRequest&)>;

    // The platform is not owned and must outlive the dispatcher. Creation
    // registers every method and touches nothing else.
    explicit Dispatcher(platform::Platform& platform);
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;
    ~Dispatcher();

    RPCResponse dispatch(const RPCRequest& request);

    // Outline the window a ref names, or take the outline away. The outline
    // is drawn on the main thread; these only schedule work there and never
    // wait for it. Until the overlay exists they schedule nothing.
    void showHalo(const std::string& windowRef);
    void hideHalo();

    platform::Platform& platform;

    std::map<std::string, Handler, std::less<>> handlers;
    std::chrono::steady_clock::time_point startTime;
    std::optional<std::string> grabbedWindow;
    std::optional<std::string> lastSnapshotId;
    std::map<std::string, std::int64_t> cdpPorts;
    std::map<std::string, Json> kvStore;
    WindowManager windowManager;
    SnapshotBuilder snapshotBuilder;
    std::map<std::string, platform::Element> lastRefMap;
    std::optional<Json> lastSnapshotData;
    std::unique_ptr<HaloOverlay> haloOverlay;

private:
    void registerBuiltinMethods();
    void registerAppMethods();
    void registerWindowMethods();
    void registerSnapshotMethods();
    void registerActionMethods();
    void registerKeyboardMethods();
    void registerClipboardMethods();
    void registerCaptureMethods();
    void registerScrollMethods();
    void registerFocusMethods();
    void registerFindMethods();
    void registerReadMethods();
    void registerWaitMethods();
    void registerMenuMethods();
    void registerDialogMethods();
    void registerDragMethods();
    void registerBatchMethods();
    void registerDiffMethods();
    void registerHumanLikeMethods();
};

}  // namespace kest
