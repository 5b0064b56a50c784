// Window-list records from the EWMH list.
#include "platform/linux/x11_window_server.hpp"

#include <fstream>

namespace kest::platform::linux_desktop {
namespace {

constexpr long DESKTOP_LAYER = -2147483623;

std::optional<std::string> commandName(int pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (!std::getline(comm, name) || name.empty()) return std::nullopt;
    return name;
}

}  // namespace

WindowRecord windowRecord(const X11WindowInfo& info) {
    WindowRecord record;
    record.number = static_cast<std::int64_t>(info.id);
    if (info.pid) record.ownerPID = *info.pid;
    record.name = info.title;
    record.ownerName = info.className;
    if (!record.ownerName && info.pid) record.ownerName = commandName(*info.pid);
    record.bounds = WindowBounds{static_cast<double>(info.bounds.x), static_cast<double>(info.bounds.y),
                                 static_cast<double>(info.bounds.width), static_cast<double>(info.bounds.height)};
    record.layer = info.layer;
    record.isOnscreen = info.onScreen;
    return record;
}

EwmhWindows* X11WindowServer::windows() {
    if (!windows_) {
        if (!connection_) connection_ = X11Connection::open();
        if (connection_) windows_ = std::make_unique<EwmhWindows>(*connection_);
    }
    return windows_.get();
}

std::optional<std::vector<WindowRecord>> X11WindowServer::windowList(WindowListOptions options,
                                                                      WindowNumber relativeTo) {
    // The single-window query serves the overlay's tracking 60 times a second
    // and answers the number, the bounds and whether the window is on screen
    // only; owners, titles and layers are left to full lists.
    std::map<int, std::string> owners;
    if (!(options & WindowListOption::kIncludingWindow) && ownerNamer_) owners = ownerNamer_();
    std::lock_guard lock(mutex_);
    EwmhWindows* list = windows();
    if (!list) return std::nullopt;
    std::vector<WindowRecord> records;
    if (options & WindowListOption::kIncludingWindow) {
        if (relativeTo == NULL_WINDOW) return records;
        if (auto info = list->locate(relativeTo)) {
            WindowRecord record;
            record.number = static_cast<std::int64_t>(info->id);
            record.bounds = WindowBounds{static_cast<double>(info->bounds.x), static_cast<double>(info->bounds.y),
                                         static_cast<double>(info->bounds.width),
                                         static_cast<double>(info->bounds.height)};
            record.isOnscreen = info->onScreen;
            records.push_back(std::move(record));
        }
        return records;
    }
    for (const auto& info : list->list()) {
        if ((options & WindowListOption::kOnScreenOnly) && !info.onScreen) continue;
        if ((options & WindowListOption::kExcludeDesktopElements) && info.layer == DESKTOP_LAYER) continue;
        records.push_back(windowRecord(info));
        if (auto named = owners.find(info.pid.value_or(-1)); named != owners.end()) records.back().ownerName = named->second;
    }
    return records;
}

bool X11WindowServer::orderWindowAbove(WindowNumber window, WindowNumber target) {
    std::lock_guard lock(mutex_);
    EwmhWindows* list = windows();
    if (!list) return false;
    const bool done = list->restackAbove(window, target);
    connection_->flush();
    return done;
}

bool X11WindowServer::preflightScreenCaptureAccess() {
    std::lock_guard lock(mutex_);
    return windows() != nullptr;
}

}  // namespace kest::platform::linux_desktop
