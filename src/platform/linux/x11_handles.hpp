// RAII owners for Xlib resources: the display connection, windows this
// process created, images and the memory Xlib hands out for properties.
//
// Ownership: each owner frees exactly what it holds, once, when it goes out of
// scope; none is copyable. Threading: an X connection (and everything made on
// it) belongs to the one thread that uses it; these owners add no locking.
#pragma once

#include "platform/linux/x11_includes.hpp"

#include <memory>
#include <utility>

namespace kest::platform::linux_desktop {

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

// Memory returned by XGetWindowProperty, XQueryTree, XGetAtomName and friends.
struct XFreeDeleter {
    void operator()(void* data) const {
        if (data) XFree(data);
    }
};
template <class T>
using XData = std::unique_ptr<T, XFreeDeleter>;

struct XImageDeleter {
    void operator()(XImage* image) const { XDestroyImage(image); }
};
using XImagePtr = std::unique_ptr<XImage, XImageDeleter>;

// A window this process created on `display`; destroyed with it. The display
// must outlive the owner.
class OwnedWindow {
public:
    OwnedWindow() = default;
    OwnedWindow(Display* display, Window window) : display_(display), window_(window) {}
    OwnedWindow(const OwnedWindow&) = delete;
    OwnedWindow& operator=(const OwnedWindow&) = delete;
    OwnedWindow(OwnedWindow&& other) noexcept
        : display_(std::exchange(other.display_, nullptr)), window_(std::exchange(other.window_, None)) {}
    OwnedWindow& operator=(OwnedWindow&& other) noexcept {
        if (this != &other) {
            reset();
            display_ = std::exchange(other.display_, nullptr);
            window_ = std::exchange(other.window_, None);
        }
        return *this;
    }
    ~OwnedWindow() { reset(); }

    Window get() const { return window_; }
    explicit operator bool() const { return window_ != None; }
    void reset() {
        if (display_ && window_ != None) XDestroyWindow(display_, window_);
        window_ = None;
    }

private:
    Display* display_ = nullptr;
    Window window_ = None;
};

}  // namespace kest::platform::linux_desktop
