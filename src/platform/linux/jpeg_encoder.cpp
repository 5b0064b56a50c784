// JPEG in restart segments: packing, encoding on threads, and putting the
// segments' bytes back in order under one header.
#include "platform/linux/jpeg_encoder.hpp"

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <jpeglib.h>
#include <jerror.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <thread>
#include <utility>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace kest::platform::linux_desktop {
namespace {

// 4:2:0 sampling: a macroblock is 16 x 16 pixels (four luma blocks, one of
// each chroma).
constexpr int MCU = 16;
// Segments of two macroblocks: finer ones find few more of one colour or
// repeated and cost more markers; coarser ones find fewer (a 1920-pixel
// desktop: 0.44 ms on two threads and 127 KiB at two, 0.48 ms and 119 KiB at
// four, 0.47 ms and 143 KiB at one).
constexpr int MAX_RESTART_MCUS = 2;
// Colours a thread remembers the bytes of; a desktop shows a handful.
constexpr int MAX_COLOURS = 32;
// Rows of macroblocks a thread gets at least before another one is started.
constexpr int MIN_MCU_ROWS_PER_THREAD = 4;
// Chunks of rows a thread claims, on average.
constexpr int CHUNKS_PER_THREAD = 4;

// libjpeg writes into a vector that doubles when full.
struct VectorDestination {
    jpeg_destination_mgr manager{};  // first: libjpeg's pointer is this struct's
    std::vector<unsigned char>* bytes = nullptr;
};

void initDestination(j_compress_ptr jpeg) {
    auto* destination = reinterpret_cast<VectorDestination*>(jpeg->dest);
    destination->manager.next_output_byte = destination->bytes->data();
    destination->manager.free_in_buffer = destination->bytes->size();
}

boolean growDestination(j_compress_ptr jpeg) {
    auto* destination = reinterpret_cast<VectorDestination*>(jpeg->dest);
    std::vector<unsigned char>& bytes = *destination->bytes;
    // libjpeg calls this only with the buffer full.
    const std::size_t used = bytes.size();
    bool grown = true;
    try {
        bytes.resize(std::max<std::size_t>(used * 2, 64 * 1024));
    } catch (const std::bad_alloc&) {
        grown = false;
    }
    if (!grown) ERREXIT1(jpeg, JERR_OUT_OF_MEMORY, 0);  // long-jumps out; no object is live here
    destination->manager.next_output_byte = bytes.data() + used;
    destination->manager.free_in_buffer = bytes.size() - used;
    return TRUE;
}

void termDestination(j_compress_ptr jpeg) {
    auto* destination = reinterpret_cast<VectorDestination*>(jpeg->dest);
    destination->bytes->resize(destination->bytes->size() - destination->manager.free_in_buffer);
}

// libjpeg reports errors by long-jumping out of the error handler; compress()
// holds no object with a destructor across the jump.
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

// Rows of blue, green, red, unused pixels into `destination`'s vector.
bool compress(JSAMPROW* rows, int width, int height, int quality, int restartMcus, VectorDestination& destination,
              JpegFailure& failure) {
    jpeg_compress_struct jpeg{};
    jpeg.err = jpeg_std_error(&failure.manager);
    failure.manager.error_exit = jpegError;
    if (setjmp(failure.jump)) {
        jpeg_destroy_compress(&jpeg);
        return false;
    }
    jpeg_create_compress(&jpeg);
    destination.manager.init_destination = initDestination;
    destination.manager.empty_output_buffer = growDestination;
    destination.manager.term_destination = termDestination;
    jpeg.dest = &destination.manager;
    jpeg.image_width = static_cast<JDIMENSION>(width);
    jpeg.image_height = static_cast<JDIMENSION>(height);
    jpeg.input_components = 4;
    jpeg.in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(&jpeg);
    jpeg_set_quality(&jpeg, quality, TRUE);
    // The segments are cut by this sampling's macroblock; it is libjpeg's
    // default, set here so that it stays so.
    jpeg.comp_info[0].h_samp_factor = 2;
    jpeg.comp_info[0].v_samp_factor = 2;
    for (int c = 1; c < 3; ++c) {
        jpeg.comp_info[c].h_samp_factor = 1;
        jpeg.comp_info[c].v_samp_factor = 1;
    }
    jpeg.dct_method = JDCT_ISLOW;
    jpeg.restart_interval = static_cast<unsigned>(restartMcus);
    jpeg_start_compress(&jpeg, TRUE);
    while (jpeg.next_scanline < jpeg.image_height) {
        jpeg_write_scanlines(&jpeg, rows + jpeg.next_scanline, jpeg.image_height - jpeg.next_scanline);
    }
    jpeg_finish_compress(&jpeg);
    jpeg_destroy_compress(&jpeg);
    return true;
}

std::expected<std::vector<unsigned char>, std::string> compressRows(std::vector<JSAMPROW>& rows, int width,
                                                                    int height, int quality, int restartMcus,
                                                                    std::size_t expectedBytes) {
    std::vector<unsigned char> bytes(std::max<std::size_t>(expectedBytes, 16 * 1024));
    VectorDestination destination;
    destination.bytes = &bytes;
    JpegFailure failure{};
    if (!compress(rows.data(), width, height, quality, restartMcus, destination, failure)) {
        return std::unexpected(std::string(failure.message));
    }
    return bytes;
}

std::uint32_t bigEndian16At(const unsigned char* p) { return (std::uint32_t{p[0]} << 8) | p[1]; }

// Where a file libjpeg wrote has its frame header and its entropy-coded data,
// and that data cut at its restart markers.
struct ScanParts {
    std::size_t frameAt = 0;    // the SOF0 marker
    std::size_t headerEnd = 0;  // the first byte after the SOS segment
    std::vector<std::pair<std::size_t, std::size_t>> segments;  // offset and length
};

// Nothing unless the file is what libjpeg writes: markers with lengths up to
// one scan, then entropy-coded bytes (0xFF always followed by a zero byte or
// a restart marker) up to EOI.
std::optional<ScanParts> splitScan(const std::vector<unsigned char>& file) {
    const unsigned char* p = file.data();
    const std::size_t n = file.size();
    if (n < 4 || p[0] != 0xff || p[1] != 0xd8) return std::nullopt;
    ScanParts parts;
    bool frame = false;
    std::size_t at = 2;
    for (;;) {
        if (at + 4 > n || p[at] != 0xff) return std::nullopt;
        const unsigned char marker = p[at + 1];
        const std::size_t length = bigEndian16At(p + at + 2);
        if (length < 2 || at + 2 + length > n) return std::nullopt;
        if (marker == 0xc0) {
            if (length < 8) return std::nullopt;
            parts.frameAt = at;
            frame = true;
        } else if (marker == 0xda) {
            parts.headerEnd = at + 2 + length;
            break;
        } else if (marker < 0xc1 || (marker >= 0xd0 && marker <= 0xd9)) {
            return std::nullopt;  // no other frame kind, and no marker without a length, before the scan
        }
        at += 2 + length;
    }
    if (!frame) return std::nullopt;
    std::size_t start = parts.headerEnd;
    std::size_t from = start;
    for (;;) {
        const void* found = from < n ? std::memchr(p + from, 0xff, n - from) : nullptr;
        if (!found) return std::nullopt;  // no EOI
        const std::size_t ff = static_cast<std::size_t>(static_cast<const unsigned char*>(found) - p);
        if (ff + 1 >= n) return std::nullopt;
        const unsigned char next = p[ff + 1];
        if (next == 0x00) {
            from = ff + 2;
        } else if (next >= 0xd0 && next <= 0xd7) {
            parts.segments.emplace_back(start, ff - start);
            start = from = ff + 2;
        } else if (next == 0xd9) {
            parts.segments.emplace_back(start, ff - start);
            return parts;
        } else {
            return std::nullopt;
        }
    }
}

// How the image is cut: rows of macroblocks, each row into segments of
// `restart` macroblocks, and runs of rows into chunks, which the threads
// claim one at a time.
struct Layout {
    int width = 0;
    int height = 0;
    int mcuRows = 0;
    int restart = 1;
    int segmentsAcross = 0;
    int segmentWidth = 0;  // pixels
    int threads = 1;
    int chunkRows = 1;  // rows of macroblocks a chunk

