// Screenshots and displays through a dispatcher over the Linux platform: the
// whole screen against xwd's dump of the root, windows against the same
// rectangle of a full-screen capture, the default paths and the failures; and
// displays on an Xorg server (dummy driver) with two monitors.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "e2e_support.hpp"
#include "image_decode.hpp"
#include "platform/linux/linux_platform.hpp"
#include "platform/linux/x11_connection.hpp"

namespace kest::e2e {
namespace {

namespace fs = std::filesystem;
using test::RgbImage;

std::vector<std::uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// xwd -root, its dump decoded.
std::optional<RgbImage> xwdRoot(const std::string& dir) {
    const std::string dump = dir + "/root.xwd";
    auto xwd = ChildProcess::spawn({"xwd", "-root", "-silent", "-out", dump});
    if (!xwd) return std::nullopt;
    auto status = xwd->wait(std::chrono::seconds(20));
    if (!status || *status != 0) {
        ADD_FAILURE() << "xwd: " << (status ? *status : -1);
        return std::nullopt;
    }
    auto bytes = readAll(dump);
    auto image = test::decodeXwd(bytes);
    if (!image) ADD_FAILURE() << "xwd's dump of " << bytes.size() << " bytes did not decode";
    return image;
}

std::size_t firstDifference(const RgbImage& a, const RgbImage& b) {
    const auto [left, right] = std::ranges::mismatch(a.rgb, b.rgb);
    return static_cast<std::size_t>(left - a.rgb.begin());
}

std::string describeDifference(const RgbImage& a, const RgbImage& b) {
    std::size_t count = 0;
    std::string samples;
    int minX = 1 << 30, minY = 1 << 30, maxX = -1, maxY = -1;
    for (std::size_t i = 0; i + 2 < a.rgb.size() && i + 2 < b.rgb.size(); i += 3) {
        if (a.rgb[i] == b.rgb[i] && a.rgb[i + 1] == b.rgb[i + 1] && a.rgb[i + 2] == b.rgb[i + 2]) continue;
        const int x = static_cast<int>((i / 3) % a.width), y = static_cast<int>((i / 3) / a.width);
        minX = std::min(minX, x); minY = std::min(minY, y); maxX = std::max(maxX, x); maxY = std::max(maxY, y);
        if (++count <= 3) {
            samples += " (" + std::to_string(a.rgb[i]) + "," + std::to_string(a.rgb[i + 1]) + "," + std::to_string(a.rgb[i + 2]) +
                       " vs " + std::to_string(b.rgb[i]) + "," + std::to_string(b.rgb[i + 1]) + "," + std::to_string(b.rgb[i + 2]) + ")";
        }
    }
    return std::to_string(count) + " pixels in " + std::to_string(minX) + "," + std::to_string(minY) + "-" +
           std::to_string(maxX) + "," + std::to_string(maxY) + samples;
}

bool samePixels(const RgbImage& a, const RgbImage& b) {
    return a.width == b.width && a.height == b.height && a.rgb == b.rgb;
}

class Capture : public DispatcherSession {
protected:
    void SetUp() override {
        DispatcherSession::SetUp();
        if (IsSkipped()) return;
        dir_ = fs::temp_directory_path() / ("kest-e2e-capture-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (!dir_.empty()) fs::remove_all(dir_);
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    // A moment when the screen holds still (a caret may blink): a capture,
    // then `reference`, then a capture again, the same pixels all three times.
    // Answers the reference and the capture's result, or nothing after ten
    // tries.
    std::optional<std::pair<RgbImage, Json>> stillCapture(const Json& params,
                                                           const std::function<std::optional<RgbImage>()>& reference) {
        for (int attempt = 0; attempt < 10; ++attempt) {
            Json first = call("screenshot", params);
            auto before = test::decodePng(first.value("path", ""));
            auto seen = reference();
            Json second = call("screenshot", params);
            auto after = test::decodePng(second.value("path", ""));
            if (before && seen && after && samePixels(*before, *seen) && samePixels(*after, *seen)) {
                return std::pair(*seen, second);
            }
            lastMismatch_ = !before || !after ? "the capture did not decode: " + first.dump()
                            : !seen           ? std::string("the reference could not be read")
                                              : "pixels differ (" + std::to_string(before->width) + "x" +
                                                    std::to_string(before->height) + " against " +
                                                    std::to_string(seen->width) + "x" + std::to_string(seen->height) +
                                                    ", first difference at byte " +
                                                    std::to_string(firstDifference(*before, *seen)) + ", " + describeDifference(*before, *seen) + ")";
        }
        return std::nullopt;
    }

    fs::path dir_;
    std::string lastMismatch_;
};

TEST_F(Capture, FullScreenPngIsWhatXwdReads) {
    auto fixture = start({fixtureApp()});
    auto still = stillCapture({{"path", path("screen.png")}, {"screen", true}}, [&] { return xwdRoot(dir_.string()); });
    ASSERT_TRUE(still) << "no still moment in which the capture and xwd agree: " << lastMismatch_;
    EXPECT_EQ(still->second, Json({{"ok", true}, {"path", path("screen.png")}, {"width", 1920}, {"height", 1080}}));
    EXPECT_EQ(still->first.width, 1920);

    // The JPEG: the screen's size, and close to the same pixels.
    Json jpeg = call("screenshot", {{"path", path("screen.jpg")}, {"format", "jpeg"}});
    EXPECT_EQ(jpeg, Json({{"ok", true}, {"path", path("screen.jpg")}, {"width", 1920}, {"height", 1080}}));
    auto decoded = test::decodeJpeg(path("screen.jpg"));
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->rgb.size(), still->first.rgb.size());
    double difference = 0;
    for (std::size_t i = 0; i < decoded->rgb.size(); ++i) difference += std::abs(decoded->rgb[i] - still->first.rgb[i]);
    EXPECT_LT(difference / static_cast<double>(decoded->rgb.size()), 2.0);
}

TEST_F(Capture, WindowShotIsItsFrameOnTheScreen) {
    auto fixture = start({fixtureApp()});
    grab(fixture.pid());
    const Json bounds = call("windows")["windows"][0]["bounds"];
    const int x = bounds[0].get<int>(), y = bounds[1].get<int>(), w = bounds[2].get<int>(), h = bounds[3].get<int>();
    ASSERT_GE(x, 0);
    ASSERT_GE(y, 0);
    ASSERT_LE(x + w, 1920);
    ASSERT_LE(y + h, 1080);
    // The grabbed window by default; its pixels are the rectangle of the
    // whole screen that its bounds name.
    auto still = stillCapture({{"path", path("window.png")}}, [&]() -> std::optional<RgbImage> {
        Json screen = call("screenshot", {{"path", path("screen.png")}, {"screen", true}});
        auto whole = test::decodePng(path("screen.png"));
        if (!whole) return std::nullopt;
        return test::crop(*whole, x, y, w, h);
    });
    ASSERT_TRUE(still) << "the window's capture never matched the screen's rectangle: " << lastMismatch_;
    EXPECT_EQ(still->second["width"], w);
    EXPECT_EQ(still->second["height"], h);
    // The window is drawn, not an empty rectangle: its pixels are not all one colour.
    const auto& rgb = still->first.rgb;
    bool varied = false;
    for (std::size_t i = 3; i < rgb.size() && !varied; ++i) varied = rgb[i] != rgb[i % 3];
    EXPECT_TRUE(varied);
}

TEST_F(Capture, DefaultsDirectoriesAndFailures) {
    // No parameters, nothing grabbed: the whole screen under /tmp/kest.
    Json shot = call("screenshot");
    const std::string shotPath = shot.value("path", "");
    EXPECT_TRUE(std::regex_match(shotPath, std::regex(R"(/tmp/kest/kest-\d{4}-\d{2}-\d{2}-\d{6}\.png)"))) << shot;
    EXPECT_EQ(shot["width"], 1920);
    EXPECT_TRUE(fs::exists(shotPath));
    Json jpeg = call("screenshot", {{"format", "jpeg"}});
    EXPECT_TRUE(jpeg.value("path", "").ends_with(".jpg")) << jpeg;
    EXPECT_EQ(test::decodeJpeg(jpeg.value("path", "")).value_or(RgbImage{}).width, 1920);
    std::error_code ignored;
    fs::remove(shotPath, ignored);
    fs::remove(jpeg.value("path", ""), ignored);

    // "screen" while a window is grabbed: the whole screen.
    auto fixture = start({fixtureApp()});
    grab(fixture.pid());
    EXPECT_EQ(call("screenshot", {{"path", path("s.png")}, {"screen", true}})["width"], 1920);

    // A missing directory is made first.
    EXPECT_EQ(call("screenshot", {{"path", path("a/b/c.png")}, {"screen", true}})["height"], 1080);
    EXPECT_TRUE(fs::is_regular_file(path("a/b/c.png")));

    // An unknown ref: -32005, and no file.
    EXPECT_EQ(call("screenshot", {{"ref", "@w99"}, {"path", path("none.png")}}),
              Json::parse(R"({"error": {"code": -32005, "message": "Window not found: @w99"}})"));
    EXPECT_FALSE(fs::exists(path("none.png")));

    // A path below a regular file cannot be written: the reason, and nothing
    // left behind.
    std::ofstream(path("plain")) << "x";
    Json unwritable = call("screenshot", {{"path", path("plain/shot.png")}});
    EXPECT_EQ(unwritable, Json({{"error", {{"code", -32002},
                                           {"message", "screencapture failed (exit 1): cannot write " +
                                                           path("plain/shot.png") + ": Not a directory"}}}}));

    // A minimised window has no pixels on the screen to give.
    call("minimize");
    // Off the screen, it leaves the window list.
    ASSERT_TRUE(waitFor([&] { return call("windows")["windows"].empty(); }));
    Json minimised = call("screenshot", {{"path", path("minimised.png")}});
    EXPECT_EQ(minimised["error"]["code"], -32002) << minimised;
    EXPECT_TRUE(minimised["error"]["message"].get<std::string>().ends_with(" is minimised or on another workspace"))
        << minimised;

    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir_)) left.push_back(entry.path().filename().string());
    std::ranges::sort(left);
    EXPECT_EQ(left, (std::vector<std::string>{"a", "plain", "s.png"}));
}

TEST_F(Capture, OneDisplayOnTheVirtualDesktop) {
    EXPECT_EQ(call("displays"), Json::parse(R"({"displays": [
        {"id": 0, "x": 0, "y": 0, "width": 1920, "height": 1080, "is_main": true, "scale_factor": 1.0}]})"));
}

