// End-to-end tests of the Linux platform services as the engine's logic sees
// them: AX attributes, writes and actions over AT-SPI2, engine events over
// XTest, and window-list records, against kest-fixture.
#include <gtest/gtest.h>

#include <memory>

#include "e2e_support.hpp"
#include "platform/linux/atspi_accessibility.hpp"
#include "platform/linux/x11_window_server.hpp"
#include "platform/linux/xtest_events.hpp"

namespace kest::e2e {
namespace {

using namespace platform;
using platform::linux_desktop::AtspiAccessibility;
using platform::linux_desktop::X11WindowServer;
using platform::linux_desktop::XTestEvents;

struct Services {
    std::unique_ptr<AtspiReader> reader;  // only to wait for the fixture
    std::optional<ChildProcess> fixture;
    AtspiAccessibility accessibility;
    XTestEvents events;
    X11WindowServer windowServer;
    Element app;
    Element window;
};
Services* gServices = nullptr;

class ServicesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!insideVirtualDesktop() || gServices) return;
        auto services = std::make_unique<Services>();
        services->reader = AtspiReader::connect();
        ASSERT_TRUE(services->reader);
        auto spawned = ChildProcess::spawn({KEST_FIXTURE_APP});
        ASSERT_TRUE(spawned);
        services->fixture.emplace(std::move(*spawned));
        ASSERT_TRUE(waitForApplication(*services->reader, services->fixture->pid()));
        services->app = services->accessibility.applicationElement(services->fixture->pid());
        auto windows = services->accessibility.attribute(services->app, AXAttribute::kWindows);
        ASSERT_TRUE(windows && windows->asElements() && !windows->asElements()->empty());
        services->window = windows->asElements()->front();
        gServices = services.release();
    }
    static void TearDownTestSuite() {
        delete gServices;
        gServices = nullptr;
    }
    void SetUp() override {
        if (!insideVirtualDesktop()) GTEST_SKIP() << "needs the virtual desktop: run scripts/run-e2e.sh";
        ASSERT_TRUE(gServices);
    }

    Accessibility& ax() { return gServices->accessibility; }
    std::string text(const Element& element, std::string_view name) {
        auto value = ax().attribute(element, name);
        return value && value->asString() ? *value->asString() : "<absent>";
    }
    std::vector<Element> children(const Element& element) {
        auto value = ax().attribute(element, AXAttribute::kChildren);
        return value && value->asElements() ? *value->asElements() : std::vector<Element>{};
    }
    // Depth-first by AXTitle, through AXChildren (virtual menus included).
    Element find(const Element& root, const std::string& title, int depth = 0) {
        if (depth > 30) return {};
        for (const auto& child : children(root)) {
            if (text(child, AXAttribute::kTitle) == title) return child;
            if (auto below = find(child, title, depth + 1)) return below;
        }
        return {};
    }
    Element find(const std::string& title) {
        auto found = find(gServices->window, title);
        EXPECT_TRUE(found) << "no element titled " << title;
        return found;
    }
};

