// The halo's geometry, tracking and stacking.
#include "desktop/halo_overlay.hpp"

#include <limits>

namespace kest {
namespace {

namespace p = platform;

constexpr p::WindowListOptions ONE_WINDOW = p::WindowListOption::kIncludingWindow;
constexpr p::WindowListOptions ON_SCREEN =
    p::WindowListOption::kOnScreenOnly | p::WindowListOption::kExcludeDesktopElements;

}  // namespace

HaloOverlay::HaloOverlay(p::Platform& platform, p::WindowNumber windowID) : platform_(platform), windowID_(windowID) {}

HaloOverlay::~HaloOverlay() { remove(); }

std::shared_ptr<HaloOverlay> HaloOverlay::create(p::Platform& platform, p::WindowNumber windowID) {
    std::shared_ptr<HaloOverlay> overlay(new HaloOverlay(platform, windowID));
    overlay->setup();  // after construction, so that the timer can hold the overlay weakly
    return overlay;
}

p::Rect HaloOverlay::calcOverlayFrame(const p::Rect& bounds) const {
    const double m = overlayMargin;
    return p::Rect{bounds.x - m, screenHeight_ - (bounds.y - m) - (bounds.height + 2 * m), bounds.width + 2 * m,
                   bounds.height + 2 * m};
}

// The ring runs borderGap outside the target's edges: the surface's bounds
// inset by margin − gap. The hole is the target itself.
p::Ring HaloOverlay::ringFor(const p::Rect& frame) const {
    const double inset = overlayMargin - borderGap;
    p::Ring ring;
    ring.rect = p::Rect{inset, inset, frame.width - 2 * inset, frame.height - 2 * inset};
    ring.cornerRadius = cornerRadius;
    ring.borderWidth = borderWidth;
    ring.glowWidth = glowWidth;
    ring.hole = p::Rect{overlayMargin, overlayMargin, frame.width - 2 * overlayMargin, frame.height - 2 * overlayMargin};
    return ring;
}

// A target that is listed but off screen (minimised, on another workspace)
// counts as not found: a ring around a window nobody sees misleads.
std::optional<p::Rect> HaloOverlay::queryWindowBounds() {
    auto list = platform_.windowServer().windowList(ONE_WINDOW, windowID_);
    if (!list || list->empty()) return std::nullopt;
    const auto& record = list->front();
    if (!record.bounds) return std::nullopt;
    if (record.isOnscreen == false) return std::nullopt;
    const auto& b = *record.bounds;
    return p::Rect{b.x.value_or(0), b.y.value_or(0), b.width.value_or(0), b.height.value_or(0)};
}

bool HaloOverlay::isOverlayAboveTarget() {
    if (!overlayWindow_) return false;
    if (auto above = overlayWindow_->isAbove(windowID_)) return *above;
    auto list = platform_.windowServer().windowList(ON_SCREEN, p::NULL_WINDOW);
    if (!list) return false;
    const std::int64_t own = overlayWindow_->windowNumber();
    for (const auto& record : *list) {
        std::int64_t number = record.number.value_or(0);
        if (number < 0 || number > std::numeric_limits<p::WindowNumber>::max()) number = 0;
        if (number == own) return true;
        if (number == static_cast<std::int64_t>(windowID_)) return false;
    }
    return false;
}

void HaloOverlay::putAboveTarget() {
    if (!isOverlayAboveTarget()) overlayWindow_->orderFront();
    platform_.windowServer().orderWindowAbove(overlayWindow_->windowNumber(), windowID_);
}

void HaloOverlay::setup() {
    auto bounds = queryWindowBounds();
    if (!bounds) return;
    if (auto screen = platform_.screens().mainScreen()) screenHeight_ = screen->frame.height;
    const p::Rect frame = calcOverlayFrame(*bounds);
    auto surface = platform_.overlay().createSurface(frame);
    if (!surface) return;
    surface->setRing(ringFor(frame));
    surface->orderFront();
    overlayWindow_ = std::move(surface);
    putAboveTarget();
    startTracking();
}

void HaloOverlay::startTracking() {
    trackingTimer_ = platform_.overlay().startRepeatingTimer(TRACKING_INTERVAL, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->trackingTick();
    });
}

void HaloOverlay::trackingTick() {
    auto bounds = queryWindowBounds();
    if (!bounds) {
        if (overlayWindow_) overlayWindow_->orderOut();
        return;
    }
    if (!overlayWindow_) return;
    if (++zOrderTickCount_ % STACKING_CHECK_TICKS == 0) putAboveTarget();
    const p::Rect frame = calcOverlayFrame(*bounds);
    if (frame == overlayWindow_->frame()) return;
    overlayWindow_->setFrame(frame);
    overlayWindow_->setRing(ringFor(frame));
}

void HaloOverlay::showRipple(p::Point point) {
    if (!overlayWindow_) return;
    const p::Rect frame = overlayWindow_->frame();
    overlayWindow_->showRipple(p::Point{point.x - frame.x, screenHeight_ - point.y - frame.y});
}

void HaloOverlay::remove() {
    trackingTimer_.reset();
    if (overlayWindow_) {
        overlayWindow_->orderOut();
        overlayWindow_.reset();
    }
}

}  // namespace kest
