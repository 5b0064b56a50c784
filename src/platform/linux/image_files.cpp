// PNG and JPEG encoding into a temporary file, then rename; header parsing.
#include "platform/linux/image_files.hpp"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <jpeglib.h>
#include <png.h>
#include <unistd.h>
#include <random>
#include <vector>

#include "rpc/unique_fd.hpp"

namespace kest::platform::linux_desktop {
namespace {

std::string errnoText() { return std::strerror(errno); }

// A file being written beside its final name; removed unless committed.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& target) {
        const auto slash = target.find_last_of('/');
        const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
        const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
        // Like mkstemp, but with the mode an ordinary file gets (0666 less
        // the umask) rather than 0600.
        std::random_device random;
        int fd = -1;
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            char suffix[16];
            std::snprintf(suffix, sizeof suffix, ".%08x", static_cast<unsigned>(random()));
            const std::string candidate = dir + "." + base + suffix;
            fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) path_ = candidate;
            else if (errno != EEXIST) break;
        }
        if (fd < 0) {
            error_ = errnoText();
            return;
        }
        file_ = fdopen(fd, "wb");
        if (!file_) {
            error_ = errnoText();
            ::close(fd);
            ::unlink(path_.c_str());
            path_.clear();
            return;
        }
        // Screen-sized files: fewer, larger writes.
        setvbuf(file_, nullptr, _IOFBF, 1 << 20);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (file_) std::fclose(file_);
        if (!path_.empty()) ::unlink(path_.c_str());
    }

    FILE* file() const { return file_; }
    const std::string& openError() const { return error_; }

    // Closes the file (flushing it) and gives it its final name; an error
    // text when either fails.
    std::optional<std::string> commit(const std::string& target) {
        const int closed = std::fclose(file_);
        file_ = nullptr;
        if (closed != 0) return errnoText();
        if (::rename(path_.c_str(), target.c_str()) != 0) return errnoText();
        path_.clear();
        return std::nullopt;
    }

private:
    std::string path_;
    FILE* file_ = nullptr;
    std::string error_;
};

// libpng and libjpeg report errors by long-jumping out of the error handler;
// these two functions hold no object with a destructor across the jump.
struct PngFailure {
    std::jmp_buf jump;
    char message[200];
};

void pngError(png_structp png, png_const_charp message) {
    auto* failure = static_cast<PngFailure*>(png_get_error_ptr(png));
    std::snprintf(failure->message, sizeof failure->message, "%s", message);
    std::longjmp(failure->jump, 1);
}
void pngWarning(png_structp, png_const_charp) {}

