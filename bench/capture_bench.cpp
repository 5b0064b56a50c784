// Capture benchmark on the 1920x1080 virtual desktop with the fixture open:
//   - through the daemon: a full-screen PNG, a full-screen JPEG, and a PNG of
//     the fixture's window;
//   - against scrot, maim and ImageMagick's `import -window root`, each
//     writing the same kind of file, measured in turns in the same run;
//   - in-process, the PNG encoder's zlib levels and row filters (time and
//     size), which is how the daemon's setting was chosen, and the JPEG
//     encoder's ways (one thread, segments on threads, uniform segments
//     reused).
// Prints medians and the daemon's ratios to each peer.
//
//   kest_bench_capture [KEST_CORE_BINARY]   (inside the virtual desktop)
#include <cstdio>
#include <filesystem>
#include <map>

#include "bench_support.hpp"
#include "platform/linux/x11_capture.hpp"

namespace {

using kest::bench::Clock;
using kest::bench::DaemonSession;
using kest::bench::Json;
using kest::bench::median;

constexpr int ROUNDS = 15;

double elapsedMs(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// Runs argv to its end, output discarded; its exit status, -1 when it did not start.
int runQuiet(const std::vector<std::string>& argv) { return kest::bench::run(argv, {}, false).status; }

// "x,y,w,h" of a window's [x, y, width, height] bounds clipped to the X
// screen, as scrot's -a takes it; empty when nothing of it is on the screen.
std::string screenRectOf(const Json& bounds) {
    if (!bounds.is_array() || bounds.size() != 4) return {};
    Display* display = XOpenDisplay(nullptr);
    if (!display) return {};
    const int screenWidth = DisplayWidth(display, DefaultScreen(display));
    const int screenHeight = DisplayHeight(display, DefaultScreen(display));
    XCloseDisplay(display);
    const int left = std::max(0, bounds[0].get<int>()), top = std::max(0, bounds[1].get<int>());
    const int right = std::min(screenWidth, bounds[0].get<int>() + bounds[2].get<int>());
    const int bottom = std::min(screenHeight, bounds[1].get<int>() + bounds[3].get<int>());
    if (right <= left || bottom <= top) return {};
    return std::to_string(left) + "," + std::to_string(top) + "," + std::to_string(right - left) + "," +
           std::to_string(bottom - top);
}

struct Side {
    std::string name;
    std::function<bool()> once;
    std::vector<double> times;
    int failures = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const std::string binary = argc > 1 ? argv[1] : KEST_BINARY;
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("kest-bench-capture-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const auto file = [&](const std::string& name) { return (dir / name).string(); };

    kest::bench::Child fixture({KEST_FIXTURE_APP}, {});
    DaemonSession session(binary, "bench-capture");
    if (!session.connected()) return 1;
    auto& client = session.client;
    // The window's ref and frame bounds from one listing: every listing hands
    // out fresh refs, so a later one would not name the same ref.
    std::string windowRef;
    Json bounds;
    kest::bench::waitFor([&] {
        Json windows = client.call("windows");
        for (const auto& w : windows["result"]["windows"]) {
            if (w["process_id"] == fixture.pid()) {
                windowRef = w["ref"];
                bounds = w["bounds"];
            }
        }
        return !windowRef.empty();
    });
    if (windowRef.empty()) {
        std::fprintf(stderr, "capture bench: the fixture's window did not appear\n");
        return 1;
    }
    // Let the window finish drawing before anything is timed.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    const auto daemonShot = [&](Json params) {
        return [&client, params] { return client.call("screenshot", params).contains("result"); };
    };
    const auto tool = [](std::vector<std::string> argv) { return [argv] { return runQuiet(argv) == 0; }; };
    std::vector<Side> sides;
    sides.push_back({"daemon png", daemonShot({{"path", file("k.png")}, {"screen", true}}), {}, 0});
    sides.push_back({"daemon jpeg", daemonShot({{"path", file("k.jpg")}, {"screen", true}, {"format", "jpeg"}}), {}, 0});
    sides.push_back({"daemon window png", daemonShot({{"path", file("kw.png")}, {"ref", windowRef}}), {}, 0});
    sides.push_back({"scrot png", tool({"scrot", "-o", file("s.png")}), {}, 0});
    sides.push_back({"scrot jpeg", tool({"scrot", "-o", file("s.jpg")}), {}, 0});
    // The peers' window shots read the rectangle the daemon reads: the frame
    // clipped to the screen.
    const std::string rect = screenRectOf(bounds);
    int wx = 0, wy = 0, ww = 0, wh = 0;
    const bool haveRect = std::sscanf(rect.c_str(), "%d,%d,%d,%d", &wx, &wy, &ww, &wh) == 4;
    if (!haveRect) std::fprintf(stderr, "capture bench: no rectangle for the window; its peers will fail\n");
    const std::string geometry =
        std::to_string(ww) + "x" + std::to_string(wh) + "+" + std::to_string(wx) + "+" + std::to_string(wy);
    sides.push_back({"scrot window png", haveRect ? tool({"scrot", "-o", "-a", rect, file("sw.png")}) : tool({"false"}), {}, 0});
    sides.push_back({"maim window png", haveRect ? tool({"maim", "-g", geometry, file("mw.png")}) : tool({"false"}), {}, 0});
    sides.push_back({"maim png", tool({"maim", file("m.png")}), {}, 0});
    sides.push_back({"maim jpeg", tool({"maim", "-f", "jpg", file("m.jpg")}), {}, 0});
    sides.push_back({"import png", tool({"import", "-window", "root", file("i.png")}), {}, 0});
    sides.push_back({"import jpeg", tool({"import", "-window", "root", file("i.jpg")}), {}, 0});
    for (int round = 0; round < ROUNDS; ++round) {
        for (auto& side : sides) {
            const auto start = Clock::now();
            if (side.once()) {
                side.times.push_back(elapsedMs(start));
            } else {
                ++side.failures;
            }
        }
    }
    std::map<std::string, double> medians;
    std::printf("%-20s %10s %8s %10s\n", "side", "median ms", "failed", "file KiB");
    const std::map<std::string, std::string> files = {
        {"daemon png", "k.png"}, {"daemon jpeg", "k.jpg"}, {"daemon window png", "kw.png"}, {"scrot png", "s.png"},
        {"scrot jpeg", "s.jpg"}, {"scrot window png", "sw.png"}, {"maim window png", "mw.png"},
        {"maim png", "m.png"}, {"maim jpeg", "m.jpg"},
        {"import png", "i.png"}, {"import jpeg", "i.jpg"}};
    for (const auto& side : sides) {
        medians[side.name] = median(side.times);
        std::error_code error;
        const auto size = fs::file_size(dir / files.at(side.name), error);
        std::printf("%-20s %10.2f %8d %10.1f\n", side.name.c_str(), medians[side.name], side.failures,
                    error ? 0.0 : static_cast<double>(size) / 1024);
    }
    const auto ratio = [&](const char* ours, const char* peer) {
        std::printf("%-18s / %-18s %6.3fx\n", ours, peer, medians[peer] > 0 ? medians[ours] / medians[peer] : 0);
    };
    std::printf("\nratios (goal: png <= 0.15x scrot, jpeg <= 0.1x scrot)\n");
    for (const char* peer : {"scrot png", "maim png", "import png"}) ratio("daemon png", peer);
    for (const char* peer : {"scrot jpeg", "maim jpeg", "import jpeg"}) ratio("daemon jpeg", peer);
    ratio("daemon window png", "scrot window png");
    ratio("daemon window png", "maim window png");

    // The PNG encoder's settings, in-process (capture and encode, no request).
    // Bands: 0 is the daemon's choice (one per core), 1 a single thread.
    std::printf("\nin-process full-screen png by zlib level, row filter and bands (0: one per core)\n");
    kest::platform::linux_desktop::X11Capture capture;
    // Untimed first: the connection, the shared segment and the encoder's
    // first allocations would otherwise weigh on the first row.
    for (int i = 0; i < 3; ++i) capture.capture({std::nullopt, kest::platform::ImageFormat::png, file("level.png")});
    for (const int level : {1, 2, 3, 6}) {
        for (const bool sub : {false, true}) {
            for (const int bands : {0, 1}) {
                if (bands == 1 && (sub || level != 1)) continue;
                capture.setEncodeSettings({level, sub, 90, bands});
                std::vector<double> times;
                for (int i = 0; i < 7; ++i) {
                    const auto start = Clock::now();
                    capture.capture({std::nullopt, kest::platform::ImageFormat::png, file("level.png")});
                    times.push_back(elapsedMs(start));
                }
                std::error_code error;
                std::printf("level %d %-5s bands %d %8.2f ms %8.1f KiB\n", level, sub ? "sub" : "none", bands,
                            median(times), static_cast<double>(fs::file_size(file("level.png"), error)) / 1024);
            }
        }
    }
    // The JPEG encoder's ways, in-process: libjpeg over the whole image on one
    // thread; restart segments on threads; and segments reusing the bytes of
    // one with the same pixels, on one thread and on threads.
    // Back to back, so warm: reading in bands costs its extra round trips
    // here, and pays off in the daemon's shots between the peers' runs.
    std::printf("\nin-process full-screen jpeg, quality 90, back to back\n");
    // Each read whole before the encoding, or in bands the encoder starts on
    // (the daemon's).
    struct JpegWay {
        const char* name;
        int threads;
        bool reuse;
        bool banded;
    };
    for (const JpegWay way : {JpegWay{"whole image, 1 thread", 1, false, false},
                              JpegWay{"segments, threads", 0, false, false},
                              JpegWay{"segments, 1 thread, reuse", 1, true, false},
                              JpegWay{"segments, threads, reuse", 0, true, false},
                              JpegWay{"the same, read in bands", 0, true, true}}) {
        kest::platform::linux_desktop::EncodeSettings settings;
        settings.jpegThreads = way.threads;
        settings.jpegReuseUniform = way.reuse;
        capture.setEncodeSettings(settings);
        capture.setBandedRead(way.banded);
        std::vector<double> times;
        for (int i = 0; i < 15; ++i) {
            const auto start = Clock::now();
            capture.capture({std::nullopt, kest::platform::ImageFormat::jpeg, file("q.jpg")});
            times.push_back(elapsedMs(start));
        }
        std::error_code error;
        std::printf("%-26s %8.2f ms %8.1f KiB\n", way.name, median(times),
                    static_cast<double>(fs::file_size(file("q.jpg"), error)) / 1024);
    }
    fs::remove_all(dir);
    return 0;
}
