// End-to-end tests of the Linux technology layer on the virtual desktop: the
// AT-SPI reader and role table, XTest input, the EWMH window list and
// requests, and XRandR screens, against kest-fixture and gtk3-widget-factory.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <bit>
#include <memory>
#include <set>

#include "e2e_support.hpp"
#include "platform/linux/x11_windows.hpp"
#include "platform/linux/xrandr_monitors.hpp"
#include "platform/linux/xtest_input.hpp"

// XKBlib declares its functions with the `Status` that x11_includes.hpp takes away.
#define Status int
#include <X11/XKBlib.h>
#undef Status

namespace kest::e2e {
namespace {

using namespace platform::linux_desktop;
using platform::Rect;
namespace StatusCode = platform::StatusCode;

// The status of a read: 0 when it has a value.
template <class T>
platform::Status statusOf(const std::expected<T, platform::Status>& result) {
    return result ? StatusCode::kSuccess : result.error();
}

// One fixture application for the whole suite; tests leave it as they found it
// where they change it (labels excepted).
struct Desktop {
    std::unique_ptr<X11Connection> x;
    std::unique_ptr<AtspiReader> reader;
    std::optional<ChildProcess> fixture;
    AccessiblePtr app;
    AccessiblePtr frame;
};
Desktop* gDesktop = nullptr;

class DesktopTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!insideVirtualDesktop() || gDesktop) return;
        auto desktop = std::make_unique<Desktop>();
        desktop->x = X11Connection::open();
        desktop->reader = AtspiReader::connect();
        ASSERT_TRUE(desktop->x) << "no X server";
        ASSERT_TRUE(desktop->reader) << "no accessibility bus";
        auto spawned = ChildProcess::spawn({fixtureApp()});
        ASSERT_TRUE(spawned);
        desktop->fixture.emplace(std::move(*spawned));
        desktop->app = waitForApplication(*desktop->reader, desktop->fixture->pid());
        ASSERT_TRUE(desktop->app) << "the fixture never appeared on the accessibility bus";
        desktop->frame = findByName(*desktop->reader, desktop->app.get(), "Kest Fixture", "AXWindow");
        ASSERT_TRUE(desktop->frame);
        gDesktop = desktop.release();
    }
    static void TearDownTestSuite() {
        delete gDesktop;
        gDesktop = nullptr;
    }
    void SetUp() override {
        if (!insideVirtualDesktop()) GTEST_SKIP() << "needs the virtual desktop: run scripts/run-e2e.sh";
        ASSERT_TRUE(gDesktop);
    }

    AtspiReader& reader() { return *gDesktop->reader; }
    X11Connection& x() { return *gDesktop->x; }
    AccessiblePtr element(const std::string& name, std::string_view axRole = {}) {
        auto found = findByName(reader(), gDesktop->frame.get(), name, axRole);
        EXPECT_TRUE(found) << "no element named " << name;
        return found;
    }
    bool labelAppears(const std::string& name) {
        return waitFor([&] { return findByName(reader(), gDesktop->frame.get(), name) != nullptr; });
    }
    std::string textOf(const AccessiblePtr& element) { return reader().text(element.get()).value_or("<unreadable>"); }
    std::optional<X11WindowInfo> fixtureWindow() {
        EwmhWindows windows(x());
        for (auto& info : windows.list()) {
            if (info.pid == gDesktop->fixture->pid() && info.title == "Kest Fixture") return info;
        }
        return std::nullopt;
    }
    // Brings the fixture to the front so that typed keys and clicks reach it.
    void activateFixture() {
        auto window = fixtureWindow();
        ASSERT_TRUE(window);
        EwmhWindows windows(x());
        windows.activate(window->id);
        ASSERT_TRUE(waitFor([&] { return windows.activeWindow() == window->id; }));
    }
};

TEST_F(DesktopTest, RoleTableMapsEveryFixtureWidgetKind) {
    struct Row {
        const char* name;
        const char* axRole;
    };
    const Row rows[] = {
        {"Press Me", "AXButton"},         {"Toggle Me", "AXCheckBox"},      {"Check One", "AXCheckBox"},
        {"Radio A", "AXRadioButton"},     {"Name Entry", "AXTextField"},    {"Password Entry", "AXTextField"},
        {"Notes", "AXTextArea"},          {"Quantity", "AXIncrementor"},    {"Volume", "AXSlider"},
        {"Color", "AXPopUpButton"},       {"Font Size", "AXComboBox"},      {"Controls", "AXTab"},
        {"Items", "AXList"},              {"File", "AXMenuBarItem"},        {"Recent", "AXMenuItem"},
        {"Word Wrap", "AXMenuItem"},      {"Small", "AXMenuItem"},          {"Status: idle", "AXStaticText"},
    };
    for (const auto& row : rows) {
        auto found = element(row.name);
        ASSERT_TRUE(found) << row.name;
        EXPECT_EQ(reader().axRole(found.get()).value_or("<failed>"), row.axRole) << row.name;
    }
    EXPECT_EQ(reader().axRole(gDesktop->frame.get()).value_or("<failed>"), "AXWindow");
}

