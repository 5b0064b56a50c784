// The Xlib connection: opening, atoms, property reads, root messages, errors.
#include "platform/linux/x11_connection.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace kest::platform::linux_desktop {
namespace {

// Errors are counted per thread; an X11ErrorTrap compares counts. The handler
// never ends the process.
thread_local int tErrorCount = 0;

int countError(Display*, XErrorEvent*) {
    ++tErrorCount;
    return 0;
}

std::atomic<void (*)()> gServerLostCleanup{nullptr};
std::atomic_flag gServerLost = ATOMIC_FLAG_INIT;

// Xlib's own handler would exit() from this thread while others run on.
int serverLost(Display* display) {
    if (gServerLost.test_and_set()) {
        // Another thread is already on its way out.
        for (;;) ::pause();
    }
    const char* name = display != nullptr ? DisplayString(display) : nullptr;
    const std::string line = "[kest-core] Lost the X server" + std::string(name ? " " : "") + (name ? name : "") +
                             "; stopping\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    if (auto cleanup = gServerLostCleanup.load()) cleanup();
    std::_Exit(1);
}

void installErrorHandlerOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        XSetErrorHandler(countError);
        XSetIOErrorHandler(serverLost);
    });
}

}  // namespace

std::unique_ptr<X11Connection> X11Connection::open(const std::string& name) {
    installErrorHandlerOnce();
    DisplayPtr display(XOpenDisplay(name.empty() ? nullptr : name.c_str()));
    if (!display) return nullptr;
    return std::unique_ptr<X11Connection>(new X11Connection(std::move(display)));
}

void X11Connection::onServerLost(void (*cleanup)()) { gServerLostCleanup.store(cleanup); }

X11Connection::X11Connection(DisplayPtr display)
    : display_(std::move(display)), root_(DefaultRootWindow(display_.get())) {}

int X11Connection::screenWidth() const { return DisplayWidth(display(), DefaultScreen(display())); }
int X11Connection::screenHeight() const { return DisplayHeight(display(), DefaultScreen(display())); }

Atom X11Connection::atom(std::string_view name) {
    std::string key(name);
    if (auto it = atoms_.find(key); it != atoms_.end()) return it->second;
    Atom value = XInternAtom(display(), key.c_str(), False);
    atoms_.emplace(std::move(key), value);
    return value;
}

std::optional<std::pair<XData<unsigned char>, unsigned long>> X11Connection::property(Window window, Atom property,
                                                                                     Atom type, int format) {
    // A reply-bearing request: an error (a vanished window) comes back as a
    // non-Success status, handled by countError without a separate sync.
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* raw = nullptr;
    const int status = XGetWindowProperty(display(), window, property, 0, 1L << 20, False, type, &actualType,
                                          &actualFormat, &count, &remaining, &raw);
    XData<unsigned char> data(raw);
    if (status != Success || actualType == None || actualFormat != format) return std::nullopt;
    return std::pair(std::move(data), count);
}

std::optional<std::vector<unsigned long>> X11Connection::numbers(Window window, Atom property, Atom type) {
    auto found = this->property(window, property, type, 32);
    if (!found) return std::nullopt;
    // Format-32 data arrive as an array of long, whatever the server's size.
    const auto* values = reinterpret_cast<const unsigned long*>(found->first.get());
    return std::vector<unsigned long>(values, values + found->second);
}

std::optional<std::string> X11Connection::bytes(Window window, Atom property, Atom type) {
    auto found = this->property(window, property, type, 8);
    if (!found) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(found->first.get()), found->second);
}

bool X11Connection::sendToRoot(Window about, std::string_view messageType, const std::array<long, 5>& data) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.serial = 0;
    event.xclient.send_event = True;
    event.xclient.display = display();
    event.xclient.window = about;
    event.xclient.message_type = atom(messageType);
    event.xclient.format = 32;
    for (std::size_t i = 0; i < data.size(); ++i) event.xclient.data.l[i] = data[i];
    X11ErrorTrap trap(display());
    XSendEvent(display(), root_, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    return !trap.failed();
}

X11ErrorTrap::X11ErrorTrap(Display* display) : display_(display), previousErrors_(tErrorCount) {}

X11ErrorTrap::~X11ErrorTrap() = default;

bool X11ErrorTrap::failed() {
    XSync(display_, False);
    return tErrorCount != previousErrors_;
}

}  // namespace kest::platform::linux_desktop
