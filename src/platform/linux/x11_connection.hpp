// One Xlib connection with its atom cache, property readers, root-window
// client messages and a trap for the protocol errors of vanished windows.
//
// Ownership: owns the Display. Threading: one thread per connection (Xlib is
// not used free-threaded here); the overlay thread opens its own.
// Why a trap: windows of other clients may be destroyed between two requests;
// Xlib's default handler would end the process on the resulting BadWindow.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/linux/x11_handles.hpp"

namespace kest::platform::linux_desktop {

class X11Connection {
public:
    // Opens the display named by `name` (the DISPLAY variable when empty);
    // nothing when no X server answers.
    static std::unique_ptr<X11Connection> open(const std::string& name = {});

    // When the X server goes away, Xlib cannot go on with any connection to
    // it: on whichever thread finds it, the process says why on standard
    // error, runs this (the daemon's removal of its own files), and exits
    // with status 1 at once, without the exit handlers of the libraries whose
    // other threads may be stuck inside Xlib. Set once, before serving.
    static void onServerLost(void (*cleanup)());

    Display* display() const { return display_.get(); }
    Window root() const { return root_; }
    int screenWidth() const;
    int screenHeight() const;

    // Interned once per name, then cached.
    Atom atom(std::string_view name);

    // A format-32 property as numbers (CARDINAL, WINDOW, ATOM...), of `type`
    // or of any type when `type` is AnyPropertyType; nothing when absent.
    std::optional<std::vector<unsigned long>> numbers(Window window, Atom property, Atom type = AnyPropertyType);
    // A format-8 property as bytes (UTF8_STRING, STRING); nothing when absent.
    std::optional<std::string> bytes(Window window, Atom property, Atom type = AnyPropertyType);

    // Sends a client message about `about` to the root window, as EWMH asks
    // of pagers and tools (substructure redirect and notify), and flushes.
    bool sendToRoot(Window about, std::string_view messageType, const std::array<long, 5>& data);

    void flush() { XFlush(display()); }
    // Waits until the server has processed every request sent so far.
    void sync() { XSync(display(), False); }

private:
    explicit X11Connection(DisplayPtr display);
    // A property's raw data and item count when it has the wanted format.
    std::optional<std::pair<XData<unsigned char>, unsigned long>> property(Window window, Atom property, Atom type,
                                                                           int format);

    DisplayPtr display_;
    Window root_ = None;
    std::unordered_map<std::string, Atom> atoms_;
};

// Collects the protocol errors raised by requests made while it lives, on the
// calling thread; `failed()` syncs first so that every error has arrived.
class X11ErrorTrap {
public:
    explicit X11ErrorTrap(Display* display);
    ~X11ErrorTrap();
    X11ErrorTrap(const X11ErrorTrap&) = delete;
    X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;

    bool failed();

private:
    Display* display_;
    int previousErrors_;
};

}  // namespace kest::platform::linux_desktop