// An Xorg server with the dummy driver, a 3200 x 1080 screen split into a
// 1280 x 1024 monitor on the left and a 1920 x 1080 primary on the right.
class TwoMonitors : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists("/usr/lib/xorg/modules/drivers/dummy_drv.so") || !fs::exists("/usr/lib/xorg/Xorg")) {
            GTEST_SKIP() << "needs Xorg and its dummy driver (xserver-xorg-video-dummy)";
        }
        if (::geteuid() != 0) GTEST_SKIP() << "Xorg with a private configuration needs root here";
        dir_ = fs::temp_directory_path() / ("kest-e2e-xorg-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        std::ofstream(dir_ / "xorg.conf") << R"(Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 64000
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0-1000.0
  VertRefresh 5.0-200.0
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Virtual 3200 1080
  EndSubSection
EndSection
)";
        int number = 70 + ::getpid() % 200;
        while (fs::exists("/tmp/.X11-unix/X" + std::to_string(number)) ||
               fs::exists("/tmp/.X" + std::to_string(number) + "-lock")) {
            ++number;
        }
        display_ = ":" + std::to_string(number);
        auto server = ChildProcess::spawn({"/usr/lib/xorg/Xorg", display_, "-config", (dir_ / "xorg.conf").string(),
                                       "-configdir", dir_.string(), "-noreset", "-nolisten", "tcp", "-logfile",
                                       (dir_ / "Xorg.log").string()});
        ASSERT_TRUE(server);
        server_ = std::make_unique<ChildProcess>(std::move(*server));
        ASSERT_TRUE(waitFor([&] { return (x_ = platform::linux_desktop::X11Connection::open(display_)) != nullptr; }))
            << "Xorg did not come up; see " << (dir_ / "Xorg.log");
        Display* display = x_->display();
        const Window root = x_->root();
        XRRSetScreenSize(display, root, 3200, 1080, 846, 286);
        // The output's own monitor becomes the right-hand one, so the server
        // lists exactly two, the primary first.
        XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root);
        ASSERT_TRUE(resources && resources->noutput > 0);
        XRRSetOutputPrimary(display, root, resources->outputs[0]);
        addMonitor("RIGHT", 1280, 0, 1920, 1080, resources->outputs[0], true);
        addMonitor("LEFT", 0, 0, 1280, 1024, None, false);
        XRRFreeScreenResources(resources);
        x_->sync();
    }
    void TearDown() override {
        x_.reset();
        server_.reset();
        if (!dir_.empty()) fs::remove_all(dir_);
    }

    void addMonitor(const char* name, int x, int y, int width, int height, RROutput output, bool primary) {
        XRRMonitorInfo* monitor = XRRAllocateMonitor(x_->display(), output != None ? 1 : 0);
        monitor->name = x_->atom(name);
        monitor->primary = primary;
        monitor->automatic = False;
        monitor->x = x;
        monitor->y = y;
        monitor->width = width;
        monitor->height = height;
        monitor->mwidth = width * 254 / 960;
        monitor->mheight = height * 254 / 960;
        if (output != None) monitor->outputs[0] = output;
        XRRSetMonitor(x_->display(), x_->root(), monitor);
        XRRFreeMonitors(monitor);
    }

    fs::path dir_;
    std::string display_;
    std::unique_ptr<ChildProcess> server_;
    std::unique_ptr<platform::linux_desktop::X11Connection> x_;
};

