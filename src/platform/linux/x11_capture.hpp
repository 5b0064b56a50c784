// The Capture service for an X11 desktop, in-process: the root window's pixels
// through shared memory (XShm; XGetImage where the server refuses it), a
// window as its outer frame clipped to the screen, or, where a compositor
// redirects windows, the frame's own pixels from its Composite pixmap even when
// another window covers it. Files are written by image_files.
//
// The shared-memory read comes in bands, the encoder starting on the first
// rows while the server copies the rest.
//
// Ownership: owns its X connection (opened on first capture) and the shared
// memory segment it keeps between captures. Threading: request thread; a
// mutex serialises callers. During a capture a reader thread of its own uses
// the connection for the bands, and nothing else does.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "platform/capture.hpp"
#include "platform/linux/image_files.hpp"
#include "platform/linux/x11_connection.hpp"

namespace kest::platform::linux_desktop {

class SharedImageSegment;

// Which path a capture took, for tests and the benchmark.
enum class PixelSource { sharedMemory, getImage, compositePixmap };

class X11Capture final : public Capture {
public:
    X11Capture();
    ~X11Capture() override;

    // Exit status 1 with a message when the display cannot be opened, the
    // window is gone or off the screen, or the file cannot be written.
    std::expected<CaptureExit, std::string> capture(const CaptureRequest& request) override;
    std::optional<PixelSize> imagePixelSize(const std::string& path) override;
    bool createDirectories(const std::string& path) override;
    std::optional<std::string> makePrivateDirectory(const std::string& path) override;
    bool fileExists(const std::string& path) override;

    // For the benchmark: the encoder's settings, and the path the last
    // capture's pixels came by.
    void setEncodeSettings(const EncodeSettings& settings) { settings_ = settings; }
    void setBandedRead(bool banded) { bandedRead_ = banded; }
    PixelSource lastSource() const { return lastSource_; }

private:
    X11Connection* connection();

    std::mutex mutex_;
    std::unique_ptr<X11Connection> connection_;
    std::unique_ptr<SharedImageSegment> segment_;
    bool sharedMemoryRefused_ = false;
    std::optional<bool> composite_;  // whether the server names window pixmaps
    EncodeSettings settings_;
    bool bandedRead_ = true;
    PixelSource lastSource_ = PixelSource::sharedMemory;
};

}  // namespace kest::platform::linux_desktop