TEST_F(ServicesTest, AttributesReadAsTheLogicExpects) {
    struct Row {
        const char* title;
        std::string_view attribute;
        Value expected;
    };
    const Row rows[] = {
        {"Press Me", AXAttribute::kRole, Value::string("AXButton")},
        {"Press Me", AXAttribute::kEnabled, Value::boolean(true)},
        {"Print", AXAttribute::kEnabled, Value::boolean(false)},
        {"Check Two", AXAttribute::kValue, Value::integer(1)},
        {"Check One", AXAttribute::kValue, Value::integer(0)},
        {"Radio A", AXAttribute::kValue, Value::integer(1)},
        {"Word Wrap", AXAttribute::kValue, Value::integer(1)},
        {"Volume", AXAttribute::kValue, Value::real(30)},
        {"Quantity", AXAttribute::kValue, Value::real(5)},
        {"Notes", AXAttribute::kValue, Value::string("First line\nSecond line")},
        {"Color", AXAttribute::kValue, Value::string("Green")},
        {"Font Size", AXAttribute::kValue, Value::string("12")},
        {"Status: idle", AXAttribute::kValue, Value::string("Status: idle")},
        {"File", AXAttribute::kRole, Value::string("AXMenuBarItem")},
        {"Recent", AXAttribute::kRole, Value::string("AXMenuItem")},
    };
    for (const auto& row : rows) {
        auto element = find(row.title);
        ASSERT_TRUE(element) << row.title;
        auto value = ax().attribute(element, row.attribute);
        ASSERT_TRUE(value) << row.title << " " << row.attribute << ": status " << value.error();
        EXPECT_EQ(value->kind(), row.expected.kind()) << row.title << " " << row.attribute;
        if (row.expected.asString()) {
            EXPECT_EQ(*value->asString(), *row.expected.asString()) << row.title;
        } else if (row.expected.asNumber()) {
            EXPECT_EQ(value->asNumber(), row.expected.asNumber()) << row.title;
        } else {
            EXPECT_EQ(value->asBool(), row.expected.asBool()) << row.title;
        }
    }
    // Empty names and descriptions are absent, not empty strings.
    EXPECT_FALSE(ax().attribute(find("Press Me"), AXAttribute::kDescription));
    EXPECT_EQ(ax().attribute(find("Press Me"), "AXNoSuchAttribute").error(), StatusCode::kAttributeUnsupported);
}

TEST_F(ServicesTest, MenusHaveOneVirtualMenuHoldingTheirItems) {
    auto file = find("File");
    ASSERT_TRUE(file);
    auto level = children(file);
    ASSERT_EQ(level.size(), 1u);
    EXPECT_EQ(text(level[0], AXAttribute::kRole), "AXMenu");
    std::vector<std::string> titles;
    for (const auto& item : children(level[0])) titles.push_back(text(item, AXAttribute::kTitle));
    EXPECT_EQ(titles, (std::vector<std::string>{"New", "Open", "Save", "<absent>", "Recent", "<absent>", "Print",
                                                "Close"}));
    auto recent = find(level[0], "Recent");
    ASSERT_TRUE(recent);
    auto submenu = children(recent);
    ASSERT_EQ(submenu.size(), 1u);
    EXPECT_EQ(text(children(submenu[0]).front(), AXAttribute::kTitle), "First Recent");
}

TEST_F(ServicesTest, ApplicationAnswersForItsWindowsAndMenuBar) {
    const Element& app = gServices->app;
    EXPECT_EQ(text(app, AXAttribute::kRole), "AXApplication");
    EXPECT_EQ(text(gServices->window, AXAttribute::kTitle), "Kest Fixture");
    EXPECT_EQ(text(gServices->window, AXAttribute::kRole), "AXWindow");
    auto bar = ax().attribute(app, AXAttribute::kMenuBar);
    ASSERT_TRUE(bar && bar->asElement());
    EXPECT_EQ(text(bar->asElement(), AXAttribute::kRole), "AXMenuBar");
    EXPECT_FALSE(ax().attribute(app, AXAttribute::kExtrasMenuBar));
    EXPECT_EQ(ax().attribute(gServices->window, AXAttribute::kMinimized)->asBool(), false);
    EXPECT_EQ(ax().attribute(gServices->window, AXAttribute::kFullScreen)->asBool(), false);
    auto close = ax().attribute(gServices->window, AXAttribute::kCloseButton);
    ASSERT_TRUE(close && close->asElement());
    EXPECT_EQ(text(close->asElement(), AXAttribute::kRole), "AXButton");
    // A process with no accessible application fails every call.
    EXPECT_FALSE(ax().attribute(ax().applicationElement(1), AXAttribute::kRole));
}

TEST_F(ServicesTest, ModalDialogComesFirstWithItsDefaultButton) {
    ASSERT_EQ(ax().performAction(find("Open Dialog"), AXAction::kPress), StatusCode::kSuccess);
    Element dialog;
    ASSERT_TRUE(waitFor([&] {
        auto windows = ax().attribute(gServices->app, AXAttribute::kWindows);
        if (!windows || windows->asElements()->size() < 2) return false;
        dialog = windows->asElements()->front();
        return text(dialog, AXAttribute::kTitle) == "Fixture Dialog";
    }));
    EXPECT_EQ(text(dialog, AXAttribute::kRole), "AXDialog");
    EXPECT_EQ(ax().attribute(dialog, AXAttribute::kModal)->asBool(), true);
    auto ok = ax().attribute(dialog, AXAttribute::kDefaultButton);
    ASSERT_TRUE(ok && ok->asElement());
    EXPECT_EQ(text(ok->asElement(), AXAttribute::kTitle), "OK");
    ASSERT_EQ(ax().performAction(find(dialog, "Cancel"), AXAction::kPress), StatusCode::kSuccess);
    EXPECT_TRUE(waitFor([&] { return find(gServices->window, "Last Action: Dialog Cancel") != nullptr; }));
}

