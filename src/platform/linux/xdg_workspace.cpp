// The X11 desktop's workspace: desktop entries, running applications from the
// window list and the accessibility bus, EWMH requests, spawned children.
#include "platform/linux/xdg_workspace.hpp"

#include <glib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

#include "platform/linux/atspi_reader.hpp"
#include "platform/linux/atspi_status.hpp"
#include "platform/linux/x11_connection.hpp"
#include "platform/linux/x11_windows.hpp"

namespace kest::platform::linux_desktop {
namespace {

namespace fs = std::filesystem;

constexpr auto ENTRIES_FRESH_FOR = std::chrono::seconds(2);
constexpr auto LAUNCH_POLL = std::chrono::milliseconds(100);
constexpr auto REAPER_POLL = std::chrono::milliseconds(50);
// The scheme of the system settings pages, asked for by permissions_grant.
constexpr std::string_view ACCESSIBILITY_SETTINGS_SCHEME = "x-apple.systempreferences:";

std::optional<std::string> processExecutable(int pid) {
    std::error_code error;
    auto target = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
    if (error) return std::nullopt;
    return target.string();
}

std::optional<std::string> processCommandName(int pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (!std::getline(file, name) || name.empty()) return std::nullopt;
    return name;
}

// The real user id a process runs as, from /proc.
std::optional<uid_t> processUser(int pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(file, line)) {
        if (!line.starts_with("Uid:")) continue;
        try {
            return static_cast<uid_t>(std::stoul(line.substr(4)));
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

bool sameMachine(std::string_view named, std::string_view host) {
    if (named.empty() || host.empty()) return false;
    if (named == host) return true;
    // One may be fully qualified and the other not.
    auto firstLabel = [](std::string_view name) { return name.substr(0, name.find('.')); };
    return (named.find('.') == std::string_view::npos || host.find('.') == std::string_view::npos) &&
           firstLabel(named) == firstLabel(host);
}

}  // namespace

bool maySignal(int pid, const std::vector<std::optional<std::string>>& machines, std::string_view hostName) {
    if (pid <= 1 || pid == ::getpid()) return false;
    for (const auto& machine : machines) {
        if (!machine || !sameMachine(*machine, hostName)) return false;
    }
    const auto user = processUser(pid);
    return user && *user == ::getuid();
}

std::string thisHostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

// One running application as assembled from the window list and the bus.
struct XdgWorkspace::Process {
    int pid = 0;
    std::vector<X11WindowInfo> windows;  // front-most first
    std::optional<std::string> busName;
    bool onBus = false;
    std::optional<DesktopEntry> entry;
    RunningApplication info;
};

ChildReaper::~ChildReaper() {
    std::lock_guard lock(mutex_);
    for (auto& watch : watches_) watch.thread.request_stop();
    watches_.clear();  // joins; each watcher wakes within one poll
}

bool ChildReaper::watch(int pid, Workspace::ProcessExitHandler onExit) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::jthread thread;
    try {
        thread = std::jthread([pid, done, onExit = std::move(onExit)](std::stop_token stop) {
            while (!stop.stop_requested()) {
                int status = 0;
                const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
                if (reaped == pid || (reaped < 0 && errno == ECHILD)) {
                    done->store(true);
                    if (onExit) onExit(pid);
                    return;
                }
                std::this_thread::sleep_for(REAPER_POLL);
            }
        });
    } catch (const std::system_error&) {
        return false;
    }
    // Finished watchers are joined after the lock is let go: one that has
    // reaped its child may still be running its exit handler.
    std::vector<Watch> finished;
    {
        std::lock_guard lock(mutex_);
        auto gone = std::partition(watches_.begin(), watches_.end(), [](const Watch& w) { return !w.done->load(); });
        finished.assign(std::make_move_iterator(gone), std::make_move_iterator(watches_.end()));
        watches_.erase(gone, watches_.end());
        watches_.push_back(Watch{pid, done, std::move(thread)});
    }
    return true;
}

bool ChildReaper::exited(int pid) {
    std::lock_guard lock(mutex_);
    auto it = std::ranges::find_if(watches_, [&](const Watch& w) { return w.pid == pid; });
    return it == watches_.end() || it->done->load();
}

XdgWorkspace::XdgWorkspace() = default;
XdgWorkspace::~XdgWorkspace() = default;

EwmhWindows* XdgWorkspace::windows() {
    if (!xTried_) {
        xTried_ = true;
        x_ = X11Connection::open();
        if (x_) ewmh_ = std::make_unique<EwmhWindows>(*x_);
    }
    return ewmh_.get();
}

AtspiReader* XdgWorkspace::accessibility() {
    if (!atspiTried_) {
        atspiTried_ = true;
        atspi_ = AtspiReader::connect();
    }
    return atspi_.get();
}

const std::vector<DesktopEntry>& XdgWorkspace::entries() {
    const auto now = std::chrono::steady_clock::now();
    if (entries_.empty() || now - entriesRead_ > ENTRIES_FRESH_FOR) {
        entries_ = allDesktopEntries();
        entriesRead_ = now;
    }
    return entries_;
}

std::optional<DesktopEntry> XdgWorkspace::entryAt(const std::string& location) {
    for (const auto& entry : entries()) {
        if (entry.path == location) return entry;
    }
    return loadDesktopEntry(location);
}

std::vector<XdgWorkspace::Process> XdgWorkspace::processes() {
    if (heldListing_) return *heldListing_;
    std::vector<Process> found;
    auto processFor = [&](int pid) -> Process& {
        auto it = std::ranges::find_if(found, [&](const Process& p) { return p.pid == pid; });
        if (it != found.end()) return *it;
        Process process;
        process.pid = pid;
        found.push_back(std::move(process));
        return found.back();
    };
    std::optional<Window> active;
    if (auto* ewmh = windows()) {
        active = ewmh->activeWindow();
        for (auto& window : ewmh->list()) {
            if (!window.pid || *window.pid <= 0 || window.overrideRedirect) continue;
            processFor(*window.pid).windows.push_back(std::move(window));
        }
    }
    if (auto* reader = accessibility()) {
        if (auto apps = reader->applications()) {
            for (const auto& app : *apps) {
                auto pid = reader->processId(app.get());
                if (!pid || *pid <= 0 || *pid == ::getpid()) continue;
                auto& process = processFor(*pid);
                process.onBus = true;
                if (auto name = reader->name(app.get()); name && !name->empty()) process.busName = *name;
            }
        }
    }

    const auto& known = entries();
    for (auto& process : found) {
        const X11WindowInfo* first = process.windows.empty() ? nullptr : &process.windows.front();
        if (first) process.entry = entryForWindowClass(known, first->instance, first->className);
        if (!process.entry) {
            if (auto executable = processExecutable(process.pid)) process.entry = entryForExecutable(known, *executable);
        }
        auto& info = process.info;
        info.pid = process.pid;
        if (process.entry) {
            info.name = process.entry->name;
            info.bundleIdentifier = process.entry->id;
            info.bundleLocation = process.entry->path;
        } else if (process.busName) {
            info.name = process.busName;
        } else if (first && first->className) {
            info.name = first->className;
        } else {
            info.name = processCommandName(process.pid);
        }
        bool normal = false, mapped = false, allHidden = !process.windows.empty();
        for (const auto& window : process.windows) {
            if (window.layer == 0) normal = true;
            if (window.onScreen) mapped = true;
            if (!window.states.hidden) allHidden = false;
            if (active && (*active == window.id || *active == window.frame)) info.active = true;
        }
        info.hidden = allHidden;
        info.finishedLaunching = mapped || process.onBus;
        info.activationPolicy = normal ? ActivationPolicy::kRegular : ActivationPolicy::kAccessory;
    }
    if (listingHolds_ > 0) heldListing_ = found;
    return found;
}

std::unique_ptr<ListingHold> XdgWorkspace::holdListing() {
    class Hold final : public ListingHold {
    public:
        explicit Hold(XdgWorkspace& workspace) : workspace_(workspace) { ++workspace_.listingHolds_; }
        ~Hold() override {
            if (--workspace_.listingHolds_ == 0) workspace_.heldListing_.reset();
        }

    private:
        XdgWorkspace& workspace_;
    };
    return std::make_unique<Hold>(*this);
}

std::vector<RunningApplication> XdgWorkspace::runningApplications() {
    std::vector<RunningApplication> running;
    for (auto& process : processes()) running.push_back(std::move(process.info));
    return running;
}

std::map<int, std::string> XdgWorkspace::applicationNames() {
    std::map<int, std::string> names;
    for (auto& process : processes()) {
        if (process.info.name) names.emplace(process.pid, std::move(*process.info.name));
    }
    return names;
}

std::optional<RunningApplication> XdgWorkspace::frontmostApplication() {
    for (auto& process : processes()) {
        if (process.info.active) return process.info;
    }
    return std::nullopt;
}

bool XdgWorkspace::activate(std::int32_t pid, ActivationOptions) {
    auto* ewmh = windows();
    if (!ewmh) return false;
    for (const auto& process : processes()) {
        if (process.pid != pid || process.windows.empty()) continue;
        auto normal = std::ranges::find_if(process.windows, [](const auto& w) { return w.layer == 0; });
        return ewmh->activate(normal != process.windows.end() ? normal->id : process.windows.front().id);
    }
    return false;
}

bool XdgWorkspace::activateWindow(std::int32_t pid, std::uint32_t window, ActivationOptions options) {
    auto* ewmh = windows();
    if (!ewmh) return false;
    for (const auto& process : processes()) {
        if (process.pid != pid) continue;
        auto named = std::ranges::find_if(process.windows, [&](const auto& w) { return w.id == window || w.frame == window; });
        if (named != process.windows.end()) return ewmh->activate(named->id);
    }
    return activate(pid, options);
}

std::optional<bool> XdgWorkspace::holdsInputFocus(std::int32_t pid, std::optional<std::uint32_t> window) {
    if (!windows()) return std::nullopt;
    // Without a window manager that keeps _NET_ACTIVE_WINDOW nothing obeys
    // an activation, and waiting for its focus would only fail.
    if (!x_->numbers(x_->root(), x_->atom("_NET_ACTIVE_WINDOW"))) return std::nullopt;
    Display* display = x_->display();
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    if (focus == None || focus == PointerRoot) return false;
    // A toolkit focuses a child of its window (GTK's focus proxy); the frame
    // is the window manager's parent of the window.
    std::vector<Window> chain;
    {
        X11ErrorTrap trap(display);
        for (Window at = focus; at != None && at != x_->root() && chain.size() < 64;) {
            chain.push_back(at);
            Window root = None, parent = None;
            Window* children = nullptr;
            unsigned int count = 0;
            if (!XQueryTree(display, at, &root, &parent, &children, &count)) break;
            if (children) XFree(children);
            at = parent;
        }
    }
    auto inChain = [&](Window w) { return w != None && std::ranges::find(chain, w) != chain.end(); };
    if (window) return inChain(static_cast<Window>(*window));
    for (const auto& process : processes()) {
        if (process.pid != pid) continue;
        for (const auto& w : process.windows) {
            if (inChain(w.id) || inChain(w.frame)) return true;
        }
    }
    return false;
}

bool XdgWorkspace::hide(std::int32_t pid) {
    auto* ewmh = windows();
    if (!ewmh) return false;
    bool sent = false;
    for (const auto& process : processes()) {
        if (process.pid != pid) continue;
        for (const auto& window : process.windows) sent = ewmh->iconify(window.id) || sent;
    }
    return sent;
}

bool XdgWorkspace::unhide(std::int32_t pid) {
    auto* ewmh = windows();
    if (!ewmh) return false;
    bool sent = false;
    for (const auto& process : processes()) {
        if (process.pid != pid) continue;
        // Back to front, so that the front-most window ends on top.
        for (auto it = process.windows.rbegin(); it != process.windows.rend(); ++it) {
            if (it->states.hidden) ewmh->changeState(it->id, StateChange::remove, "HIDDEN");
            sent = ewmh->activate(it->id) || sent;
        }
    }
    return sent;
}

bool XdgWorkspace::maySignal(std::int32_t pid) {
    for (const auto& process : processes()) {
        if (process.pid != pid) continue;
        std::vector<std::optional<std::string>> machines;
        for (const auto& window : process.windows) {
            machines.push_back(x_ ? x_->bytes(window.id, XA_WM_CLIENT_MACHINE) : std::nullopt);
        }
        return linux_desktop::maySignal(pid, machines, thisHostName());
    }
    return false;
}

bool XdgWorkspace::terminate(std::int32_t pid) {
    if (pid <= 0 || pid == ::getpid()) return false;
    if (auto* ewmh = windows()) {
        for (const auto& process : processes()) {
            if (process.pid != pid || process.windows.empty()) continue;
            bool sent = false;
            for (const auto& window : process.windows) sent = ewmh->close(window.id) || sent;
            return sent;
        }
    }
    return maySignal(pid) && ::kill(pid, SIGTERM) == 0;
}

bool XdgWorkspace::forceTerminate(std::int32_t pid) {
    if (pid <= 0 || pid == ::getpid()) return false;
    return maySignal(pid) && ::kill(pid, SIGKILL) == 0;
}

// The settings page that grants accessibility has no meaning on X11; what it
// stands for is turning on the desktop's accessibility support for toolkits.
bool XdgWorkspace::openURL(const std::string& url) {
    if (url.starts_with(ACCESSIBILITY_SETTINGS_SCHEME)) return enableToolkitAccessibility();
    return spawn({"xdg-open", url}, true, nullptr).has_value();
}

void XdgWorkspace::openApplication(const std::string& bundleLocation, const OpenConfiguration& configuration,
                                   OpenCompletion completion) {
    auto entry = entryAt(bundleLocation);
    if (!entry) return completion(std::nullopt, "No application entry at " + bundleLocation);
    auto argv = commandLine(*entry, configuration.documents);
    if (!argv || argv->empty()) return completion(std::nullopt, "The command line of " + entry->id + " is unusable");
    argv->insert(argv->end(), configuration.arguments.begin(), configuration.arguments.end());
    auto child = spawn(*argv, true, nullptr);
    if (!child) return completion(std::nullopt, child.error());

    // Between looks the request's turn is free for others; the application
    // list is read afresh after every pause.
    ThreadPause plainSleep;
    Pause& pause = configuration.pause ? *configuration.pause : plainSleep;
    const auto deadline = pause.deadlineAfter(LAUNCH_BOUND);
    for (;;) {
        const bool childGone = reaper_.exited(*child);
        for (auto& running : runningApplications()) {
            const bool ours = running.pid == *child || running.bundleLocation == entry->path;
            if (!ours || !running.finishedLaunching) continue;
            if (configuration.activates) activate(running.pid, ActivationOption::kIgnoringOtherApps);
            return completion(std::move(running), std::nullopt);
        }
        if (childGone) return completion(std::nullopt, entry->name + " exited before it showed a window");
        if (pause.now() >= deadline || !pause.sleepFor(LAUNCH_POLL)) break;
    }
    // Still starting: the process runs, it just has not shown itself yet.
    RunningApplication starting;
    starting.pid = *child;
    starting.name = entry->name;
    starting.bundleIdentifier = entry->id;
    starting.bundleLocation = entry->path;
    starting.finishedLaunching = false;
    completion(starting, std::nullopt);
}

std::expected<std::int32_t, std::string> XdgWorkspace::spawn(const std::vector<std::string>& argv, bool searchPath,
                                                             ProcessExitHandler onExit) {
    std::vector<gchar*> raw;
    for (const auto& word : argv) raw.push_back(const_cast<gchar*>(word.c_str()));
    raw.push_back(nullptr);
    auto flags = static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL |
                                          G_SPAWN_STDERR_TO_DEV_NULL | (searchPath ? G_SPAWN_SEARCH_PATH : 0));
    GPid pid = 0;
    GError* error = nullptr;
    if (!g_spawn_async(nullptr, raw.data(), nullptr, flags, nullptr, nullptr, &pid, &error)) {
        std::string message = error ? error->message : "the program could not be started";
        if (error) g_error_free(error);
        return std::unexpected(message);
    }
    if (!reaper_.watch(pid, std::move(onExit))) {
        // Unwatched, it would be left a zombie and its exit never seen: it is
        // ended at once rather than reported as launched.
        ::kill(pid, SIGKILL);
        (void)::waitpid(pid, nullptr, 0);
        return std::unexpected(std::string("no thread could be started to watch the process"));
    }
    return static_cast<std::int32_t>(pid);
}

std::expected<std::int32_t, std::string> XdgWorkspace::startProcess(const std::string& executable,
                                                                    const std::vector<std::string>& arguments) {
    return startMonitoredProcess(executable, arguments, nullptr);
}

std::expected<std::int32_t, std::string> XdgWorkspace::startMonitoredProcess(const std::string& executable,
                                                                             const std::vector<std::string>& arguments,
                                                                             ProcessExitHandler onExit) {
    std::vector<std::string> argv = {executable};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return spawn(argv, false, std::move(onExit));
}

std::optional<std::string> XdgWorkspace::locateApplication(std::string_view bundleIdentifier) {
    auto entry = entryById(entries(), bundleIdentifier);
    if (!entry) return std::nullopt;
    return entry->path;
}

std::optional<std::string> XdgWorkspace::findApplicationInFolders(std::string_view name) {
    auto entry = entryByName(entries(), name);
    if (!entry) return std::nullopt;
    return entry->path;
}

std::optional<std::string> XdgWorkspace::bundleExecutable(const std::string& bundleLocation) {
    auto entry = entryAt(bundleLocation);
    if (!entry) return std::nullopt;
    return mainExecutable(*entry);
}

std::optional<std::string> XdgWorkspace::bundleInfoString(const std::string& bundleLocation, std::string_view key) {
    auto entry = entryAt(bundleLocation);
    if (!entry) return std::nullopt;
    if (key == "CFBundleIdentifier") return entry->id;
    if (key == "CFBundleName") return entry->name;
    if (key == "CFBundleExecutable") {
        auto executable = mainExecutable(*entry);
        if (!executable) return std::nullopt;
        return fs::path(*executable).filename().string();
    }
    return std::nullopt;
}

std::optional<std::vector<std::string>> XdgWorkspace::bundleFrameworkEntries(const std::string& bundleLocation) {
    auto entry = entryAt(bundleLocation);
    if (!entry) return std::nullopt;
    return chromiumMarkers(*entry);
}

}  // namespace kest::platform::linux_desktop
