// Image files from captured pixels: PNG through libpng, JPEG through
// libjpeg-turbo (jpeg_encoder), written under a temporary name in the target's directory and
// renamed, so a file appears whole or not at all; and the pixel size read back
// from a file's header.
//
// Threading: any thread; nothing is shared between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/capture.hpp"

namespace kest::platform::linux_desktop {

// Rows still being read while the encoding runs (the screen in bands): the
// encoders wait for each run of rows before they read it.
class RowArrival {
public:
    virtual ~RowArrival() = default;
    // Blocks until the first `rows` rows are in memory; false when they never
    // will be (the read failed).
    virtual bool waitFor(int rows) const = 0;
};

// Rows of 32-bit pixels laid out in memory as blue, green, red, unused: what
// a little-endian TrueColor X server hands out at depth 24 or 32.
struct PixelRows {
    const unsigned char* data = nullptr;
    int width = 0;
    int height = 0;
    std::size_t stride = 0;  // bytes from one row to the next
    const RowArrival* arrival = nullptr;  // nothing: every row is there already

    bool waitFor(int rows) const { return !arrival || arrival->waitFor(rows); }
};

struct EncodeSettings {
    int pngLevel = 1;             // zlib level: 1 is fast and still small for screen content
    bool pngSubFilter = false;    // the "sub" row filter instead of none
    int jpegQuality = 90;
    // Horizontal bands of the PNG compressed side by side, one thread each,
    // and joined into one stream; 0 picks one per core (at most four), and a
    // small image stays in one band.
    int pngBands = 0;
    // The JPEG's rows of macroblocks spread over this many threads (0: one
    // per core, at most four, fewer for a small image), and whether a
    // one-colour segment reuses the bytes of the first of its colour (see
    // jpeg_encoder.hpp).
    int jpegThreads = 0;
    bool jpegReuseUniform = true;
};

// Writes the file; an error text (as a capture tool would print it) when it
// could not, in which case nothing is left at `path` or beside it.
// With `ownerOnly` the file gets mode 0600, else 0666 less the umask.
std::optional<std::string> writeImageFile(const std::string& path, ImageFormat format, const PixelRows& pixels,
                                          const EncodeSettings& settings = {}, bool ownerOnly = false);

// See Capture::makePrivateDirectory.
std::optional<std::string> makePrivateDirectory(const std::string& path);

// The width and height a PNG or JPEG header states; nothing for other data or
// a header cut short.
std::optional<PixelSize> pixelSizeFromHeader(std::string_view bytes);
// The same for a file, reading only as far as its header.
std::optional<PixelSize> readImagePixelSize(const std::string& path);

}  // namespace kest::platform::linux_desktop
