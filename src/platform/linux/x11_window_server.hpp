// The WindowServer service over X11 and EWMH: window-list records and
// ordering a window directly above another.
//
// Ownership: owns its X connection, opened on first use. Threading: called
// from the request thread and the overlay's main thread; a mutex serialises
// them on the one connection.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/linux/x11_windows.hpp"
#include "platform/window_server.hpp"

namespace kest::platform::linux_desktop {

// The record of one window, its owner named by the WM_CLASS class, else the
// process's command name (a full list then prefers the application's name).
WindowRecord windowRecord(const X11WindowInfo& info);

class X11WindowServer final : public WindowServer {
public:
    std::optional<std::vector<WindowRecord>> windowList(WindowListOptions options, WindowNumber relativeTo) override;
    bool orderWindowAbove(WindowNumber window, WindowNumber target) override;
    // Reading the screen needs nothing but the X connection.
    bool preflightScreenCaptureAccess() override;

    // Application names by process id, asked once per full window list so
    // that a window's owner carries the same name as its running application
    // (desktop entry, accessibility bus, window class, command, in that
    // order). Without it, or for a pid it does not name, the owner is the
    // window class, else the command name. Called outside the X mutex.
    using OwnerNamer = std::function<std::map<int, std::string>()>;
    void setOwnerNamer(OwnerNamer namer) { ownerNamer_ = std::move(namer); }

private:
    EwmhWindows* windows();

    std::mutex mutex_;
    std::unique_ptr<X11Connection> connection_;
    std::unique_ptr<EwmhWindows> windows_;
    OwnerNamer ownerNamer_;
};

}  // namespace kest::platform::linux_desktop
