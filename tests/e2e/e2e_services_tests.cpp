// End-to-end tests of the Linux platform services as the engine's logic sees
// them: AX attributes, writes and actions over AT-SPI2, engine events over
// XTest (posted as the logic posts them), and window-list records, against
// kest-fixture and mousepad.
#include <gtest/gtest.h>
#include <unistd.h>

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
using platform::linux_desktop::X11Connection;
using platform::linux_desktop::XTestEvents;

// Virtual keys the tests press by name.
inline constexpr KeyCode KEY_A = 0, KEY_K = 40, KEY_Q = 12, KEY_T = 17, KEY_X = 7, KEY_Y = 16, KEY_Z = 6, KEY_1 = 18,
                         KEY_2 = 19, KEY_3 = 20, KEY_RETURN = 36, KEY_UP = 126, KEY_COMMAND = 55, KEY_SHIFT = 56,
                         KEY_OPTION = 58, KEY_CONTROL = 59, KEY_FUNCTION = 63;

// The characters the logic types as keys of a US keyboard's table, and the
// key under each: "a" is key 0; "A" is key 0 with shift, "!" is key "1" with
// shift. Everything else goes as text.
constexpr std::string_view KEYS_PLAIN = "asdfhgzxcv bqweryt123465=97-80]ou[ip lj'k;\\,/nm.  `";
constexpr std::string_view KEYS_SHIFTED = "ASDFHGZXCV BQWERYT!@#$^%+(&_*)}OU{IP LJ\"K:|<?NM>  ~";

struct TypedKey {
    KeyCode code;
    bool shift;
};
std::optional<TypedKey> keyFor(char c) {
    if (c == ' ') return std::nullopt;
    if (auto at = KEYS_PLAIN.find(c); at != std::string_view::npos) return TypedKey{static_cast<KeyCode>(at), false};
    if (auto at = KEYS_SHIFTED.find(c); at != std::string_view::npos) return TypedKey{static_cast<KeyCode>(at), true};
    return std::nullopt;
}

// Splits a text into the characters a reader perceives, as far as these tests
// need: a base with its combining marks, skin-tone modifiers and variation
// selectors, a pair of regional indicators (a flag), and a carriage return
// with its line feed.
std::vector<std::string> characters(std::string_view utf8) {
    std::vector<std::pair<char32_t, std::string>> points;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t point = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) point = (point << 6) | (utf8[i + k] & 0x3F);
        points.emplace_back(point, std::string(utf8.substr(i, length)));
        i += length;
    }
    auto joins = [](char32_t point) {
        return (point >= 0x300 && point <= 0x36F) || (point >= 0x1F3FB && point <= 0x1F3FF) || point == 0xFE0F;
    };
    auto regional = [](char32_t point) { return point >= 0x1F1E6 && point <= 0x1F1FF; };
    std::vector<std::string> result;
    for (std::size_t i = 0; i < points.size(); ++i) {
        std::string character = points[i].second;
        if (points[i].first == U'\r' && i + 1 < points.size() && points[i + 1].first == U'\n') {
            character += points[++i].second;
        } else if (regional(points[i].first) && i + 1 < points.size() && regional(points[i + 1].first)) {
            character += points[++i].second;
        }
        while (i + 1 < points.size() && joins(points[i + 1].first)) character += points[++i].second;
        result.push_back(std::move(character));
    }
    return result;
}

// One step of what the logic posts.
struct Step {
    enum Kind { tap, down, up, text } kind;
    KeyCode code = 0;
    EventFlags mask = 0;
    std::string typed;  // for text: typed character by character
};
Step tap(KeyCode code, EventFlags mask = 0) { return {Step::tap, code, mask, {}}; }
Step keyDown(KeyCode code, EventFlags mask) { return {Step::down, code, mask, {}}; }
Step keyUp(KeyCode code, EventFlags mask) { return {Step::up, code, mask, {}}; }
Step typed(std::string text) { return {Step::text, 0, 0, std::move(text)}; }