TEST_F(DesktopTest, ReadsNamesValuesStatesAndExtents) {
    auto checked = [&](const char* name) {
        auto states = reader().states(element(name).get());
        return states && states->has(ATSPI_STATE_CHECKED);
    };
    EXPECT_TRUE(checked("Check Two"));
    EXPECT_FALSE(checked("Check One"));
    EXPECT_TRUE(checked("Radio A"));
    EXPECT_TRUE(checked("Word Wrap"));

    EXPECT_EQ(reader().currentValue(element("Quantity").get()).value_or(-1), 5);
    EXPECT_EQ(reader().currentValue(element("Volume").get()).value_or(-1), 30);
    EXPECT_EQ(textOf(element("Notes")), "First line\nSecond line");

    auto print = reader().states(element("Print").get());
    ASSERT_TRUE(print);
    EXPECT_FALSE(print->has(ATSPI_STATE_ENABLED) || print->has(ATSPI_STATE_SENSITIVE));

    // A laid-out button lies inside its window; a closed menu's item has no
    // position at all.
    auto frame = reader().extents(gDesktop->frame.get());
    auto button = reader().extents(element("Press Me").get());
    ASSERT_TRUE(frame && button);
    EXPECT_GT(button->width, 0);
    EXPECT_GE(button->x, frame->x);
    EXPECT_GE(button->y, frame->y);
    EXPECT_LE(button->x + button->width, frame->x + frame->width);
    EXPECT_LE(button->y + button->height, frame->y + frame->height);
    EXPECT_EQ(statusOf(reader().extents(element("New").get())), StatusCode::kNoValue);
    // A label has no Action interface; a slider has no text.
    EXPECT_EQ(reader().press(element("Status: idle").get()), StatusCode::kActionUnsupported);
    EXPECT_EQ(statusOf(reader().text(element("Volume").get())), StatusCode::kAttributeUnsupported);
}

TEST_F(DesktopTest, PressingAButtonChangesItsLabel) {
    auto press = element("Press Me");
    ASSERT_TRUE(press);
    ASSERT_EQ(reader().press(press.get()), StatusCode::kSuccess);
    EXPECT_TRUE(labelAppears("Status: pressed 1"));
    ASSERT_EQ(reader().press(element("Reset").get()), StatusCode::kSuccess);
    EXPECT_TRUE(labelAppears("Status: idle"));
}

TEST_F(DesktopTest, WritesTextAndValuesThatReadBack) {
    auto entry = element("Name Entry");
    ASSERT_EQ(reader().setText(entry.get(), "Zoë Example"), StatusCode::kSuccess);
    EXPECT_TRUE(waitFor([&] { return textOf(entry) == "Zoë Example"; })) << textOf(entry);

    auto volume = element("Volume");
    ASSERT_EQ(reader().setCurrentValue(volume.get(), 70), StatusCode::kSuccess);
    EXPECT_TRUE(waitFor([&] { return reader().currentValue(volume.get()).value_or(-1) == 70; }));
    reader().setCurrentValue(volume.get(), 30);

    // A label is not editable.
    EXPECT_NE(reader().setText(element("Status: idle").get(), "x"), StatusCode::kSuccess);
}

