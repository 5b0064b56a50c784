// Image files written from pixel rows and read back: round trips, sizes from
// headers, and what a failed write leaves behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "image_decode.hpp"
#include "platform/linux/image_files.hpp"

namespace kest::platform::linux_desktop {
namespace {

namespace fs = std::filesystem;

class ImageFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("kest-image-files-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        // 7 x 5 blue, green, red, unused pixels, each channel a function of
        // the position, with 4 bytes of padding after every row.
        stride_ = 7 * 4 + 4;
        pixels_.assign(stride_ * 5, 0xee);
        for (int y = 0; y < 5; ++y) {
            for (int x = 0; x < 7; ++x) {
                unsigned char* p = pixels_.data() + y * stride_ + x * 4;
                p[0] = static_cast<unsigned char>(10 * x);       // blue
                p[1] = static_cast<unsigned char>(40 * y);       // green
                p[2] = static_cast<unsigned char>(200 - x * y);  // red
            }
        }
    }
    void TearDown() override { fs::remove_all(dir_); }

    PixelRows rows() const { return PixelRows{pixels_.data(), 7, 5, stride_}; }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
        return names;
    }

    fs::path dir_;
    std::size_t stride_ = 0;
    std::vector<unsigned char> pixels_;
};

TEST_F(ImageFiles, PngIsLosslessAtEverySetting) {
    // Forced bands: rows compressed on several threads and joined, down to
    // a band per row, with and without the row filter.
    for (const EncodeSettings settings : {EncodeSettings{}, EncodeSettings{6, true, 90}, EncodeSettings{0, false, 90},
                                          EncodeSettings{1, false, 90, 2}, EncodeSettings{1, true, 90, 5},
                                          EncodeSettings{0, false, 90, 3}}) {
        const std::string file = path("shot.png");
        ASSERT_EQ(writeImageFile(file, ImageFormat::png, rows(), settings), std::nullopt);
        auto image = test::decodePng(file);
        ASSERT_TRUE(image);
        ASSERT_EQ(image->width, 7);
        ASSERT_EQ(image->height, 5);
        for (int y = 0; y < 5; ++y) {
            for (int x = 0; x < 7; ++x) {
                const auto* rgb = image->rgb.data() + (y * 7 + x) * 3;
                ASSERT_EQ(rgb[0], 200 - x * y);
                ASSERT_EQ(rgb[1], 40 * y);
                ASSERT_EQ(rgb[2], 10 * x);
            }
        }
        EXPECT_EQ(readImagePixelSize(file), (PixelSize{7, 5}));
    }
    // Only the finished file is left: no temporary beside it.
    EXPECT_EQ(entries(), std::vector<std::string>{"shot.png"});
}

TEST_F(ImageFiles, JpegDecodesToTheSameSizeAndRoughlyTheSameColours) {
    const std::string file = path("shot.jpg");
    ASSERT_EQ(writeImageFile(file, ImageFormat::jpeg, rows()), std::nullopt);
    EXPECT_EQ(readImagePixelSize(file), (PixelSize{7, 5}));
    auto image = test::decodeJpeg(file);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 7);
    const auto* corner = image->rgb.data() + (4 * 7 + 6) * 3;  // red 176, green 160, blue 60
    EXPECT_NEAR(corner[0], 176, 40);
    EXPECT_NEAR(corner[1], 160, 40);
    EXPECT_NEAR(corner[2], 60, 40);
}

TEST_F(ImageFiles, AFailedWriteLeavesNothingAndSaysWhy) {
    // A missing directory, and a directory standing where the file should go
    // (the rename fails after the encoding).
    auto missing = writeImageFile(path("absent/shot.png"), ImageFormat::png, rows());
    ASSERT_TRUE(missing);
    EXPECT_EQ(*missing, "cannot write " + path("absent/shot.png") + ": No such file or directory");
    fs::create_directories(path("taken.png/inside"));
    auto taken = writeImageFile(path("taken.png"), ImageFormat::png, rows());
    ASSERT_TRUE(taken);
    EXPECT_TRUE(taken->starts_with("cannot write " + path("taken.png") + ": ")) << *taken;
    EXPECT_EQ(entries(), std::vector<std::string>{"taken.png"});
    EXPECT_TRUE(writeImageFile(path("empty.png"), ImageFormat::png, PixelRows{}));
    // An existing file is replaced whole.
    std::ofstream(path("old.png")) << "not an image";
    ASSERT_EQ(writeImageFile(path("old.png"), ImageFormat::png, rows()), std::nullopt);
    EXPECT_EQ(readImagePixelSize(path("old.png")), (PixelSize{7, 5}));
}

TEST(ImageHeaders, SizesFromPngAndJpegHeaders) {
    using namespace std::string_literals;
    const std::string png = "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\x07\x80\0\0\x04\x38\x08\x02"s;
    EXPECT_EQ(pixelSizeFromHeader(png), (PixelSize{1920, 1080}));
    EXPECT_EQ(pixelSizeFromHeader(png.substr(0, 20)), std::nullopt);
    // SOI, an APP0 segment of 16 bytes, then a baseline frame of 1080 x 1920.
    const std::string jpeg = "\xff\xd8\xff\xe0\0\x10JFIF\0\x01\x01\0\0\x01\0\x01\0\0\xff\xc0\0\x11\x08\x04\x38\x07\x80\x03"s;
    EXPECT_EQ(pixelSizeFromHeader(jpeg), (PixelSize{1920, 1080}));
    // A Huffman table (C4) is no frame; a progressive frame (C2) is.
    const std::string progressive = "\xff\xd8\xff\xc4\0\x04\0\0\xff\xc2\0\x11\x08\0\x10\0\x20\x03"s;
    EXPECT_EQ(pixelSizeFromHeader(progressive), (PixelSize{32, 16}));
    EXPECT_EQ(pixelSizeFromHeader(jpeg.substr(0, 24)), std::nullopt);
    EXPECT_EQ(pixelSizeFromHeader("GIF89a"), std::nullopt);
    EXPECT_EQ(pixelSizeFromHeader(""), std::nullopt);
    EXPECT_EQ(readImagePixelSize("/nonexistent/kest.png"), std::nullopt);
}

}  // namespace
}  // namespace kest::platform::linux_desktop
