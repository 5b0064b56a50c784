// The halo's surface on X11: an override-redirect window (no window manager
// decorates, moves or lists it) whose input shape is empty, so every click and
// scroll reaches what lies below.
//
// Where a compositor runs (_NET_WM_CM_S<n> has an owner) the window has a
// 32-bit ARGB visual and the translucent glow is drawn with cairo; its
// bounding shape leaves out the target's rectangle. Without a compositor the
// bounding shape is cut to the ring itself (and to the ripples while they
// run), so the desktop around the ring stays visible. Either way nothing is
// painted over the target, so its pixels, and captures of it, stay its own.
//
// Drawing is driven by elapsed time: a 16 ms frame timer runs while the
// window is mapped, and each frame is drawn into a back pixmap and copied in
// one request.
//
// Ownership: owns its window, back pixmap, colormap and frame timer; borrows
// the connection and the loop, which must outlive it. Threading: the main
// thread only.
#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "platform/linux/glib_main_loop.hpp"
#include "platform/linux/x11_connection.hpp"
#include "platform/linux/x11_includes.hpp"
#include "platform/overlay.hpp"

namespace kest::platform::linux_desktop {

// The animation's values at an instant, as the halo's look describes them:
// the ring pulses every 1.5 s and drifts between blue and purple every 3 s,
// both there and back with ease-in-ease-out.
struct HaloLook {
    double pulse = 0;  // 0..1
    double drift = 0;  // 0..1: blue to purple
};
HaloLook haloLookAt(std::chrono::duration<double> elapsed);

// One ring of a ripple at an instant after the ripple began.
struct RippleRingState {
    bool visible = false;
    double radius = 0;  // points
    double opacity = 0;
    double scale = 0;
};
// ring 0, 1, 2; a ripple is over after RIPPLE_SECONDS.
RippleRingState rippleRingAt(int ring, double secondsSinceStart);
inline constexpr double RIPPLE_SECONDS = 0.65;

class X11OverlaySurface final : public OverlaySurface {
public:
    // `flipHeight` turns the desktop's bottom-left frames into root
    // coordinates. Nothing when the window cannot be made.
    static std::unique_ptr<X11OverlaySurface> create(X11Connection& x, GlibMainLoop& loop, Rect frame,
                                                     double flipHeight);
    ~X11OverlaySurface() override;

    WindowNumber windowNumber() const override { return static_cast<WindowNumber>(window_); }
    Rect frame() const override { return frame_; }
    void setFrame(Rect frame) override;
    void orderFront() override;
    void orderOut() override;
    void setRing(const Ring& ring) override;
    void showRipple(Point point) override;
    std::optional<bool> isAbove(WindowNumber target) override;

    bool composited() const { return composited_; }

private:
    struct Ripple {
        double x, y;  // window (top-left) coordinates
        std::chrono::steady_clock::time_point start;
    };
    X11OverlaySurface(X11Connection& x, GlibMainLoop& loop, double flipHeight);

    bool compositorRuns();
    void placeWindow();
    void ensureBackBuffer();
    void releaseBackBuffer();
    void applyShape();
    void drawFrame();
    void startFrames();
    void stopFrames();

    X11Connection& x_;
    GlibMainLoop& loop_;
    double flipHeight_;
    Window window_ = None;
    Visual* visual_ = nullptr;
    int depth_ = 0;
    Colormap colormap_ = None;
    bool ownColormap_ = false;
    bool composited_ = false;
    bool mapped_ = false;
    Rect frame_;
    int width_ = 1, height_ = 1;
    Ring ring_;
    bool hasRing_ = false;
    std::vector<Ripple> ripples_;
    bool shapedForRipples_ = false;
    GC gc_ = nullptr;
    Pixmap back_ = None;
    cairo_surface_t* backSurface_ = nullptr;
    int backWidth_ = 0, backHeight_ = 0;
    std::unique_ptr<GlibSourceOwner> frames_;
    std::chrono::steady_clock::time_point epoch_;
};

}  // namespace kest::platform::linux_desktop
