// Baseline JPEG encoding of captured pixels into memory, through
// libjpeg-turbo, in restart segments spread over threads.
//
// The image is cut into segments of a few macroblocks (16 x 16 pixels, the
// 4:2:0 unit), which the file separates with restart markers: each segment's
// entropy-coded bytes depend on its own pixels only (the DC predictors start
// again at every marker and every segment ends on a byte boundary). So
//   - rows of segments are encoded on several threads, each thread handing
//     libjpeg one image made of its segments packed side by side, and the
//     bytes are put back in the image's order under one header;
//   - a segment of one colour (most of a desktop: backgrounds, window
//     interiors, margins) costs libjpeg nothing after the first of its colour
//     on that thread: its bytes are the same as that first one's; and so does
//     a segment whose pixels repeat its left neighbour's or those of the one
//     above it (rules, borders, the edges of fields and buttons).
// The file decodes to the same pixels as libjpeg encoding the whole image at
// once with the same restart interval.
//
// Threading: any thread; nothing is shared between calls.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common/expected.hpp"
#include "platform/linux/image_files.hpp"

namespace kest::platform::linux_desktop {

struct JpegSettings {
    int quality = 90;
    // 0: one per core (at most four), fewer for a small image.
    int threads = 0;
    // A segment's bytes reused from one with the same pixels: the first of
    // its colour on its thread, its left neighbour, the one above it.
    bool reuseUniform = true;
    // Macroblocks a segment; 0: jpegRestartInterval(width).
    int restartMcus = 0;
};

// The file's bytes, or libjpeg's message when it refused.
std::expected<std::vector<unsigned char>, std::string> encodeJpeg(const PixelRows& pixels,
                                                                  const JpegSettings& settings = {});

// libjpeg over the whole image on this thread, with a restart marker every
// `restartMcus` macroblocks (0: none); what encodeJpeg falls back to.
std::expected<std::vector<unsigned char>, std::string> encodeJpegWhole(const PixelRows& pixels, int quality,
                                                                       int restartMcus);

// The restart interval, in macroblocks, encodeJpeg uses for an image this
// wide: two when that divides a row of macroblocks, else one, so that
// segments never straddle two rows.
int jpegRestartInterval(int width);

}  // namespace kest::platform::linux_desktop
