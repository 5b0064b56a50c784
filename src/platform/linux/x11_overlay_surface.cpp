// The halo's X11 window, its shapes and its drawing.
#include "platform/linux/x11_overlay_surface.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

namespace kest::platform::linux_desktop {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto FRAME_INTERVAL = std::chrono::milliseconds(16);
constexpr double PULSE_SECONDS = 1.5;
constexpr double DRIFT_SECONDS = 3.0;
constexpr double RIPPLE_RADIUS = 90;
constexpr double RIPPLE_FIRST_SCALE = 0.05;
// The bounding square a ripple may paint in (its widest ring, glow included).
constexpr double RIPPLE_REACH = RIPPLE_RADIUS + 12;

struct Rgb {
    double r, g, b;
};
constexpr Rgb BLUE{0.29, 0.56, 1.0};
constexpr Rgb PURPLE{0.56, 0.36, 1.0};
constexpr Rgb WHITE{1, 1, 1};

Rgb mix(Rgb a, Rgb b, double t) { return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t}; }

double easeInOut(double t) { return t * t * (3 - 2 * t); }
double easeOut(double t) { return 1 - (1 - t) * (1 - t); }

// Endless, there and back: 0 → 1 over `period`, then 1 → 0, eased both ways.
double autoreversed(double seconds, double period) {
    const double phase = std::fmod(seconds, 2 * period) / period;
    return easeInOut(phase <= 1 ? phase : 2 - phase);
}

struct RippleRing {
    double toScale;
    std::array<double, 3> opacities;
    std::array<double, 3> keyTimes;
    double duration;
    double begins;
};
constexpr std::array<RippleRing, 3> RIPPLE_RINGS{{
    {1.0, {1.0, 0.7, 0.0}, {0, 0.35, 1}, 0.65, 0},
    {0.75, {0.0, 0.9, 0.0}, {0, 0.3, 1}, 0.52, 0.06},
    {0.5, {0.0, 0.8, 0.0}, {0, 0.25, 1}, 0.39, 0.12},
}};

void setColour(cairo_t* cr, Rgb c, double alpha) { cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha); }

