// The Linux backend's service objects and their owner.
#include "platform/linux/linux_platform.hpp"

namespace kest::platform::linux_desktop {
namespace {

// Stand-ins until the AT-SPI2 and X11 services are wired in.
class LinuxAccessibility final : public Accessibility {
public:
    bool isProcessTrusted() override { return false; }
};

class LinuxWindowServer final : public WindowServer {
public:
    bool preflightScreenCaptureAccess() override { return false; }
};

class LinuxWorkspace final : public Workspace {
public:
    bool openURL(const std::string&) override { return false; }
};

class LinuxPlatform final : public Platform {
public:
    Accessibility& accessibility() override { return accessibility_; }
    WindowServer& windowServer() override { return windowServer_; }
    Workspace& workspace() override { return workspace_; }

private:
    LinuxAccessibility accessibility_;
    LinuxWindowServer windowServer_;
    LinuxWorkspace workspace_;
};

}  // namespace

std::unique_ptr<Platform> makeLinuxPlatform() { return std::make_unique<LinuxPlatform>(); }

}  // namespace kest::platform::linux_desktop
