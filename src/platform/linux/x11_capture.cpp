// Screen and window pixels from the X server, encoded to a file.
#include "platform/linux/x11_capture.hpp"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/x11_windows.hpp"
#include "platform/linux/xrandr_monitors.hpp"

namespace kest::platform::linux_desktop {

// A System V shared-memory segment attached to this process and to the X
// server, reused from one capture to the next while it is large enough.
class SharedImageSegment {
public:
    // Nothing when the server refuses shared memory (a remote display, or the
    // extension missing).
    static std::unique_ptr<SharedImageSegment> create(Display* display, std::size_t bytes) {
        std::unique_ptr<SharedImageSegment> segment(new SharedImageSegment(display));
        segment->info_.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (segment->info_.shmid < 0) return nullptr;
        void* address = shmat(segment->info_.shmid, nullptr, 0);
        // Marked for removal at once: the segment goes when both sides detach,
        // whatever happens to this process.
        shmctl(segment->info_.shmid, IPC_RMID, nullptr);
        if (address == reinterpret_cast<void*>(-1)) return nullptr;
        segment->info_.shmaddr = static_cast<char*>(address);
        segment->info_.readOnly = False;
        segment->bytes_ = bytes;
        X11ErrorTrap trap(display);
        const bool attached = XShmAttach(display, &segment->info_) != 0;
        if (!attached || trap.failed()) return nullptr;
        segment->attached_ = true;
        return segment;
    }
    SharedImageSegment(const SharedImageSegment&) = delete;
    SharedImageSegment& operator=(const SharedImageSegment&) = delete;
    ~SharedImageSegment() {
        if (attached_) {
            X11ErrorTrap trap(display_);
            XShmDetach(display_, &info_);
            trap.failed();
        }
        if (info_.shmaddr) shmdt(info_.shmaddr);
    }

    std::size_t bytes() const { return bytes_; }
    XShmSegmentInfo* info() { return &info_; }

private:
    explicit SharedImageSegment(Display* display) : display_(display) { info_.shmaddr = nullptr; }

    Display* display_;
    XShmSegmentInfo info_{};
    std::size_t bytes_ = 0;
    bool attached_ = false;
};

namespace {

struct PixmapOwner {
    PixmapOwner(Display* owner, Pixmap owned) : display(owner), pixmap(owned) {}
    Display* display;
    Pixmap pixmap;
    PixmapOwner(const PixmapOwner&) = delete;
    PixmapOwner& operator=(const PixmapOwner&) = delete;
    ~PixmapOwner() {
        if (pixmap != None) XFreePixmap(display, pixmap);
    }
};

CaptureExit failed(std::string text) { return CaptureExit{1, std::move(text)}; }

std::string hexWindow(unsigned long window) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%lx", window);
    return text;
}

// Whether a compositing manager has claimed the screen (and so redirects
// windows to off-screen pixmaps).
bool compositorRunning(X11Connection& x) {
    const int screen = DefaultScreen(x.display());
    return XGetSelectionOwner(x.display(), x.atom("_NET_WM_CM_S" + std::to_string(screen))) != None;
}

bool hasComposite(Display* display) {
    int eventBase = 0, errorBase = 0, major = 0, minor = 2;
    if (!XCompositeQueryExtension(display, &eventBase, &errorBase)) return false;
    // Naming a window's pixmap needs version 0.2.
    return XCompositeQueryVersion(display, &major, &minor) && (major > 0 || minor >= 2);
}

int shiftOf(unsigned long mask) {
    int shift = 0;
    while (mask && !(mask & 1)) {
        mask >>= 1;
        ++shift;
    }
    return shift;
}

// Whether the image's memory already holds blue, green, red, unused bytes
// (the usual little-endian TrueColor).
bool isBgrx(const XImage& image) {
    const unsigned long red = image.red_mask ? image.red_mask : 0xff0000;
    const unsigned long green = image.green_mask ? image.green_mask : 0x00ff00;
    const unsigned long blue = image.blue_mask ? image.blue_mask : 0x0000ff;
    return image.bits_per_pixel == 32 && image.byte_order == LSBFirst && red == 0xff0000 && green == 0x00ff00 &&
           blue == 0x0000ff;
}

// The image's rows as blue, green, red, unused bytes: the image's own memory
// when it already has that layout, else a converted copy in `converted`.
PixelRows rowsOf(XImage& image, std::vector<unsigned char>& converted) {
    const unsigned long red = image.red_mask ? image.red_mask : 0xff0000;
    const unsigned long green = image.green_mask ? image.green_mask : 0x00ff00;
    const unsigned long blue = image.blue_mask ? image.blue_mask : 0x0000ff;
    if (isBgrx(image)) {
        return PixelRows{reinterpret_cast<const unsigned char*>(image.data), image.width, image.height,
                         static_cast<std::size_t>(image.bytes_per_line)};
    }
    const std::size_t stride = static_cast<std::size_t>(image.width) * 4;
    converted.assign(stride * static_cast<std::size_t>(image.height), 0);
    const int rs = shiftOf(red), gs = shiftOf(green), bs = shiftOf(blue);
    const auto scale = [](unsigned long value, unsigned long maskAtZero) {
        return static_cast<unsigned char>(maskAtZero ? value * 255 / maskAtZero : 0);
    };
    for (int y = 0; y < image.height; ++y) {
        unsigned char* out = converted.data() + stride * static_cast<std::size_t>(y);
        for (int x = 0; x < image.width; ++x, out += 4) {
            const unsigned long pixel = XGetPixel(&image, x, y);
            out[0] = scale((pixel & blue) >> bs, blue >> bs);
            out[1] = scale((pixel & green) >> gs, green >> gs);
            out[2] = scale((pixel & red) >> rs, red >> rs);
        }
    }
    return PixelRows{converted.data(), image.width, image.height, stride};
}

// The rest of a shared-memory image read in bands, on a thread of its own,
// while the encoder works on the rows already there: the server copies the
// screen on one processor while the encoder reads it on another. The first
// band is read before (so that a refusal can still fall back to XGetImage);
// the connection is used by nothing else meanwhile.
class BandedRead final : public RowArrival {
public:
    BandedRead(Display* display, Window root, XShmSegmentInfo* segment, const XImage& whole, RootRect area, int firstRows)
        : display_(display), root_(root), segment_(segment), whole_(whole), area_(area), ready_(firstRows) {}

