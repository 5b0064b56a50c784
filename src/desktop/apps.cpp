// Application control over the workspace.
#include "desktop/apps.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <mutex>
#include <set>

#include "common/text.hpp"

namespace kest {
namespace {

namespace p = platform;


constexpr std::array<std::string_view, 4> CHROMIUM_MARKERS = {
    "Electron Framework.framework",
    "Chromium Embedded Framework.framework",
    "CefSharp.BrowserSubprocess",
    "nwjs Framework.framework",
};

constexpr auto READY_POLL_INTERVAL = std::chrono::milliseconds(100);
// How often a launch looks for a report that comes from another thread.
constexpr auto REPORT_POLL_INTERVAL = std::chrono::milliseconds(20);

// What the workspace reports about one launch. Shared with its completion, so
// that a report arriving after the caller gave up touches nothing gone.
struct LaunchReport {
    std::mutex mutex;
    bool done = false;
    std::optional<p::RunningApplication> application;
    std::optional<std::string> error;
};

std::string seconds(std::chrono::duration<double> duration) {
    auto text = std::to_string(duration.count());
    text.erase(text.find_last_not_of('0') + 1);
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

// Until the application reports it has finished launching, or the time is up
// (which is not an error).
void waitForApp(Pause& pause, p::Workspace& workspace, std::int32_t pid, std::chrono::duration<double> timeout) {
    const auto deadline = pause.deadlineAfter(std::chrono::duration_cast<Pause::Clock::duration>(timeout));
    for (;;) {
        auto running = workspace.runningApplications();
        auto app = std::ranges::find_if(running, [&](const auto& a) { return a.pid == pid; });
        if (app != running.end() && app->finishedLaunching) return;
        if (pause.now() >= deadline || !pause.sleepFor(READY_POLL_INTERVAL)) return;
    }
}

std::optional<p::RunningApplication> findByPid(p::Workspace& workspace, std::int32_t pid) {
    auto running = workspace.runningApplications();
    auto app = std::ranges::find_if(running, [&](const auto& a) { return a.pid == pid; });
    if (app == running.end()) return std::nullopt;
    return *app;
}

// Children whose exit was reported before their start returned; guarded by
// Apps::launchedProcessesMutex.
std::set<std::int32_t>& earlyExits() {
    static std::set<std::int32_t> pids;
    return pids;
}

}  // namespace

std::map<std::int32_t, Apps::LaunchedProcess> Apps::launchedProcesses;
std::mutex Apps::launchedProcessesMutex;

std::string AppError::description() const {
    if (kind == Kind::notFound) return "Application not found: " + name;
    return "Failed to launch " + name + ": " + message;
}

void Apps::processExited(std::int32_t pid) {
    std::lock_guard lock(launchedProcessesMutex);
    // Not recorded yet: its start has not returned. The pid cannot be reused
    // before then, as the child was reaped only just now.
    if (launchedProcesses.erase(pid) == 0) earlyExits().insert(pid);
}

std::vector<std::int32_t> Apps::launchedProcessIds() {
    std::lock_guard lock(launchedProcessesMutex);
    std::vector<std::int32_t> pids;
    for (const auto& entry : launchedProcesses) pids.push_back(entry.first);
    return pids;
}

std::string Apps::bundleIdForName(std::string_view name) {
    const auto key = lowercased(name);
    for (const auto& [known, identifier] : BUNDLE_ID_FOR_NAME) {
        if (key == known) return std::string(identifier);
    }
    return std::string(name);
}

std::optional<std::string> Apps::resolveBundle(p::Workspace& workspace, std::string_view name) {
    if (auto location = workspace.locateApplication(bundleIdForName(name))) return location;
    if (auto location = workspace.findApplicationInFolders(name)) return location;
    return workspace.locateApplication(name);
}

std::optional<p::RunningApplication> Apps::findRunningApp(p::Workspace& workspace, std::string_view name) {
    const auto wanted = lowercased(name);
    auto running = workspace.runningApplications();
    for (const auto& app : running) {
        if (app.name && lowercased(*app.name) == wanted) return app;
    }
    for (const auto& app : running) {
        if (app.bundleIdentifier && lowercased(*app.bundleIdentifier) == wanted) return app;
    }
    return std::nullopt;
}

bool Apps::isChromiumApp(p::Workspace& workspace, const p::RunningApplication& application) {
    if (!application.bundleLocation) return false;
    auto entries = workspace.bundleFrameworkEntries(*application.bundleLocation);
    if (!entries) return false;
    return std::ranges::any_of(*entries, [](const std::string& entry) {
        return std::ranges::find(CHROMIUM_MARKERS, entry) != CHROMIUM_MARKERS.end();
    });
}

bool Apps::isChromiumApp(p::Workspace& workspace, std::int32_t pid) {
    auto running = workspace.runningApplications();
    auto app = std::ranges::find_if(running, [&](const auto& a) { return a.pid == pid; });
    return app != running.end() && isChromiumApp(workspace, *app);
}

bool Apps::isChromiumBundle(p::Workspace& workspace, std::string_view name) {
    auto location = resolveBundle(workspace, name);
    if (!location) return false;
    p::RunningApplication bundle;
    bundle.bundleLocation = location;
    return isChromiumApp(workspace, bundle);
}

std::optional<std::string> Apps::executablePath(p::Workspace& workspace, std::string_view name) {
    auto location = resolveBundle(workspace, name);
    if (!location) return std::nullopt;
    return workspace.bundleExecutable(*location);
}

Json Apps::appInfo(p::Workspace& workspace, const std::optional<p::RunningApplication>& application) {
    if (!application) return Json::object();
    return {
        {"name", application->name.value_or("Unknown")},
        {"bundle_id", application->bundleIdentifier.value_or("")},
        {"process_id", application->pid},
        {"is_active", application->active},
        {"is_hidden", application->hidden},
        {"is_chromium", isChromiumApp(workspace, *application)},
    };
}

Json Apps::listRunning(p::Workspace& workspace) {
    Json apps = Json::array();
    for (const auto& app : workspace.runningApplications()) {
        if (app.activationPolicy == p::ActivationPolicy::kRegular) apps.push_back(appInfo(workspace, app));
    }
    return apps;
}

std::expected<Json, AppError> Apps::launch(Pause& pause, p::Workspace& workspace, std::string_view name,
                                           bool waitUntilReady,
                                           bool background, const std::vector<std::string>& openPaths,
                                           LaunchTimeouts timeouts) {
    const std::string appName(name);
    auto location = resolveBundle(workspace, name);
    if (!location) return std::unexpected(AppError::notFound(appName));

    // Already running: brought forward and answered, as opening it from the
    // desktop does, instead of a second instance. Documents still go through
    // the opening, which hands them to the application.
    if (openPaths.empty()) {
        auto running = workspace.runningApplications();
        auto app = std::ranges::find_if(running, [&](const auto& a) { return a.bundleLocation == location; });
        if (app != running.end()) {
            std::optional<p::RunningApplication> application = *app;
            if (!background && workspace.activate(app->pid, p::ActivationOption::kIgnoringOtherApps)) {
                if (auto fresh = findByPid(workspace, app->pid)) application = fresh;
            }
            return appInfo(workspace, application);
        }
    }

    p::OpenConfiguration configuration;
    configuration.activates = !background;
    configuration.documents = openPaths;
    configuration.pause = &pause;

    auto report = std::make_shared<LaunchReport>();
    workspace.openApplication(*location, configuration,
                              [report](std::optional<p::RunningApplication> application, std::optional<std::string> error) {
                                  std::lock_guard lock(report->mutex);
                                  if (report->done) return;
                                  report->application = std::move(application);
                                  report->error = std::move(error);
                                  report->done = true;
                              });

    // A report from another thread is looked for between pauses, so that the
    // turn is free while the application starts.
    const auto deadline = pause.deadlineAfter(std::chrono::duration_cast<Pause::Clock::duration>(timeouts.report));
    std::optional<p::RunningApplication> application;
    for (;;) {
        {
            std::lock_guard lock(report->mutex);
            if (report->done) {
                if (report->error) return std::unexpected(AppError::launchFailed(appName, *report->error));
                application = report->application;
                break;
            }
        }
        const bool giveUp = pause.now() >= deadline || !pause.sleepFor(REPORT_POLL_INTERVAL);
        if (!giveUp) continue;
        std::lock_guard lock(report->mutex);
        if (report->done) continue;  // it came just now
        report->done = true;         // a late report is dropped
        return std::unexpected(AppError::launchFailed(
            appName, "the application did not report within " + seconds(timeouts.report) + " seconds"));
    }

    if (waitUntilReady && application) {
        waitForApp(pause, workspace, application->pid, timeouts.ready);
        auto running = workspace.runningApplications();
        auto fresh = std::ranges::find_if(running, [&](const auto& a) { return a.pid == application->pid; });
        if (fresh != running.end()) application = *fresh;
    }
    return appInfo(workspace, application);
}

std::expected<Json, std::string> Apps::launchWithCDP(Pause& pause, p::Workspace& workspace, std::string_view name,
                                                     std::int64_t port, std::chrono::duration<double> settle) {
    auto executable = executablePath(workspace, name);
    if (!executable) return std::unexpected(AppError::notFound(std::string(name)).description());

    const std::vector<std::string> arguments = {"--remote-debugging-port=" + std::to_string(port),
                                                "--force-renderer-accessibility"};
    // The lock is not held across the start: starting a child may wait for
    // the backend's reaper, whose finished watchers report exits through
    // processExited, which takes this lock. An exit reported before the entry
    // is made is remembered and cancels it.
    auto started = workspace.startMonitoredProcess(*executable, arguments, &Apps::processExited);
    if (!started) return std::unexpected(started.error());
    const std::int32_t pid = *started;
    {
        std::lock_guard lock(launchedProcessesMutex);
        if (earlyExits().erase(pid) == 0) launchedProcesses[pid] = LaunchedProcess{*executable, std::string(name)};
    }

    pause.sleepSeconds(settle.count());

    const auto wanted = lowercased(name);
    auto running = workspace.runningApplications();
    auto app = std::ranges::find_if(running, [&](const auto& a) { return a.name && lowercased(*a.name) == wanted; });
    if (app == running.end()) {
        app = std::ranges::find_if(running, [&](const auto& a) {
            return a.bundleIdentifier && lowercased(*a.bundleIdentifier).find(wanted) != std::string::npos;
        });
    }
    if (app == running.end()) return Json{{"cdp_port", port}, {"pid", pid}};
    auto record = appInfo(workspace, *app);
    record["cdp_port"] = port;
    return record;
}

}  // namespace kest
