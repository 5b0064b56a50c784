// Tests of the Linux layer's pure translations, no display needed: UTF-8
// decoding, code points and virtual keys to keysyms, modifier masks, the AX
// role table, screen coordinate conversion and libatspi error statuses.
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

TEST(Keysyms, ModifierMasksBecomeHeldKeys) {
    using namespace ModifierMask;
    EXPECT_EQ(modifierKeysyms(0), std::vector<KeySym>{});
    EXPECT_EQ(modifierKeysyms(kShift), std::vector<KeySym>{XK_Shift_L});
    EXPECT_EQ(modifierKeysyms(kCommand), std::vector<KeySym>{XK_Control_L});
    EXPECT_EQ(modifierKeysyms(kCommand | kControl), std::vector<KeySym>{XK_Control_L});
    EXPECT_EQ(modifierKeysyms(kShift | kOption | kCommand), (std::vector<KeySym>{XK_Shift_L, XK_Control_L, XK_Alt_L}));
    EXPECT_EQ(modifierKeysyms(kFunction), std::vector<KeySym>{});
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
        {{.role = ATSPI_ROLE_FILE_CHOOSER, .topLevel = true}, "AXDialog"},
        {{.role = ATSPI_ROLE_FILE_CHOOSER}, "AXGroup"},
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
    EXPECT_EQ(toBottomLeft({0, 0, 1920, 1080}, 1080), (Rect{0, 0, 1920, 1080}));
    EXPECT_EQ(toBottomLeft({0, 30, 1920, 1050}, 1080), (Rect{0, 0, 1920, 1050}));
    EXPECT_EQ(toBottomLeft({1920, 0, 1280, 720}, 1080), (Rect{1920, 360, 1280, 720}));
    EXPECT_EQ(intersect({0, 30, 3200, 1050}, {1920, 0, 1280, 720}), (RootRect{1920, 30, 1280, 690}));
    EXPECT_FALSE(intersect({0, 0, 100, 100}, {100, 0, 50, 50}));
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
