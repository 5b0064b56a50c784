// The window list, window refs and the window operations.
#include "desktop/window_manager.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <set>
#include <vector>

#include "common/text.hpp"

namespace kest {
namespace {

namespace p = platform;


constexpr double MIN_WINDOW_SIDE = 50;

std::optional<std::int64_t> processOf(const Json& record) {
    auto pid = record.find("process_id");
    if (pid == record.end() || !pid->is_number_integer()) return std::nullopt;
    return pid->get<std::int64_t>();
}

// Whether two reads of a window's owner can be the same process: an owner not
// read (a window between states may not say) is no reason to take the window
// for another.
bool mayBeSameOwner(std::optional<std::int64_t> one, std::optional<std::int64_t> other) {
    return !one || !other || *one == 0 || *other == 0 || *one == *other;
}

bool titled(const Json& record, std::string_view title) {
    auto text = record.find("title");
    return text != record.end() && text->is_string() && text->get_ref<const std::string&>() == title;
}

}  // namespace

std::string WindowManager::refFor(p::WindowNumber number, std::optional<std::int64_t> pid) {
    if (auto known = refByNumber_.find(number); known != refByNumber_.end()) {
        auto record = windowInfoCache.find(known->second);
        const auto cached = record != windowInfoCache.end() ? processOf(record->second) : std::nullopt;
        if (mayBeSameOwner(pid, cached)) return known->second;
        forget(number);
    }
    std::string ref = "@w" + std::to_string(nextWindowId++);
    refByNumber_[number] = ref;
    windowRefs[ref] = number;
    return ref;
}

void WindowManager::forget(p::WindowNumber number) {
    auto known = refByNumber_.find(number);
    if (known == refByNumber_.end()) return;
    windowRefs.erase(known->second);
    windowInfoCache.erase(known->second);
    refByNumber_.erase(known);
}

Json WindowManager::listWindows(p::Platform& platform, const std::optional<std::string>& appName) {
    auto& server = platform.windowServer();
    auto list = server.windowList(
        p::WindowListOption::kOnScreenOnly | p::WindowListOption::kExcludeDesktopElements, p::NULL_WINDOW);
    Json result = Json::array();
    if (!list) return result;

    const auto wanted = appName ? std::optional(lowercased(*appName)) : std::nullopt;
    std::optional<std::vector<p::RunningApplication>> running;  // read once, when a window needs it
    std::set<p::WindowNumber> listed;

    for (const auto& window : *list) {
        if (!window.ownerName || !window.number || !window.bounds || window.layer != 0) continue;
        if (*window.number < 0 || *window.number > std::numeric_limits<p::WindowNumber>::max()) continue;
        const auto& bounds = *window.bounds;
        if (!bounds.height) continue;
        const double x = bounds.x.value_or(0), y = bounds.y.value_or(0), width = bounds.width.value_or(0);
        const double height = *bounds.height;
        if (width < MIN_WINDOW_SIDE || height < MIN_WINDOW_SIDE) continue;

        const auto number = static_cast<p::WindowNumber>(*window.number);
        const std::int64_t pid = window.ownerPID.value_or(0);
        listed.insert(number);
        const std::string ref = refFor(number, window.ownerPID);

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
        if (!wanted || lowercased(*window.ownerName) == *wanted) result.push_back(std::move(record));
    }

    // A numbered window missing from the screen may be minimised or on another
    // workspace: only one that is in no list at all has gone.
    std::vector<p::WindowNumber> missing;
    for (const auto& [number, ref] : refByNumber_) {
        if (!listed.contains(number)) missing.push_back(number);
    }
    if (missing.empty()) return result;
    auto everything = server.windowList(p::WindowListOption::kAll, p::NULL_WINDOW);
    if (!everything) return result;
    std::map<p::WindowNumber, const p::WindowRecord*> existing;
    for (const auto& window : *everything) {
        if (window.number && *window.number >= 0 && *window.number <= std::numeric_limits<p::WindowNumber>::max()) {
            existing[static_cast<p::WindowNumber>(*window.number)] = &window;
        }
    }
    for (const p::WindowNumber number : missing) {
        auto found = existing.find(number);
        Json& record = windowInfoCache[refByNumber_[number]];
        if (found == existing.end() || !mayBeSameOwner(found->second->ownerPID, processOf(record))) {
            forget(number);
        } else {
            record["minimized"] = !found->second->isOnscreen.value_or(true);
        }
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

std::optional<std::string> WindowManager::refOf(std::int32_t pid, std::string_view title) const {
    std::optional<std::string> oldest;
    std::int64_t oldestNumber = 0;
    for (const auto& [ref, record] : windowInfoCache) {
        if (processOf(record) != pid || !titled(record, title)) continue;
        std::int64_t number = 0;
        if (ref.size() < 3 || std::from_chars(ref.data() + 2, ref.data() + ref.size(), number).ec != std::errc()) continue;
        if (!oldest || number < oldestNumber) {
            oldest = ref;
            oldestNumber = number;
        }
    }
    return oldest;
}

std::optional<std::string> WindowManager::getWindowRefForApp(p::Platform& platform, std::string_view appName) {
    auto windows = listWindows(platform, std::string(appName));
    if (windows.empty()) return std::nullopt;
    return windows.front()["ref"].get<std::string>();
}

}  // namespace kest
