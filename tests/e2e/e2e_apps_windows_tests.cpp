// End-to-end tests of windows, window refs, grabbing, window operations and
// application control on the virtual desktop with real applications; every
// change is checked through the X server, not through the engine.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "e2e_support.hpp"
#include "platform/linux/linux_platform.hpp"
#include "platform/linux/x11_connection.hpp"
#include "platform/linux/x11_windows.hpp"
#include "rpc/dispatcher.hpp"

namespace kest::e2e {
namespace {

namespace ld = platform::linux_desktop;

bool hasProgram(const char* name) {
    for (const char* dir : {"/usr/bin/", "/bin/", "/usr/local/bin/"}) {
        if (::access((std::string(dir) + name).c_str(), X_OK) == 0) return true;
    }
    return false;
}

class AppsWindowsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!insideVirtualDesktop()) GTEST_SKIP() << "needs the virtual desktop: run scripts/run-e2e.sh";
        platform_ = ld::makeLinuxPlatform();
        dispatcher_ = std::make_unique<Dispatcher>(*platform_);
        x_ = ld::X11Connection::open();
        ASSERT_TRUE(x_);
        ewmh_ = std::make_unique<ld::EwmhWindows>(*x_);
        reader_ = AtspiReader::connect();
        ASSERT_TRUE(reader_);
    }

    Json call(const std::string& method, const Json& params = Json::object()) {
        return kest::e2e::call(*dispatcher_, method, params);
    }

    std::optional<ld::X11WindowInfo> xWindowOf(pid_t pid) {
        for (auto& window : ewmh_->list()) {
            if (window.pid == pid && window.layer == 0) return window;
        }
        return std::nullopt;
    }

    ChildProcess start(const std::vector<std::string>& argv) {
        auto child = ChildProcess::spawn(argv);
        EXPECT_TRUE(child);
        EXPECT_TRUE(waitForApplication(*reader_, child->pid())) << argv[0];
        EXPECT_TRUE(waitFor([&] { return xWindowOf(child->pid()).has_value(); })) << argv[0];
        return std::move(*child);
    }

    std::unique_ptr<platform::Platform> platform_;
    std::unique_ptr<Dispatcher> dispatcher_;
    std::unique_ptr<ld::X11Connection> x_;
    std::unique_ptr<ld::EwmhWindows> ewmh_;
    std::unique_ptr<AtspiReader> reader_;
};

TEST_F(AppsWindowsTest, WindowListMatchesTheXServer) {
    auto fixture = start({fixtureApp()});
    auto factory = start({"gtk3-widget-factory"});
    waitFor([&] { return ewmh_->activeWindow() == xWindowOf(factory.pid())->id; });

    Json windows = call("windows")["windows"];
    ASSERT_GE(windows.size(), 2u);
    // Front-most first: the factory started last.
    EXPECT_EQ(windows[0]["process_id"], factory.pid());
    std::vector<std::int64_t> pids;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const auto& record = windows[i];
        EXPECT_EQ(record["ref"], "@w" + std::to_string(i + 1));
        auto x = xWindowOf(record["process_id"].get<pid_t>());
        ASSERT_TRUE(x) << record;
        EXPECT_EQ(record["bounds"], Json::array({x->bounds.x, x->bounds.y, x->bounds.width, x->bounds.height}));
        EXPECT_EQ(record["title"], x->title.value_or(""));
        EXPECT_FALSE(record["app"].get<std::string>().empty());
        pids.push_back(record["process_id"]);
    }
    EXPECT_NE(std::ranges::find(pids, fixture.pid()), pids.end());

    // The application filter is the whole owner name, ignoring case.
    std::string owner = windows[0]["app"];
    std::string upper = owner;
    std::ranges::transform(upper, upper.begin(), ::toupper);
    Json filtered = call("windows", {{"app", upper}})["windows"];
    ASSERT_FALSE(filtered.empty());
    for (const auto& record : filtered) EXPECT_EQ(record["app"], owner);
    EXPECT_EQ(call("windows", {{"app", owner.substr(0, owner.size() - 1)}})["windows"], Json::array());

    // The front-most window of that application is the one listed first, and
    // keeps the ref the first listing gave it.
    Json grabbed = call("grab", {{"app", owner}});
    EXPECT_EQ(grabbed["window"]["ref"], windows[0]["ref"]);
    Json status = call("status");
    EXPECT_EQ(status["grabbed_window"], windows[0]["ref"]);
    EXPECT_EQ(status["grabbed_app"], owner);
    EXPECT_EQ(status["grabbed_pid"], factory.pid());

    // After filtered listings and with the stacking changed, every window
    // still has the ref it was first listed with.
    auto refsByPid = [](const Json& list) {
        std::map<std::int64_t, std::set<std::string>> refs;
        for (const auto& record : list) refs[record["process_id"]].insert(record["ref"].get<std::string>());
        return refs;
    };
    const auto before = refsByPid(windows);
    std::string fixtureRef = *before.at(fixture.pid()).begin();
    ASSERT_FALSE(call("raise", {{"ref", fixtureRef}}).contains("error"));
    ASSERT_TRUE(waitFor([&] { return ewmh_->activeWindow() == xWindowOf(fixture.pid())->id; }));
    const Json restacked = call("windows")["windows"];
    EXPECT_EQ(restacked[0]["process_id"], fixture.pid());
    EXPECT_EQ(refsByPid(restacked), before);
}

