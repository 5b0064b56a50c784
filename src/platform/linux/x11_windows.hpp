// The top-level windows of an EWMH desktop: the stacking list with each
// window's owner, title, outer-frame bounds, layer and visibility, and the
// window-manager requests that activate, close, iconify, change the state of,
// move and resize, and restack them.
//
// Ownership: borrows the connection, which must outlive it. Threading: the
// connection's thread. Requests go to the window manager as client messages
// (source indication 2, "pager"), so they take effect asynchronously: a
// caller that needs the result reads the list again.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/x11_connection.hpp"

namespace kest::platform::linux_desktop {

// A rectangle in root-window (global top-left) coordinates.
struct RootRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const RootRect&) const = default;
};

struct WindowStates {
    bool hidden = false;
    bool fullscreen = false;
    bool maximized = false;  // both directions
    bool modal = false;
};

struct X11WindowInfo {
    Window id = None;     // the client window
    Window frame = None;  // the window manager's frame (the client itself when unmanaged)
    std::optional<int> pid;
    std::optional<std::string> title;      // _NET_WM_NAME, else WM_NAME
    std::optional<std::string> instance;   // WM_CLASS, first part
    std::optional<std::string> className;  // WM_CLASS, second part
    RootRect bounds;                       // the outer frame
    long layer = 0;                        // 0 for normal and dialog windows
    bool onScreen = false;                 // viewable and not hidden
    bool overrideRedirect = false;
    WindowStates states;
};

enum class StateChange : long { remove = 0, add = 1, toggle = 2 };

class EwmhWindows {
public:
    explicit EwmhWindows(X11Connection& connection) : x_(connection) {}

    // Front-most first: _NET_CLIENT_LIST_STACKING reversed, else the mapped
    // children of the root in reverse stacking order. Windows that vanish
    // while being read are left out.
    std::vector<X11WindowInfo> list();
    std::optional<X11WindowInfo> describe(Window window);
    // Only the id, the outer-frame bounds and whether the window is viewable,
    // in three round trips: what tracking a window needs.
    std::optional<X11WindowInfo> locate(Window window);

    std::optional<Window> activeWindow();
    WindowStates states(Window window);

    bool activate(Window window);
    bool close(Window window);
    bool iconify(Window window);
    // `second` may be empty; names are _NET_WM_STATE_* atoms' suffixes
    // ("HIDDEN", "FULLSCREEN", "MAXIMIZED_VERT", ...).
    bool changeState(Window window, StateChange change, std::string_view first, std::string_view second = {});
    // `outer` is the outer frame, as `list` reports bounds. Only the fields
    // asked for are sent: a move must not also send a size read before an
    // earlier resize took effect, nor a resize an outdated position.
    enum MoveResizeFields : unsigned { kPosition = 1, kSize = 2, kPositionAndSize = 3 };
    bool moveResize(Window window, const RootRect& outer, MoveResizeFields fields = kPositionAndSize);
    // Places `window` directly above `target`'s frame: directly for an
    // override-redirect window (no manager intervenes), else through
    // _NET_RESTACK_WINDOW.
    bool restackAbove(Window window, Window target);

    // The top-level ancestor (child of the root) of `window`.
    std::optional<Window> frameOf(Window window);

private:
    long layerOf(Window window, bool overrideRedirect);
    // The decorations the manager adds around a client (_NET_FRAME_EXTENTS);
    // zero when it publishes none.
    struct FrameExtents {
        long left = 0, right = 0, top = 0, bottom = 0;
    };
    FrameExtents frameExtents(Window window);

    X11Connection& x_;
};

}  // namespace kest::platform::linux_desktop
