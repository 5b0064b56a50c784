// The Overlay service on Linux: the main thread's GLib loop (posted work,
// timers) and the halo's surfaces on an X connection of the main thread's own.
//
// Ownership: owns the loop, the connection (opened with the first surface)
// and its event watch; surfaces borrow both and must go before it. Threading:
// postToMainThread from any thread; everything else on the main thread. In the
// one-shot modes no one runs the loop, so posted work never runs.
#pragma once

#include <memory>

#include "platform/linux/glib_main_loop.hpp"
#include "platform/linux/x11_connection.hpp"
#include "platform/overlay.hpp"
#include "platform/screens.hpp"

namespace kest::platform::linux_desktop {

class LinuxOverlay final : public Overlay {
public:
    // `screens` gives the height the surfaces' bottom-left frames flip
    // against; it must outlive the overlay.
    explicit LinuxOverlay(Screens& screens);
    ~LinuxOverlay() override;

    std::unique_ptr<OverlaySurface> createSurface(Rect frame) override;
    void postToMainThread(std::function<void()> task) override;
    std::unique_ptr<MainLoopTimer> startRepeatingTimer(std::chrono::milliseconds interval,
                                                       std::function<void()> tick) override;
    void runMainLoop(std::chrono::milliseconds maxWait) override;

private:
    X11Connection* connection();
    void drainEvents();

    Screens& screens_;
    GlibMainLoop loop_;
    std::unique_ptr<X11Connection> connection_;
    std::unique_ptr<GlibSourceOwner> events_;
};

}  // namespace kest::platform::linux_desktop