    int mcusAcross() const { return (width + MCU - 1) / MCU; }
    int chunks() const { return (mcuRows + chunkRows - 1) / chunkRows; }
    int packedWidth() const { return segmentsAcross * segmentWidth; }
};

// Whether the pixels of the rectangle have one colour (the unused byte
// aside), and which.
bool uniformColour(const PixelRows& pixels, int x0, int y0, int width, int height, std::uint32_t& colour) {
    static constexpr unsigned char MASK_BYTES[4] = {0xff, 0xff, 0xff, 0x00};
    std::uint32_t mask;
    std::memcpy(&mask, MASK_BYTES, 4);
    const unsigned char* first = pixels.data + pixels.stride * static_cast<std::size_t>(y0) + 4 * static_cast<std::size_t>(x0);
    std::memcpy(&colour, first, 4);
    colour &= mask;
    for (int y = 0; y < height; ++y) {
        const unsigned char* row = first + pixels.stride * static_cast<std::size_t>(y);
        int x = 0;
        std::uint32_t differs = 0;
#if defined(__x86_64__)
        const __m128i want = _mm_set1_epi32(static_cast<int>(colour));
        const __m128i keep = _mm_set1_epi32(static_cast<int>(mask));
        __m128i apart = _mm_setzero_si128();
        for (; x + 4 <= width; x += 4) {
            const __m128i four = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 4 * x));
            apart = _mm_or_si128(apart, _mm_xor_si128(four, want));
        }
        apart = _mm_and_si128(apart, keep);
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(apart, _mm_setzero_si128())) != 0xffff) return false;
#endif
        for (; x < width; ++x) {
            std::uint32_t pixel;
            std::memcpy(&pixel, row + 4 * x, 4);
            differs |= (pixel ^ colour) & mask;
        }
        if (differs != 0) return false;
    }
    return true;
}

