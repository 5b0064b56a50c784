// Applications: listing, launching, quitting, hiding and activating them,
// finding their main executable, recognising Chromium-based ones and starting
// those with a remote-debugging port.
//
// Apps holds static operations over the workspace passed in. Its one piece of
// state, launchedProcesses, is shared by the request thread (which records a
// started child) and whatever thread learns of the child's exit, so it is
// reached only under its mutex.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include "common/expected.hpp"
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/pause.hpp"
#include "platform/platform.hpp"
#include "rpc/protocol.hpp"
#include "rpc/result.hpp"

namespace kest {

// Application names known without a lookup, lowercased, with their bundle
// identifiers. The snapshot's own lookup knows all but the last.
inline constexpr std::array<std::pair<std::string_view, std::string_view>, 11> BUNDLE_ID_FOR_NAME = {{
    {"textedit", "com.apple.TextEdit"},
    {"calculator", "com.apple.calculator"},
    {"notes", "com.apple.Notes"},
    {"safari", "com.apple.Safari"},
    {"music", "com.apple.Music"},
    {"messages", "com.apple.MobileSMS"},
    {"calendar", "com.apple.iCal"},
    {"system settings", "com.apple.systempreferences"},
    {"preview", "com.apple.Preview"},
    {"finder", "com.apple.finder"},
    {"terminal", "com.apple.Terminal"},
}};


struct AppError {
    enum class Kind { notFound, launchFailed };
    Kind kind = Kind::notFound;
    std::string name;
    std::string message;  // launchFailed only

    static AppError notFound(std::string name) { return {Kind::notFound, std::move(name), {}}; }
    static AppError launchFailed(std::string name, std::string message) {
        return {Kind::launchFailed, std::move(name), std::move(message)};
    }
    // "Application not found: <name>" or "Failed to launch <name>: <message>".
    std::string description() const;
};

// How long a launch waits at most for the workspace to report the opened
// application, and then for it to finish launching when asked to.
struct LaunchTimeouts {
    std::chrono::duration<double> report{30};
    std::chrono::duration<double> ready{10};
};

class Apps {
public:
    // Children started by launchWithCDP, by process id, from their start until
    // their exit is noticed. Guarded by launchedProcessesMutex.
    struct LaunchedProcess {
        std::string executable;
        std::string name;  // as the caller named the application
    };
    static std::map<std::int32_t, LaunchedProcess> launchedProcesses;
    static std::mutex launchedProcessesMutex;
    // Forgets a child once it has exited; safe from any thread.
    static void processExited(std::int32_t pid);
    // A copy of the pids recorded now, for callers on any thread.
    static std::vector<std::int32_t> launchedProcessIds();

    // The regular applications, in the workspace's order, as application
    // records ({"name", "bundle_id", "process_id", "is_active", "is_hidden",
    // "is_chromium"}).
    static Json listRunning(platform::Workspace& workspace);

    // The first running application whose name, else whose bundle identifier,
    // equals `name` ignoring case.
    static std::optional<platform::RunningApplication> findRunningApp(platform::Workspace& workspace,
                                                                       std::string_view name);

    // Opens the application and answers its record ({} when the workspace
    // reported none). Never waits without bound: a workspace that does not
    // report within the report timeout is a launch failure, and a report that
    // comes later is dropped. Every wait goes through `pause`.
    static std::expected<Json, AppError> launch(Pause& pause, platform::Workspace& workspace, std::string_view name,
                                                bool waitUntilReady, bool background,
                                                const std::vector<std::string>& openPaths = {},
                                                LaunchTimeouts timeouts = {});

    // Starts the application's main executable with a remote-debugging port and
    // renderer accessibility, lets it settle (2 seconds), and answers the
    // application's record with "cdp_port", or {"cdp_port", "pid"} when it is
    // not (yet) a running application. The error is the text of -32004.
    static std::expected<Json, std::string> launchWithCDP(
        Pause& pause, platform::Workspace& workspace, std::string_view name, std::int64_t port,
        std::chrono::duration<double> settle = std::chrono::seconds(2));

    static std::optional<std::string> executablePath(platform::Workspace& workspace, std::string_view name);
    static bool isChromiumBundle(platform::Workspace& workspace, std::string_view name);
    static bool isChromiumApp(platform::Workspace& workspace, const platform::RunningApplication& application);
    // False when no running application has that pid.
    static bool isChromiumApp(platform::Workspace& workspace, std::int32_t pid);

    // The application record of one running application; {} for none.
    static Json appInfo(platform::Workspace& workspace, const std::optional<platform::RunningApplication>& application);

    // The bundle identifier a well-known name stands for; other names unchanged.
    static std::string bundleIdForName(std::string_view name);
    // The bundle location for a name: the identifier table, the application
    // folders, then the name as an identifier.
    static std::optional<std::string> resolveBundle(platform::Workspace& workspace, std::string_view name);
};

}  // namespace kest
