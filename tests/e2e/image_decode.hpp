// Test helpers: PNG and JPEG files decoded to RGB bytes, and X window dumps
// (the xwd format) of 24-bit TrueColor screens.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kest::test {

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;  // 3 bytes a pixel, rows top to bottom
};

std::optional<RgbImage> decodePng(const std::string& path);
std::optional<RgbImage> decodeJpeg(const std::string& path);
// A dump of 24- or 32-bit pixels with 8-bit red, green and blue masks, either
// byte order; nothing for any other kind.
std::optional<RgbImage> decodeXwd(const std::vector<std::uint8_t>& dump);

// The rectangle (x, y, width, height) of an image.
RgbImage crop(const RgbImage& image, int x, int y, int width, int height);

}  // namespace kest::test
