// The WindowServer service over X11 and EWMH: window-list records and
// ordering a window directly above another.
//
// Ownership: owns its X connection, opened on first use. Threading: called
// from the request thread and the overlay's main thread; a mutex serialises
// them on the one connection.
#pragma once

#include <memory>
#include <mutex>

#include "platform/linux/x11_windows.hpp"
#include "platform/window_server.hpp"

namespace kest::platform::linux_desktop {

// The record of one window. The owner name is the WM_CLASS class, else the
// process's command name.
WindowRecord windowRecord(const X11WindowInfo& info);

class X11WindowServer final : public WindowServer {
public:
    std::optional<std::vector<WindowRecord>> windowList(WindowListOptions options, WindowNumber relativeTo) override;
    bool orderWindowAbove(WindowNumber window, WindowNumber target) override;
    // Reading the screen needs nothing but the X connection.
    bool preflightScreenCaptureAccess() override;

private:
    EwmhWindows* windows();

    std::mutex mutex_;
    std::unique_ptr<X11Connection> connection_;
    std::unique_ptr<EwmhWindows> windows_;
};

}  // namespace kest::platform::linux_desktop