TEST_F(DesktopTest, ClickAtCoordinatesLandsOnTheButtonThere) {
    auto input = XTestInput::create(x());
    ASSERT_TRUE(input);
    activateFixture();
    auto bounds = reader().extents(element("Click Target").get());
    ASSERT_TRUE(bounds);
    const int cx = static_cast<int>(bounds->x + bounds->width / 2);
    const int cy = static_cast<int>(bounds->y + bounds->height / 2);
    input->click(cx, cy, 1, 1);
    input->sync();
    EXPECT_TRUE(labelAppears("Clicks: 1"));
    auto pointer = input->pointerLocation();
    ASSERT_TRUE(pointer);
    EXPECT_EQ(*pointer, std::make_pair(cx, cy));
    // A point past the screen's edge goes to that edge; X's 16-bit
    // coordinates would have wrapped it round to the other side.
    Display* display = x().display();
    const int right = DisplayWidth(display, DefaultScreen(display)) - 1;
    const int bottom = DisplayHeight(display, DefaultScreen(display)) - 1;
    const std::pair<std::pair<int, int>, std::pair<int, int>> rows[] = {
        {{65536 + cx, cy}, {right, cy}}, {{cx - 65536, cy}, {0, cy}}, {{cx, 65536 + cy}, {cx, bottom}}};
    for (const auto& [asked, landed] : rows) {
        input->moveTo(asked.first, asked.second);
        input->sync();
        EXPECT_EQ(input->pointerLocation(), std::optional(landed)) << asked.first << "," << asked.second;
    }
}

TEST_F(DesktopTest, TypedTextArrivesIntactAndInOrder) {
    auto input = XTestInput::create(x());
    ASSERT_TRUE(input);
    auto target = element("Typing Target");
    ASSERT_TRUE(target);
    activateFixture();

    std::string ascii;
    for (int i = 0; ascii.size() < 200; ++i) ascii.push_back(static_cast<char>(' ' + (i * 7) % 95));
    // Sixty distinct characters in one text: more than there are spare
    // keycodes, so spares are rebound while the text is typed.
    std::string distinct;
    for (char32_t point = 0x4E00; point < 0x4E00 + 60 * 37; point += 37) {
        distinct += static_cast<char>(0xE0 | (point >> 12));
        distinct += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        distinct += static_cast<char>(0x80 | (point & 0x3F));
    }
    // The tab goes last: it moves the focus on, and the characters after it
    // land elsewhere, maybe after the next text's entry has been cleared.
    const std::string texts[] = {ascii, "Éü 漢字 ✓ 🙂", distinct, "x\tTab and ünïcödé, then ASCII again"};
    for (const auto& text : texts) {
        ASSERT_EQ(reader().setText(target.get(), ""), StatusCode::kSuccess);
        ASSERT_EQ(reader().grabFocus(target.get()), StatusCode::kSuccess);
        ASSERT_TRUE(waitFor([&] {
            auto states = reader().states(target.get());
            return states && states->has(ATSPI_STATE_FOCUSED);
        }));
        // A tab would move the focus away from an entry: those texts check
        // the characters up to it.
        const std::string expected = text.substr(0, text.find('\t'));
        EXPECT_TRUE(input->typeText(text));
        EXPECT_TRUE(waitFor([&] { return textOf(target) == expected; })) << "typed: " << text << "\nread: " << textOf(target);
    }
}

TEST_F(DesktopTest, KeysWithModifiersActOnTheFocusedEntry) {
    auto input = XTestInput::create(x());
    ASSERT_TRUE(input);
    auto target = element("Typing Target");
    activateFixture();
    ASSERT_EQ(reader().setText(target.get(), "select me"), StatusCode::kSuccess);
    ASSERT_EQ(reader().grabFocus(target.get()), StatusCode::kSuccess);
    constexpr std::uint16_t KEY_A = 0, KEY_DELETE = 51;
    // command+a selects all (command is Control here), then Delete removes it.
    input->key(KEY_A, true, ModifierMask::kCommand);
    input->key(KEY_A, false, ModifierMask::kCommand);
    input->key(KEY_DELETE, true, 0);
    input->key(KEY_DELETE, false, 0);
    input->sync();
    EXPECT_TRUE(waitFor([&] { return textOf(target).empty(); })) << textOf(target);
}

// The keycodes with no keysym at all.
int emptyKeycodes(Display* display) {
    int minKeycode = 0, maxKeycode = 0, perKeycode = 0;
    XDisplayKeycodes(display, &minKeycode, &maxKeycode);
    XData<KeySym> map(XGetKeyboardMapping(display, static_cast<::KeyCode>(minKeycode), maxKeycode - minKeycode + 1,
                                          &perKeycode));
    int empty = 0;
    for (int i = 0; map && i <= maxKeycode - minKeycode; ++i) {
        const KeySym* syms = map.get() + static_cast<std::ptrdiff_t>(i) * perKeycode;
        if (std::all_of(syms, syms + perKeycode, [](KeySym s) { return s == NoSymbol; })) ++empty;
    }
    return empty;
}

