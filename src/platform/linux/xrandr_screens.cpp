// Screens from XRandR monitors and the active window.
#include "platform/linux/xrandr_screens.hpp"

#include <algorithm>

namespace kest::platform::linux_desktop {

X11Connection* XRandrScreens::connection() {
    if (!connection_) connection_ = X11Connection::open();
    return connection_.get();
}

std::vector<Screen> XRandrScreens::screens() {
    std::lock_guard lock(mutex_);
    X11Connection* x = connection();
    if (!x) return {};
    return XRandrMonitors(*x).screens();
}

std::optional<Screen> XRandrScreens::mainScreen() {
    std::lock_guard lock(mutex_);
    X11Connection* x = connection();
    if (!x) return std::nullopt;
    XRandrMonitors monitors(*x);
    EwmhWindows windows(*x);
    if (auto active = windows.activeWindow()) {
        if (auto info = windows.describe(*active)) {
            const int cx = info->bounds.x + info->bounds.width / 2;
            const int cy = info->bounds.y + info->bounds.height / 2;
            const auto all = monitors.monitors();
            auto holding = std::ranges::find_if(all, [&](const Monitor& m) {
                return cx >= m.bounds.x && cx < m.bounds.x + m.bounds.width && cy >= m.bounds.y &&
                       cy < m.bounds.y + m.bounds.height;
            });
            if (holding != all.end()) {
                for (const auto& screen : monitors.screens()) {
                    if (screen.id == holding->id) return screen;
                }
            }
        }
    }
    return monitors.mainScreen();
}

Rect XRandrScreens::toWindowCoordinates(const Rect& rect) {
    std::lock_guard lock(mutex_);
    X11Connection* x = connection();
    if (!x) return Screens::toWindowCoordinates(rect);
    return XRandrMonitors(*x).toRootCoordinates(rect);
}

}  // namespace kest::platform::linux_desktop
