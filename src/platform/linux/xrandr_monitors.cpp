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

Rect toBottomLeft(const RootRect& rect, int mainHeight) {
    return Rect{static_cast<double>(rect.x), static_cast<double>(mainHeight - (rect.y + rect.height)),
                static_cast<double>(rect.width), static_cast<double>(rect.height)};
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

std::vector<Screen> XRandrMonitors::screens() {
    const auto all = monitors();
    const auto main = std::ranges::find_if(all, &Monitor::primary);
    const int mainHeight = (main != all.end() ? *main : all.front()).bounds.height;
    const auto area = workArea();
    const double scale = scaleFactor();
    std::vector<Screen> result;
    result.reserve(all.size());
    for (const auto& monitor : all) {
        const RootRect visible = area ? intersect(*area, monitor.bounds).value_or(monitor.bounds) : monitor.bounds;
        result.push_back(Screen{monitor.id, toBottomLeft(monitor.bounds, mainHeight), toBottomLeft(visible, mainHeight),
                                scale});
    }
    return result;
}

std::optional<Screen> XRandrMonitors::mainScreen() {
    const auto all = monitors();
    auto main = std::ranges::find_if(all, &Monitor::primary);
    const auto id = (main != all.end() ? *main : all.front()).id;
    for (const auto& screen : screens()) {
        if (screen.id == id) return screen;
    }
    return std::nullopt;
}

}  // namespace kest::platform::linux_desktop