int keysDown(Display* display) {
    char keys[32] = {};
    XQueryKeymap(display, keys);
    int down = 0;
    for (char byte : keys) down += std::popcount(static_cast<unsigned char>(byte));
    return down;
}

TEST_F(DesktopTest, KeymapChangedBySomeoneElseIsFollowed) {
    auto input = XTestInput::create(x());
    ASSERT_TRUE(input);
    auto target = element("Typing Target");
    activateFixture();
    ASSERT_EQ(reader().setText(target.get(), ""), StatusCode::kSuccess);
    ASSERT_EQ(reader().grabFocus(target.get()), StatusCode::kSuccess);
    constexpr std::uint16_t KEY_Q = 12;
    input->key(KEY_Q, true, 0);
    input->key(KEY_Q, false, 0);
    ASSERT_TRUE(waitFor([&] { return textOf(target) == "q"; })) << textOf(target);

    // Another client makes the key that typed "q" type "w".
    auto other = X11Connection::open();
    ASSERT_TRUE(other);
    const ::KeyCode keycode = XKeysymToKeycode(other->display(), XK_q);
    int perKeycode = 0;
    XData<KeySym> saved(XGetKeyboardMapping(other->display(), keycode, 1, &perKeycode));
    ASSERT_TRUE(saved && perKeycode > 0);
    std::vector<KeySym> w(static_cast<std::size_t>(perKeycode), XK_w);
    XChangeKeyboardMapping(other->display(), keycode, perKeycode, w.data(), 1);
    other->sync();
    struct Restore {
        X11Connection& connection;
        ::KeyCode keycode;
        int perKeycode;
        KeySym* syms;
        ~Restore() {
            XChangeKeyboardMapping(connection.display(), keycode, perKeycode, syms, 1);
            connection.sync();
        }
    } restore{*other, keycode, perKeycode, saved.get()};

    input->key(KEY_Q, true, 0);
    input->key(KEY_Q, false, 0);
    EXPECT_TRUE(waitFor([&] { return textOf(target) == "qq"; })) << textOf(target);
}

// The keymap changes a watcher has been told of since it last asked. The
// server may say one change twice (for the master and the slave keyboard),
// and says the whole keymap when input switches to XTest's own keyboard: a
// change is a run of notifications of the same partial range.
int keymapChanges(X11Connection& watcher) {
    watcher.sync();
    int minKeycode = 0, maxKeycode = 0;
    XDisplayKeycodes(watcher.display(), &minKeycode, &maxKeycode);
    int changes = 0;
    std::pair<int, int> last{-1, -1};
    for (XEvent event; XPending(watcher.display()) > 0;) {
        XNextEvent(watcher.display(), &event);
        if (event.type != MappingNotify || event.xmapping.request != MappingKeyboard) continue;
        const std::pair range{event.xmapping.first_keycode, event.xmapping.count};
        if (range.second == maxKeycode - minKeycode + 1) continue;
        if (range != last) ++changes;
        last = range;
    }
    return changes;
}

TEST_F(DesktopTest, InputReleasesItsKeysAndSparesWhenItGoes) {
    auto target = element("Typing Target");
    activateFixture();
    ASSERT_EQ(reader().setText(target.get(), ""), StatusCode::kSuccess);
    ASSERT_EQ(reader().grabFocus(target.get()), StatusCode::kSuccess);
    const int emptyBefore = emptyKeycodes(x().display());
    ASSERT_EQ(keysDown(x().display()), 0);
    // Every keymap change makes each client on the display reload its keymap
    // (a window manager regrabs all its key bindings): the three characters
    // are bound in one change and unbound in another. A watcher without XKB
    // gets a core notification for each.
    XkbIgnoreExtension(True);
    auto watcher = X11Connection::open();
    XkbIgnoreExtension(False);
    ASSERT_TRUE(watcher);
    watcher->sync();
    {
        auto input = XTestInput::create(x());
        ASSERT_TRUE(input);
        constexpr std::uint16_t KEY_SHIFT = 56, KEY_A = 0;
        EXPECT_TRUE(input->typeText("漢字✓"));
        input->key(KEY_SHIFT, true, ModifierMask::kShift);
        input->key(KEY_A, true, 0);
        input->sync();
        EXPECT_LT(emptyKeycodes(x().display()), emptyBefore);
        EXPECT_EQ(keysDown(x().display()), 2);
        EXPECT_EQ(keymapChanges(*watcher), 1) << "binding the text's characters";
    }
    x().sync();
    EXPECT_EQ(keysDown(x().display()), 0) << "keys left held down";
    EXPECT_EQ(emptyKeycodes(x().display()), emptyBefore) << "spare keycodes left bound";
    EXPECT_EQ(keymapChanges(*watcher), 1) << "unbinding them";
    EXPECT_TRUE(waitFor([&] { return textOf(target) == "漢字✓A"; })) << textOf(target);
}

