// Screen capture to image files, and the few file operations around it.
#pragma once

#include <cstdint>
#include "common/expected.hpp"
#include <optional>
#include <string>

#include "platform/window_server.hpp"

namespace kest::platform {

enum class ImageFormat { png, jpeg };

struct CaptureRequest {
    std::optional<WindowNumber> window;  // none: the whole screen
    ImageFormat format = ImageFormat::png;
    std::string path;                    // the file to write
    bool ownerOnly = false;              // the file gets mode 0600, not 0666 less the umask
};

// How a capture ended, as a capture tool's exit would tell it: status 0 is
// done; otherwise errorText says why.
struct CaptureExit {
    int status = 0;
    std::string errorText;
};

struct PixelSize {
    std::int64_t width = 0;
    std::int64_t height = 0;
    bool operator==(const PixelSize&) const = default;
};

// Threading: request thread. A capture blocks it until the file is written or
// the capture failed.
class Capture {
public:
    virtual ~Capture() = default;
    // The capture's exit, or the reason it could not be started at all.
    virtual std::expected<CaptureExit, std::string> capture(const CaptureRequest& request) = 0;
    // The pixel size of an image file; nothing when it cannot be read.
    virtual std::optional<PixelSize> imagePixelSize(const std::string& path) = 0;
    // Creates a directory with its parents; true when it exists afterwards.
    virtual bool createDirectories(const std::string& path) = 0;
    // Makes `path` a directory only this user may enter: creates it with mode
    // 0700, or tightens one of the user's own to that mode. An error text when
    // it is something else (another user's directory, a symbolic link, a file),
    // which must then not be written into.
    virtual std::optional<std::string> makePrivateDirectory(const std::string& path) = 0;
    virtual bool fileExists(const std::string& path) = 0;
};

}  // namespace kest::platform