    // Reads the bands after the first; after a failure, waiters are told.
    void run() {
        Visual* visual = DefaultVisual(display_, DefaultScreen(display_));
        const auto depth = static_cast<unsigned>(DefaultDepth(display_, DefaultScreen(display_)));
        // Three bands, in whole macroblock rows.
        const int bandRows = ((area_.height - ready_.load() + 2) / 3 + 15) / 16 * 16;
        for (int y = ready_.load(); y < area_.height;) {
            const int rows = std::min(area_.height - y, bandRows);
            XImagePtr part(XShmCreateImage(display_, visual, depth, ZPixmap,
                                           whole_.data + static_cast<std::size_t>(whole_.bytes_per_line) * static_cast<std::size_t>(y),
                                           segment_, static_cast<unsigned>(area_.width), static_cast<unsigned>(rows)));
            if (!part || part->bytes_per_line != whole_.bytes_per_line ||
                XShmGetImage(display_, root_, part.get(), area_.x, area_.y + y, AllPlanes) == 0) {
                ready_.store(FAILED, std::memory_order_release);
                ready_.notify_all();
                return;
            }
            y += rows;
            ready_.store(y, std::memory_order_release);
            ready_.notify_all();
        }
    }

    bool waitFor(int rows) const override {
        for (;;) {
            const int ready = ready_.load(std::memory_order_acquire);
            if (ready == FAILED) return false;
            if (ready >= rows) return true;
            ready_.wait(ready, std::memory_order_acquire);
        }
    }

    bool failed() const { return ready_.load(std::memory_order_acquire) == FAILED; }

private:
    static constexpr int FAILED = -1;

    Display* display_;
    Window root_;
    XShmSegmentInfo* segment_;
    const XImage& whole_;
    RootRect area_;
    mutable std::atomic<int> ready_;  // rows in memory, or FAILED
};

// The first band of a banded read: an eighth of the area, in whole
// macroblock rows, so that the encoder starts soon.
int firstBandRows(int height) { return std::min(height, std::max(16, (height / 8 + 15) / 16 * 16)); }

}  // namespace

X11Capture::X11Capture() = default;
X11Capture::~X11Capture() {
    // The segment detaches through the connection, so it goes first.
    segment_.reset();
}

X11Connection* X11Capture::connection() {
    if (!connection_) connection_ = X11Connection::open();
    return connection_.get();
}