TEST_F(ServicesTest, WritesReachTheApplication) {
    auto entry = find("Name Entry");
    ASSERT_EQ(ax().setAttribute(entry, AXAttribute::kValue, Value::string("written")), StatusCode::kSuccess);
    EXPECT_TRUE(waitFor([&] { return text(entry, AXAttribute::kValue) == "written"; }));
    ASSERT_EQ(ax().setAttribute(entry, AXAttribute::kFocused, Value::boolean(true)), StatusCode::kSuccess);
    EXPECT_TRUE(waitFor([&] { return ax().attribute(entry, AXAttribute::kFocused)->asBool() == true; }));
    EXPECT_NE(ax().setAttribute(find("Status: idle"), AXAttribute::kValue, Value::string("x")), StatusCode::kSuccess);

    // A window's position is its outer frame's, as the window list reports.
    auto before = ax().attribute(gServices->window, AXAttribute::kPosition);
    ASSERT_TRUE(before && before->asPoint());
    ASSERT_EQ(ax().setAttribute(gServices->window, AXAttribute::kPosition, Value::point({40, 30})),
              StatusCode::kSuccess);
    EXPECT_TRUE(waitFor([&] { return ax().attribute(gServices->window, AXAttribute::kPosition)->asPoint() == Point{40, 30}; }));
    auto records = gServices->windowServer.windowList(WindowListOption::kOnScreenOnly |
                                                          WindowListOption::kExcludeDesktopElements,
                                                      NULL_WINDOW);
    ASSERT_TRUE(records);
    bool listed = false;
    for (const auto& record : *records) {
        if (record.ownerPID == gServices->fixture->pid() && record.name == "Kest Fixture") {
            listed = true;
            EXPECT_EQ(record.bounds->x, 40);
            EXPECT_EQ(record.bounds->y, 30);
            EXPECT_EQ(record.layer, 0);
            EXPECT_EQ(record.ownerName, "Kest-fixture");
        }
    }
    EXPECT_TRUE(listed);
    ax().setAttribute(gServices->window, AXAttribute::kPosition, Value::point(*before->asPoint()));
}

TEST_F(ServicesTest, KeyEventsWithTextTypeIt) {
    auto entry = find("Typing Target");
    ASSERT_EQ(ax().performAction(gServices->window, AXAction::kRaise), StatusCode::kSuccess);
    ASSERT_EQ(ax().setAttribute(entry, AXAttribute::kValue, Value::string("")), StatusCode::kSuccess);
    ASSERT_EQ(ax().setAttribute(entry, AXAttribute::kFocused, Value::boolean(true)), StatusCode::kSuccess);
    ASSERT_TRUE(waitFor([&] { return ax().attribute(entry, AXAttribute::kFocused)->asBool() == true; }));
    Events& events = gServices->events;
    for (std::string_view piece : {"Grüße ", "and ", "🙂"}) {
        auto down = events.createKeyEvent(0, true);
        auto up = events.createKeyEvent(0, false);
        ASSERT_TRUE(down && up);
        down->text = up->text = std::string(piece);
        events.post(*down);
        events.post(*up);
    }
    // Shift with key code 0 types an upper-case A.
    auto a = events.createKeyEvent(0, true);
    a->flags = EventFlag::kShift;
    events.post(*a);
    a->keyDown = false;
    events.post(*a);
    EXPECT_TRUE(waitFor([&] { return text(entry, AXAttribute::kValue) == "Grüße and 🙂A"; }))
        << text(entry, AXAttribute::kValue);
}

}  // namespace
}  // namespace kest::e2e
