// The main thread's loop and the halo's surfaces.
#include "platform/linux/x11_overlay.hpp"

#include "platform/linux/x11_overlay_surface.hpp"

namespace kest::platform::linux_desktop {

LinuxOverlay::LinuxOverlay(Screens& screens) : screens_(screens) {}

LinuxOverlay::~LinuxOverlay() { events_.reset(); }

X11Connection* LinuxOverlay::connection() {
    if (!connection_) {
        connection_ = X11Connection::open();
        if (connection_) {
            events_ = loop_.watch(ConnectionNumber(connection_->display()), [this] { drainEvents(); });
        }
    }
    return connection_.get();
}

// The surfaces redraw by time, not on Expose; the queue is emptied so that it
// never grows.
void LinuxOverlay::drainEvents() {
    Display* dpy = connection_->display();
    while (XPending(dpy) > 0) {
        XEvent event;
        XNextEvent(dpy, &event);
    }
}

std::unique_ptr<OverlaySurface> LinuxOverlay::createSurface(Rect frame) {
    X11Connection* x = connection();
    if (!x) return nullptr;
    double flipHeight = x->screenHeight();
    if (auto screen = screens_.mainScreen()) flipHeight = screen->frame.height;
    return X11OverlaySurface::create(*x, loop_, frame, flipHeight);
}

void LinuxOverlay::postToMainThread(std::function<void()> task) { loop_.post(std::move(task)); }

std::unique_ptr<MainLoopTimer> LinuxOverlay::startRepeatingTimer(std::chrono::milliseconds interval,
                                                                 std::function<void()> tick) {
    return loop_.repeat(interval, std::move(tick));
}

void LinuxOverlay::runMainLoop(std::chrono::milliseconds maxWait) {
    if (connection_) drainEvents();  // events read by a reply wait no longer wake the fd
    loop_.run(maxWait);
}

}  // namespace kest::platform::linux_desktop