KeyEvent keyEvent(Events& events, KeyCode code, bool down, EventFlags mask, const std::string& text = {}) {
    auto event = events.createKeyEvent(code, down);
    EXPECT_TRUE(event);
    if (!event) return {};
    event->flags = mask;
    event->text = text;
    return *event;
}

void postKey(Events& events, KeyCode code, bool down, EventFlags mask) {
    events.post(keyEvent(events, code, down, mask));
}

// Posts a text the way the logic types one, in one delivery: each character
// from the key table as its key (with shift for the shifted ones), every other
// one as a key event carrying the character.
void postText(Events& events, std::string_view text) {
    std::vector<Event> typed;
    for (const auto& character : characters(text)) {
        auto key = character.size() == 1 ? keyFor(character[0]) : std::nullopt;
        const EventFlags mask = key && key->shift ? EventFlag::kShift : 0;
        const KeyCode code = key ? key->code : 0;
        const std::string carried = key ? std::string() : character;
        typed.emplace_back(keyEvent(events, code, true, mask, carried));
        typed.emplace_back(keyEvent(events, code, false, mask, carried));
    }
    events.postAll(typed);
}

void post(Events& events, const std::vector<Step>& steps) {
    for (const auto& step : steps) {
        switch (step.kind) {
            case Step::tap:
                postKey(events, step.code, true, step.mask);
                postKey(events, step.code, false, step.mask);
                break;
            case Step::down:
            case Step::up:
                postKey(events, step.code, step.kind == Step::down, step.mask);
                break;
            case Step::text:
                postText(events, step.typed);
                break;
        }
    }
}

// The modifier keys the server has down, by keysym name; empty when none.
std::string modifierKeysDown() {
    auto x = X11Connection::open();
    if (!x) return "<no X server>";
    XSync(x->display(), False);
    char keys[32] = {};
    XQueryKeymap(x->display(), keys);
    std::string down;
    for (int keycode = 8; keycode < 256; ++keycode) {
        if (!((keys[keycode / 8] >> (keycode % 8)) & 1)) continue;
        int count = 0;
        KeySym* syms = XGetKeyboardMapping(x->display(), static_cast<::KeyCode>(keycode), 1, &count);
        if (syms && count > 0 && IsModifierKey(syms[0])) down += std::string(XKeysymToString(syms[0])) + " ";
        if (syms) XFree(syms);
    }
    return down;
}