TEST_F(AppsWindowsTest, WindowOperationsChangeTheRealWindow) {
    auto fixture = start({fixtureApp()});
    const pid_t pid = fixture.pid();
    Json windows = call("windows")["windows"];
    std::string ref;
    for (const auto& record : windows) {
        if (record["process_id"] == pid) ref = record["ref"];
    }
    ASSERT_FALSE(ref.empty());
    ASSERT_FALSE(call("grab", {{"ref", ref}}).contains("error"));
    auto x = [&] { return xWindowOf(pid); };

    EXPECT_EQ(call("move", {{"x", 100}, {"y", 120}})["position"], Json::parse("[100.0, 120.0]"));
    EXPECT_TRUE(waitFor([&] { return x() && x()->bounds.x == 100 && x()->bounds.y == 120; }));
    EXPECT_FALSE(call("resize", {{"width", 700}, {"height", 500}}).contains("error"));
    EXPECT_TRUE(waitFor([&] { return x() && x()->bounds.width == 700 && x()->bounds.height == 500; }));
    EXPECT_FALSE(call("bounds", {{"x", 50}, {"y", 60}, {"width", 640}, {"height", 480}}).contains("error"));
    EXPECT_TRUE(waitFor([&] { return x() && x()->bounds == ld::RootRect{50, 60, 640, 480}; }));

    // "left-half" of the visible frame: the left edge and half the width.
    Json preset = call("bounds", {{"preset", "left-half"}});
    ASSERT_FALSE(preset.contains("error")) << preset;
    const auto half = preset["bounds"];
    EXPECT_TRUE(waitFor([&] {
        return x() && x()->bounds.x == half[0].get<double>() && x()->bounds.width == half[2].get<double>();
    })) << preset;

    EXPECT_FALSE(call("minimize").contains("error"));
    EXPECT_TRUE(waitFor([&] { return x() && x()->states.hidden; }));
    // A minimised window leaves the on-screen list but keeps its ref.
    for (const auto& record : call("windows")["windows"]) EXPECT_NE(record["ref"], ref) << record;
    EXPECT_FALSE(call("raise", {{"ref", ref}}).contains("error"));
    EXPECT_TRUE(waitFor([&] { return x() && !x()->states.hidden; }));
    // Listed again, once the window manager has mapped it, with the same ref.
    Json listing;
    EXPECT_TRUE(waitFor([&] {
        listing = call("windows");
        for (const auto& record : listing["windows"]) {
            if (record["process_id"] == pid) return record["ref"] == ref;
        }
        return false;
    })) << ref << " " << listing;

    EXPECT_EQ(call("fullscreen", {{"ref", ref}})["fullscreen"], true);
    EXPECT_TRUE(waitFor([&] { return x() && x()->states.fullscreen; }));
    EXPECT_EQ(call("fullscreen", {{"ref", ref}})["fullscreen"], false);
    EXPECT_TRUE(waitFor([&] { return x() && !x()->states.fullscreen; }));
    EXPECT_FALSE(call("maximize", {{"ref", ref}}).contains("error"));
    EXPECT_TRUE(waitFor([&] { return x() && x()->states.maximized; }));
    EXPECT_FALSE(call("close", {{"ref", ref}}).contains("error"));
    EXPECT_TRUE(waitFor([&] { return !x(); }));
    // Its ref now names nothing.
    EXPECT_EQ(call("grab", {{"ref", ref}})["error"]["code"], -32005);
    EXPECT_EQ(call("raise", {{"ref", ref}})["error"]["code"], -32005);
}