TEST_F(DesktopTest, ModifierHeldByAnotherClientIsLiftedButNotPressedAgain) {
    auto other = X11Connection::open();
    ASSERT_TRUE(other);
    const ::KeyCode control = XKeysymToKeycode(other->display(), XK_Control_L);
    auto target = element("Typing Target");
    activateFixture();
    ASSERT_EQ(reader().setText(target.get(), ""), StatusCode::kSuccess);
    ASSERT_EQ(reader().grabFocus(target.get()), StatusCode::kSuccess);
    XTestFakeKeyEvent(other->display(), control, True, CurrentTime);
    other->sync();
    struct Release {
        X11Connection& connection;
        ::KeyCode keycode;
        ~Release() {
            XTestFakeKeyEvent(connection.display(), keycode, False, CurrentTime);
            connection.sync();
        }
    } release{*other, control};

    auto input = XTestInput::create(x());
    ASSERT_TRUE(input);
    constexpr std::uint16_t KEY_H = 4, KEY_X = 7;
    input->key(KEY_H, true, ModifierMask::kShift);
    input->key(KEY_H, false, ModifierMask::kShift);
    // Control stays up: pressing it again from here would leave it stuck once
    // its owner lets go.
    input->key(KEY_X, true, 0);
    input->key(KEY_X, false, 0);
    input->sync();
    EXPECT_TRUE(waitFor([&] { return textOf(target) == "Hx"; })) << textOf(target);
    char keys[32] = {};
    XQueryKeymap(x().display(), keys);
    EXPECT_FALSE((keys[control / 8] >> (control % 8)) & 1);
}

TEST_F(DesktopTest, WindowListReportsTheFixtureWithItsOuterFrame) {
    auto window = fixtureWindow();
    ASSERT_TRUE(window);
    EXPECT_EQ(window->layer, 0);
    EXPECT_TRUE(window->onScreen);
    EXPECT_EQ(window->className.value_or(""), "Kest-fixture");
    // GTK reports its frame's extents as the outer frame, decorations included.
    auto frame = reader().extents(gDesktop->frame.get());
    ASSERT_TRUE(frame);
    EXPECT_EQ((Rect{static_cast<double>(window->bounds.x), static_cast<double>(window->bounds.y),
                    static_cast<double>(window->bounds.width), static_cast<double>(window->bounds.height)}),
              *frame);
    EXPECT_GT(window->bounds.height, 760) << "the title bar belongs to the outer frame";
}

TEST_F(DesktopTest, WindowManagerRequestsMoveIconifyAndRestore) {
    EwmhWindows windows(x());
    auto window = fixtureWindow();
    ASSERT_TRUE(window);
    const RootRect original = window->bounds;

    const RootRect moved{100, 80, 820, 790};
    ASSERT_TRUE(windows.moveResize(window->id, moved));
    EXPECT_TRUE(waitFor([&] { return fixtureWindow() && fixtureWindow()->bounds == moved; }))
        << fixtureWindow()->bounds.x << "," << fixtureWindow()->bounds.y << " " << fixtureWindow()->bounds.width
        << "x" << fixtureWindow()->bounds.height;

    ASSERT_TRUE(windows.iconify(window->id));
    EXPECT_TRUE(waitFor([&] { return fixtureWindow() && !fixtureWindow()->onScreen; }));
    EXPECT_TRUE(windows.states(window->id).hidden);
    ASSERT_TRUE(windows.activate(window->id));
    EXPECT_TRUE(waitFor([&] { return fixtureWindow() && fixtureWindow()->onScreen; }));

    ASSERT_TRUE(windows.changeState(window->id, StateChange::add, "FULLSCREEN"));
    EXPECT_TRUE(waitFor([&] { return windows.states(window->id).fullscreen; }));
    EXPECT_TRUE(waitFor([&] { return fixtureWindow()->bounds == (RootRect{0, 0, 1920, 1080}); }));
    ASSERT_TRUE(windows.changeState(window->id, StateChange::remove, "FULLSCREEN"));
    EXPECT_TRUE(waitFor([&] { return !windows.states(window->id).fullscreen; }));
    // Leaving full screen brings back the frame it had before.
    EXPECT_TRUE(waitFor([&] { return fixtureWindow()->bounds == moved; }));

    windows.moveResize(window->id, original);
    EXPECT_TRUE(waitFor([&] { return fixtureWindow()->bounds == original; }))
        << fixtureWindow()->bounds.x << "," << fixtureWindow()->bounds.y << " " << fixtureWindow()->bounds.width
        << "x" << fixtureWindow()->bounds.height;
}

