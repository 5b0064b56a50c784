// Application control: listing, name resolution, launching with its bounded
// waits, the running-application requests, executables, the Chromium test and
// the debugging relaunch.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "desktop/apps.hpp"
#include "support/dispatcher_harness.hpp"

namespace kest::fake {
namespace {

Json appsScene() {
    return Json::parse(R"({
      "apps": [
        {"name": "Finder", "bundle_id": "com.apple.finder", "pid": 1, "active": true},
        {"name": "Slack", "bundle_id": "com.tinyspeck.slackmacgap", "pid": 2, "hidden": true,
         "bundle": "/Applications/Slack.app"},
        {"name": "Spotlight Helper", "bundle_id": "com.example.helper", "pid": 3, "policy": 1},
        {"pid": 4},
        {"name": "Daemon", "pid": 5, "policy": 2}],
      "bundles": [
        {"location": "/System/Applications/TextEdit.app", "id": "com.apple.TextEdit", "name": "TextEdit",
         "executable": "/System/Applications/TextEdit.app/Contents/MacOS/TextEdit"},
        {"location": "/System/Applications/System Settings.app", "id": "com.apple.systempreferences",
         "name": "System Settings", "executable": "/System/Applications/System Settings.app/Contents/MacOS/System Settings"},
        {"location": "/Applications/Slack.app", "id": "com.tinyspeck.slackmacgap", "name": "Slack",
         "executable": "/Applications/Slack.app/Contents/MacOS/Slack",
         "frameworks": ["Squirrel.framework", "Electron Framework.framework"]},
        {"location": "/Applications/Odd.app", "id": "com.example.odd", "name": "Odd",
         "frameworks": ["electron framework.framework", "Electron Framework", "CefSharp.BrowserSubprocess.exe"]},
        {"location": "/Applications/Cef.app", "name": "Cef", "executable": "/Applications/Cef.app/Contents/MacOS/Cef",
         "frameworks": ["Chromium Embedded Framework.framework"]},
        {"location": "/Applications/Unlisted.app", "name": "Unlisted", "frameworks": null},
        {"location": "/Applications/Broken.app", "name": "Broken", "launch_error": "The file is damaged."},
        {"location": "/Applications/Slow.app", "name": "Slow", "launches": {"name": "Slow", "finished": false}},
        {"location": "/Applications/Google Chrome.app", "id": "com.google.Chrome", "name": "Google Chrome",
         "executable": "/Applications/Google Chrome.app/Contents/MacOS/Google Chrome",
         "launches": {"name": "Google Chrome", "bundle_id": "com.google.Chrome"},
         "frameworks": ["Google Chrome Framework.framework"]}]
    })");
}

TEST(AppsMethod, ListsRegularApplicationsOnly) {
    DispatcherHarness harness(appsScene());
    EXPECT_EQ(harness.result("apps", {{"extra", true}})["apps"], Json::parse(R"([
        {"name": "Finder", "bundle_id": "com.apple.finder", "process_id": 1, "is_active": true, "is_hidden": false, "is_chromium": false},
        {"name": "Slack", "bundle_id": "com.tinyspeck.slackmacgap", "process_id": 2, "is_active": false, "is_hidden": true, "is_chromium": true},
        {"name": "Unknown", "bundle_id": "", "process_id": 4, "is_active": false, "is_hidden": false, "is_chromium": false}])"));
}

TEST(LaunchMethod, ResolvesByTableFoldersAndIdentifier) {
    struct Row {
        Json params;
        Json opened;  // [location, activates], or null when nothing is opened
        Json error;
    };
    const Row rows[] = {
        {{{"name", "System Settings"}}, {"/System/Applications/System Settings.app", true}, nullptr},
        {{{"name", "textedit"}}, {"/System/Applications/TextEdit.app", true}, nullptr},
        {{{"name", "com.apple.TextEdit"}}, {"/System/Applications/TextEdit.app", true}, nullptr},
        {{{"ref", "TextEdit"}, {"background", true}}, {"/System/Applications/TextEdit.app", false}, nullptr},
        {{{"_positional", {"Cef"}}, {"background", "yes"}}, {"/Applications/Cef.app", true}, nullptr},
        {{{"name", "Nowhere"}}, nullptr, {{"code", -32004}, {"message", "Application not found: Nowhere"}}},
        {{{"name", "Broken"}}, {"/Applications/Broken.app", true},
         {{"code", -32004}, {"message", "Failed to launch Broken: The file is damaged."}}},
        {{{"name", 3}}, nullptr, {{"code", -32602}, {"message", "Missing app name"}}},
    };
    for (const auto& row : rows) {
        DispatcherHarness harness(appsScene());
        Json response = harness.call("launch", row.params);
        EXPECT_EQ(response.value("error", Json()), row.error) << row.params;
        auto opened = harness.desktop().callsTo("openApplication");
        if (row.opened.is_null()) {
            EXPECT_TRUE(opened.empty()) << row.params;
        } else {
            ASSERT_EQ(opened.size(), 1u) << row.params;
            EXPECT_EQ(Json::array({opened[0]["location"], opened[0]["activates"]}), row.opened) << row.params;
            EXPECT_EQ(opened[0]["documents"], Json::array());
        }
    }
}

TEST(LaunchMethod, AnswersTheLaunchedApplication) {
    DispatcherHarness harness(appsScene());
    Json launched = harness.result("launch", {{"name", "Google Chrome"}, {"wait", true}});
    EXPECT_EQ(launched["name"], "Google Chrome");
    EXPECT_EQ(launched["bundle_id"], "com.google.Chrome");
    EXPECT_EQ(launched["is_active"], true);
    // Already running: the same process again.
    EXPECT_EQ(harness.result("launch", {{"name", "com.google.Chrome"}})["process_id"], launched["process_id"]);
}

// A running application is brought forward and answered, not started again;
// a background launch leaves it where it is, and documents still go to the
// opening, which hands them to the application.
TEST(LaunchMethod, ARunningApplicationIsActivatedNotStartedAgain) {
    DispatcherHarness harness(appsScene());
    Json behind = harness.result("launch", {{"name", "Slack"}, {"background", true}});
    EXPECT_EQ(behind["process_id"], 2);
    EXPECT_EQ(behind["is_hidden"], true);
    EXPECT_TRUE(harness.desktop().callsTo("activate").empty());

    Json slack = harness.result("launch", {{"name", "Slack"}});
    EXPECT_EQ(slack["process_id"], 2);
    EXPECT_EQ(slack["is_active"], true);
    EXPECT_EQ(slack["is_hidden"], false);
    EXPECT_TRUE(harness.desktop().callsTo("openApplication").empty());
    EXPECT_EQ(harness.desktop().callsTo("activate"),
              std::vector<Json>{Json::parse(R"({"operation": "activate", "pid": 2, "options": 2})")});

    ThreadPause pause;
    ASSERT_TRUE(Apps::launch(pause, harness.desktop().workspace(), "Slack", false, false, {"/tmp/a.txt"}));
    EXPECT_EQ(harness.desktop().callsTo("openApplication").size(), 1u);
}

TEST(Launch, NeverWaitsWithoutBound) {
    ThreadPause pause;
    auto desktop = FakeDesktop::fromScene(appsScene()).value();
    desktop->knobs.holdOpenCompletions = true;
    auto launched = Apps::launch(pause, desktop->workspace(), "TextEdit", false, false, {},
                                 LaunchTimeouts{std::chrono::milliseconds(20), std::chrono::milliseconds(20)});
    ASSERT_FALSE(launched);
    EXPECT_EQ(launched.error().description(), "Failed to launch TextEdit: the application did not report within 0.02 seconds");
    // The report that comes after the caller gave up is dropped harmlessly.
    ASSERT_EQ(desktop->heldOpenCompletions.size(), 1u);
    desktop->heldOpenCompletions[0](desktop->apps[1].info, std::nullopt);

    // An application that never finishes launching is answered once the
    // readiness wait is over, not as an error.
    desktop->knobs.holdOpenCompletions = false;
    auto slow = Apps::launch(pause, desktop->workspace(), "Slow", true, false, {},
                             LaunchTimeouts{std::chrono::seconds(5), std::chrono::milliseconds(20)});
    ASSERT_TRUE(slow);
    EXPECT_EQ((*slow)["name"], "Slow");
}

TEST(RunningAppMethods, LookUpByNameThenIdentifier) {
    struct Row {
        const char* method;
        Json params;
        Json call;  // the recorded request, or the error
    };
    const Row rows[] = {
        {"quit", {{"name", "finder"}}, {{"operation", "terminate"}, {"pid", 1}}},
        {"quit", {{"ref", "COM.APPLE.FINDER"}, {"force", true}}, {{"operation", "forceTerminate"}, {"pid", 1}}},
        {"quit", {{"_positional", {"slack"}}}, {{"operation", "terminate"}, {"pid", 2}}},
        {"hide", {{"name", "Slack"}}, {{"operation", "hide"}, {"pid", 2}}},
        {"unhide", {{"_positional", {"com.tinyspeck.slackmacgap"}}}, {{"operation", "unhide"}, {"pid", 2}}},
        {"switch", {{"name", "spotlight helper"}}, {{"operation", "activate"}, {"pid", 3}, {"options", 2}}},
        {"hide", {{"ref", "Slack"}}, {{"code", -32602}, {"message", "Missing app name"}}},
        {"switch", {{"name", "Safari"}}, {{"code", -32004}, {"message", "Application not found: Safari"}}},
        {"quit", {{"name", "Unknown"}}, {{"code", -32004}, {"message", "Application not found: Unknown"}}},
    };
    for (const auto& row : rows) {
        DispatcherHarness harness(appsScene());
        Json response = harness.call(row.method, row.params);
        if (row.call.contains("code")) {
            EXPECT_EQ(response["error"], row.call) << row.method << row.params;
            EXPECT_TRUE(harness.desktop().calls.empty()) << row.method << row.params;
        } else {
            EXPECT_EQ(response["result"], Json({{"ok", true}})) << row.method << row.params;
            EXPECT_EQ(harness.desktop().calls, std::vector<Json>{row.call}) << row.method << row.params;
        }
    }
}

TEST(BundleMethods, ExecutablesAndChromiumMarkers) {
    DispatcherHarness harness(appsScene());
    const std::pair<const char*, Json> executables[] = {
        {"textedit", {{"executable", "/System/Applications/TextEdit.app/Contents/MacOS/TextEdit"}}},
        {"Slack", {{"executable", "/Applications/Slack.app/Contents/MacOS/Slack"}}},
        {"Odd", {{"code", -32004}, {"message", "Could not find executable for Odd"}}},
        {"Nowhere", {{"code", -32004}, {"message", "Could not find executable for Nowhere"}}},
    };
    for (const auto& [name, expected] : executables) {
        Json response = harness.call("app_executable", {{"name", name}});
        EXPECT_EQ(response.contains("error") ? response["error"] : response["result"], expected) << name;
    }
    const std::pair<const char*, bool> chromium[] = {
        {"Slack", true}, {"Cef", true}, {"Odd", false}, {"Unlisted", false}, {"Google Chrome", false}, {"Nowhere", false},
    };
    for (const auto& [name, expected] : chromium) {
        EXPECT_EQ(harness.result("is_chromium", {{"name", name}}), Json({{"is_chromium", expected}})) << name;
    }
    for (const char* method : {"app_executable", "is_chromium", "launch_cdp", "cdp_port"}) {
        EXPECT_EQ(harness.error(method, {{"_positional", {"Slack"}}, {"ref", "Slack"}}),
                  Json({{"code", -32602}, {"message", "Missing app name"}})) << method;
    }
    auto& workspace = harness.desktop().workspace();
    EXPECT_TRUE(Apps::isChromiumApp(workspace, 2));
    EXPECT_FALSE(Apps::isChromiumApp(workspace, 1));
    EXPECT_FALSE(Apps::isChromiumApp(workspace, 77));
}

TEST(LaunchCDP, StartsTheExecutableAndRemembersThePort) {
    DispatcherHarness harness(appsScene());
    EXPECT_EQ(harness.result("cdp_port", {{"name", "Google Chrome"}}), Json({{"port", nullptr}, {"name", "Google Chrome"}}));

    Json launched = harness.result("launch_cdp", {{"name", "Google Chrome"}});
    EXPECT_EQ(launched["name"], "Google Chrome");
    EXPECT_EQ(launched["cdp_port"], 19200);
    EXPECT_EQ(harness.desktop().callsTo("startProcess"), std::vector<Json>{Json::parse(R"({"operation": "startProcess",
        "executable": "/Applications/Google Chrome.app/Contents/MacOS/Google Chrome",
        "arguments": ["--remote-debugging-port=19200", "--force-renderer-accessibility"]})")});
    EXPECT_EQ(harness.result("cdp_port", {{"name", "GOOGLE CHROME"}}), Json({{"port", 19200}, {"name", "GOOGLE CHROME"}}));

    // The child is remembered until it exits.
    const auto pid = launched["process_id"].get<std::int32_t>();
    auto recorded = [pid] { return std::ranges::count(Apps::launchedProcessIds(), pid); };
    EXPECT_EQ(recorded(), 1);
    harness.desktop().processExits(pid);
    EXPECT_EQ(recorded(), 0);
}

// A backend's reaper may join a finished watcher, which is reporting an
// earlier child's exit, while a new child starts; and a child may exit before
// its start has returned. Neither waits for the start to finish.
TEST(LaunchCDP, ExitsReportedWhileAChildStartsNeitherBlockNorLeaveRecords) {
    DispatcherHarness harness(appsScene());
    auto& desktop = harness.desktop();
    std::int32_t first = 0;
    desktop.whileStartingProcess = [&](std::int32_t pid) { first = pid; };
    harness.result("launch_cdp", {{"name", "Slack"}, {"port", 9001}});
    auto recorded = [](std::int32_t pid) { return std::ranges::count(Apps::launchedProcessIds(), pid); };
    ASSERT_EQ(recorded(first), 1);

    std::thread watcher;
    bool reportedDuringStart = false;
    std::int32_t second = 0;
    desktop.whileStartingProcess = [&](std::int32_t pid) {
        second = pid;
        std::promise<void> reported;
        auto done = reported.get_future();
        watcher = std::thread([&desktop, first, pid, reported = std::move(reported)]() mutable {
            desktop.processExits(first);
            desktop.processExits(pid);
            reported.set_value();
        });
        // Bounded only so that a deadlock fails the test instead of hanging it.
        reportedDuringStart = done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    };
    auto started = Apps::launchWithCDP(harness.dispatcher().pause, desktop.workspace(), "Cef", 9333, std::chrono::seconds(0));
    watcher.join();
    ASSERT_TRUE(started);
    EXPECT_TRUE(reportedDuringStart);
    EXPECT_EQ(recorded(first), 0);
    EXPECT_EQ(recorded(second), 0);  // it exited before its start returned
}

TEST(LaunchCDP, FailuresAndAProgramThatIsNoApplication) {
    DispatcherHarness harness(appsScene());
    harness.dispatcher().cdpPorts["cef"] = 9000;
    EXPECT_EQ(harness.error("launch_cdp", {{"name", "Odd"}, {"port", 1}}),
              Json({{"code", -32004}, {"message", "Application not found: Odd"}}));
    harness.desktop().knobs.processStartError = "No such file or directory";
    EXPECT_EQ(harness.error("launch_cdp", {{"name", "Cef"}, {"port", 1}}),
              Json({{"code", -32004}, {"message", "No such file or directory"}}));
    EXPECT_EQ(harness.dispatcher().cdpPorts, (std::map<std::string, std::int64_t>{{"cef", 9000}}));

    harness.desktop().knobs.processStartError.reset();
    auto started = Apps::launchWithCDP(harness.dispatcher().pause, harness.desktop().workspace(), "Cef", 9333, std::chrono::seconds(0));
    ASSERT_TRUE(started);
    EXPECT_EQ(started->size(), 2u);
    EXPECT_EQ((*started)["cdp_port"], 9333);
    EXPECT_TRUE((*started)["pid"].is_number_integer());
}

}  // namespace
}  // namespace kest::fake