// One listing serves every ask while a hold is open, nested holds included;
// after the last is released, asks list afresh.
TEST_F(AppsWindowsTest, HeldListingAnswersUntilReleased) {
    auto fixture = start({fixtureApp()});
    platform::Workspace& workspace = platform_->workspace();
    auto listed = [&](pid_t pid) {
        return std::ranges::any_of(workspace.runningApplications(), [&](const auto& app) { return app.pid == pid; });
    };
    auto hold = workspace.holdListing();
    ASSERT_TRUE(hold);
    EXPECT_TRUE(listed(fixture.pid()));
    auto factory = start({"gtk3-widget-factory"});
    EXPECT_FALSE(listed(factory.pid()));
    workspace.holdListing().reset();
    EXPECT_FALSE(listed(factory.pid()));
    hold.reset();
    EXPECT_TRUE(listed(factory.pid()));
}

TEST_F(AppsWindowsTest, ApplicationsAndTheirRequests) {
    if (!hasProgram("mousepad")) GTEST_SKIP() << "mousepad is not installed (scripts/install-deps.sh)";
    auto fixture = start({fixtureApp()});
    const Json before = call("apps");
    for (const auto& app : before["apps"]) {
        EXPECT_TRUE(app["name"].is_string()) << app;
        EXPECT_GT(app["process_id"].get<int>(), 0) << app;
    }

    Json launched = call("launch", {{"name", "MOUSEPAD"}, {"wait", true}});
    ASSERT_FALSE(launched.contains("error")) << launched;
    const pid_t pid = launched["process_id"];
    EXPECT_TRUE(waitFor([&] { return xWindowOf(pid).has_value(); }));
    bool listed = false;
    const Json after = call("apps");
    for (const auto& app : after["apps"]) listed = listed || app["process_id"] == pid;
    EXPECT_TRUE(listed) << after;

    const std::string name = launched["name"];
    EXPECT_EQ(call("hide", {{"name", name}}), Json({{"ok", true}}));
    EXPECT_TRUE(waitFor([&] { return xWindowOf(pid) && xWindowOf(pid)->states.hidden; }));
    EXPECT_EQ(call("unhide", {{"name", name}}), Json({{"ok", true}}));
    EXPECT_TRUE(waitFor([&] { return xWindowOf(pid) && !xWindowOf(pid)->states.hidden; }));

    Json switched = call("switch", {{"name", "kest-fixture"}});
    EXPECT_FALSE(switched.contains("error")) << "the fixture is known by its class name: " << switched;
    EXPECT_EQ(call("switch", {{"name", name}}), Json({{"ok", true}}));
    EXPECT_TRUE(waitFor([&] { return xWindowOf(pid) && ewmh_->activeWindow() == xWindowOf(pid)->id; }));

    EXPECT_EQ(call("quit", {{"name", name}}), Json({{"ok", true}}));
    EXPECT_TRUE(waitFor([&] { return !xWindowOf(pid); }));
    EXPECT_EQ(call("quit", {{"name", "no such application"}})["error"]["code"], -32004);
}