TEST_F(DesktopTest, ScreensUseTheBottomLeftOrigin) {
    XRandrMonitors monitors(x());
    auto main = monitors.mainScreen();
    ASSERT_TRUE(main);
    EXPECT_EQ(main->frame, (Rect{0, 0, 1920, 1080}));
    EXPECT_EQ(main->scaleFactor, 1.0);
    // The visible frame lies within the frame.
    EXPECT_GE(main->visibleFrame.x, 0);
    EXPECT_GE(main->visibleFrame.y, 0);
    EXPECT_LE(main->visibleFrame.width, 1920);
    EXPECT_LE(main->visibleFrame.height, 1080);
}

TEST_F(DesktopTest, StoppedApplicationFailsWithinTheTimeoutInsteadOfHanging) {
    auto stopped = ChildProcess::spawn({fixtureApp()});
    ASSERT_TRUE(stopped);
    auto app = waitForApplication(reader(), stopped->pid());
    ASSERT_TRUE(app);
    auto frame = findByName(reader(), app.get(), "Kest Fixture", "AXWindow");
    ASSERT_TRUE(frame);

    const auto saved = reader().timeout();
    reader().setTimeout(std::chrono::milliseconds(500));
    ASSERT_EQ(kill(stopped->pid(), SIGSTOP), 0);
    // libatspi reports no error for a property read that timed out: the name
    // reads as empty, which callers take as absent.
    EXPECT_EQ(reader().name(frame.get()).value_or(""), "");
    EXPECT_FALSE(reader().childCount(frame.get()));
    EXPECT_EQ(statusOf(reader().extents(frame.get())), StatusCode::kCannotComplete);
    EXPECT_NE(reader().press(findByName(reader(), app.get(), "Press Me").get()), StatusCode::kSuccess);
    ASSERT_EQ(kill(stopped->pid(), SIGCONT), 0);
    reader().setTimeout(saved);
    EXPECT_TRUE(waitFor([&] { return reader().name(frame.get()).value_or("") == "Kest Fixture"; }));
}

TEST_F(DesktopTest, GoneApplicationReadsAsInvalid) {
    auto child = ChildProcess::spawn({fixtureApp()});
    ASSERT_TRUE(child);
    auto app = waitForApplication(reader(), child->pid());
    ASSERT_TRUE(app);
    auto button = findByName(reader(), app.get(), "Press Me");
    ASSERT_TRUE(button);
    kill(child->pid(), SIGKILL);
    ASSERT_TRUE(child->wait(std::chrono::seconds(5)));
    EXPECT_TRUE(waitFor([&] { return reader().name(button.get()).value_or("").empty(); }));
    EXPECT_FALSE(reader().extents(button.get()));
    EXPECT_NE(reader().press(button.get()), StatusCode::kSuccess);
}

TEST_F(DesktopTest, WidgetFactoryMapsToKnownRolesWithoutHanging) {
    auto factory = ChildProcess::spawn({"gtk3-widget-factory"});
    ASSERT_TRUE(factory);
    auto app = waitForApplication(reader(), factory->pid());
    ASSERT_TRUE(app);
    auto windows = reader().children(app.get());
    ASSERT_TRUE(windows && !windows->empty());
    std::set<std::string_view> roles;
    std::size_t unknown = 0;
    const auto elements = walk(reader(), windows->front());
    for (const auto& element : elements) {
        auto role = reader().axRole(element.get());
        ASSERT_TRUE(role);
        roles.insert(*role);
        if (*role == "AXUnknown") ++unknown;
    }
    EXPECT_GT(elements.size(), 100u);
    for (std::string_view expected : {"AXWindow", "AXButton", "AXCheckBox", "AXRadioButton", "AXTextField",
                                      "AXSlider", "AXIncrementor", "AXStaticText", "AXGroup"}) {
        EXPECT_TRUE(roles.contains(expected)) << expected;
    }
    EXPECT_LT(unknown, elements.size() / 4) << "most elements map to a known role";
}

}  // namespace
}  // namespace kest::e2e