void roundedRect(cairo_t* cr, double x, double y, double w, double h, double r) {
    r = std::min({r, w / 2, h / 2});
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
    cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
    cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

struct CairoDeleter {
    void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
using CairoPtr = std::unique_ptr<cairo_t, CairoDeleter>;
struct CairoSurfaceDeleter {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
using CairoSurfacePtr = std::unique_ptr<cairo_surface_t, CairoSurfaceDeleter>;

// A 32-bit TrueColor visual whose picture format carries alpha: a depth of 32
// alone may be x8r8g8b8, which a compositor paints as opaque.
Visual* argbVisual(Display* dpy, int screen) {
    XVisualInfo wanted{};
    wanted.screen = screen;
    wanted.depth = 32;
    wanted.c_class = TrueColor;
    int count = 0;
    XData<XVisualInfo> infos(
        XGetVisualInfo(dpy, VisualScreenMask | VisualDepthMask | VisualClassMask, &wanted, &count));
    for (int i = 0; i < count; ++i) {
        XRenderPictFormat* format = XRenderFindVisualFormat(dpy, infos.get()[i].visual);
        if (format && format->type == PictTypeDirect && format->direct.alphaMask) return infos.get()[i].visual;
    }
    return nullptr;
}

}  // namespace

HaloLook haloLookAt(std::chrono::duration<double> elapsed) {
    return HaloLook{autoreversed(elapsed.count(), PULSE_SECONDS), autoreversed(elapsed.count(), DRIFT_SECONDS)};
}

RippleRingState rippleRingAt(int ring, double secondsSinceStart) {
    const RippleRing& timing = RIPPLE_RINGS[static_cast<std::size_t>(ring)];
    const double local = (secondsSinceStart - timing.begins) / timing.duration;
    if (local < 0 || local > 1) return {};
    const double t = easeOut(local);
    double opacity = timing.opacities[2];
    for (std::size_t i = 0; i + 1 < timing.keyTimes.size(); ++i) {
        if (t <= timing.keyTimes[i + 1]) {
            const double span = timing.keyTimes[i + 1] - timing.keyTimes[i];
            const double f = span > 0 ? (t - timing.keyTimes[i]) / span : 1;
            opacity = timing.opacities[i] + (timing.opacities[i + 1] - timing.opacities[i]) * f;
            break;
        }
    }
    const double scale = RIPPLE_FIRST_SCALE + (timing.toScale - RIPPLE_FIRST_SCALE) * t;
    return RippleRingState{true, RIPPLE_RADIUS * scale, opacity, scale};
}

X11OverlaySurface::X11OverlaySurface(X11Connection& x, GlibMainLoop& loop, double flipHeight)
    : x_(x), loop_(loop), flipHeight_(flipHeight), epoch_(Clock::now()) {}

std::unique_ptr<X11OverlaySurface> X11OverlaySurface::create(X11Connection& x, GlibMainLoop& loop, Rect frame,
                                                             double flipHeight) {
    int shapeEvent = 0, shapeError = 0, fixesEvent = 0, fixesError = 0;
    Display* dpy = x.display();
    if (!XShapeQueryExtension(dpy, &shapeEvent, &shapeError) || !XFixesQueryExtension(dpy, &fixesEvent, &fixesError)) {
        return nullptr;  // without them the window would catch clicks or hide the desktop
    }
    std::unique_ptr<X11OverlaySurface> surface(new X11OverlaySurface(x, loop, flipHeight));
    surface->frame_ = frame;
    const int screen = DefaultScreen(dpy);
    surface->composited_ = surface->compositorRuns();
    Visual* argb = surface->composited_ ? argbVisual(dpy, screen) : nullptr;
    if (argb) {
        surface->visual_ = argb;
        surface->depth_ = 32;
        surface->colormap_ = XCreateColormap(dpy, x.root(), argb, AllocNone);
        surface->ownColormap_ = true;
    } else {
        surface->composited_ = false;  // no translucency without a 32-bit visual
        surface->visual_ = DefaultVisual(dpy, screen);
        surface->depth_ = DefaultDepth(dpy, screen);
        surface->colormap_ = DefaultColormap(dpy, screen);
    }

    surface->width_ = std::max(1, static_cast<int>(std::lround(frame.width)));
    surface->height_ = std::max(1, static_cast<int>(std::lround(frame.height)));
    const int left = static_cast<int>(std::lround(frame.x));
    const int top = static_cast<int>(std::lround(flipHeight - frame.y - frame.height));
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixmap = None;  // never cleared by the server: no flicker
    attributes.border_pixel = 0;
    attributes.colormap = surface->colormap_;
    attributes.event_mask = ExposureMask;
    X11ErrorTrap trap(dpy);
    surface->window_ = XCreateWindow(dpy, x.root(), left, top, static_cast<unsigned>(surface->width_),
                                     static_cast<unsigned>(surface->height_), 0, surface->depth_, InputOutput,
                                     surface->visual_,
                                     CWOverrideRedirect | CWBackPixmap | CWBorderPixel | CWColormap | CWEventMask,
                                     &attributes);
    if (trap.failed() || surface->window_ == None) {
        surface->window_ = None;
        return nullptr;
    }
    XStoreName(dpy, surface->window_, "kest-core halo");
    XClassHint hint{const_cast<char*>("kest-core"), const_cast<char*>("kest-core")};
    XSetClassHint(dpy, surface->window_, &hint);

    // Click-through: an empty input shape.
    XserverRegion empty = XFixesCreateRegion(dpy, nullptr, 0);
    XFixesSetWindowShapeRegion(dpy, surface->window_, ShapeInput, 0, 0, empty);
    XFixesDestroyRegion(dpy, empty);
    surface->gc_ = XCreateGC(dpy, surface->window_, 0, nullptr);
    x.flush();
    return surface;
}

X11OverlaySurface::~X11OverlaySurface() {
    stopFrames();
    releaseBackBuffer();
    Display* dpy = x_.display();
    if (gc_) XFreeGC(dpy, gc_);
    if (window_ != None) XDestroyWindow(dpy, window_);
    if (ownColormap_) XFreeColormap(dpy, colormap_);
    x_.flush();
}

bool X11OverlaySurface::compositorRuns() {
    const std::string name = "_NET_WM_CM_S" + std::to_string(DefaultScreen(x_.display()));
    return XGetSelectionOwner(x_.display(), x_.atom(name)) != None;
}

void X11OverlaySurface::placeWindow() {
    const int left = static_cast<int>(std::lround(frame_.x));
    const int top = static_cast<int>(std::lround(flipHeight_ - frame_.y - frame_.height));
    XMoveResizeWindow(x_.display(), window_, left, top, static_cast<unsigned>(width_), static_cast<unsigned>(height_));
}

void X11OverlaySurface::setFrame(Rect frame) {
    frame_ = frame;
    width_ = std::max(1, static_cast<int>(std::lround(frame.width)));
    height_ = std::max(1, static_cast<int>(std::lround(frame.height)));
    placeWindow();
    x_.flush();
}

void X11OverlaySurface::orderFront() {
    if (mapped_) return;
    XMapWindow(x_.display(), window_);
    mapped_ = true;
    drawFrame();
    startFrames();
}

void X11OverlaySurface::orderOut() {
    if (!mapped_) return;
    XUnmapWindow(x_.display(), window_);
    mapped_ = false;
    stopFrames();
    x_.flush();
}

void X11OverlaySurface::setRing(const Ring& ring) {
    ring_ = ring;
    hasRing_ = true;
    applyShape();
    if (mapped_) drawFrame();
}

void X11OverlaySurface::showRipple(Point point) {
    ripples_.push_back(Ripple{point.x, height_ - point.y, Clock::now()});
    applyShape();
    if (mapped_) drawFrame();
}

std::optional<bool> X11OverlaySurface::isAbove(WindowNumber target) {
    if (!mapped_) return false;
    Display* dpy = x_.display();
    X11ErrorTrap trap(dpy);
    // The target's top-level ancestor: its frame under a window manager.
    Window frame = static_cast<Window>(target);
    for (int depth = 0; depth < 64; ++depth) {
        Window root = None, parent = None;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(dpy, frame, &root, &parent, &children, &count)) return false;
        XData<Window> owned(children);
        if (parent == root || parent == None) break;
        frame = parent;
    }
    Window root = None, parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(dpy, x_.root(), &root, &parent, &children, &count)) return false;
    XData<Window> owned(children);
    // Bottom to top: whichever of the two comes later is in front.
    for (unsigned int i = count; i-- > 0;) {
        if (children[i] == window_) return true;
        if (children[i] == frame) return false;
    }
    return false;
}

