// Image files written from pixel rows and read back: round trips, sizes from
// headers, and what a failed write leaves behind.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <unistd.h>

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

// The directory that screenshots go to by default sits on shared ground: it is
// made the user's alone, or refused when it is not the user's to make so.
TEST_F(ImageFiles, APrivateDirectoryIsTheUsersAloneOrRefused) {
    fs::create_directories(path("loose"));
    fs::permissions(path("loose"), fs::perms(0777));
    fs::create_symlink(path("loose"), path("link"));
    std::ofstream(path("file")) << "x";
    const std::pair<std::string, std::string> cases[] = {
        {"fresh", ""},  // made
        {"loose", ""},  // the user's own, tightened
        {"link", "it is not a directory (a symbolic link or a file)"},
        {"file", "it is not a directory (a symbolic link or a file)"},
    };
    for (const auto& [name, refusal] : cases) {
        EXPECT_EQ(makePrivateDirectory(path(name)).value_or(""), refusal) << name;
        if (refusal.empty()) {
            EXPECT_EQ(fs::status(path(name)).permissions(), fs::perms(0700)) << name;
        }
    }
    // Another user's directory is refused; only root can make one here.
    if (::geteuid() == 0) {
        fs::create_directories(path("theirs"));
        ASSERT_EQ(::chown(path("theirs").c_str(), 65534, 65534), 0);
        EXPECT_EQ(makePrivateDirectory(path("theirs")).value_or(""), "it belongs to another user (uid 65534)");
    }
    // Files written owner-only have mode 0600 whatever the umask.
    ASSERT_EQ(writeImageFile(path("fresh/shot.png"), ImageFormat::png, rows(), {}, true), std::nullopt);
    EXPECT_EQ(fs::status(path("fresh/shot.png")).permissions(), fs::perms(0600));
}

// Pixels that arrive in bands while the encoder runs: the buffer holds
// nothing useful (zeros) until a band is copied in and announced, so an
// encoder that reads rows before it has waited for them writes other pixels.
class BandedArrival final : public RowArrival {
public:
    BandedArrival(const std::vector<unsigned char>& source, std::size_t stride, int height, int failAfterBands = -1)
        : source_(source), stride_(stride), height_(height), failAfter_(failAfterBands), buffer_(source.size(), 0) {}

    void run() {
        for (int band = 0, y = 0; y < height_; ++band) {
            if (band == failAfter_) {
                ready_.store(-1);
                ready_.notify_all();
                return;
            }
            const int rows = std::min(height_ - y, 23);  // bands that cut macroblocks
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // let the encoder run ahead if it would
            std::copy_n(source_.begin() + static_cast<std::ptrdiff_t>(stride_ * static_cast<std::size_t>(y)),
                        stride_ * static_cast<std::size_t>(rows), buffer_.begin() + static_cast<std::ptrdiff_t>(stride_ * static_cast<std::size_t>(y)));
            y += rows;
            ready_.store(y);
            ready_.notify_all();
        }
    }
    bool waitFor(int rows) const override {
        for (int ready; (ready = ready_.load()) < rows;) {
            if (ready < 0) return false;
            ready_.wait(ready);
        }
        return true;
    }
    PixelRows rows(int width) const { return PixelRows{buffer_.data(), width, height_, stride_, this}; }

private:
    const std::vector<unsigned char>& source_;
    std::size_t stride_;
    int height_;
    int failAfter_;
    std::vector<unsigned char> buffer_;
    mutable std::atomic<int> ready_{0};
};

TEST_F(ImageFiles, RowsArrivingWhileEncodingGiveTheSameFile) {
    // A taller image than the fixture's, so that there are several bands.
    const int width = 130, height = 150;
    const std::size_t stride = width * 4;
    std::vector<unsigned char> pixels(stride * height);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<unsigned char>((i * 7 + i / stride * 13) % 251);
    const PixelRows whole{pixels.data(), width, height, stride};
    for (const ImageFormat format : {ImageFormat::png, ImageFormat::jpeg}) {
        for (const int threads : {1, 2, 3}) {
            EncodeSettings settings;
            settings.pngBands = threads;
            settings.jpegThreads = threads;
            ASSERT_EQ(writeImageFile(path("whole"), format, whole, settings), std::nullopt);
            BandedArrival arrival(pixels, stride, height);
            std::optional<std::string> error;
            {
                std::jthread feeder([&] { arrival.run(); });
                error = writeImageFile(path("banded"), format, arrival.rows(width), settings);
            }
            ASSERT_EQ(error, std::nullopt);
            std::ifstream a(path("whole"), std::ios::binary), b(path("banded"), std::ios::binary);
            const std::string wholeBytes((std::istreambuf_iterator<char>(a)), {}), bandedBytes((std::istreambuf_iterator<char>(b)), {});
            EXPECT_EQ(wholeBytes, bandedBytes) << (format == ImageFormat::png ? "png" : "jpeg") << ", " << threads << " threads";
        }
    }
    // Rows that never come: a failure, and no file.
    for (const ImageFormat format : {ImageFormat::png, ImageFormat::jpeg}) {
        BandedArrival arrival(pixels, stride, height, 3);
        std::optional<std::string> error;
        {
            std::jthread feeder([&] { arrival.run(); });
            error = writeImageFile(path("lost"), format, arrival.rows(width));
        }
        EXPECT_TRUE(error);
        EXPECT_FALSE(fs::exists(path("lost")));
    }
    std::error_code ignored;
    fs::remove(path("whole"), ignored);
    fs::remove(path("banded"), ignored);
    EXPECT_EQ(entries(), std::vector<std::string>{});
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
