// The workspace: running applications, application bundles, launching
// applications and programs, opening URLs.
#pragma once

#include <cstdint>
#include "common/expected.hpp"
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/pause.hpp"

namespace kest::platform {

// 0 is a regular application (one a user switches to); others are agents and
// background processes.
namespace ActivationPolicy {
inline constexpr std::int64_t kRegular = 0;
inline constexpr std::int64_t kAccessory = 1;
inline constexpr std::int64_t kProhibited = 2;
}  // namespace ActivationPolicy

// Options for activate, ORed.
using ActivationOptions = std::uint32_t;
namespace ActivationOption {
inline constexpr ActivationOptions kAllWindows = 1;
inline constexpr ActivationOptions kIgnoringOtherApps = 2;
}  // namespace ActivationOption

// A running application as the workspace saw it when asked: a value, not a
// live object. Ask again to see a change (finishing launch, hiding).
struct RunningApplication {
    std::int32_t pid = 0;
    std::optional<std::string> name;              // the localized name
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> bundleLocation;    // where its bundle is; the key for the bundle calls below
    bool active = false;
    bool hidden = false;
    bool finishedLaunching = true;
    std::int64_t activationPolicy = ActivationPolicy::kRegular;
    bool operator==(const RunningApplication&) const = default;
};

struct OpenConfiguration {
    bool activates = true;                // bring it to the front once open
    // How a backend that watches the launch waits between its looks, so that
    // other requests run meanwhile; nothing: plain sleeps.
    Pause* pause = nullptr;
    std::vector<std::string> documents;   // URLs or file paths to open with it
    std::vector<std::string> arguments;   // extra command-line arguments
};

// Called exactly once with the application (possibly none) and an error text
// (possibly none). It may run on another thread than the one that asked, and
// it may run before openApplication returns.
using OpenCompletion =
    std::function<void(std::optional<RunningApplication> application, std::optional<std::string> error)>;

// Open while the object lives (see Workspace::holdListing).
class ListingHold {
public:
    virtual ~ListingHold() = default;
};

// Threading: request thread, under the dispatch lock; only the completion of
// openApplication may come from elsewhere.
class Workspace {
public:
    virtual ~Workspace() = default;

    // In the workspace's own order.
    virtual std::vector<RunningApplication> runningApplications() = 0;
    virtual std::optional<RunningApplication> frontmostApplication() = 0;
    // For a request that asks about the running applications several times
    // and wants one answer: while the returned object lives, they are listed
    // once, at the first ask, and every ask is answered from that listing.
    // Nothing (the default): every ask lists afresh.
    virtual std::unique_ptr<ListingHold> holdListing() { return nullptr; }

    // Requests to a running application, by process id. They answer whether the
    // request was delivered, not whether the application complied.
    virtual bool activate(std::int32_t pid, ActivationOptions options) = 0;
    // The same, with this one of its windows (a window server number) in
    // front rather than whichever the backend would pick: for a window just
    // raised, whose new place the stacking order may not show yet.
    virtual bool activateWindow(std::int32_t pid, std::uint32_t window, ActivationOptions options) {
        (void)window;
        return activate(pid, options);
    }
    // Whether the keyboard's input goes to the application now: to that one
    // of its windows when a window is named, else to any of them. Nothing:
    // the backend cannot tell. The default asks whether it is in front.
    virtual std::optional<bool> holdsInputFocus(std::int32_t pid, std::optional<std::uint32_t> window) {
        (void)window;
        auto front = frontmostApplication();
        return front && front->pid == pid;
    }
    virtual bool hide(std::int32_t pid) = 0;
    virtual bool unhide(std::int32_t pid) = 0;
    virtual bool terminate(std::int32_t pid) = 0;       // polite: the application may ask to save
    virtual bool forceTerminate(std::int32_t pid) = 0;

    // Opens a URL the way the desktop does; true when it was handed over.
    virtual bool openURL(const std::string& url) = 0;

    // Opens the application whose bundle is at `bundleLocation` (and documents
    // with it). Never waits without bound for the launch; see OpenCompletion.
    virtual void openApplication(const std::string& bundleLocation, const OpenConfiguration& configuration,
                                 OpenCompletion completion) = 0;

    // Starts a program directly, with standard output and error on the null
    // device; the process id, or the reason it could not start. The backend
    // owns the child and reaps it when it exits.
    virtual std::expected<std::int32_t, std::string> startProcess(const std::string& executable,
                                                                  const std::vector<std::string>& arguments) = 0;
    // The same, and `onExit` is called with the process id once the child has
    // exited and been reaped: on a thread of the backend's choosing, never
    // before this returns. Backends that cannot tell never call it.
    using ProcessExitHandler = std::function<void(std::int32_t pid)>;
    virtual std::expected<std::int32_t, std::string> startMonitoredProcess(const std::string& executable,
                                                                           const std::vector<std::string>& arguments,
                                                                           ProcessExitHandler onExit) {
        (void)onExit;
        return startProcess(executable, arguments);
    }

    // Bundles. A bundle is named by its location, an opaque path for the logic.
    // The application with this bundle identifier, installed anywhere.
    virtual std::optional<std::string> locateApplication(std::string_view bundleIdentifier) = 0;
    // The application named `name` in the application folders, searched in
    // their order; the first found.
    virtual std::optional<std::string> findApplicationInFolders(std::string_view name) = 0;
    // The absolute path of the bundle's main executable.
    virtual std::optional<std::string> bundleExecutable(const std::string& bundleLocation) = 0;
    // One string value of the bundle's information ("CFBundleExecutable",
    // "CFBundleIdentifier", "CFBundleName"...).
    virtual std::optional<std::string> bundleInfoString(const std::string& bundleLocation,
                                                        std::string_view key) = 0;
    // The names of the entries of the bundle's frameworks folder, or nothing
    // when it cannot be listed. Backends whose bundles have no such folder
    // report the frameworks they can recognise under these names:
    // "Electron Framework.framework", "Chromium Embedded Framework.framework",
    // "CefSharp.BrowserSubprocess", "nwjs Framework.framework".
    virtual std::optional<std::vector<std::string>> bundleFrameworkEntries(const std::string& bundleLocation) = 0;
};

}  // namespace kest::platform
