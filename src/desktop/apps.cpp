// Application control over the workspace.
#include "desktop/apps.hpp"

namespace kest {

std::map<std::int32_t, Apps::LaunchedProcess> Apps::launchedProcesses;
std::mutex Apps::launchedProcessesMutex;

std::string AppError::description() const {
    if (kind == Kind::notFound) return "Application not found: " + name;
    return "Failed to launch " + name + ": " + message;
}

void Apps::processExited(std::int32_t pid) {
    std::lock_guard lock(launchedProcessesMutex);
    launchedProcesses.erase(pid);
}

std::vector<std::int32_t> Apps::launchedProcessIds() {
    std::lock_guard lock(launchedProcessesMutex);
    std::vector<std::int32_t> pids;
    for (const auto& [pid, process] : launchedProcesses) pids.push_back(pid);
    return pids;
}

Json Apps::listRunning(platform::Workspace&) { return {{"apps", Json::array()}}; }
std::optional<platform::RunningApplication> Apps::findRunningApp(platform::Workspace&, std::string_view) { return std::nullopt; }
std::expected<Json, AppError> Apps::launch(platform::Workspace&, std::string_view name, bool, bool, const std::vector<std::string>&) { return std::unexpected(AppError::notFound(std::string(name))); }
std::expected<Json, std::string> Apps::launchWithCDP(platform::Workspace&, std::string_view name, std::int64_t) { return std::unexpected(AppError::notFound(std::string(name)).description()); }
std::optional<std::string> Apps::executablePath(platform::Workspace&, std::string_view) { return std::nullopt; }
bool Apps::isChromiumBundle(platform::Workspace&, std::string_view) { return false; }
bool Apps::isChromiumApp(platform::Workspace&, const platform::RunningApplication&) { return false; }
bool Apps::isChromiumApp(platform::Workspace&, std::int32_t) { return false; }
Json Apps::appInfo(platform::Workspace&, const std::optional<platform::RunningApplication>&) { return Json::object(); }
std::string Apps::bundleIdForName(std::string_view name) { return std::string(name); }
std::optional<std::string> Apps::resolveBundle(platform::Workspace&, std::string_view) { return std::nullopt; }

}  // namespace kest
