// The JPEG encoded in restart segments on threads against libjpeg encoding
// the whole image at once: the same pixels when decoded, at sizes that cut
// macroblocks at the edges, from one row up.
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>

#include <optional>
#include <random>
#include <vector>

#include "platform/linux/image_files.hpp"
#include "platform/linux/jpeg_encoder.hpp"

namespace kest::platform::linux_desktop {
namespace {

struct Decoded {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
};

struct StrictFailure {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

void failHard(j_common_ptr common) { std::longjmp(reinterpret_cast<StrictFailure*>(common->err)->jump, 1); }
// Any warning (corrupt data, a restart marker out of place, bytes left over)
// counts as a failure: libjpeg would otherwise decode on and guess.
void warningIsFailure(j_common_ptr common, int level) {
    if (level < 0) failHard(common);
}

bool decodeInto(const std::vector<unsigned char>& bytes, Decoded& image, StrictFailure& failure,
                std::vector<unsigned char>& rgb) {
    jpeg_decompress_struct jpeg{};
    jpeg.err = jpeg_std_error(&failure.manager);
    failure.manager.error_exit = failHard;
    failure.manager.emit_message = warningIsFailure;
    if (setjmp(failure.jump)) {
        jpeg_destroy_decompress(&jpeg);
        return false;
    }
    jpeg_create_decompress(&jpeg);
    jpeg_mem_src(&jpeg, bytes.data(), static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&jpeg, TRUE);
    jpeg.out_color_space = JCS_RGB;
    jpeg_start_decompress(&jpeg);
    image.width = static_cast<int>(jpeg.output_width);
    image.height = static_cast<int>(jpeg.output_height);
    if (rgb.size() < static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) * 3) {
        jpeg_destroy_decompress(&jpeg);
        return false;
    }
    while (jpeg.output_scanline < jpeg.output_height) {
        JSAMPROW row = rgb.data() + static_cast<std::size_t>(jpeg.output_scanline) * static_cast<std::size_t>(image.width) * 3;
        jpeg_read_scanlines(&jpeg, &row, 1);
    }
    jpeg_finish_decompress(&jpeg);
    jpeg_destroy_decompress(&jpeg);
    return true;
}

std::optional<Decoded> decodeStrictly(const std::vector<unsigned char>& bytes, int width, int height) {
    Decoded image;
    std::vector<unsigned char> rgb(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    StrictFailure failure{};
    if (!decodeInto(bytes, image, failure, rgb)) return std::nullopt;
    image.rgb = std::move(rgb);
    return image;
}

// Screen-like pixels: a flat background, a window with a border, dotted
// rules (segments that repeat without being of one colour) and noisy "text",
// a strip of many flat colours (more than the encoder remembers) and a
// gradient; the unused byte is noise in the text and constant elsewhere, with
// padding after each row.
struct Screen {
    Screen(int w, int h, unsigned seed) : width(w), height(h), stride(static_cast<std::size_t>(w) * 4 + 12) {
        bytes.resize(stride * static_cast<std::size_t>(h));
        std::mt19937 random(seed);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                unsigned char* p = bytes.data() + stride * static_cast<std::size_t>(y) + 4 * static_cast<std::size_t>(x);
                unsigned char b = 30, g = 30, r = 30;
                if (x >= w / 4 && x < 3 * w / 4 && y >= h / 5) {
                    b = g = r = 250;  // a window's interior
                    if (x - w / 4 < 2 || y - h / 5 < 2) b = g = r = 90;  // its border
                    if (y % 32 >= 24 && (x + y) % 5 == 0) b = g = r = 180;  // a dotted rule, repeating
                    if (y % 20 < 9 && x % 7 < 5) {  // a line of text
                        b = static_cast<unsigned char>(random() % 256);
                        g = r = static_cast<unsigned char>(random() % 64);
                    }
                }
                if (y < h / 5) {  // a strip of 48 flat colours, one a macroblock
                    const int block = (x / 16) % 48;
                    b = static_cast<unsigned char>(block * 5);
                    g = static_cast<unsigned char>(255 - block * 3);
                    r = static_cast<unsigned char>(block * 2);
                }
                if (x >= 3 * w / 4) {  // a gradient along the right edge
                    b = static_cast<unsigned char>(x * 255 / std::max(1, w - 1));
                    g = static_cast<unsigned char>(y * 255 / std::max(1, h - 1));
                    r = 128;
                }
                p[0] = b;
                p[1] = g;
                p[2] = r;
                p[3] = b == g ? 0 : static_cast<unsigned char>(random());
            }
        }
    }
    PixelRows rows() const { return PixelRows{bytes.data(), width, height, stride}; }

