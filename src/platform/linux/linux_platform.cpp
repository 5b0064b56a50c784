// The Linux backend's service objects and their owner.
#include "platform/linux/linux_platform.hpp"

#include "platform/linux/atspi_accessibility.hpp"
#include "platform/linux/x11_window_server.hpp"
#include "platform/linux/xrandr_screens.hpp"
#include "platform/linux/xtest_events.hpp"

namespace kest::platform::linux_desktop {
namespace {

// Stand-ins for the services not wired in yet: every call
// answers "not available" (a failure status, nothing, or false).
class LinuxWorkspace final : public Workspace {
public:
    std::vector<RunningApplication> runningApplications() override { return {}; }
    std::optional<RunningApplication> frontmostApplication() override { return std::nullopt; }
    bool activate(std::int32_t, ActivationOptions) override { return false; }
    bool hide(std::int32_t) override { return false; }
    bool unhide(std::int32_t) override { return false; }
    bool terminate(std::int32_t) override { return false; }
    bool forceTerminate(std::int32_t) override { return false; }
    bool openURL(const std::string&) override { return false; }
    void openApplication(const std::string&, const OpenConfiguration&, OpenCompletion completion) override {
        completion(std::nullopt, std::string("Opening applications is not available"));
    }
    std::expected<std::int32_t, std::string> startProcess(const std::string&,
                                                          const std::vector<std::string>&) override {
        return std::unexpected(std::string("Starting programs is not available"));
    }
    std::optional<std::string> locateApplication(std::string_view) override { return std::nullopt; }
    std::optional<std::string> findApplicationInFolders(std::string_view) override { return std::nullopt; }
    std::optional<std::string> bundleExecutable(const std::string&) override { return std::nullopt; }
    std::optional<std::string> bundleInfoString(const std::string&, std::string_view) override {
        return std::nullopt;
    }
    std::optional<std::vector<std::string>> bundleFrameworkEntries(const std::string&) override {
        return std::nullopt;
    }
};

class LinuxPasteboard final : public Pasteboard {
public:
    std::optional<std::string> readText() override { return std::nullopt; }
    void clear() override {}
    bool writeText(const std::string&) override { return false; }
};

class LinuxCapture final : public Capture {
public:
    std::expected<CaptureExit, std::string> capture(const CaptureRequest&) override {
        return std::unexpected(std::string("Screen capture is not available"));
    }
    std::optional<PixelSize> imagePixelSize(const std::string&) override { return std::nullopt; }
    bool createDirectories(const std::string&) override { return false; }
    bool fileExists(const std::string&) override { return false; }
};

class LinuxOverlay final : public Overlay {
public:
    std::unique_ptr<OverlaySurface> createSurface(Rect) override { return nullptr; }
    void postToMainThread(std::function<void()>) override {}
    std::unique_ptr<MainLoopTimer> startRepeatingTimer(std::chrono::milliseconds, std::function<void()>) override {
        return std::make_unique<MainLoopTimer>();
    }
    void runMainLoop(std::chrono::milliseconds) override {}
};

class LinuxPlatform final : public Platform {
public:
    Accessibility& accessibility() override { return accessibility_; }
    Events& events() override { return events_; }
    WindowServer& windowServer() override { return windowServer_; }
    Workspace& workspace() override { return workspace_; }
    Screens& screens() override { return screens_; }
    Pasteboard& pasteboard() override { return pasteboard_; }
    Capture& capture() override { return capture_; }
    Overlay& overlay() override { return overlay_; }

private:
    AtspiAccessibility accessibility_;
    XTestEvents events_;
    X11WindowServer windowServer_;
    LinuxWorkspace workspace_;
    XRandrScreens screens_;
    LinuxPasteboard pasteboard_;
    LinuxCapture capture_;
    LinuxOverlay overlay_;
};

}  // namespace

std::unique_ptr<Platform> makeLinuxPlatform() { return std::make_unique<LinuxPlatform>(); }

}  // namespace kest::platform::linux_desktop
