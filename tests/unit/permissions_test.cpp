// The permission methods over the fake desktop.
#include <gtest/gtest.h>

#include "support/dispatcher_harness.hpp"

namespace kest::fake {
namespace {

TEST(PermissionsTest, ReportsBothPermissionsAsTheDesktopGrantsThem) {
    const struct {
        bool trusted;
        bool capture;
    } ROWS[] = {{true, true}, {true, false}, {false, true}, {false, false}};
    for (auto& row : ROWS) {
        DispatcherHarness harness({{"trusted", row.trusted}, {"screen_capture", row.capture}});
        EXPECT_EQ(harness.result("permissions"),
                  Json({{"accessibility", row.trusted}, {"screen_recording", row.capture}}));
        EXPECT_TRUE(harness.desktop().calls.empty()) << "asking must not prompt or open anything";
    }
}

TEST(PermissionsTest, GrantOpensTheAccessibilitySettingsWhateverHappens) {
    for (bool fails : {false, true}) {
        DispatcherHarness harness;
        harness.desktop().knobs.openURLFails = fails;
        EXPECT_EQ(harness.call("permissions_grant", {{"ignored", 1}}),
                  Json::parse(R"({"id": 1, "jsonrpc": "2.0", "result": {"ok": true}})"));
        EXPECT_EQ(harness.desktop().callsTo("openURL"),
                  std::vector<Json>{Json::parse(R"({"operation": "openURL",
                    "url": "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility"})")});
    }
}

}  // namespace
}  // namespace kest::fake