TEST_F(AppsWindowsTest, ChromiumEntriesAndTheDebuggingRelaunch) {
    if (!hasProgram("chromium")) GTEST_SKIP() << "chromium is not installed (scripts/install-deps.sh)";
    // As root Chromium needs --no-sandbox: given through the Debian wrapper's
    // configuration directory, for this desktop only.
    // The file is owned by an object, so that it goes however the test ends
    // (a failed assertion returns early); one left by a killed run goes first.
    struct WrapperFlags {
        const std::filesystem::path file = "/etc/chromium.d/kest-e2e-no-sandbox";
        bool written = false;
        WrapperFlags() {
            if (::geteuid() != 0) return;
            std::error_code ignored;
            std::filesystem::remove(file, ignored);
            std::ofstream(file)
                << "export CHROMIUM_FLAGS=\"$CHROMIUM_FLAGS --no-sandbox --no-first-run --user-data-dir=/tmp/kest-e2e-chromium\"\n";
            written = true;
        }
        ~WrapperFlags() {
            std::error_code ignored;
            if (written) std::filesystem::remove(file, ignored);
        }
    } wrapperFlags;
    EXPECT_EQ(call("is_chromium", {{"name", "chromium"}}), Json({{"is_chromium", true}}));
    EXPECT_EQ(call("is_chromium", {{"name", "gtk3-widget-factory"}})["is_chromium"], false);
    Json executable = call("app_executable", {{"name", "chromium"}});
    ASSERT_TRUE(executable.contains("executable")) << executable;
    EXPECT_TRUE(std::filesystem::exists(executable["executable"].get<std::string>()));
    EXPECT_EQ(call("app_executable", {{"name", "no such application"}})["error"]["code"], -32004);

    // Chromium joins the accessibility bus only once the desktop's toolkit
    // accessibility is on, which is what granting does here.
    EXPECT_EQ(call("permissions_grant"), Json({{"ok", true}}));
    constexpr int PORT = 19333;
    Json launched = call("launch_cdp", {{"name", "chromium"}, {"port", PORT}});
    ASSERT_FALSE(launched.contains("error")) << launched;
    EXPECT_EQ(launched["cdp_port"], PORT);
    const pid_t pid = launched.contains("pid") ? launched["pid"].get<pid_t>() : launched["process_id"].get<pid_t>();
    EXPECT_EQ(call("cdp_port", {{"name", "CHROMIUM"}}), Json({{"port", PORT}, {"name", "CHROMIUM"}}));

    auto endpointAnswers = [&] {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(PORT);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        std::string reply;
        if (connected) {
            // The debugging server speaks HTTP/1.1 and wants a local Host.
            const std::string get =
                "GET /json/version HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(PORT) + "\r\n\r\n";
            timeval limit{2, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            (void)::write(fd, get.data(), get.size());
            char buffer[4096];
            ssize_t n = 0;
            // The server keeps the connection open: stop once the answer is in.
            while (reply.find("webSocketDebuggerUrl") == std::string::npos &&
                   (n = ::read(fd, buffer, sizeof buffer)) > 0) {
                reply.append(buffer, static_cast<std::size_t>(n));
            }
        }
        ::close(fd);
        return reply.find("webSocketDebuggerUrl") != std::string::npos;
    };
    EXPECT_TRUE(waitFor(endpointAnswers, std::chrono::seconds(30)));
    // Renderer accessibility: the browser's document shows on the bus.
    EXPECT_TRUE(waitFor(
        [&] {
            auto apps = reader_->applications();
            if (!apps) return false;
            for (const auto& app : *apps) {
                auto name = reader_->name(app.get());
                if (name && name->find("hromium") != std::string::npos && !walk(*reader_, app, 400).empty()) {
                    for (const auto& element : walk(*reader_, app, 400)) {
                        if (reader_->axRole(element.get()) == std::string_view("AXWebArea")) return true;
                    }
                }
            }
            return false;
        },
        std::chrono::seconds(30)));
    call("quit", {{"name", "chromium"}, {"force", true}});
    ::kill(pid, SIGKILL);
}

}  // namespace
}  // namespace kest::e2e
