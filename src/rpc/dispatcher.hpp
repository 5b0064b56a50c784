// The one object that turns a request into a response: the method table and
// every piece of state that outlives a single request.
//
// Threading: callers serialise dispatch (the daemon runs each request through
// its RequestGate), except for the methods `runsWithoutTurn` names, which touch
// no desktop and only state held under a lock of its own (the key-value store,
// the status board). Handlers run on the caller's thread and may dispatch
// again on it (batch). Every wait of a handler goes through `pause`, during
// which other requests may run and change this object's state.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "common/pause.hpp"
#include "common/randomness.hpp"
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

    // The platform and the pause are not owned and must outlive the
    // dispatcher; without a pause, waits are plain sleeps. Creation registers
    // every method and touches nothing else.
    explicit Dispatcher(platform::Platform& platform, Pause* pause = nullptr);
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;
    ~Dispatcher();

    RPCResponse dispatch(const RPCRequest& request);

    // Methods that may be dispatched while another request holds the turn:
    // liveness, status and the key-value store answer even while the desktop
    // is busy.
    static bool runsWithoutTurn(std::string_view method) {
        return method == "ping" || method == "status" || method == "version" || method == "kv_get" ||
               method == "kv_set";
    }

    // Outline the window a ref names (replacing any earlier outline), or take
    // the outline away. The outline is drawn on the main thread; these only
    // schedule work there and never wait for it. A ref without a window
    // number schedules nothing.
    void showHalo(const std::string& windowRef);
    void hideHalo();
    // Asks the halo for a ripple at a point (global display points); like the
    // outline, only scheduled, never waited for.
    void showRipple(platform::Point point);

    // Brings the named application (or, with none, the grabbed window itself)
    // to the front before input acts, and waits, bounded, until the keyboard's
    // input goes to it: events posted before that would reach the application
    // that had it. Answers the application that was in front when another was
    // activated, so that restoreApp can put it back, and a failure when the
    // input focus never came.
    struct Activation {
        std::optional<platform::RunningApplication> previous;
        std::optional<std::string> failure;
    };
    Activation activateGrabbedApp(const std::optional<std::string>& explicitName);
    // Once the application has read what the action sent (bounded), activates
    // the application activateGrabbedApp answered, if any, and waits, bounded,
    // until it has the input focus again, so that the next request starts
    // from the desktop as the user had it.
    void restoreApp(const Activation& activation);
    // Waits, bounded, until the application with the input focus has read
    // every event so far; `otherwise` where the backend cannot ask.
    void awaitEventsRead(Pause::Clock::duration otherwise);

    platform::Platform& platform;
    Pause& pause;
    // The draws of the human-like methods: the system's secure source, or a
    // test's script.
    Randomness* randomness;

    std::map<std::string, Handler, std::less<>> handlers;
    std::chrono::steady_clock::time_point startTime;
    std::optional<std::string> grabbedWindow;
    std::optional<std::string> lastSnapshotId;
    std::map<std::string, std::int64_t> cdpPorts;
    // What status answers: copied from the state above after every request
    // that holds the turn, read under statusMutex, as status runs without it.
    struct StatusBoard {
        std::optional<std::string> grabbedWindow;
        Json grabbedApp;
        Json grabbedPid;
        std::optional<std::string> lastSnapshotId;
    };
    StatusBoard statusBoard;
    std::mutex statusMutex;
    // Copies the state into the board; done after each request that holds the
    // turn, and by whoever changes that state outside a request.
    void publishStatus();
    // Read and written under kvMutex only: kv_get and kv_set run without the turn.
    std::map<std::string, Json> kvStore;
    std::mutex kvMutex;
    WindowManager windowManager;
    SnapshotBuilder snapshotBuilder;
    std::map<std::string, platform::Element> lastRefMap;
    std::optional<Json> lastSnapshotData;
    // The halo, read and replaced on the main thread only.
    std::shared_ptr<HaloSlot> halo;

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