void X11OverlaySurface::ensureBackBuffer() {
    if (back_ != None && backWidth_ == width_ && backHeight_ == height_) return;
    releaseBackBuffer();
    back_ = XCreatePixmap(x_.display(), window_, static_cast<unsigned>(width_), static_cast<unsigned>(height_),
                          static_cast<unsigned>(depth_));
    backSurface_ = cairo_xlib_surface_create(x_.display(), back_, visual_, width_, height_);
    backWidth_ = width_;
    backHeight_ = height_;
}

void X11OverlaySurface::releaseBackBuffer() {
    if (backSurface_) cairo_surface_destroy(backSurface_);
    backSurface_ = nullptr;
    if (back_ != None) XFreePixmap(x_.display(), back_);
    back_ = None;
}

// Window (top-left) coordinates of the ring's centre line and of the hole.
namespace {
struct WindowRect {
    double x, y, w, h;
};
WindowRect toWindow(const Rect& r, int height) { return {r.x, height - r.y - r.height, r.width, r.height}; }
}  // namespace

// Composited: the whole surface but the target's rectangle, plus a square
// around each running ripple. Otherwise: the ring's stroke at glow width, less
// the target's rectangle, plus each ripple's rings as they are now.
void X11OverlaySurface::applyShape() {
    Display* dpy = x_.display();
    if (!hasRing_) return;
    const WindowRect hole = toWindow(ring_.hole, height_);
    if (composited_) {
        const int hx = static_cast<int>(std::lround(hole.x)), hy = static_cast<int>(std::lround(hole.y));
        const int hw = static_cast<int>(std::lround(hole.w)), hh = static_cast<int>(std::lround(hole.h));
        std::vector<XRectangle> rects;
        auto add = [&](int x, int y, int w, int h) {
            x = std::max(0, x);
            y = std::max(0, y);
            w = std::min(w, width_ - x);
            h = std::min(h, height_ - y);
            if (w > 0 && h > 0) {
                rects.push_back(XRectangle{static_cast<short>(x), static_cast<short>(y), static_cast<unsigned short>(w),
                                           static_cast<unsigned short>(h)});
            }
        };
        add(0, 0, width_, hy);
        add(0, hy + hh, width_, height_ - hy - hh);
        add(0, hy, hx, hh);
        add(hx + hw, hy, width_ - hx - hw, hh);
        for (const auto& ripple : ripples_) {
            const int reach = static_cast<int>(RIPPLE_REACH);
            add(static_cast<int>(ripple.x) - reach, static_cast<int>(ripple.y) - reach, 2 * reach, 2 * reach);
        }
        XShapeCombineRectangles(dpy, window_, ShapeBounding, 0, 0, rects.data(), static_cast<int>(rects.size()),
                                ShapeSet, Unsorted);
        shapedForRipples_ = !ripples_.empty();
        x_.flush();
        return;
    }

    Pixmap mask = XCreatePixmap(dpy, window_, static_cast<unsigned>(width_), static_cast<unsigned>(height_), 1);
    {
        CairoSurfacePtr surface(
            cairo_xlib_surface_create_for_bitmap(dpy, mask, DefaultScreenOfDisplay(dpy), width_, height_));
        CairoPtr cr(cairo_create(surface.get()));
        cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
        cairo_set_source_rgba(cr.get(), 0, 0, 0, 0);
        cairo_paint(cr.get());
        cairo_set_source_rgba(cr.get(), 1, 1, 1, 1);
        cairo_set_antialias(cr.get(), CAIRO_ANTIALIAS_NONE);
        cairo_save(cr.get());
        cairo_set_fill_rule(cr.get(), CAIRO_FILL_RULE_EVEN_ODD);
        cairo_rectangle(cr.get(), 0, 0, width_, height_);
        cairo_rectangle(cr.get(), hole.x, hole.y, hole.w, hole.h);
        cairo_clip(cr.get());
        const WindowRect ring = toWindow(ring_.rect, height_);
        roundedRect(cr.get(), ring.x, ring.y, ring.w, ring.h, ring_.cornerRadius);
        cairo_set_line_width(cr.get(), ring_.glowWidth);
        cairo_stroke(cr.get());
        cairo_restore(cr.get());
        for (const auto& ripple : ripples_) {
            const double since = std::chrono::duration<double>(Clock::now() - ripple.start).count();
            for (int i = 0; i < 3; ++i) {
                const auto state = rippleRingAt(i, since);
                if (!state.visible || state.opacity <= 0.05) continue;
                cairo_new_path(cr.get());
                cairo_arc(cr.get(), ripple.x, ripple.y, state.radius, 0, 2 * M_PI);
                cairo_set_line_width(cr.get(), std::max(2.0, (3.5 - i) * state.scale + 2));
                cairo_stroke(cr.get());
            }
        }
        cairo_surface_flush(surface.get());
    }
    XShapeCombineMask(dpy, window_, ShapeBounding, 0, 0, mask, ShapeSet);
    XFreePixmap(dpy, mask);
    shapedForRipples_ = !ripples_.empty();
    x_.flush();
}