bool encodePng(FILE* file, const PixelRows& pixels, const EncodeSettings& settings, PngFailure& failure,
               png_bytep* rows) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &failure, pngError, pngWarning);
    if (!png) {
        std::snprintf(failure.message, sizeof failure.message, "out of memory");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(failure.jump)) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_compression_level(png, settings.pngLevel);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, settings.pngSubFilter ? PNG_FILTER_SUB : PNG_FILTER_NONE);
    png_set_IHDR(png, info, static_cast<png_uint_32>(pixels.width), static_cast<png_uint_32>(pixels.height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    png_write_info(png, info);
    // The pixels are blue, green, red, unused: libpng reorders and drops the
    // fourth byte as it writes.
    png_set_bgr(png);
    png_set_filler(png, 0, PNG_FILLER_AFTER);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

struct JpegFailure {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void jpegError(j_common_ptr common) {
    auto* failure = reinterpret_cast<JpegFailure*>(common->err);
    (*common->err->format_message)(common, failure->message);
    std::longjmp(failure->jump, 1);
}

bool encodeJpeg(FILE* file, const PixelRows& pixels, const EncodeSettings& settings, JpegFailure& failure,
                JSAMPROW* rows) {
    jpeg_compress_struct jpeg{};
    jpeg.err = jpeg_std_error(&failure.manager);
    failure.manager.error_exit = jpegError;
    if (setjmp(failure.jump)) {
        jpeg_destroy_compress(&jpeg);
        return false;
    }
    jpeg_create_compress(&jpeg);
    jpeg_stdio_dest(&jpeg, file);
    jpeg.image_width = static_cast<JDIMENSION>(pixels.width);
    jpeg.image_height = static_cast<JDIMENSION>(pixels.height);
    jpeg.input_components = 4;
    jpeg.in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(&jpeg);
    jpeg_set_quality(&jpeg, settings.jpegQuality, TRUE);
    jpeg_start_compress(&jpeg, TRUE);
    while (jpeg.next_scanline < jpeg.image_height) {
        jpeg_write_scanlines(&jpeg, rows + jpeg.next_scanline, jpeg.image_height - jpeg.next_scanline);
    }
    jpeg_finish_compress(&jpeg);
    jpeg_destroy_compress(&jpeg);
    return true;
}

std::uint32_t bigEndian32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
std::uint32_t bigEndian16(const unsigned char* p) { return (std::uint32_t{p[0]} << 8) | p[1]; }

}  // namespace

std::optional<std::string> writeImageFile(const std::string& path, ImageFormat format, const PixelRows& pixels,
                                          const EncodeSettings& settings) {
    if (pixels.width <= 0 || pixels.height <= 0 || !pixels.data) return "nothing to capture";
    TemporaryFile temporary(path);
    if (!temporary.file()) return "cannot write " + path + ": " + temporary.openError();

    std::vector<unsigned char*> rows(static_cast<std::size_t>(pixels.height));
    for (int y = 0; y < pixels.height; ++y) {
        rows[static_cast<std::size_t>(y)] = const_cast<unsigned char*>(pixels.data) + pixels.stride * static_cast<std::size_t>(y);
    }
    bool encoded = false;
    std::string failureText;
    if (format == ImageFormat::png) {
        PngFailure failure{};
        encoded = encodePng(temporary.file(), pixels, settings, failure, rows.data());
        failureText = failure.message;
    } else {
        JpegFailure failure{};
        encoded = encodeJpeg(temporary.file(), pixels, settings, failure, rows.data());
        failureText = failure.message;
    }
    // A full disk shows up in the stream's error flag rather than in the
    // encoder.
    if (encoded && std::ferror(temporary.file())) {
        encoded = false;
        failureText = "write error";
    }
    if (!encoded) return "cannot write " + path + ": " + failureText;
    if (auto error = temporary.commit(path)) return "cannot write " + path + ": " + *error;
    return std::nullopt;
}

std::optional<PixelSize> pixelSizeFromHeader(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    // PNG: the signature, then IHDR's length and type, then width and height.
    static constexpr unsigned char PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (n >= 8 && std::memcmp(p, PNG_SIGNATURE, 8) == 0) {
        if (n < 24 || std::memcmp(p + 12, "IHDR", 4) != 0) return std::nullopt;
        const std::uint32_t width = bigEndian32(p + 16), height = bigEndian32(p + 20);
        if (width == 0 || height == 0 || width > 0x7fffffff || height > 0x7fffffff) return std::nullopt;
        return PixelSize{width, height};
    }
    // JPEG: walk the markers to the first start-of-frame.
    if (n < 4 || p[0] != 0xff || p[1] != 0xd8) return std::nullopt;
    std::size_t at = 2;
    while (at + 4 <= n) {
        if (p[at] != 0xff) return std::nullopt;
        const unsigned char marker = p[at + 1];
        if (marker == 0xff) {  // fill byte
            ++at;
            continue;
        }
        if (marker == 0xd8 || marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7)) {  // no length
            at += 2;
            continue;
        }
        const std::size_t length = bigEndian16(p + at + 2);
        if (length < 2) return std::nullopt;
        const bool startOfFrame = marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
        if (startOfFrame) {
            if (at + 9 > n || length < 7) return std::nullopt;
            const std::uint32_t height = bigEndian16(p + at + 5), width = bigEndian16(p + at + 7);
            if (width == 0 || height == 0) return std::nullopt;
            return PixelSize{width, height};
        }
        if (marker == 0xda || marker == 0xd9) return std::nullopt;  // image data before any frame
        at += 2 + length;
    }
    return std::nullopt;
}

std::optional<PixelSize> readImagePixelSize(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    // Encoders put the frame header near the start; 64 KiB leaves room for
    // large metadata segments before it.
    std::string header(64 * 1024, '\0');
    std::size_t filled = 0;
    while (filled < header.size()) {
        const ssize_t got = ::read(fd.get(), header.data() + filled, header.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
    }
    header.resize(filled);
    return pixelSizeFromHeader(header);
}

}  // namespace kest::platform::linux_desktop