    int width, height;
    std::size_t stride;
    std::vector<unsigned char> bytes;
};

TEST(JpegSegments, DecodeToTheWholeImageEncodingsPixels) {
    // Whole macroblocks; edges cut in both directions; one row; one column;
    // a row of 13 macroblocks (a restart every macroblock); rows of 6 and 4
    // (every two, and every two or four when asked); heights of one
    // macroblock row and of a few.
    const std::vector<std::pair<int, int>> sizes = {{320, 96}, {203, 77}, {37, 1},  {1, 40}, {1, 1},
                                                    {208, 50}, {90, 16}, {256, 17}, {64, 130}};
    for (const auto& [width, height] : sizes) {
        const Screen screen(width, height, static_cast<unsigned>(width * 1000 + height));
        // The interval picked for the width, a marker every macroblock, and
        // every four where a row holds a multiple of four.
        for (const int restart : {jpegRestartInterval(width), 1, 4}) {
            if ((width + 15) / 16 % restart != 0) continue;
            auto whole = encodeJpegWhole(screen.rows(), 90, restart);
            ASSERT_TRUE(whole) << whole.error();
            const auto reference = decodeStrictly(*whole, width, height);
            ASSERT_TRUE(reference) << width << "x" << height;
            for (const int threads : {1, 2, 3}) {
                for (const bool reuse : {true, false}) {
                    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + ", " + std::to_string(threads) +
                                 " threads" + (reuse ? ", reusing" : "") + ", restart " + std::to_string(restart));
                    auto segmented = encodeJpeg(screen.rows(), JpegSettings{90, threads, reuse, restart});
                    ASSERT_TRUE(segmented) << segmented.error();
                    EXPECT_EQ(pixelSizeFromHeader({reinterpret_cast<const char*>(segmented->data()), segmented->size()}),
                              (PixelSize{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)}));
                    const auto decoded = decodeStrictly(*segmented, width, height);
                    ASSERT_TRUE(decoded);
                    ASSERT_EQ(decoded->width, width);
                    ASSERT_EQ(decoded->height, height);
                    ASSERT_EQ(decoded->rgb, reference->rgb);
                    // With no macroblock cut at the right edge, the very bytes:
                    // only an edge block past the image may be coded differently.
                    // (One thread reusing nothing is the whole encoding, with no
                    // restart markers.)
                    if (width % 16 == 0 && (threads > 1 || reuse)) {
                        EXPECT_EQ(*segmented, *whole);
                    }
                }
            }
        }
    }
}

TEST(JpegSegments, ARepeatedSegmentTakesTheBytesOfTheOneItRepeats) {
    // Macroblocks of noise, one pattern each, laid out so that a segment
    // repeats its left neighbour but not the one before that (row 0), or the
    // one above it but not its left neighbour nor the one above and right
    // (row 1): reusing the wrong segment's bytes shows in the pixels.
    const int grid[8][4] = {{1, 1, 2, 2}, {3, 1, 4, 2}, {5, 6, 7, 8}, {9, 10, 11, 12},
                            {13, 13, 14, 14}, {15, 13, 16, 14}, {17, 18, 19, 20}, {21, 22, 23, 24}};
    const int width = 64, height = 128;
    const std::size_t stride = width * 4;
    std::vector<unsigned char> bytes(stride * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::mt19937 random(static_cast<unsigned>(grid[y / 16][x / 16] * 1000 + (y % 16) * 16 + x % 16));
            for (int c = 0; c < 4; ++c) bytes[stride * static_cast<std::size_t>(y) + 4 * static_cast<std::size_t>(x) + static_cast<std::size_t>(c)] = static_cast<unsigned char>(random());
        }
    }
    const PixelRows rows{bytes.data(), width, height, stride};
    auto whole = encodeJpegWhole(rows, 90, 1);
    ASSERT_TRUE(whole);
    for (const int threads : {1, 2}) {
        auto segmented = encodeJpeg(rows, JpegSettings{90, threads, true, 1});
        ASSERT_TRUE(segmented);
        EXPECT_EQ(decodeStrictly(*segmented, width, height)->rgb, decodeStrictly(*whole, width, height)->rgb) << threads;
        EXPECT_EQ(*segmented, *whole) << threads;
    }
}

TEST(JpegSegments, RestartIntervalDividesARowOfMacroblocks) {
    EXPECT_EQ(jpegRestartInterval(1920), 2);  // 120 macroblocks
    EXPECT_EQ(jpegRestartInterval(1366), 2);  // 86
    EXPECT_EQ(jpegRestartInterval(1000), 1);  // 63
    EXPECT_EQ(jpegRestartInterval(1), 1);
}

TEST(JpegSegments, AUniformScreenIsSmallAndExact) {
    // Every segment reuses the first one's bytes.
    std::vector<unsigned char> grey(1920 * 4 * 64, 0x80);
    const PixelRows rows{grey.data(), 1920, 64, 1920 * 4};
    auto segmented = encodeJpeg(rows, JpegSettings{90, 2, true});
    ASSERT_TRUE(segmented);
    EXPECT_EQ(*segmented, *encodeJpegWhole(rows, 90, 2));
    EXPECT_LT(segmented->size(), 4096u);
    EXPECT_FALSE(encodeJpeg(PixelRows{}, JpegSettings{}));
    // As wide as a JPEG may be: padded to whole macroblocks the packed image
    // would not be, so the whole image is encoded as it is.
    std::vector<unsigned char> wide(65500 * 4 * 2, 0x40);
    auto widest = encodeJpeg(PixelRows{wide.data(), 65500, 2, 65500 * 4}, JpegSettings{90, 2, true});
    ASSERT_TRUE(widest) << widest.error();
    EXPECT_EQ(pixelSizeFromHeader({reinterpret_cast<const char*>(widest->data()), widest->size()}), (PixelSize{65500, 2}));
    EXPECT_TRUE(decodeStrictly(*widest, 65500, 2));
}

}  // namespace
}  // namespace kest::platform::linux_desktop
