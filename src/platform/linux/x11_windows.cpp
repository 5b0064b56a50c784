// EWMH window list and window-manager requests.
#include "platform/linux/x11_windows.hpp"

#include <algorithm>
#include <utility>

namespace kest::platform::linux_desktop {
namespace {

constexpr long SOURCE_PAGER = 2;

// _NET_WM_WINDOW_TYPE suffix → layer; normal and dialog windows are 0. The
// numbers only need to differ from 0 and order docks below menus below
// tooltips.
constexpr std::pair<std::string_view, long> WINDOW_TYPE_LAYERS[] = {
    {"_NET_WM_WINDOW_TYPE_NORMAL", 0},         {"_NET_WM_WINDOW_TYPE_DIALOG", 0},
    {"_NET_WM_WINDOW_TYPE_DESKTOP", -2147483623}, {"_NET_WM_WINDOW_TYPE_DOCK", 20},
    {"_NET_WM_WINDOW_TYPE_TOOLBAR", 3},        {"_NET_WM_WINDOW_TYPE_UTILITY", 3},
    {"_NET_WM_WINDOW_TYPE_SPLASH", 3},         {"_NET_WM_WINDOW_TYPE_MENU", 101},
    {"_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", 101}, {"_NET_WM_WINDOW_TYPE_POPUP_MENU", 101},
    {"_NET_WM_WINDOW_TYPE_COMBO", 101},        {"_NET_WM_WINDOW_TYPE_DND", 500},
    {"_NET_WM_WINDOW_TYPE_NOTIFICATION", 23},  {"_NET_WM_WINDOW_TYPE_TOOLTIP", 500},
};
constexpr long OVERRIDE_REDIRECT_LAYER = 25;

}  // namespace

std::optional<Window> EwmhWindows::frameOf(Window window) {
    Window current = window;
    for (int depth = 0; depth < 64; ++depth) {
        Window root = None, parent = None;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(x_.display(), current, &root, &parent, &children, &count)) return std::nullopt;
        XData<Window> owned(children);
        if (parent == root || parent == None) return current;
        current = parent;
    }
    return std::nullopt;
}

long EwmhWindows::layerOf(Window window, bool overrideRedirect) {
    if (overrideRedirect) return OVERRIDE_REDIRECT_LAYER;
    auto types = x_.numbers(window, x_.atom("_NET_WM_WINDOW_TYPE"), XA_ATOM);
    if (!types || types->empty()) return 0;
    // The first type the manager knows wins, as EWMH orders them by preference.
    for (unsigned long type : *types) {
        for (const auto& [name, layer] : WINDOW_TYPE_LAYERS) {
            if (x_.atom(name) == type) return layer;
        }
    }
    return 0;
}

WindowStates EwmhWindows::states(Window window) {
    WindowStates result;
    auto atoms = x_.numbers(window, x_.atom("_NET_WM_STATE"), XA_ATOM);
    if (!atoms) return result;
    auto has = [&](std::string_view name) {
        return std::ranges::find(*atoms, x_.atom(name)) != atoms->end();
    };
    result.hidden = has("_NET_WM_STATE_HIDDEN");
    result.fullscreen = has("_NET_WM_STATE_FULLSCREEN");
    result.maximized = has("_NET_WM_STATE_MAXIMIZED_VERT") && has("_NET_WM_STATE_MAXIMIZED_HORZ");
    result.modal = has("_NET_WM_STATE_MODAL");
    return result;
}

std::optional<X11WindowInfo> EwmhWindows::describe(Window window) {
    auto located = locate(window);
    if (!located) return std::nullopt;
    X11WindowInfo& info = *located;
    info.frame = frameOf(window).value_or(window);

    if (auto pid = x_.numbers(window, x_.atom("_NET_WM_PID"), XA_CARDINAL); pid && !pid->empty()) {
        info.pid = static_cast<int>((*pid)[0]);
    }
    info.title = x_.bytes(window, x_.atom("_NET_WM_NAME"), x_.atom("UTF8_STRING"));
    if (!info.title) info.title = x_.bytes(window, XA_WM_NAME);
    if (auto wmClass = x_.bytes(window, XA_WM_CLASS, XA_STRING)) {
        // "instance\0class\0"
        const auto split = wmClass->find('\0');
        info.instance = wmClass->substr(0, split);
        if (split != std::string::npos) {
            std::string rest = wmClass->substr(split + 1);
            info.className = rest.substr(0, rest.find('\0'));
        }
    }
    info.states = states(window);
    info.layer = layerOf(window, info.overrideRedirect);
    info.onScreen = info.onScreen && !info.states.hidden;
    return located;
}

std::optional<X11WindowInfo> EwmhWindows::locate(Window window) {
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(x_.display(), window, &attributes)) return std::nullopt;
    int rootX = 0, rootY = 0;
    Window child = None;
    if (!XTranslateCoordinates(x_.display(), window, x_.root(), 0, 0, &rootX, &rootY, &child)) return std::nullopt;
    X11WindowInfo info;
    info.id = window;
    info.overrideRedirect = attributes.override_redirect;
    // Outer frame: the client's root position and size grown by the frame
    // extents the manager publishes (left, right, top, bottom).
    const auto [left, right, top, bottom] = frameExtents(window);
    info.bounds = RootRect{static_cast<int>(rootX - left), static_cast<int>(rootY - top),
                           static_cast<int>(attributes.width + left + right),
                           static_cast<int>(attributes.height + top + bottom)};
    info.onScreen = attributes.map_state == IsViewable;
    return info;
}

