// PNG (rows deflated in bands on several threads, chunks by libpng) and JPEG
// (jpeg_encoder) written into a temporary file, then renamed; header parsing.
#include "platform/linux/image_files.hpp"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <png.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "platform/linux/jpeg_encoder.hpp"
#include "rpc/unique_fd.hpp"

namespace kest::platform::linux_desktop {
namespace {

std::string errnoText() { return std::strerror(errno); }

// A file being written beside its final name; removed unless committed.
class TemporaryFile {
public:
    TemporaryFile(const std::string& target, mode_t mode) {
        const auto slash = target.find_last_of('/');
        const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
        const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
        // Like mkstemp, but with the mode asked for: mostly the one an
        // ordinary file gets (0666 less the umask) rather than 0600.
        std::random_device random;
        int fd = -1;
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            char suffix[16];
            std::snprintf(suffix, sizeof suffix, ".%08x", static_cast<unsigned>(random()));
            const std::string candidate = dir + "." + base + suffix;
            fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
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

// libpng reports errors by long-jumping out of the error handler; encodePng
// holds no object with a destructor across the jump.
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

// The PNG's pixel data is one zlib stream over every row (a filter byte, then
// red, green, blue). Horizontal bands of rows are deflated side by side as raw
// blocks; every band but the last ends in a sync flush, which leaves it on a
// byte boundary with no final block, so the bands joined in order are one
// deflate stream (each band only matches within itself, which costs little on
// screen content). The checksum is combined from the bands'.
constexpr int ROWS_PER_STEP = 16;
constexpr int MIN_ROWS_PER_BAND = 64;

void bgrxToRgbPlain(const unsigned char* in, unsigned char* out, int width) {
    for (int x = 0; x < width; ++x, in += 4, out += 3) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
    }
}

#if defined(__x86_64__)
// Four pixels per shuffle; every 16-byte store lands 12 bytes further on, and
// the loop stops while the last store still ends inside the row.
__attribute__((target("ssse3"))) void bgrxToRgbShuffle(const unsigned char* in, unsigned char* out, int width) {
    const __m128i order = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    int x = 0;
    for (; x + 6 <= width; x += 4) {
        const __m128i four = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * x), _mm_shuffle_epi8(four, order));
    }
    bgrxToRgbPlain(in + 4 * x, out + 3 * x, width - x);
}
#endif

void bgrxToRgb(const unsigned char* in, unsigned char* out, int width) {
#if defined(__x86_64__)
    static const bool shuffle = __builtin_cpu_supports("ssse3");
    if (shuffle) return bgrxToRgbShuffle(in, out, width);
#endif
    bgrxToRgbPlain(in, out, width);
}

struct DeflatedBand {
    std::vector<unsigned char> bytes;
    uLong adler = 1;          // of the band's uncompressed bytes
    std::size_t length = 0;   // uncompressed
    bool ok = false;
};

void deflateBand(const PixelRows& pixels, int firstRow, int endRow, bool last, const EncodeSettings& settings,
                 DeflatedBand& band) {
    z_stream stream{};
    if (deflateInit2(&stream, settings.pngLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return;
    const std::size_t rowBytes = 1 + static_cast<std::size_t>(pixels.width) * 3;
    std::vector<unsigned char> input(rowBytes * ROWS_PER_STEP);
    std::vector<unsigned char> output(64 * 1024);
    band.bytes.reserve(256 * 1024);
    bool ok = true;
    for (int y = firstRow; y < endRow && ok;) {
        const int rows = std::min(ROWS_PER_STEP, endRow - y);
        if (!pixels.waitFor(y + rows)) {
            ok = false;
            break;
        }
        for (int r = 0; r < rows; ++r) {
            unsigned char* row = input.data() + rowBytes * static_cast<std::size_t>(r);
            bgrxToRgb(pixels.data + pixels.stride * static_cast<std::size_t>(y + r), row + 1, pixels.width);
            row[0] = settings.pngSubFilter ? 1 : 0;
            if (settings.pngSubFilter) {
                for (std::size_t i = rowBytes - 1; i > 3; --i) row[i] = static_cast<unsigned char>(row[i] - row[i - 3]);
            }
        }
        y += rows;
        const std::size_t length = rowBytes * static_cast<std::size_t>(rows);
        band.adler = adler32_z(band.adler, input.data(), length);
        band.length += length;
        stream.next_in = input.data();
        stream.avail_in = static_cast<uInt>(length);
        const int flush = y < endRow ? Z_NO_FLUSH : last ? Z_FINISH : Z_SYNC_FLUSH;
        do {
            stream.next_out = output.data();
            stream.avail_out = static_cast<uInt>(output.size());
            if (deflate(&stream, flush) == Z_STREAM_ERROR) {
                ok = false;
                break;
            }
            band.bytes.insert(band.bytes.end(), output.data(), output.data() + (output.size() - stream.avail_out));
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    band.ok = ok;
}

// The whole zlib stream of the image's rows; false when zlib refused (a
// level out of range).
bool deflateImage(const PixelRows& pixels, const EncodeSettings& settings, std::vector<unsigned char>& stream) {
    int bands = settings.pngBands;
    if (bands <= 0) {
        // Read once: the library asks the system every time.
        static const int cores = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 4);
        bands = cores;
        bands = std::min(bands, std::max(1, pixels.height / MIN_ROWS_PER_BAND));
    }
    bands = std::min(bands, pixels.height);
    std::vector<DeflatedBand> results(static_cast<std::size_t>(bands));
    const auto bandStart = [&](int band) {
        return static_cast<int>(static_cast<long long>(pixels.height) * band / bands);
    };
    const auto run = [&](int band) {
        deflateBand(pixels, bandStart(band), bandStart(band + 1), band == bands - 1, settings,
                    results[static_cast<std::size_t>(band)]);
    };
    {
        std::vector<std::jthread> workers;
        for (int band = 1; band < bands; ++band) {
            try {
                workers.emplace_back(run, band);
            } catch (const std::system_error&) {
                run(band);  // no thread to be had: this one does it
            }
        }
        run(0);
    }
    // The zlib header (32 KiB window, the level as a hint, its check bits),
    // the bands, then the checksum, most significant byte first.
    const unsigned hint = settings.pngLevel < 2 ? 0 : settings.pngLevel < 6 ? 1 : settings.pngLevel == 6 ? 2 : 3;
    unsigned header = 0x7800 | (hint << 6);
    header += 31 - header % 31;
    std::size_t total = 6;
    for (const auto& band : results) {
        if (!band.ok) return false;
        total += band.bytes.size();
    }
    stream.clear();
    stream.reserve(total);
    stream.push_back(static_cast<unsigned char>(header >> 8));
    stream.push_back(static_cast<unsigned char>(header & 0xff));
    uLong adler = results.front().adler;
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (i > 0) adler = adler32_combine(adler, results[i].adler, static_cast<z_off_t>(results[i].length));
        stream.insert(stream.end(), results[i].bytes.begin(), results[i].bytes.end());
    }
    for (int shift = 24; shift >= 0; shift -= 8) stream.push_back(static_cast<unsigned char>((adler >> shift) & 0xff));
    return true;
}

// libpng writes the signature and the chunks around the compressed rows.
bool encodePng(FILE* file, const PixelRows& pixels, const unsigned char* compressed, std::size_t size,
               PngFailure& failure) {
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
    png_set_IHDR(png, info, static_cast<png_uint_32>(pixels.width), static_cast<png_uint_32>(pixels.height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    png_write_info(png, info);
    // A chunk's length has 31 bits: the stream goes in pieces of 1 GiB at most.
    static constexpr std::size_t MAX_CHUNK = std::size_t{1} << 30;
    for (std::size_t at = 0; at < size; at += MAX_CHUNK) {
        png_write_chunk(png, reinterpret_cast<png_const_bytep>("IDAT"), compressed + at, std::min(MAX_CHUNK, size - at));
    }
    png_write_chunk(png, reinterpret_cast<png_const_bytep>("IEND"), nullptr, 0);
    png_destroy_write_struct(&png, &info);
    return true;
}

std::uint32_t bigEndian32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
std::uint32_t bigEndian16(const unsigned char* p) { return (std::uint32_t{p[0]} << 8) | p[1]; }

}  // namespace

std::optional<std::string> writeImageFile(const std::string& path, ImageFormat format, const PixelRows& pixels,
                                          const EncodeSettings& settings, bool ownerOnly) {
    if (pixels.width <= 0 || pixels.height <= 0 || !pixels.data) return "nothing to capture";
    TemporaryFile temporary(path, ownerOnly ? 0600 : 0666);
    if (!temporary.file()) return "cannot write " + path + ": " + temporary.openError();

    bool encoded = false;
    std::string failureText;
    if (format == ImageFormat::png) {
        std::vector<unsigned char> compressed;
        if (deflateImage(pixels, settings, compressed)) {
            PngFailure failure{};
            encoded = encodePng(temporary.file(), pixels, compressed.data(), compressed.size(), failure);
            failureText = failure.message;
        } else {
            failureText = "compression failed";
        }
    } else {
        auto jpeg = encodeJpeg(pixels, JpegSettings{settings.jpegQuality, settings.jpegThreads, settings.jpegReuseUniform});
        if (jpeg) {
            encoded = std::fwrite(jpeg->data(), 1, jpeg->size(), temporary.file()) == jpeg->size();
            if (!encoded) failureText = "write error";
        } else {
            failureText = jpeg.error();
        }
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

std::optional<std::string> makePrivateDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return "cannot create it: " + errnoText();
    // Opened without following a link, and judged by what was opened, so that
    // nothing can be swapped in between the look and the change.
    UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) {
        return errno == ELOOP || errno == ENOTDIR ? std::string("it is not a directory (a symbolic link or a file)")
                                                  : "cannot open it: " + errnoText();
    }
    struct stat info {};
    if (::fstat(dir.get(), &info) != 0) return "cannot read it: " + errnoText();
    if (info.st_uid != ::geteuid()) return "it belongs to another user (uid " + std::to_string(info.st_uid) + ")";
    if ((info.st_mode & 07777) != 0700 && ::fchmod(dir.get(), 0700) != 0) {
        return "cannot make it private: " + errnoText();
    }
    return std::nullopt;
}

}  // namespace kest::platform::linux_desktop