// `count` distinct CJK characters (more than the server has spare keycodes),
// emoji with and without modifiers, flags, combining sequences and Latin
// letters with marks.
std::string manyDistinctCharacters(int count = 60) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        const char32_t point = 0x4E00 + i * 37;
        text += static_cast<char>(0xE0 | (point >> 12));
        text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (point & 0x3F));
        if (i % 10 == 9) text += " ";
    }
    return text + "🙂🚀👍🏽 🇩🇪🇯🇵 e\u0301a\u0308 Grüße ñ ß ø € → ж";
}

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
        auto spawned = ChildProcess::spawn({fixtureApp()});
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
    Element findTitlePrefix(const Element& root, std::string_view prefix, int depth = 0) {
        if (depth > 30) return {};
        for (const auto& child : children(root)) {
            if (text(child, AXAttribute::kTitle).starts_with(prefix)) return child;
            if (auto below = findTitlePrefix(child, prefix, depth + 1)) return below;
        }
        return {};
    }
    // Depth-first by AXRole.
    Element findRole(const Element& root, std::string_view role, int depth = 0) {
        if (depth > 30) return {};
        for (const auto& child : children(root)) {
            if (text(child, AXAttribute::kRole) == role) return child;
            if (auto below = findRole(child, role, depth + 1)) return below;
        }
        return {};
    }
    bool appears(const std::string& title) {
        return waitFor([&] { return find(gServices->window, title) != nullptr; });
    }
    // Raises the element's window and gives the element the keyboard focus.
    // A window that has just appeared may not be matched to its X window yet
    // (the window manager lists it once it manages it).
    void focus(const Element& window, const Element& element) {
        ASSERT_TRUE(waitFor([&] { return ax().performAction(window, AXAction::kRaise) == StatusCode::kSuccess; }));
        ASSERT_EQ(ax().setAttribute(element, AXAttribute::kFocused, Value::boolean(true)), StatusCode::kSuccess);
        ASSERT_TRUE(waitFor([&] { return ax().attribute(element, AXAttribute::kFocused)->asBool() == true; }));
    }
    // Empties the Key Sink and gives it the focus.
    Element freshKeySink() {
        EXPECT_EQ(ax().performAction(find("Clear Keys"), AXAction::kPress), StatusCode::kSuccess);
        auto sink = find("Key Sink");
        EXPECT_TRUE(waitFor([&] { return text(sink, AXAttribute::kValue).empty(); }));
        focus(gServices->window, sink);
        return sink;
    }
    void postMouse(MouseEventType type, Point at, MouseButton button, EventFlags mask) {
        auto event = gServices->events.createMouseEvent(type, at, button);
        ASSERT_TRUE(event);
        event->flags = mask;
        gServices->events.post(*event);
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

TEST_F(ServicesTest, KeysCarryExactlyTheModifiersOfTheirMask) {
    using namespace EventFlag;
    struct Row {
        const char* what;
        std::vector<Step> steps;
        std::string expected;
    };
    const Row rows[] = {
        {"ctrl held: H still types, ctrl is held again after it",
         {keyDown(KEY_CONTROL, kControl), typed("H"), tap(KEY_X), keyUp(KEY_CONTROL, kControl), tap(KEY_X)},
         "H<ctrl+x>x"},
        {"shift held: plain keys come out shifted, shift goes with its key up",
         {keyDown(KEY_SHIFT, kShift), typed("abc"), keyUp(KEY_SHIFT, kShift), typed("d")},
         "ABCd"},
        {"shift held: a shifted digit is not shifted twice",
         {keyDown(KEY_SHIFT, kShift), tap(KEY_1, kShift), tap(KEY_2), keyUp(KEY_SHIFT, kShift), tap(KEY_3)},
         "!@3"},
        {"alt held: text still arrives as text",
         {keyDown(KEY_OPTION, kOption), typed("é"), tap(KEY_Y), keyUp(KEY_OPTION, kOption), tap(KEY_Q)},
         "é<alt+y>q"},
        {"shift held: text arrives without it",
         {keyDown(KEY_SHIFT, kShift), typed("\t"), tap(KEY_A), keyUp(KEY_SHIFT, kShift), tap(KEY_A)},
         "\tAa"},
        {"combinations",
         {tap(KEY_T, kCommand | kShift), tap(KEY_2, kCommand | kShift), tap(KEY_X, kOption), tap(KEY_UP, kFunction),
          tap(KEY_RETURN, kShift)},
         "<ctrl+shift+T><ctrl+shift+at><alt+x><Up>\n"},
        {"cmd alone, cmd+shift and fn leave nothing held",
         {tap(KEY_COMMAND), tap(KEY_SHIFT, kCommand), tap(KEY_FUNCTION), tap(KEY_K)},
         "k"},
        {"cmd+a selects all", {typed("abc"), tap(KEY_A, kCommand), typed("Z")}, "Z"},
        {"cmd+a while ctrl is held",
         {typed("abc"), keyDown(KEY_CONTROL, kControl), tap(KEY_A, kCommand), typed("H"), keyUp(KEY_CONTROL, kControl)},
         "H"},
        {"modifiers pressed one after another stay held together",
         {keyDown(KEY_CONTROL, kControl), keyDown(KEY_SHIFT, kShift), tap(KEY_Z), keyUp(KEY_SHIFT, kShift), tap(KEY_Z),
          keyUp(KEY_CONTROL, kControl), tap(KEY_Z)},
         "<ctrl+shift+Z><ctrl+z>z"},
    };
    for (const auto& row : rows) {
        auto sink = freshKeySink();
        post(gServices->events, row.steps);
        EXPECT_TRUE(waitFor([&] { return text(sink, AXAttribute::kValue) == row.expected; }))
            << row.what << "\nread: " << text(sink, AXAttribute::kValue);
        EXPECT_EQ(modifierKeysDown(), "") << row.what;
    }
}

TEST_F(ServicesTest, KeySinkTakesKeysButNoWrites) {
    auto sink = freshKeySink();
    EXPECT_EQ(text(sink, AXAttribute::kRole), "AXStaticText");
    EXPECT_NE(ax().setAttribute(sink, AXAttribute::kValue, Value::string("written")), StatusCode::kSuccess);
    EXPECT_EQ(text(sink, AXAttribute::kValue), "");
}

TEST_F(ServicesTest, ClicksCarryExactlyTheModifiersOfTheirMask) {
    using namespace EventFlag;
    // No row clicks with Alt: the window manager takes Alt with any button
    // (move, resize), so such clicks never reach an application.
    auto target = find("Click Target");
    ASSERT_TRUE(target);
    ASSERT_EQ(ax().performAction(gServices->window, AXAction::kRaise), StatusCode::kSuccess);
    auto position = ax().attribute(target, AXAttribute::kPosition);
    auto size = ax().attribute(target, AXAttribute::kSize);
    ASSERT_TRUE(position && position->asPoint() && size && size->asSize());
    const Point center{position->asPoint()->x + size->asSize()->width / 2,
                       position->asPoint()->y + size->asSize()->height / 2};
    struct Row {
        const char* what;
        MouseEventType down, up;
        MouseButton button;
        EventFlags mask;
        bool ctrlHeld;  // the caller holds ctrl through a key down around the click
        const char* pressedButton;
        const char* modifiers;
    };
    const Row rows[] = {
        {"cmd+shift left click", MouseEventType::leftDown, MouseEventType::leftUp, MouseButton::left,
         kCommand | kShift, false, "1", "ctrl+shift"},
        {"cmd right click", MouseEventType::rightDown, MouseEventType::rightUp, MouseButton::right, kCommand, false,
         "3", "ctrl"},
        {"plain middle click", MouseEventType::otherDown, MouseEventType::otherUp, MouseButton::center, 0, false,
         "2", "none"},
        {"shift middle click", MouseEventType::otherDown, MouseEventType::otherUp, MouseButton::center, kShift,
         false, "2", "shift"},
        {"shift click while ctrl is held", MouseEventType::leftDown, MouseEventType::leftUp, MouseButton::left,
         kShift, true, "1", "shift"},
        {"plain click while ctrl is held", MouseEventType::leftDown, MouseEventType::leftUp, MouseButton::left, 0,
         true, "1", "ctrl"},
        {"ctrl click", MouseEventType::leftDown, MouseEventType::leftUp, MouseButton::left, kControl, false, "1",
         "ctrl"},
    };
    const std::string counted = text(findTitlePrefix(gServices->window, "Presses: "), AXAttribute::kTitle);
    ASSERT_NE(counted, "<absent>");
    int presses = std::stoi(counted.substr(std::string_view("Presses: ").size()));
    for (const auto& row : rows) {
        if (row.ctrlHeld) postKey(gServices->events, KEY_CONTROL, true, kControl);
        postMouse(row.down, center, row.button, row.mask);
        postMouse(row.up, center, row.button, row.mask);
        if (row.ctrlHeld) postKey(gServices->events, KEY_CONTROL, false, kControl);
        ++presses;
        ASSERT_TRUE(appears("Presses: " + std::to_string(presses))) << row.what;
        EXPECT_TRUE(find(gServices->window, std::string("Click Button: ") + row.pressedButton)) << row.what;
        EXPECT_TRUE(find(gServices->window, std::string("Click Modifiers: ") + row.modifiers)) << row.what;
        EXPECT_EQ(modifierKeysDown(), "") << row.what;
    }
}

TEST_F(ServicesTest, DragMovesASlider) {
    auto slider = find("Volume");
    ASSERT_TRUE(slider);
    ASSERT_EQ(ax().performAction(gServices->window, AXAction::kRaise), StatusCode::kSuccess);
    auto position = ax().attribute(slider, AXAttribute::kPosition);
    auto size = ax().attribute(slider, AXAttribute::kSize);
    ASSERT_TRUE(position && position->asPoint() && size && size->asSize());
    // A scale draws its value above the trough, and the trough's ends are
    // inset by half a slider: press well inside it.
    const Point origin = *position->asPoint();
    const Size extent = *size->asSize();
    const double y = origin.y + extent.height * 0.8;
    const double left = origin.x + extent.width * 0.1, right = origin.x + extent.width * 0.9;
    auto value = [&] { return ax().attribute(slider, AXAttribute::kValue)->asNumber().value_or(-1); };
    const double before = value();
    auto drag = [&](double from, double to) {
        postMouse(MouseEventType::moved, {from, y}, MouseButton::left, 0);
        postMouse(MouseEventType::leftDown, {from, y}, MouseButton::left, 0);
        for (int step = 1; step <= 10; ++step) {
            postMouse(MouseEventType::leftDragged, {from + (to - from) * step / 10, y}, MouseButton::left, 0);
        }
        postMouse(MouseEventType::leftUp, {to, y}, MouseButton::left, 0);
    };
    drag(left, right);
    double high = before;
    EXPECT_TRUE(waitFor([&] { return (high = value()) > before; })) << before << " then " << high;
    drag(right, left);
    double low = high;
    EXPECT_TRUE(waitFor([&] { return (low = value()) < high; })) << high << " then " << low;
    ax().setAttribute(slider, AXAttribute::kValue, Value::real(before));
}

// A spawned setxkbmap: the layout is the server's, shared by every client.
bool setLayout(const char* layout) {
    auto child = ChildProcess::spawn({"setxkbmap", layout});
    if (!child) return false;
    auto status = child->wait(std::chrono::seconds(10));
    return status && *status == 0;
}

TEST_F(ServicesTest, KeysTypeTheirCharactersOnAnotherLayout) {
    if (::access("/usr/bin/setxkbmap", X_OK) != 0) GTEST_SKIP() << "setxkbmap is not installed (x11-xkb-utils)";
    ASSERT_TRUE(setLayout("de"));
    struct Restore {
        ~Restore() { setLayout("us"); }
    } restore;
    // On this layout y and z trade places, "@", "[", "~" lie on the third
    // level and "^" and "`" are dead keys.
    std::string ascii;
    for (int i = 0; i < 95; ++i) ascii.push_back(static_cast<char>(' ' + (i * 37) % 95));
    auto entry = find("Typing Target");
    ASSERT_EQ(ax().setAttribute(entry, AXAttribute::kValue, Value::string("")), StatusCode::kSuccess);
    ASSERT_NO_FATAL_FAILURE(focus(gServices->window, entry));
    postText(gServices->events, ascii);
    EXPECT_TRUE(waitFor([&] { return text(entry, AXAttribute::kValue) == ascii; }))
        << "typed: " << ascii << "\nread:  " << text(entry, AXAttribute::kValue);

    using namespace EventFlag;
    auto sink = freshKeySink();
    post(gServices->events, {typed("yz"), tap(KEY_T, kCommand | kShift), tap(KEY_Y, kCommand), tap(KEY_2, kCommand | kShift)});
    const std::string expected = "yz<ctrl+shift+T><ctrl+y><ctrl+at>";
    EXPECT_TRUE(waitFor([&] { return text(sink, AXAttribute::kValue) == expected; }))
        << "read: " << text(sink, AXAttribute::kValue);
    post(gServices->events, {tap(KEY_A, kCommand), typed("Q")});
    EXPECT_TRUE(waitFor([&] { return text(sink, AXAttribute::kValue) == "Q"; }))
        << "read: " << text(sink, AXAttribute::kValue);
    EXPECT_EQ(modifierKeysDown(), "");
}

// The last two tests bind a spare keycode for each of about a hundred
// characters. Every client re-reads the keymap after each change of it (a
// window manager regrabs its key bindings), so the characters of one text are
// bound together: bound one by one, they kept the window manager busy for
// seconds after the text had arrived, and the next window went unmanaged.
TEST_F(ServicesTest, TextPostedCharacterByCharacterArrivesIntact) {
    std::string ascii;
    for (int i = 0; i < 95; ++i) ascii.push_back(static_cast<char>(' ' + (i * 37) % 95));
    struct Row {
        const char* target;
        std::string typed;
        std::string expected;
    };
    const Row rows[] = {
        {"Typing Target", ascii, ascii},
        {"Typing Target", manyDistinctCharacters(), manyDistinctCharacters()},
        {"Notes", manyDistinctCharacters(30), manyDistinctCharacters(30)},
        {"Notes", "one\ntwo\r\nthree\rfour\tfive 漢字 🙂", "one\ntwo\nthree\nfour\tfive 漢字 🙂"},
    };
    for (const auto& row : rows) {
        auto target = find(row.target);
        ASSERT_TRUE(target);
        ASSERT_EQ(ax().setAttribute(target, AXAttribute::kValue, Value::string("")), StatusCode::kSuccess);
        ASSERT_NO_FATAL_FAILURE(focus(gServices->window, target));
        postText(gServices->events, row.typed);
        EXPECT_TRUE(waitFor([&] { return text(target, AXAttribute::kValue) == row.expected; }))
            << row.target << "\ntyped: " << row.typed << "\nread:  " << text(target, AXAttribute::kValue);
    }
    EXPECT_EQ(modifierKeysDown(), "");
}

TEST_F(ServicesTest, MousepadTakesTextLineBreaksAndShortcuts) {
    if (::access("/usr/bin/mousepad", X_OK) != 0) GTEST_SKIP() << "mousepad is not installed (scripts/install-deps.sh)";
    auto spawned = ChildProcess::spawn({"mousepad", "--disable-server"});
    ASSERT_TRUE(spawned);
    ChildProcess mousepad(std::move(*spawned));
    ASSERT_TRUE(waitForApplication(*gServices->reader, mousepad.pid()));
    const Element app = ax().applicationElement(mousepad.pid());
    Element window, view;
    ASSERT_TRUE(waitFor([&] {
        auto windows = ax().attribute(app, AXAttribute::kWindows);
        if (!windows || !windows->asElements() || windows->asElements()->empty()) return false;
        window = windows->asElements()->front();
        view = findRole(window, "AXTextArea");
        return view != nullptr;
    }));
    ASSERT_NO_FATAL_FAILURE(focus(window, view));

    using namespace EventFlag;
    const std::string first = "Hello " + manyDistinctCharacters(30) + "\nsecond line\r\nthird\rfourth";
    postText(gServices->events, first);
    const std::string expected = "Hello " + manyDistinctCharacters(30) + "\nsecond line\nthird\nfourth";
    EXPECT_TRUE(waitFor([&] { return text(view, AXAttribute::kValue) == expected; }))
        << "read: " << text(view, AXAttribute::kValue);

    post(gServices->events, {tap(KEY_A, kCommand), typed("Replaced"), keyDown(KEY_CONTROL, kControl), typed("X!"),
                             keyUp(KEY_CONTROL, kControl)});
    EXPECT_TRUE(waitFor([&] { return text(view, AXAttribute::kValue) == "ReplacedX!"; }))
        << "read: " << text(view, AXAttribute::kValue);
    EXPECT_EQ(modifierKeysDown(), "");
}

}  // namespace
}  // namespace kest::e2e
