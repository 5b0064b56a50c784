// The workspace of an X11 desktop: applications are desktop entries; running
// applications are the processes that own managed top-level windows or are on
// the accessibility bus; requests to them go to the window manager (EWMH) or,
// for quitting without a window, as signals.
//
// Ownership: owns its own X connection and accessibility reader, opened on
// first use, and the reaper of every child it starts. Threading: the request
// thread (one at a time); exit handlers run on the reaper's threads.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/linux/xdg_desktop_entry.hpp"
#include "platform/workspace.hpp"

namespace kest::platform::linux_desktop {

class X11Connection;
class EwmhWindows;
class AtspiReader;

// Waits for children this process started and reaps them, each on a thread
// of its own that polls without blocking, so that stopping never waits for a
// child: on destruction the watchers stop and children still running are left
// to run on (applications outlive the engine that started them).
class ChildReaper {
public:
    ChildReaper() = default;
    ~ChildReaper();
    ChildReaper(const ChildReaper&) = delete;
    ChildReaper& operator=(const ChildReaper&) = delete;

    // False when no thread can be had to watch it.
    [[nodiscard]] bool watch(int pid, Workspace::ProcessExitHandler onExit);
    // True once the child has been reaped (or was never ours).
    bool exited(int pid);

private:
    struct Watch {
        int pid;
        std::shared_ptr<std::atomic<bool>> done;
        std::jthread thread;
    };
    std::mutex mutex_;
    std::vector<Watch> watches_;
};

// Whether this process may signal `pid` on a user's behalf: not itself nor
// init, a process of this machine (every one of its windows names `hostName`
// in WM_CLIENT_MACHINE, the host name or its first label; `machines` holds
// that property of each, nothing where it is absent), running as this user.
// A window's _NET_WM_PID is the word of any client, so a window of another
// machine or a pid of another user's process is never signalled.
bool maySignal(int pid, const std::vector<std::optional<std::string>>& machines, std::string_view hostName);
// This machine's host name; empty when it cannot be read.
std::string thisHostName();

class XdgWorkspace final : public Workspace {
public:
    XdgWorkspace();
    ~XdgWorkspace() override;

    std::vector<RunningApplication> runningApplications() override;
    // The name of every running application, by process id.
    std::map<int, std::string> applicationNames();
    std::optional<RunningApplication> frontmostApplication() override;
    std::unique_ptr<ListingHold> holdListing() override;
    bool activate(std::int32_t pid, ActivationOptions options) override;
    bool activateWindow(std::int32_t pid, std::uint32_t window, ActivationOptions options) override;
    // Where the X server sends key events: the focus window and its
    // ancestors, up to the top-level the window manager framed.
    std::optional<bool> holdsInputFocus(std::int32_t pid, std::optional<std::uint32_t> window) override;
    bool hide(std::int32_t pid) override;
    bool unhide(std::int32_t pid) override;
    bool terminate(std::int32_t pid) override;
    bool forceTerminate(std::int32_t pid) override;
    bool openURL(const std::string& url) override;
    // Spawns the entry's command line and reports once a process of the
    // application runs with a window or on the accessibility bus, or when the
    // launch bound has passed while the spawned process still runs; reports an
    // error when it exits first without leaving an instance behind.
    void openApplication(const std::string& bundleLocation, const OpenConfiguration& configuration,
                         OpenCompletion completion) override;
    std::expected<std::int32_t, std::string> startProcess(const std::string& executable,
                                                          const std::vector<std::string>& arguments) override;
    std::expected<std::int32_t, std::string> startMonitoredProcess(const std::string& executable,
                                                                   const std::vector<std::string>& arguments,
                                                                   ProcessExitHandler onExit) override;
    std::optional<std::string> locateApplication(std::string_view bundleIdentifier) override;
    std::optional<std::string> findApplicationInFolders(std::string_view name) override;
    std::optional<std::string> bundleExecutable(const std::string& bundleLocation) override;
    std::optional<std::string> bundleInfoString(const std::string& bundleLocation, std::string_view key) override;
    std::optional<std::vector<std::string>> bundleFrameworkEntries(const std::string& bundleLocation) override;

    static constexpr std::chrono::seconds LAUNCH_BOUND{10};

private:
    struct Process;
    std::vector<Process> processes();
    // maySignal for a running application of the listing; false for others.
    bool maySignal(std::int32_t pid);
    const std::vector<DesktopEntry>& entries();
    std::optional<DesktopEntry> entryAt(const std::string& location);
    EwmhWindows* windows();
    AtspiReader* accessibility();
    std::expected<std::int32_t, std::string> spawn(const std::vector<std::string>& argv, bool searchPath,
                                                   ProcessExitHandler onExit);

    std::unique_ptr<X11Connection> x_;
    std::unique_ptr<EwmhWindows> ewmh_;
    bool xTried_ = false;
    std::unique_ptr<AtspiReader> atspi_;
    bool atspiTried_ = false;
    std::vector<DesktopEntry> entries_;
    std::chrono::steady_clock::time_point entriesRead_{};
    int listingHolds_ = 0;
    std::optional<std::vector<Process>> heldListing_;  // while a hold is open
    ChildReaper reaper_;
};

}  // namespace kest::platform::linux_desktop