void X11OverlaySurface::startFrames() {
    if (frames_) return;
    frames_ = loop_.repeat(FRAME_INTERVAL, [this] { drawFrame(); });
}

void X11OverlaySurface::stopFrames() { frames_.reset(); }

void X11OverlaySurface::drawFrame() {
    if (!mapped_ || !hasRing_) return;
    const auto now = Clock::now();
    const std::size_t before = ripples_.size();
    std::erase_if(ripples_, [&](const Ripple& r) {
        return std::chrono::duration<double>(now - r.start).count() > RIPPLE_SECONDS;
    });
    // The shape follows the ripples: every frame while they run without a
    // compositor, once when the last one ends with one.
    if (!composited_ ? (!ripples_.empty() || ripples_.size() != before) : (ripples_.empty() && shapedForRipples_)) {
        applyShape();
    }

    ensureBackBuffer();
    const HaloLook look = haloLookAt(now - epoch_);
    const Rgb colour = mix(BLUE, PURPLE, look.drift);
    const WindowRect ring = toWindow(ring_.rect, height_);
    const WindowRect hole = toWindow(ring_.hole, height_);
    CairoPtr cr(cairo_create(backSurface_));
    cairo_t* c = cr.get();
    cairo_set_operator(c, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_rgba(c, 0, 0, 0, 0);
    cairo_paint(c);
    cairo_set_operator(c, CAIRO_OPERATOR_OVER);

    cairo_save(c);
    cairo_set_fill_rule(c, CAIRO_FILL_RULE_EVEN_ODD);
    cairo_rectangle(c, 0, 0, width_, height_);
    cairo_rectangle(c, hole.x, hole.y, hole.w, hole.h);
    cairo_clip(c);
    cairo_set_fill_rule(c, CAIRO_FILL_RULE_WINDING);
    roundedRect(c, ring.x, ring.y, ring.w, ring.h, ring_.cornerRadius);
    if (composited_) {
        // The glow: its shadow as widening strokes that fade outwards, then the
        // glow line and the border on top.
        const double glowOpacity = 0.5 + 0.5 * look.pulse;
        const double shadowRadius = 12 + 18 * look.pulse;
        constexpr int STEPS = 5;
        for (int k = 0; k < STEPS; ++k) {
            const double width = ring_.glowWidth + 2 * shadowRadius * (STEPS - k) / STEPS;
            setColour(c, colour, 0.9 * 0.14 * glowOpacity);
            cairo_set_line_width(c, width);
            cairo_stroke_preserve(c);
        }
        setColour(c, colour, 0.3 * glowOpacity);
        cairo_set_line_width(c, ring_.glowWidth);
        cairo_stroke_preserve(c);
        setColour(c, colour, 0.9 * (0.6 + 0.4 * look.pulse));
        cairo_set_line_width(c, ring_.borderWidth);
        cairo_stroke(c);
    } else {
        // Opaque within the ring's shape: a light glow band that pulses, and
        // the border in the drifting colour.
        setColour(c, mix(colour, WHITE, 0.55 - 0.3 * look.pulse), 1);
        cairo_set_line_width(c, ring_.glowWidth + 2);
        cairo_stroke_preserve(c);
        setColour(c, mix(colour, WHITE, 0.25 * (1 - look.pulse)), 1);
        cairo_set_line_width(c, ring_.borderWidth);
        cairo_stroke(c);
    }
    cairo_restore(c);

    for (const auto& ripple : ripples_) {
        const double since = std::chrono::duration<double>(now - ripple.start).count();
        for (int i = 0; i < 3; ++i) {
            const auto state = rippleRingAt(i, since);
            if (!state.visible || state.opacity <= 0) continue;
            cairo_new_path(c);
            cairo_arc(c, ripple.x, ripple.y, state.radius, 0, 2 * M_PI);
            const double o = state.opacity;
            const double lineWidth = (i == 0 ? 3.5 : i == 1 ? 2.5 : 1.5) * state.scale;
            const Rgb stroke = i == 0 ? BLUE : i == 1 ? PURPLE : WHITE;
            if (composited_) {
                if (i < 2) {
                    setColour(c, BLUE, (i == 0 ? 0.25 : 0.1) * o);
                    cairo_fill_preserve(c);
                    setColour(c, stroke, (i == 0 ? 0.8 : 0.6) * 0.3 * o);
                    cairo_set_line_width(c, lineWidth + (i == 0 ? 15 : 10) * state.scale);
                    cairo_stroke_preserve(c);
                }
                setColour(c, stroke, (i == 0 ? 0.9 : i == 1 ? 0.7 : 0.6) * o);
                cairo_set_line_width(c, lineWidth);
                cairo_stroke(c);
            } else {
                setColour(c, mix(WHITE, stroke, o), 1);
                cairo_set_line_width(c, std::max(2.0, lineWidth + 2));
                cairo_stroke(c);
            }
        }
    }
    cr.reset();
    cairo_surface_flush(backSurface_);
    XCopyArea(x_.display(), back_, window_, gc_, 0, 0, static_cast<unsigned>(width_), static_cast<unsigned>(height_), 0,
              0);
    x_.flush();
}

}  // namespace kest::platform::linux_desktop
