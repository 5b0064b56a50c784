// The window list, window refs and the window operations.
#include "desktop/window_manager.hpp"

#include <algorithm>
#include <cctype>
#include <limits>

#include "common/text.hpp"

namespace kest {
namespace {

namespace p = platform;


constexpr double MIN_WINDOW_SIDE = 50;

}  // namespace

Json WindowManager::listWindows(p::Platform& platform, const std::optional<std::string>& appName) {
    auto list = platform.windowServer().windowList(
        p::WindowListOption::kOnScreenOnly | p::WindowListOption::kExcludeDesktopElements, p::NULL_WINDOW);
    Json result = Json::array();
    if (!list) return result;

    windowRefs.clear();
    windowInfoCache.clear();
    nextWindowId = 1;

    const auto wanted = appName ? std::optional(lowercased(*appName)) : std::nullopt;
    std::optional<std::vector<p::RunningApplication>> running;  // read once, when a window needs it

    for (const auto& window : *list) {
        if (!window.ownerName || !window.number || !window.bounds || window.layer != 0) continue;
        if (*window.number < 0 || *window.number > std::numeric_limits<p::WindowNumber>::max()) continue;
        if (wanted && lowercased(*window.ownerName) != *wanted) continue;
        const auto& bounds = *window.bounds;
        if (!bounds.height) continue;
        const double x = bounds.x.value_or(0), y = bounds.y.value_or(0), width = bounds.width.value_or(0);
        const double height = *bounds.height;
        if (width < MIN_WINDOW_SIDE || height < MIN_WINDOW_SIDE) continue;

        const std::string ref = "@w" + std::to_string(nextWindowId++);
        windowRefs[ref] = static_cast<p::WindowNumber>(*window.number);

        const std::int64_t pid = window.ownerPID.value_or(0);
        if (!running) running = platform.workspace().runningApplications();
        auto owner = std::ranges::find_if(*running, [&](const auto& app) { return app.pid == pid; });
        const bool known = owner != running->end();

        Json record = {
            {"ref", ref},
            {"title", window.name.value_or("")},
            {"app", *window.ownerName},
            {"bundle_id", known ? owner->bundleIdentifier.value_or("") : std::string()},
            {"process_id", pid},
            {"bounds", Json::array({x, y, width, height})},
            {"minimized", !window.isOnscreen.value_or(true)},
            {"hidden", known && owner->hidden},
            {"fullscreen", false},
        };
        windowInfoCache[ref] = record;
        result.push_back(std::move(record));
    }
    return result;
}

std::optional<Json> WindowManager::getWindowInfo(std::string_view ref) const {
    auto it = windowInfoCache.find(std::string(ref));
    if (it == windowInfoCache.end()) return std::nullopt;
    return it->second;
}

std::optional<p::WindowNumber> WindowManager::getWindowID(std::string_view ref) const {
    auto it = windowRefs.find(std::string(ref));
    if (it == windowRefs.end()) return std::nullopt;
    return it->second;
}

std::optional<std::int32_t> WindowManager::getPID(std::string_view ref) const {
    auto it = windowInfoCache.find(std::string(ref));
    if (it == windowInfoCache.end()) return std::nullopt;
    const auto pid = it->second.find("process_id");
    if (pid == it->second.end() || !pid->is_number_integer()) return std::nullopt;
    const auto value = pid->get<std::int64_t>();
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

p::Element WindowManager::getAXWindow(p::Platform& platform, std::string_view ref) const {
    auto pid = getPID(ref);
    if (!pid) return {};
    auto& ax = platform.accessibility();
    auto windows = ax.attribute(ax.applicationElement(*pid), p::AXAttribute::kWindows);
    if (!windows || !windows->asElements()) return {};
    const auto& list = *windows->asElements();
    if (list.empty()) return {};

    std::string title;
    if (auto info = getWindowInfo(ref); info && info->contains("title") && (*info)["title"].is_string()) {
        title = (*info)["title"].get<std::string>();
    }
    for (const auto& window : list) {
        auto candidate = ax.attribute(window, p::AXAttribute::kTitle);
        const std::string* text = candidate ? candidate->asString() : nullptr;
        if ((text ? *text : std::string()) == title) return window;
    }
    return list.front();
}

std::optional<std::string> WindowManager::getWindowRefForApp(p::Platform& platform, std::string_view appName) {
    auto windows = listWindows(platform, std::string(appName));
    if (windows.empty()) return std::nullopt;
    return windows.front()["ref"].get<std::string>();
}

}  // namespace kest