bool sameSegment(const PixelRows& pixels, int ax, int ay, int bx, int by, int width) {
    for (int y = 0; y < MCU; ++y) {
        const unsigned char* a = pixels.data + pixels.stride * static_cast<std::size_t>(ay + y) + 4 * static_cast<std::size_t>(ax);
        const unsigned char* b = pixels.data + pixels.stride * static_cast<std::size_t>(by + y) + 4 * static_cast<std::size_t>(bx);
        if (std::memcmp(a, b, 4 * static_cast<std::size_t>(width)) != 0) return false;
    }
    return true;
}

// Where a segment's bytes are: which chunk's encoding, which of its
// segments.
struct SlotRef {
    int chunk = -1;
    int slot = -1;
};

// What one thread remembers from chunk to chunk: the colours of segments it
// has encoded, and the memory it packs a chunk into.
struct Worker {
    std::array<std::uint32_t, MAX_COLOURS> colours{};
    std::array<SlotRef, MAX_COLOURS> colourRefs{};
    int colourCount = 0;
    int lastColour = -1;
    std::unique_ptr<unsigned char[]> packed;
};

// One chunk: the segments of its rows not found earlier on the thread,
// packed side by side into an image of the frame's padded width, encoded and
// cut at the restart markers.
struct Chunk {
    std::vector<SlotRef> refs;  // for each segment of the chunk's rows in order
    std::vector<unsigned char> file;
    ScanParts scan;
    std::string error;              // libjpeg's, or the system's
    bool unexpectedLayout = false;  // libjpeg wrote something splitScan does not take
    bool ok = false;
};

