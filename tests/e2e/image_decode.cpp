// Decoders for the capture tests.
#include "image_decode.hpp"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <jpeglib.h>
#include <memory>
#include <png.h>

namespace kest::test {
namespace {

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

struct JpegJump {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

void jpegFailed(j_common_ptr common) { std::longjmp(reinterpret_cast<JpegJump*>(common->err)->jump, 1); }

bool decodeJpegInto(FILE* file, RgbImage& image, JpegJump& failure) {
    jpeg_decompress_struct jpeg{};
    jpeg.err = jpeg_std_error(&failure.manager);
    failure.manager.error_exit = jpegFailed;
    if (setjmp(failure.jump)) {
        jpeg_destroy_decompress(&jpeg);
        return false;
    }
    jpeg_create_decompress(&jpeg);
    jpeg_stdio_src(&jpeg, file);
    jpeg_read_header(&jpeg, TRUE);
    jpeg.out_color_space = JCS_RGB;
    jpeg_start_decompress(&jpeg);
    image.width = static_cast<int>(jpeg.output_width);
    image.height = static_cast<int>(jpeg.output_height);
    image.rgb.resize(static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) * 3);
    while (jpeg.output_scanline < jpeg.output_height) {
        JSAMPROW row = image.rgb.data() + static_cast<std::size_t>(jpeg.output_scanline) * image.width * 3;
        jpeg_read_scanlines(&jpeg, &row, 1);
    }
    jpeg_finish_decompress(&jpeg);
    jpeg_destroy_decompress(&jpeg);
    return true;
}

std::uint32_t read32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) |
           (std::uint32_t{bytes[at + 2]} << 8) | bytes[at + 3];
}

}  // namespace

std::optional<RgbImage> decodePng(const std::string& path) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) return std::nullopt;
    png.format = PNG_FORMAT_RGB;
    RgbImage image{static_cast<int>(png.width), static_cast<int>(png.height), {}};
    image.rgb.resize(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, image.rgb.data(), 0, nullptr)) {
        png_image_free(&png);
        return std::nullopt;
    }
    return image;
}

std::optional<RgbImage> decodeJpeg(const std::string& path) {
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) return std::nullopt;
    RgbImage image;
    JpegJump failure{};
    if (!decodeJpegInto(file.get(), image, failure)) return std::nullopt;
    return image;
}

std::optional<RgbImage> decodeXwd(const std::vector<std::uint8_t>& dump) {
    // The header: 25 big-endian 32-bit fields, then the window name.
    if (dump.size() < 100) return std::nullopt;
    const std::uint32_t headerSize = read32(dump, 0);
    const std::uint32_t width = read32(dump, 16), height = read32(dump, 20);
    const std::uint32_t byteOrder = read32(dump, 28), bitsPerPixel = read32(dump, 44);
    const std::uint32_t bytesPerLine = read32(dump, 48);
    const std::uint32_t redMask = read32(dump, 56), greenMask = read32(dump, 60), blueMask = read32(dump, 64);
    const std::uint32_t colours = read32(dump, 76);
    if (redMask != 0xff0000 || greenMask != 0xff00 || blueMask != 0xff || width == 0) return std::nullopt;
    if (bitsPerPixel != 24 && bitsPerPixel != 32) return std::nullopt;
    const std::uint32_t bytesPerPixel = bitsPerPixel / 8;
    if (bytesPerLine < width * bytesPerPixel) return std::nullopt;
    const std::size_t pixelsAt = headerSize + static_cast<std::size_t>(colours) * 12;
    if (dump.size() < pixelsAt + static_cast<std::size_t>(bytesPerLine) * height) return std::nullopt;
    RgbImage image{static_cast<int>(width), static_cast<int>(height), {}};
    image.rgb.resize(static_cast<std::size_t>(width) * height * 3);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint8_t* p = dump.data() + pixelsAt + static_cast<std::size_t>(y) * bytesPerLine + x * bytesPerPixel;
            // LSBFirst (0) stores blue first; MSBFirst stores the unused byte
            // (when there is one) first.
            const std::uint8_t* q = bytesPerPixel == 4 ? p + 1 : p;
            const std::uint32_t pixel = byteOrder == 0 ? (p[2] << 16 | p[1] << 8 | p[0]) : (q[0] << 16 | q[1] << 8 | q[2]);
            std::uint8_t* out = image.rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3;
            out[0] = static_cast<std::uint8_t>(pixel >> 16);
            out[1] = static_cast<std::uint8_t>(pixel >> 8);
            out[2] = static_cast<std::uint8_t>(pixel);
        }
    }
    return image;
}

RgbImage crop(const RgbImage& image, int x, int y, int width, int height) {
    RgbImage out{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 3)};
    for (int row = 0; row < height; ++row) {
        std::memcpy(out.rgb.data() + static_cast<std::size_t>(row) * width * 3,
                    image.rgb.data() + (static_cast<std::size_t>(y + row) * image.width + x) * 3,
                    static_cast<std::size_t>(width) * 3);
    }
    return out;
}

}  // namespace kest::test