std::vector<X11WindowInfo> EwmhWindows::list() {
    std::vector<Window> frontToBack;
    if (auto stacking = x_.numbers(x_.root(), x_.atom("_NET_CLIENT_LIST_STACKING"), XA_WINDOW)) {
        frontToBack.assign(stacking->rbegin(), stacking->rend());
    } else {
        Window root = None, parent = None;
        Window* children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(x_.display(), x_.root(), &root, &parent, &children, &count)) {
            XData<Window> owned(children);
            for (unsigned int i = count; i-- > 0;) {
                XWindowAttributes attributes{};
                if (XGetWindowAttributes(x_.display(), children[i], &attributes) &&
                    attributes.map_state == IsViewable) {
                    frontToBack.push_back(children[i]);
                }
            }
        }
    }
    std::vector<X11WindowInfo> result;
    result.reserve(frontToBack.size());
    for (Window window : frontToBack) {
        if (auto info = describe(window)) result.push_back(std::move(*info));
    }
    return result;
}

std::optional<Window> EwmhWindows::activeWindow() {
    auto active = x_.numbers(x_.root(), x_.atom("_NET_ACTIVE_WINDOW"), XA_WINDOW);
    if (!active || active->empty() || (*active)[0] == None) return std::nullopt;
    return static_cast<Window>((*active)[0]);
}

bool EwmhWindows::activate(Window window) {
    const long current = static_cast<long>(activeWindow().value_or(None));
    return x_.sendToRoot(window, "_NET_ACTIVE_WINDOW", {SOURCE_PAGER, CurrentTime, current, 0, 0});
}

bool EwmhWindows::close(Window window) {
    return x_.sendToRoot(window, "_NET_CLOSE_WINDOW", {CurrentTime, SOURCE_PAGER, 0, 0, 0});
}

bool EwmhWindows::iconify(Window window) {
    X11ErrorTrap trap(x_.display());
    const bool sent = XIconifyWindow(x_.display(), window, DefaultScreen(x_.display())) != 0;
    return sent && !trap.failed();
}

bool EwmhWindows::changeState(Window window, StateChange change, std::string_view first, std::string_view second) {
    const auto stateAtom = [&](std::string_view suffix) -> long {
        if (suffix.empty()) return 0;
        return static_cast<long>(x_.atom(std::string("_NET_WM_STATE_") + std::string(suffix)));
    };
    return x_.sendToRoot(window, "_NET_WM_STATE",
                         {static_cast<long>(change), stateAtom(first), stateAtom(second), SOURCE_PAGER, 0});
}

EwmhWindows::FrameExtents EwmhWindows::frameExtents(Window window) {
    FrameExtents extents;
    if (auto values = x_.numbers(window, x_.atom("_NET_FRAME_EXTENTS"), XA_CARDINAL); values && values->size() >= 4) {
        extents.left = static_cast<long>((*values)[0]);
        extents.right = static_cast<long>((*values)[1]);
        extents.top = static_cast<long>((*values)[2]);
        extents.bottom = static_cast<long>((*values)[3]);
    }
    return extents;
}

bool EwmhWindows::moveResize(Window window, const RootRect& outer, MoveResizeFields fields) {
    // North-west gravity: x and y place the outer frame's top-left corner;
    // width and height are the client's, so the frame extents come off.
    const auto [left, right, top, bottom] = frameExtents(window);
    constexpr long NORTH_WEST_GRAVITY = 1;
    constexpr long X_AND_Y = (1L << 8) | (1L << 9);
    constexpr long WIDTH_AND_HEIGHT = (1L << 10) | (1L << 11);
    const long present = ((fields & kPosition) ? X_AND_Y : 0) | ((fields & kSize) ? WIDTH_AND_HEIGHT : 0);
    const long flags = NORTH_WEST_GRAVITY | present | (SOURCE_PAGER << 12);
    const long width = std::max(1L, outer.width - left - right);
    const long height = std::max(1L, outer.height - top - bottom);
    return x_.sendToRoot(window, "_NET_MOVERESIZE_WINDOW", {flags, outer.x, outer.y, width, height});
}

bool EwmhWindows::restackAbove(Window window, Window target) {
    auto targetFrame = frameOf(target);
    if (!targetFrame) return false;
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(x_.display(), window, &attributes)) return false;
    if (attributes.override_redirect) {
        X11ErrorTrap trap(x_.display());
        XWindowChanges changes{};
        changes.sibling = *targetFrame;
        changes.stack_mode = Above;
        XConfigureWindow(x_.display(), window, CWSibling | CWStackMode, &changes);
        return !trap.failed();
    }
    return x_.sendToRoot(window, "_NET_RESTACK_WINDOW", {SOURCE_PAGER, static_cast<long>(target), Above, 0, 0});
}

}  // namespace kest::platform::linux_desktop
