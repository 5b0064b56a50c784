// XRandR monitors, the EWMH work area and Xft.dpi, as engine screen records.
#include "platform/linux/xrandr_monitors.hpp"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <sstream>

namespace kest::platform::linux_desktop {
namespace {

struct MonitorsDeleter {
    void operator()(XRRMonitorInfo* monitors) const { XRRFreeMonitors(monitors); }
};

}  // namespace

Rect toBottomLeft(const RootRect& rect, const RootRect& primary) {
    return Rect{static_cast<double>(rect.x - primary.x),
                static_cast<double>(primary.y + primary.height - (rect.y + rect.height)),
                static_cast<double>(rect.width), static_cast<double>(rect.height)};
}

Rect toRootCoordinates(const Rect& rect, const RootRect& primary) {
    return Rect{rect.x + primary.x, primary.y + primary.height - rect.y - rect.height, rect.width, rect.height};
}

const Monitor& primaryOf(const std::vector<Monitor>& monitors) {
    const auto primary = std::ranges::find_if(monitors, &Monitor::primary);
    return primary != monitors.end() ? *primary : monitors.front();
}

std::vector<Screen> toScreens(const std::vector<Monitor>& monitors, const std::optional<RootRect>& workArea,
                              double scale) {
    std::vector<Screen> result;
    if (monitors.empty()) return result;
    const RootRect& primary = primaryOf(monitors).bounds;
    result.reserve(monitors.size());
    for (const auto& monitor : monitors) {
        const RootRect visible =
            workArea ? intersect(*workArea, monitor.bounds).value_or(monitor.bounds) : monitor.bounds;
        result.push_back(
            Screen{monitor.id, toBottomLeft(monitor.bounds, primary), toBottomLeft(visible, primary), scale});
    }
    return result;
}

std::optional<RootRect> intersect(const RootRect& a, const RootRect& b) {
    const int left = std::max(a.x, b.x);
    const int top = std::max(a.y, b.y);
    const int right = std::min(a.x + a.width, b.x + b.width);
    const int bottom = std::min(a.y + a.height, b.y + b.height);
    if (right <= left || bottom <= top) return std::nullopt;
    return RootRect{left, top, right - left, bottom - top};
}

double scaleFromResources(const std::string& resources) {
    std::istringstream lines(resources);
    std::string line;
    while (std::getline(lines, line)) {
        constexpr std::string_view KEY = "Xft.dpi:";
        if (!line.starts_with(KEY)) continue;
        const double dpi = std::strtod(line.c_str() + KEY.size(), nullptr);
        if (dpi > 0) return dpi / 96.0;
    }
    return 1.0;
}

std::vector<Monitor> XRandrMonitors::monitors() {
    std::vector<Monitor> result;
    int eventBase = 0, errorBase = 0;
    if (XRRQueryExtension(x_.display(), &eventBase, &errorBase)) {
        int count = 0;
        std::unique_ptr<XRRMonitorInfo, MonitorsDeleter> infos(XRRGetMonitors(x_.display(), x_.root(), True, &count));
        for (int i = 0; infos && i < count; ++i) {
            const XRRMonitorInfo& info = infos.get()[i];
            XData<char> name(info.name != None ? XGetAtomName(x_.display(), info.name) : nullptr);
            result.push_back(Monitor{static_cast<std::uint32_t>(info.name), name ? name.get() : "",
                                     info.primary != 0, RootRect{info.x, info.y, info.width, info.height}});
        }
    }
    if (result.empty()) {
        result.push_back(Monitor{0, "screen", true, RootRect{0, 0, x_.screenWidth(), x_.screenHeight()}});
    }
    return result;
}

std::optional<RootRect> XRandrMonitors::workArea() {
    auto areas = x_.numbers(x_.root(), x_.atom("_NET_WORKAREA"), XA_CARDINAL);
    if (!areas || areas->size() < 4) return std::nullopt;
    std::size_t desktop = 0;
    if (auto current = x_.numbers(x_.root(), x_.atom("_NET_CURRENT_DESKTOP"), XA_CARDINAL); current && !current->empty()) {
        desktop = (*current)[0];
    }
    if ((desktop + 1) * 4 > areas->size()) desktop = 0;
    const auto* area = areas->data() + desktop * 4;
    return RootRect{static_cast<int>(area[0]), static_cast<int>(area[1]), static_cast<int>(area[2]),
                    static_cast<int>(area[3])};
}

double XRandrMonitors::scaleFactor() {
    auto resources = x_.bytes(x_.root(), XA_RESOURCE_MANAGER, XA_STRING);
    return resources ? scaleFromResources(*resources) : 1.0;
}

std::vector<Screen> XRandrMonitors::screens() { return toScreens(monitors(), workArea(), scaleFactor()); }

std::optional<Screen> XRandrMonitors::mainScreen() {
    const auto all = monitors();
    const auto id = primaryOf(all).id;
    for (const auto& screen : toScreens(all, workArea(), scaleFactor())) {
        if (screen.id == id) return screen;
    }
    return std::nullopt;
}

Rect XRandrMonitors::toRootCoordinates(const Rect& rect) {
    return linux_desktop::toRootCoordinates(rect, primaryOf(monitors()).bounds);
}

}  // namespace kest::platform::linux_desktop