void encodeChunk(const PixelRows& pixels, const Layout& layout, const JpegSettings& settings, int index,
                 Worker& worker, Chunk& chunk) {
    const int firstRow = index * layout.chunkRows;
    const int rows = std::min(layout.chunkRows, layout.mcuRows - firstRow);
    const int across = layout.segmentsAcross;
    const int segmentWidth = layout.segmentWidth;
    const std::size_t packedStride = static_cast<std::size_t>(layout.packedWidth()) * 4;
    const std::size_t packedRowBytes = packedStride * MCU;
    // Room for a chunk's every segment; only what is written is touched.
    if (!worker.packed) {
        worker.packed = std::make_unique_for_overwrite<unsigned char[]>(packedRowBytes * static_cast<std::size_t>(layout.chunkRows));
    }
    unsigned char* const packed = worker.packed.get();
    const auto slotAt = [&](int slot) {
        return packed + packedRowBytes * static_cast<std::size_t>(slot / across) +
               4 * static_cast<std::size_t>(segmentWidth) * static_cast<std::size_t>(slot % across);
    };
    const auto clearSlot = [&](int slot) {
        unsigned char* out = slotAt(slot);
        for (int y = 0; y < MCU; ++y) {
            std::memset(out + packedStride * static_cast<std::size_t>(y), 0, 4 * static_cast<std::size_t>(segmentWidth));
        }
    };
    int slots = 0;
    chunk.refs.resize(static_cast<std::size_t>(rows) * static_cast<std::size_t>(across));
    // The image's last row of macroblocks, when the image ends inside it,
    // becomes the packed image's last row, whole, in order and cut at the
    // same height: libjpeg pads a bottom edge after reducing the chroma,
    // which no padding of the pixels reproduces.
    int bottomHeight = MCU;
    for (int i = 0; i < rows; ++i) {
        const int y0 = (firstRow + i) * MCU;
        const int height = std::min(MCU, layout.height - y0);
        const bool cut = height < MCU;
        if (cut) {
            for (; slots % across != 0; ++slots) clearSlot(slots);
            bottomHeight = height;
        }
        for (int s = 0; s < across; ++s) {
            const int x0 = s * segmentWidth;
            const int width = std::min(segmentWidth, layout.width - x0);
            SlotRef& ref = chunk.refs[static_cast<std::size_t>(i) * static_cast<std::size_t>(across) + static_cast<std::size_t>(s)];
            const SlotRef here{index, slots};
            std::uint32_t colour = 0;
            const bool uniform = settings.reuseUniform && !cut && uniformColour(pixels, x0, y0, width, height, colour);
            // A segment like its left neighbour (a rule, a field's edge) or
            // the one above it in the chunk (a border).
            if (settings.reuseUniform && !cut && !uniform && width == segmentWidth) {
                const std::size_t at = static_cast<std::size_t>(i) * static_cast<std::size_t>(across) + static_cast<std::size_t>(s);
                if (s > 0 && sameSegment(pixels, x0 - segmentWidth, y0, x0, y0, width)) {
                    ref = chunk.refs[at - 1];
                    continue;
                }
                if (i > 0 && sameSegment(pixels, x0, y0 - MCU, x0, y0, width)) {
                    ref = chunk.refs[at - static_cast<std::size_t>(across)];
                    continue;
                }
            }
            if (uniform) {
                auto& colours = worker.colours;
                const auto known = worker.lastColour >= 0 && colours[static_cast<std::size_t>(worker.lastColour)] == colour
                                       ? colours.begin() + worker.lastColour
                                       : std::find(colours.begin(), colours.begin() + worker.colourCount, colour);
                if (known != colours.begin() + worker.colourCount) {
                    worker.lastColour = static_cast<int>(known - colours.begin());
                    ref = worker.colourRefs[static_cast<std::size_t>(worker.lastColour)];
                    continue;
                }
                if (worker.colourCount < MAX_COLOURS) {
                    colours[static_cast<std::size_t>(worker.colourCount)] = colour;
                    worker.colourRefs[static_cast<std::size_t>(worker.colourCount)] = here;
                    worker.lastColour = worker.colourCount++;
                }
            }
            // Past the image's right edge the last column repeats, as libjpeg
            // pads a right edge itself.
            unsigned char* out = slotAt(slots);
            for (int y = 0; y < height; ++y) {
                const unsigned char* in = pixels.data + pixels.stride * static_cast<std::size_t>(y0 + y) +
                                          4 * static_cast<std::size_t>(x0);
                unsigned char* row = out + packedStride * static_cast<std::size_t>(y);
                std::memcpy(row, in, 4 * static_cast<std::size_t>(width));
                for (int x = width; x < segmentWidth; ++x) std::memcpy(row + 4 * x, in + 4 * (width - 1), 4);
            }
            ref = here;
            ++slots;
        }
    }
    // Every segment found earlier: nothing to encode.
    if (slots == 0) {
        chunk.ok = true;
        return;
    }
    // The last packed row's unused segments: any pixels, their bytes unused.
    const int packedRows = (slots + across - 1) / across;
    for (; slots < packedRows * across; ++slots) clearSlot(slots);
    const int packedHeight = (packedRows - 1) * MCU + bottomHeight;
    std::vector<JSAMPROW> rowPointers(static_cast<std::size_t>(packedHeight));
    for (std::size_t y = 0; y < rowPointers.size(); ++y) rowPointers[y] = packed + packedStride * y;
    // A screen full of flat colour takes a few bytes a macroblock.
    auto file = compressRows(rowPointers, layout.packedWidth(), packedHeight, settings.quality, layout.restart,
                             static_cast<std::size_t>(slots) * 64);
    if (!file) {
        chunk.error = file.error();
        return;
    }
    chunk.file = std::move(*file);
    auto scan = splitScan(chunk.file);
    if (!scan || scan->segments.size() != static_cast<std::size_t>(packedRows) * static_cast<std::size_t>(across)) {
        chunk.unexpectedLayout = true;
        return;
    }
    chunk.scan = std::move(*scan);
    chunk.ok = true;
}