std::expected<CaptureExit, std::string> X11Capture::capture(const CaptureRequest& request) {
    std::lock_guard lock(mutex_);
    X11Connection* x = connection();
    if (!x) {
        const char* name = XDisplayName(nullptr);
        return failed(std::string("cannot open display ") + (name && *name ? name : "(unset)"));
    }
    Display* display = x->display();
    const RootRect screen{0, 0, x->screenWidth(), x->screenHeight()};

    // What to read: the whole root, or the window's frame clipped to it.
    RootRect area = screen;
    Window frame = None;
    RootRect frameBounds;
    if (request.window) {
        auto info = EwmhWindows(*x).describe(*request.window);
        if (!info) return failed("window " + hexWindow(*request.window) + " not found");
        // Where it would be lies whatever covers the place now.
        if (!info->onScreen) {
            return failed("window " + hexWindow(*request.window) + " is minimised or on another workspace");
        }
        auto clipped = intersect(info->bounds, screen);
        if (!clipped) return failed("window " + hexWindow(*request.window) + " is not on the screen");
        area = *clipped;
        frame = info->frame != None ? info->frame : info->id;
        frameBounds = info->bounds;
    }

    XImagePtr image;
    int firstRows = 0;  // of a shared-memory image read in bands: rows read so far
    // A redirected window's own pixels: its frame's pixmap, in the frame's
    // coordinates.
    // The extension's version is asked once per connection; whether a
    // compositor runs is asked every time (one may start or stop).
    if (frame != None && !composite_) composite_ = hasComposite(display);
    if (frame != None && *composite_ && compositorRunning(*x)) {
        X11ErrorTrap trap(display);
        PixmapOwner pixmap(display, XCompositeNameWindowPixmap(display, frame));
        if (!trap.failed() && pixmap.pixmap != None) {
            image.reset(XGetImage(display, pixmap.pixmap, area.x - frameBounds.x, area.y - frameBounds.y,
                                  static_cast<unsigned>(area.width), static_cast<unsigned>(area.height), AllPlanes,
                                  ZPixmap));
            if (trap.failed()) image.reset();
        }
        if (image) lastSource_ = PixelSource::compositePixmap;
    }

    // Otherwise the screen itself: through shared memory when the server
    // takes it, the segment kept for the next capture.
    if (!image && !sharedMemoryRefused_ && XShmQueryExtension(display)) {
        Visual* visual = DefaultVisual(display, DefaultScreen(display));
        const auto depth = static_cast<unsigned>(DefaultDepth(display, DefaultScreen(display)));
        const std::size_t needed = static_cast<std::size_t>(area.width) * static_cast<std::size_t>(area.height) * 4;
        if (!segment_ || segment_->bytes() < needed) {
            segment_.reset();
            const std::size_t whole = static_cast<std::size_t>(screen.width) * static_cast<std::size_t>(screen.height) * 4;
            segment_ = SharedImageSegment::create(display, std::max(needed, whole));
            if (!segment_) sharedMemoryRefused_ = true;
        }
        if (segment_) {
            XImagePtr shared(XShmCreateImage(display, visual, depth, ZPixmap, segment_->info()->shmaddr,
                                             segment_->info(), static_cast<unsigned>(area.width),
                                             static_cast<unsigned>(area.height)));
            if (shared && static_cast<std::size_t>(shared->bytes_per_line) * static_cast<std::size_t>(shared->height) <= segment_->bytes()) {
                // Pixels the encoder can read in place come in bands (the
                // first one read here); others at once, to be converted.
                const bool banded = bandedRead_ && isBgrx(*shared) && area.height > 2 * firstBandRows(area.height);
                XImagePtr first;
                if (banded) {
                    first.reset(XShmCreateImage(display, visual, depth, ZPixmap, shared->data, segment_->info(),
                                                static_cast<unsigned>(area.width),
                                                static_cast<unsigned>(firstBandRows(area.height))));
                }
                XImage* target = banded ? first.get() : shared.get();
                // A request with a reply: an error (the area off the root)
                // comes back as a zero status, with no round trip to sync.
                if (target && XShmGetImage(display, x->root(), target, area.x, area.y, AllPlanes) != 0) {
                    image = std::move(shared);
                    firstRows = banded ? firstBandRows(area.height) : area.height;
                    lastSource_ = PixelSource::sharedMemory;
                }
            }
        }
    }
    if (!image) {
        X11ErrorTrap trap(display);
        image.reset(XGetImage(display, x->root(), area.x, area.y, static_cast<unsigned>(area.width),
                              static_cast<unsigned>(area.height), AllPlanes, ZPixmap));
        if (trap.failed()) image.reset();
        lastSource_ = PixelSource::getImage;
    }
    const auto unreadable = [&] {
        if (request.window) return failed("window " + hexWindow(*request.window) + " could not be read");
        return failed("could not read the screen");
    };
    if (!image) return unreadable();

    if (lastSource_ == PixelSource::sharedMemory && firstRows < area.height) {
        BandedRead rest(display, x->root(), segment_->info(), *image, area, firstRows);
        std::optional<std::string> error;
        {
            std::jthread reader;
            try {
                reader = std::jthread([&rest] { rest.run(); });
            } catch (const std::exception&) {
                rest.run();  // no thread to be had: the bands are read first
            }
            PixelRows rows{reinterpret_cast<const unsigned char*>(image->data), image->width, image->height,
                           static_cast<std::size_t>(image->bytes_per_line), &rest};
            error = writeImageFile(request.path, request.format, rows, settings_, request.ownerOnly);
        }
        if (rest.failed()) return unreadable();
        if (error) return failed(*error);
        return CaptureExit{};
    }
    std::vector<unsigned char> converted;
    const PixelRows rows = rowsOf(*image, converted);
    if (auto error = writeImageFile(request.path, request.format, rows, settings_, request.ownerOnly)) return failed(*error);
    return CaptureExit{};
}

std::optional<PixelSize> X11Capture::imagePixelSize(const std::string& path) { return readImagePixelSize(path); }

bool X11Capture::createDirectories(const std::string& path) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return std::filesystem::is_directory(path, error);
}

std::optional<std::string> X11Capture::makePrivateDirectory(const std::string& path) {
    return linux_desktop::makePrivateDirectory(path);
}

bool X11Capture::fileExists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

}  // namespace kest::platform::linux_desktop
