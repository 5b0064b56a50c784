// Tests of the Linux layer's pure translations, no display needed: UTF-8
// decoding, code points, texts and virtual keys to keysyms, the US characters
// of printable keys, modifier requests and plans, pixel scrolling, the AX role
// table, screen coordinate conversion and libatspi error statuses.
#include <gtest/gtest.h>

#include "platform/linux/atspi_reader.hpp"
#include "platform/linux/atspi_roles.hpp"
#include "platform/linux/xrandr_monitors.hpp"
#include "platform/linux/xtest_input.hpp"

namespace kest::platform::linux_desktop {
namespace {

TEST(Utf8Decoding, DecodesEveryLengthAndReplacesBrokenBytes) {
    struct Row {
        std::string input;
        std::vector<char32_t> expected;
    };
    const Row rows[] = {
        {"aZ~", {U'a', U'Z', U'~'}},
        {"\xC3\x89\xC3\xBC", {0xC9, 0xFC}},                            // Éü
        {"\xE6\xBC\xA2\xE2\x9C\x93", {0x6F22, 0x2713}},                // 漢✓
        {"\xF0\x9F\x99\x82", {0x1F642}},                               // 🙂
        {"\xC3", {0xFFFD}},                                            // cut short
        {"\xC3\x28", {0xFFFD, U'('}},                                  // bad continuation
        {"\xC0\xAF", {0xFFFD, 0xFFFD}},                                // overlong
        {"\xED\xA0\x80", {0xFFFD, 0xFFFD, 0xFFFD}},                    // surrogate
        {"\xF4\x90\x80\x80", {0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}},        // past U+10FFFF
        {"", {}},
    };
    for (const auto& row : rows) EXPECT_EQ(decodeUtf8(row.input), row.expected) << row.input;
}

TEST(Keysyms, CodePointsTypeThroughLatin1OrTheUnicodeRange) {
    const std::pair<char32_t, KeySym> rows[] = {
        {U'a', XK_a},          {U'~', XK_asciitilde}, {U' ', XK_space},     {0xE9, XK_eacute},
        {0xFF, XK_ydiaeresis}, {U'\n', XK_Return},    {U'\t', XK_Tab},      {0x20AC, 0x010020AC},
        {0x1F642, 0x0101F642}, {0x7F, 0x0100007F},
    };
    for (const auto& [codePoint, keysym] : rows) {
        EXPECT_EQ(keysymForCodePoint(codePoint), keysym) << static_cast<std::uint32_t>(codePoint);
    }
}

TEST(Keysyms, VirtualKeyTableCoversLettersDigitsAndNamedKeys) {
    const std::pair<std::uint16_t, KeySym> rows[] = {
        {0, XK_a},       {11, XK_b},     {6, XK_z},        {29, XK_0},      {25, XK_9},
        {36, XK_Return}, {48, XK_Tab},   {49, XK_space},   {51, XK_BackSpace}, {117, XK_Delete},
        {53, XK_Escape}, {126, XK_Up},   {125, XK_Down},   {123, XK_Left},  {124, XK_Right},
        {122, XK_F1},    {111, XK_F12},  {116, XK_Prior},  {121, XK_Next},  {50, XK_grave},
        {42, XK_backslash}, {55, XK_Control_L}, {59, XK_Control_L}, {58, XK_Alt_L}, {56, XK_Shift_L},
    };
    for (const auto& [code, keysym] : rows) EXPECT_EQ(keysymForVirtualKey(code), keysym) << code;
    EXPECT_FALSE(keysymForVirtualKey(63)) << "the function key has no X counterpart";
    EXPECT_FALSE(keysymForVirtualKey(200));
}

TEST(Keysyms, TextKeysymsTypeLineBreaksAsOneReturnEach) {
    struct Row {
        std::string text;
        std::vector<KeySym> expected;
    };
    const Row rows[] = {
        {"a\r\nb", {XK_a, XK_Return, XK_b}},
        {"\r\r\n", {XK_Return, XK_Return}},
        {"\n\r", {XK_Return, XK_Return}},
        {"x\ty", {XK_x, XK_Tab, XK_y}},
        {"e\xCC\x81", {XK_e, 0x01000301}},                   // e + combining acute
        {"\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", {0x0101F1E9, 0x0101F1EA}},  // a flag: two regional indicators
        {"", {}},
    };
    for (const auto& row : rows) EXPECT_EQ(keysymsForText(row.text), row.expected) << row.text;
}

TEST(Keysyms, PrintableKeysTypeTheirUsCharacters) {
    struct Row {
        std::uint16_t code;
        char32_t plain;
        char32_t shifted;
    };
    const Row rows[] = {
        {0, U'a', U'A'},   {6, U'z', U'Z'},   {4, U'h', U'H'},    {29, U'0', U')'},  {18, U'1', U'!'},
        {19, U'2', U'@'},  {20, U'3', U'#'},  {21, U'4', U'$'},   {23, U'5', U'%'},  {22, U'6', U'^'},
        {26, U'7', U'&'},  {28, U'8', U'*'},  {25, U'9', U'('},   {27, U'-', U'_'},  {24, U'=', U'+'},
        {33, U'[', U'{'},  {30, U']', U'}'},  {42, U'\\', U'|'}, {41, U';', U':'},  {39, U'\'', U'"'},
        {43, U',', U'<'},  {47, U'.', U'>'},  {44, U'/', U'?'},   {50, U'`', U'~'},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(usCharacterForVirtualKey(row.code, false), row.plain) << row.code;
        EXPECT_EQ(usCharacterForVirtualKey(row.code, true), row.shifted) << row.code;
    }
    for (std::uint16_t code : {36, 48, 49, 51, 56, 55, 58, 59, 63, 126, 122}) {
        EXPECT_FALSE(usCharacterForVirtualKey(code, true)) << code << " types no character of its own";
    }
}

TEST(Modifiers, MasksBecomeXModifierBits) {
    using namespace ModifierMask;
    const std::pair<std::uint64_t, unsigned int> rows[] = {
        {0, 0u},
        {kShift, ShiftMask},
        {kControl, ControlMask},
        {kCommand, ControlMask},
        {kCommand | kControl, ControlMask},
        {kOption, Mod1Mask},
        {kFunction, 0u},
        {kShift | kOption | kCommand | kFunction, ShiftMask | ControlMask | Mod1Mask},
    };
    for (const auto& [mask, bits] : rows) EXPECT_EQ(xModifierBits(mask, Mod1Mask), bits) << std::hex << mask;
    EXPECT_EQ(xModifierBits(kOption, Mod5Mask), Mod5Mask) << "Alt may sit on another modifier";
}

TEST(Modifiers, KeysAskForTheirMaskWithTheShiftTheirLayoutLevelNeeds) {
    using namespace ModifierMask;
    constexpr std::uint16_t A = 0, H = 4, T = 17, TWO = 19, RETURN = 36, UP = 126;
    constexpr std::uint16_t SHIFT = 56, COMMAND = 55, OPTION = 58, CONTROL = 59;
    struct Row {
        const char* what;
        std::uint16_t code;
        std::uint64_t mask;
        bool levelNeedsShift;
        ModifierRequest expected;
    };
    const Row rows[] = {
        {"H", H, kShift, true, {true, ShiftMask}},
        {"@ bound on a spare keycode", TWO, kShift, false, {true, 0}},
        {"a with nothing", A, 0, false, {false, 0}},
        {"a on a layout with it on the shifted level", A, 0, true, {false, ShiftMask}},
        {"cmd+a", A, kCommand, false, {true, ControlMask}},
        {"cmd+shift+t", T, kCommand | kShift, true, {true, ControlMask | ShiftMask}},
        {"alt+a", A, kOption, false, {true, Mod1Mask}},
        {"shift+Return keeps its shift", RETURN, kShift, false, {true, ShiftMask}},
        {"fn+Up", UP, kFunction, false, {true, 0}},
        {"shift key with its own mask", SHIFT, kShift, false, {false, 0}},
        {"cmd key with its own mask", COMMAND, kCommand, false, {false, 0}},
        {"alt key with its own mask", OPTION, kOption, false, {false, 0}},
        {"ctrl key with its own mask", CONTROL, kControl, false, {false, 0}},
        {"cmd+shift: shift with the command mask", SHIFT, kCommand, false, {true, ControlMask}},
        {"ctrl key with shift", CONTROL, kControl | kShift, false, {true, ShiftMask}},
        {"cmd key with control: both are Control", COMMAND, kCommand | kControl, false, {true, 0}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(modifierRequestForKey(row.code, row.mask, row.levelNeedsShift, Mod1Mask), row.expected) << row.what;
    }
}

TEST(Modifiers, PlansLiftWhatTheRequestExcludesAndPressWhatItLacks) {
    constexpr ::KeyCode SHIFT_L = 50, SHIFT_R = 62, CONTROL_L = 37, ALT_L = 64, SUPER_L = 133;
    const ModifierKeys keys{SHIFT_L, CONTROL_L, ALT_L, Mod1Mask};
    const HeldModifier shiftL{SHIFT_L, ShiftMask}, shiftR{SHIFT_R, ShiftMask}, control{CONTROL_L, ControlMask},
        alt{ALT_L, Mod1Mask}, super{SUPER_L, Mod4Mask};
    struct Row {
        const char* what;
        std::vector<HeldModifier> held;
        ModifierRequest request;
        ModifierPlan expected;
    };
    const Row rows[] = {
        {"shift from nothing", {}, {true, ShiftMask}, {{}, {SHIFT_L}}},
        {"shift while control is held", {control}, {true, ShiftMask}, {{CONTROL_L}, {SHIFT_L}}},
        {"right shift already gives shift", {shiftR}, {true, ShiftMask}, {{}, {}}},
        {"control kept, alt lifted", {control, alt}, {true, ControlMask}, {{ALT_L}, {}}},
        {"no modifier at all", {shiftL, super}, {true, 0}, {{SHIFT_L, SUPER_L}, {}}},
        {"all three, in order", {}, {true, ShiftMask | ControlMask | Mod1Mask}, {{}, {SHIFT_L, CONTROL_L, ALT_L}}},
        {"added shift keeps the rest", {control}, {false, ShiftMask}, {{}, {SHIFT_L}}},
        {"added shift already held", {shiftL}, {false, ShiftMask}, {{}, {}}},
        {"nothing asked, nothing changed", {control, alt}, {false, 0}, {{}, {}}},
    };
    for (const auto& row : rows) EXPECT_EQ(planModifiers(row.held, row.request, keys), row.expected) << row.what;
    EXPECT_EQ(planModifiers({}, {true, Mod1Mask}, ModifierKeys{SHIFT_L, CONTROL_L, 0, Mod1Mask}), ModifierPlan{})
        << "a layout without Alt presses nothing for it";
}

TEST(Scrolling, PixelsCarryBetweenTheEventsOfAGesture) {
    struct Row {
        const char* what;
        std::vector<int> pixels;  // one gesture's events
        int clicks;               // in all
    };
    std::vector<int> twentyOnes(20, 1), twentyMinusTwos(20, -2), hundredTwos(100, 2);
    const Row rows[] = {
        {"one 20-pixel event", {20}, 1},
        {"twenty 1-pixel events", twentyOnes, 1},
        {"forty pixels down in twenty steps", twentyMinusTwos, -1},
        {"two hundred pixels in steps", hundredTwos, 5},
        {"80 pixels", {80}, 2},
        {"100 pixels", {100}, 2},
        {"the remainder counts", {100, 20}, 3},
        {"a change of direction starts again", {20, -20}, 0},
        {"nothing", {0}, 0},
    };
    for (const auto& row : rows) {
        WheelCarry carry(40);
        int clicks = 0;
        for (int pixels : row.pixels) clicks += carry.clicks(pixels);
        EXPECT_EQ(clicks, row.clicks) << row.what;
    }
    WheelCarry carry(40);
    carry.clicks(20);
    carry.endGesture();
    EXPECT_EQ(carry.clicks(20), 1) << "a new gesture moves again";
}

TEST(RoleTable, ContextDecidesTextMenuComboAndChooserRoles) {
    struct Row {
        RoleContext context;
        std::string_view expected;
    };
    const Row rows[] = {
        {{.role = ATSPI_ROLE_ENTRY}, "AXTextField"},
        {{.role = ATSPI_ROLE_TEXT, .multiLine = true}, "AXTextArea"},
        {{.role = ATSPI_ROLE_PASSWORD_TEXT}, "AXTextField"},
        {{.role = ATSPI_ROLE_COMBO_BOX}, "AXPopUpButton"},
        {{.role = ATSPI_ROLE_COMBO_BOX, .hasEditableTextChild = true}, "AXComboBox"},
        {{.role = ATSPI_ROLE_MENU, .parentIsMenuBar = true}, "AXMenuBarItem"},
        {{.role = ATSPI_ROLE_MENU}, "AXMenuItem"},
        // GTK 4's pop-over below its menu item, Qt's pop-up menu.
        {{.role = ATSPI_ROLE_MENU, .parentIsMenuItem = true}, "AXMenu"},
        {{.role = ATSPI_ROLE_POPUP_MENU}, "AXMenu"},
        // Qt's and GTK 4's menu-bar items are menu items.
        {{.role = ATSPI_ROLE_MENU_ITEM, .parentIsMenuBar = true}, "AXMenuBarItem"},
        {{.role = ATSPI_ROLE_CHECK_MENU_ITEM}, "AXMenuItem"},
        {{.role = ATSPI_ROLE_FILE_CHOOSER, .topLevel = true}, "AXDialog"},
        {{.role = ATSPI_ROLE_FILE_CHOOSER}, "AXGroup"},
        // GTK 4's file chooser dialog has the generic role.
        {{.role = ATSPI_ROLE_FILLER, .topLevel = true}, "AXDialog"},
        {{.role = ATSPI_ROLE_FILLER}, "AXGroup"},
        {{.role = ATSPI_ROLE_PANEL}, "AXGroup"},
        {{.role = ATSPI_ROLE_TOGGLE_BUTTON}, "AXCheckBox"},
        {{.role = ATSPI_ROLE_SPIN_BUTTON}, "AXIncrementor"},
        {{.role = ATSPI_ROLE_ALERT}, "AXDialog"},
        {{.role = ATSPI_ROLE_TREE_ITEM}, "AXRow"},
        {{.role = ATSPI_ROLE_PAGE_TAB_LIST}, "AXTabGroup"},
        {{.role = ATSPI_ROLE_DOCUMENT_WEB}, "AXWebArea"},
        {{.role = ATSPI_ROLE_SEPARATOR}, "AXUnknown"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(axRoleFor(row.context), row.expected) << atspi_role_get_name(row.context.role);
    }
}

TEST(Screens, FramesFlipToTheBottomLeftOrigin) {
    const RootRect primary{0, 0, 1920, 1080};
    EXPECT_EQ(toBottomLeft({0, 0, 1920, 1080}, primary), (Rect{0, 0, 1920, 1080}));
    EXPECT_EQ(toBottomLeft({0, 30, 1920, 1050}, primary), (Rect{0, 0, 1920, 1050}));
    EXPECT_EQ(toBottomLeft({1920, 0, 1280, 720}, primary), (Rect{1920, 360, 1280, 720}));
    EXPECT_EQ(intersect({0, 30, 3200, 1050}, {1920, 0, 1280, 720}), (RootRect{1920, 30, 1280, 690}));
    EXPECT_FALSE(intersect({0, 0, 100, 100}, {100, 0, 50, 50}));
}

// A 1280x1024 monitor left of a 1920x1080 primary, tops aligned, and a panel
// of 30 pixels along the top of the whole root.
TEST(Screens, MonitorsLeftOfThePrimaryGetNegativeOrigins) {
    const std::vector<Monitor> monitors{{7, "left", false, {0, 0, 1280, 1024}}, {9, "main", true, {1280, 0, 1920, 1080}}};
    const auto screens = toScreens(monitors, RootRect{0, 30, 3200, 1050}, 1.5);
    ASSERT_EQ(screens.size(), 2u);
    EXPECT_EQ(screens[0], (Screen{7, {-1280, 56, 1280, 1024}, {-1280, 56, 1280, 994}, 1.5}));
    EXPECT_EQ(screens[1], (Screen{9, {0, 0, 1920, 1080}, {0, 0, 1920, 1050}, 1.5}));
    EXPECT_EQ(primaryOf(monitors).id, 9u);
    // Back to root coordinates, where windows are placed: each visible frame
    // lands on its own monitor, below the panel.
    EXPECT_EQ(toRootCoordinates(screens[0].visibleFrame, monitors[1].bounds), (Rect{0, 30, 1280, 994}));
    EXPECT_EQ(toRootCoordinates(screens[1].visibleFrame, monitors[1].bounds), (Rect{1280, 30, 1920, 1050}));
    // No primary flagged: the first monitor serves; no monitors: no screens.
    const std::vector<Monitor> unflagged{{1, "a", false, {0, 0, 800, 600}}, {2, "b", false, {800, 0, 1024, 768}}};
    EXPECT_EQ(toScreens(unflagged, std::nullopt, 1)[1].frame, (Rect{800, -168, 1024, 768}));
    EXPECT_TRUE(toScreens({}, std::nullopt, 1).empty());
}

TEST(Screens, ScaleComesFromXftDpi) {
    EXPECT_EQ(scaleFromResources(""), 1.0);
    EXPECT_EQ(scaleFromResources("Xft.antialias:\t1\nXft.dpi:\t144\n"), 1.5);
    EXPECT_EQ(scaleFromResources("Xft.dpi: 96"), 1.0);
    EXPECT_EQ(scaleFromResources("Xft.dpi:\tnonsense\n"), 1.0);
}

TEST(AtspiErrors, MessagesMapToStatuses) {
    auto status = [](const char* message) {
        GError error{g_quark_from_static_string("test"), 0, const_cast<gchar*>(message)};
        return statusFromError(&error);
    };
    EXPECT_EQ(status("Did not receive a reply. Possible causes include: the remote application did not send a reply"),
              StatusCode::kCannotComplete);
    EXPECT_EQ(status("The name :1.42 was not provided by any .service files"), StatusCode::kInvalidElement);
    EXPECT_EQ(status("Unknown object '/org/a11y/atspi/accessible/42'"), StatusCode::kInvalidElement);
    EXPECT_EQ(status("Something else"), StatusCode::kFailure);
    EXPECT_EQ(statusFromError(nullptr), StatusCode::kFailure);
}

}  // namespace
}  // namespace kest::platform::linux_desktop