// One encoding's chunks and what its threads share. The helpers hold it
// too, and are not waited for: one that gets a processor only after the
// chunks are all claimed finds nothing to do and touches nothing else (the
// pixels are read only for a claimed chunk, and every claimed chunk is
// waited for).
struct Job {
    Job(const PixelRows& rows, const Layout& cut, const JpegSettings& chosen)
        : pixels(rows), layout(cut), settings(chosen), chunks(static_cast<std::size_t>(cut.chunks())) {}

    const PixelRows pixels;
    const Layout layout;
    const JpegSettings settings;
    std::vector<Chunk> chunks;
    std::atomic<int> next{0};      // the next chunk to claim
    std::atomic<int> finished{0};  // chunks done, well or not
};

// Claims chunks until none is left.
void work(Job& job) {
    Worker worker;
    for (int index; (index = job.next.fetch_add(1)) < job.layout.chunks();) {
        Chunk& chunk = job.chunks[static_cast<std::size_t>(index)];
        const int lastRow = std::min(job.layout.height, (index + 1) * job.layout.chunkRows * MCU);
        if (!job.pixels.waitFor(lastRow)) {
            chunk.error = "the pixels could not be read";
        } else {
            try {
                encodeChunk(job.pixels, job.layout, job.settings, index, worker, chunk);
            } catch (const std::exception& error) {
                chunk.error = error.what();
            }
        }
        if (job.finished.fetch_add(1, std::memory_order_acq_rel) + 1 == job.layout.chunks()) job.finished.notify_all();
    }
}

// Read once: the library asks the system every time.
int cores() {
    static const int count = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 4);
    return count;
}

int threadCount(const JpegSettings& settings, int mcuRows) {
    if (settings.threads > 0) return std::min(settings.threads, mcuRows);
    return std::clamp(mcuRows / MIN_MCU_ROWS_PER_THREAD, 1, cores());
}

}  // namespace

int jpegRestartInterval(int width) {
    const int across = (width + MCU - 1) / MCU;
    for (int n = MAX_RESTART_MCUS; n > 1; --n) {
        if (across % n == 0) return n;
    }
    return 1;
}

std::expected<std::vector<unsigned char>, std::string> encodeJpegWhole(const PixelRows& pixels, int quality,
                                                                       int restartMcus) {
    if (pixels.width <= 0 || pixels.height <= 0 || !pixels.data) return std::unexpected(std::string("nothing to encode"));
    if (!pixels.waitFor(pixels.height)) return std::unexpected(std::string("the pixels could not be read"));
    std::vector<JSAMPROW> rows(static_cast<std::size_t>(pixels.height));
    for (std::size_t y = 0; y < rows.size(); ++y) rows[y] = const_cast<unsigned char*>(pixels.data) + pixels.stride * y;
    return compressRows(rows, pixels.width, pixels.height, quality, restartMcus,
                        static_cast<std::size_t>(pixels.width) * static_cast<std::size_t>(pixels.height) / 8);
}