TEST_F(TwoMonitors, DisplaysAndTheWayBackToRootCoordinates) {
    ::setenv("DISPLAY", display_.c_str(), 1);
    auto platform = platform::linux_desktop::makeLinuxPlatform();
    Dispatcher dispatcher(*platform);
    // The left monitor is left of the primary's corner and 56 pixels shorter.
    EXPECT_EQ(kest::e2e::call(dispatcher, "displays"), Json::parse(R"({"displays": [
        {"id": 0, "x": 0, "y": 0, "width": 1920, "height": 1080, "is_main": true, "scale_factor": 1.0},
        {"id": 1, "x": -1280, "y": 56, "width": 1280, "height": 1024, "is_main": false, "scale_factor": 1.0}]})"));
    // What presets place windows by: each screen's visible frame maps back
    // onto its own monitor in root coordinates.
    auto& screens = platform->screens();
    const auto all = screens.screens();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(screens.toWindowCoordinates(all[0].visibleFrame), (platform::Rect{1280, 0, 1920, 1080}));
    EXPECT_EQ(screens.toWindowCoordinates(all[1].visibleFrame), (platform::Rect{0, 0, 1280, 1024}));
    // The whole 3200-wide screen is captured.
    const std::string shot = (dir_ / "both.png").string();
    EXPECT_EQ(kest::e2e::call(dispatcher, "screenshot", {{"path", shot}}),
              Json({{"ok", true}, {"path", shot}, {"width", 3200}, {"height", 1080}}));
}

}  // namespace
}  // namespace kest::e2e
