// Waiting for an application, a window, a text or an element state.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "common/pause.hpp"
#include "desktop/window_manager.hpp"
#include "platform/platform.hpp"
#include "rpc/protocol.hpp"
#include "rpc/result.hpp"
#include "snapshot/snapshot_builder.hpp"

namespace kest {

// Stateless. Every waiter polls on the calling thread: it tests the time, checks
// its condition, pauses for its interval, and fails with -32003 once the
// deadline has passed; a timeout of 0 or less therefore fails without
// checking. Other requests may run during the pauses, so each check reads
// afresh; a pause cut short by the program stopping fails the wait with
// -32600.
class Wait {
public:
    static constexpr std::chrono::milliseconds APP_INTERVAL{200};
    static constexpr std::chrono::milliseconds WINDOW_INTERVAL{200};
    static constexpr std::chrono::milliseconds TEXT_INTERVAL{300};
    static constexpr std::chrono::milliseconds ELEMENT_INTERVAL{200};

    // {"ok", "app", "pid"} once an application of that name (ignoring case)
    // has finished launching.
    static Result<Json> waitForApp(Pause& pause, platform::Workspace& workspace, const std::string& name, std::int64_t timeoutMs);
    // {"ok", "window"}: the first window whose title contains the text; every
    // poll enumerates the windows afresh.
    static Result<Json> waitForWindow(Pause& pause, platform::Platform& platform, const std::string& title, std::int64_t timeoutMs,
                                      WindowManager& windowManager);
    // {"ok", "text", "state"}: "found" once a snapshot of the grabbed window
    // holds the text, or "gone" once none does. Failed snapshots never meet
    // either condition.
    static Result<Json> waitForText(Pause& pause, platform::Platform& platform, const std::string& text, bool gone,
                                    std::int64_t timeoutMs, const std::optional<std::string>& grabbedWindow,
                                    const WindowManager& windowManager, SnapshotBuilder& snapshotBuilder);
    // {"ok", "ref", "state"}: "hidden" when the ref is not in the map,
    // "visible" when it is, "enabled" once its element reads as enabled.
    static Result<Json> waitForElement(Pause& pause, platform::Accessibility& accessibility, const std::string& ref, bool hidden,
                                       bool enabled, std::int64_t timeoutMs, const RefMap& refMap);

    // Depth first through records and their children: does a label or value
    // contain the text, ignoring case?
    static bool searchForText(const Json& elements, const std::string& text);
};

}  // namespace kest