std::expected<std::vector<unsigned char>, std::string> encodeJpeg(const PixelRows& pixels, const JpegSettings& settings) {
    if (pixels.width <= 0 || pixels.height <= 0 || !pixels.data) return std::unexpected(std::string("nothing to encode"));
    Layout layout;
    layout.width = pixels.width;
    layout.height = pixels.height;
    layout.mcuRows = (pixels.height + MCU - 1) / MCU;
    layout.restart = jpegRestartInterval(pixels.width);
    if (settings.restartMcus > 0 && layout.mcusAcross() % settings.restartMcus == 0) layout.restart = settings.restartMcus;
    layout.segmentWidth = layout.restart * MCU;
    layout.segmentsAcross = layout.mcusAcross() / layout.restart;
    layout.threads = threadCount(settings, layout.mcuRows);
    // A few chunks a thread, so that a thread that gets no processor for a
    // while leaves its share to the others rather than holding them up, and
    // so that the first rows are encoded while later ones are still read.
    const int chunkCount = CHUNKS_PER_THREAD * layout.threads;
    layout.chunkRows = std::max(1, (layout.mcuRows + chunkCount - 1) / chunkCount);
    // One thread that reuses nothing gains nothing from segments; and a
    // packed image is padded to whole macroblocks, which must stay within
    // libjpeg's largest dimension.
    const bool padded = layout.packedWidth() > JPEG_MAX_DIMENSION || layout.chunkRows * MCU > JPEG_MAX_DIMENSION;
    if ((layout.threads == 1 && !settings.reuseUniform) || padded) return encodeJpegWhole(pixels, settings.quality, 0);

    std::shared_ptr<Job> job;
    try {
        job = std::make_shared<Job>(pixels, layout, settings);
    } catch (const std::bad_alloc&) {
        return std::unexpected(std::string("out of memory"));
    }
    for (int thread = 1; thread < layout.threads; ++thread) {
        try {
            std::thread([job] { work(*job); }).detach();
        } catch (const std::exception&) {
            break;  // no thread to be had: the others claim its share
        }
    }
    work(*job);
    // Every chunk is claimed now; those still being encoded elsewhere are
    // waited for.
    for (int done; (done = job->finished.load(std::memory_order_acquire)) < layout.chunks();) job->finished.wait(done);
    const std::vector<Chunk>& chunks = job->chunks;
    for (const Chunk& chunk : chunks) {
        // libjpeg's own refusals are reported as they are; a layout this code
        // did not expect is left to the plain encoding.
        if (chunk.unexpectedLayout) return encodeJpegWhole(pixels, settings.quality, 0);
        if (!chunk.ok) return std::unexpected(chunk.error.empty() ? std::string("out of memory") : chunk.error);
    }

    // The first encoded chunk's header (the same tables and restart interval
    // as every chunk's) with the whole image's size, then every segment in
    // the image's order, a restart marker before each but the first.
    const auto bytesOf = [&](SlotRef ref) {
        const Chunk& owner = chunks[static_cast<std::size_t>(ref.chunk)];
        const auto [offset, length] = owner.scan.segments[static_cast<std::size_t>(ref.slot)];
        return std::span<const unsigned char>(owner.file.data() + offset, length);
    };
    const Chunk& first = chunks.front();  // its first segment is always its own
    std::size_t total = first.scan.headerEnd + 2;
    for (const Chunk& chunk : chunks) {
        for (const SlotRef ref : chunk.refs) total += bytesOf(ref).size() + 2;
    }
    std::vector<unsigned char> out;
    out.reserve(total);
    out.insert(out.end(), first.file.begin(), first.file.begin() + static_cast<std::ptrdiff_t>(first.scan.headerEnd));
    unsigned char* frame = out.data() + first.scan.frameAt;
    frame[5] = static_cast<unsigned char>(pixels.height >> 8);
    frame[6] = static_cast<unsigned char>(pixels.height & 0xff);
    frame[7] = static_cast<unsigned char>(pixels.width >> 8);
    frame[8] = static_cast<unsigned char>(pixels.width & 0xff);
    unsigned marker = 0;
    bool firstSegment = true;
    for (const Chunk& chunk : chunks) {
        for (const SlotRef ref : chunk.refs) {
            if (!firstSegment) {
                out.push_back(0xff);
                out.push_back(static_cast<unsigned char>(0xd0 + (marker++ & 7)));
            }
            firstSegment = false;
            const auto bytes = bytesOf(ref);
            out.insert(out.end(), bytes.begin(), bytes.end());
        }
    }
    out.push_back(0xff);
    out.push_back(0xd9);
    return out;
}

}  // namespace kest::platform::linux_desktop
