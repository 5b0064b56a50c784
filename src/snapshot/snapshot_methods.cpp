// The snapshot method: builds, stores the outcome as the dispatcher's last
// snapshot, and adds a hint for Chromium-based applications.
#include <algorithm>
#include <limits>

#include "desktop/apps.hpp"
#include "rpc/dispatcher.hpp"
#include "snapshot/diff.hpp"
#include "snapshot/snapshot_hint.hpp"
#include "common/text.hpp"

namespace kest {

std::optional<std::string> chromiumHint(platform::Platform& platform, const WindowManager& windowManager,
                                        const std::optional<std::string>& grabbedWindow,
                                        const std::optional<std::string>& appName) {
    platform::Workspace& workspace = platform.workspace();
    std::optional<std::string> shown;
    if (appName) {
        const std::string wanted = lowercased(*appName);
        for (const auto& app : workspace.runningApplications()) {
            if (!app.name || lowercased(*app.name) != wanted) continue;
            if (Apps::isChromiumApp(workspace, app.pid)) shown = *appName;
            break;
        }
    } else {
        std::optional<std::int32_t> pid;
        if (grabbedWindow) {
            if (auto record = windowManager.getWindowInfo(*grabbedWindow)) {
                auto processId = record->find("process_id");
                if (processId != record->end() && processId->is_number_integer()) {
                    pid = static_cast<std::int32_t>(processId->get<std::int64_t>());
                }
            }
        }
        if (!pid) {
            auto front = workspace.frontmostApplication();
            if (!front) return std::nullopt;
            pid = front->pid;
        }
        // One listing answers both "Chromium?" and the name: each listing asks
        // the window list and every application on the bus.
        const auto running = workspace.runningApplications();
        auto app = std::ranges::find_if(running, [&](const auto& a) { return a.pid == *pid; });
        if (app != running.end() && Apps::isChromiumApp(workspace, *app)) shown = app->name.value_or("AppName");
    }
    if (!shown) return std::nullopt;
    return "This is a Chromium/Electron app. Run `kest relaunch " + *shown +
           "` to restart it with CDP support for a full accessibility tree.";
}

void Dispatcher::registerSnapshotMethods() {
    handlers["snapshot"] = [this](const RPCRequest& request) {
        SnapshotOptions options;
        options.windowRef = grabbedWindow;
        options.interactive = request.paramBool("interactive").value_or(false);
        options.compact = request.paramBool("compact").value_or(false);
        options.depth = request.paramInt("depth");
        options.subtree = request.paramString("subtree");
        options.appName = request.paramString("app");
        if (auto pid = request.paramInt("pid")) {
            // A number outside the process-id range names no process; cutting
            // it down to one could name an unrelated process.
            if (*pid < std::numeric_limits<std::int32_t>::min() || *pid > std::numeric_limits<std::int32_t>::max()) {
                return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Invalid pid: " + std::to_string(*pid));
            }
            options.pid = static_cast<std::int32_t>(*pid);
        }
        // The window record, the window's owner and the hint all name
        // applications: one listing answers them all.
        auto listing = platform.workspace().holdListing();
        auto outcome = snapshotBuilder.build(platform, windowManager, options);
        if (!outcome) return respond(request.id, std::move(outcome));
        lastRefMap = snapshotBuilder.getRefMap();
        lastSnapshotId = (*outcome)["snapshot_id"].get<std::string>();
        Json answer = *outcome;
        if (options.interactive) (*outcome)[Diff::INTERACTIVE_MARK] = true;
        lastSnapshotData = std::move(*outcome);
        if (auto hint = chromiumHint(platform, windowManager, grabbedWindow, options.appName)) answer["hint"] = *hint;
        return RPCResponse::success(request.id, std::move(answer));
    };
}

}  // namespace kest
