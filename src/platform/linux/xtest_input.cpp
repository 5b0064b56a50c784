// XTest input: the virtual key table, modifiers, Unicode typing through spare
// keycodes, pointer buttons and wheel scrolling.
#include "platform/linux/xtest_input.hpp"

#include <algorithm>
#include <thread>
#include <utility>

namespace kest::platform::linux_desktop {
namespace {

// The engine's virtual key codes and the keysyms that play their part here.
constexpr std::pair<std::uint16_t, KeySym> VIRTUAL_KEY_TABLE[] = {
    {0, XK_a},          {11, XK_b},         {8, XK_c},          {2, XK_d},          {14, XK_e},
    {3, XK_f},          {5, XK_g},          {4, XK_h},          {34, XK_i},         {38, XK_j},
    {40, XK_k},         {37, XK_l},         {46, XK_m},         {45, XK_n},         {31, XK_o},
    {35, XK_p},         {12, XK_q},         {15, XK_r},         {1, XK_s},          {17, XK_t},
    {32, XK_u},         {9, XK_v},          {13, XK_w},         {7, XK_x},          {16, XK_y},
    {6, XK_z},          {29, XK_0},         {18, XK_1},         {19, XK_2},         {20, XK_3},
    {21, XK_4},         {23, XK_5},         {22, XK_6},         {26, XK_7},         {28, XK_8},
    {25, XK_9},         {27, XK_minus},     {24, XK_equal},     {33, XK_bracketleft},
    {30, XK_bracketright}, {42, XK_backslash}, {41, XK_semicolon}, {39, XK_apostrophe},
    {43, XK_comma},     {47, XK_period},    {44, XK_slash},     {50, XK_grave},
    {36, XK_Return},    {48, XK_Tab},       {49, XK_space},     {51, XK_BackSpace},
    {53, XK_Escape},    {117, XK_Delete},   {115, XK_Home},     {119, XK_End},
    {116, XK_Prior},    {121, XK_Next},     {123, XK_Left},     {124, XK_Right},
    {125, XK_Down},     {126, XK_Up},       {122, XK_F1},       {120, XK_F2},
    {99, XK_F3},        {118, XK_F4},       {96, XK_F5},        {97, XK_F6},
    {98, XK_F7},        {100, XK_F8},       {101, XK_F9},       {109, XK_F10},
    {103, XK_F11},      {111, XK_F12},      {56, XK_Shift_L},   {55, XK_Control_L},
    {58, XK_Alt_L},     {59, XK_Control_L},
};

constexpr char32_t REPLACEMENT = 0xFFFD;
// How long a spare keycode typed in this very text rests before it is bound to
// another character, so that the client has handled the earlier key.
constexpr auto REBIND_GRACE = std::chrono::milliseconds(50);

}  // namespace

std::optional<KeySym> keysymForVirtualKey(std::uint16_t code) {
    for (const auto& [virtualKey, keysym] : VIRTUAL_KEY_TABLE) {
        if (virtualKey == code) return keysym;
    }
    return std::nullopt;
}

std::vector<KeySym> modifierKeysyms(std::uint64_t mask) {
    std::vector<KeySym> keysyms;
    if (mask & ModifierMask::kShift) keysyms.push_back(XK_Shift_L);
    if (mask & (ModifierMask::kControl | ModifierMask::kCommand)) keysyms.push_back(XK_Control_L);
    if (mask & ModifierMask::kOption) keysyms.push_back(XK_Alt_L);
    return keysyms;
}

KeySym keysymForCodePoint(char32_t codePoint) {
    if (codePoint == U'\n' || codePoint == U'\r') return XK_Return;
    if (codePoint == U'\t') return XK_Tab;
    if (codePoint == 0x08) return XK_BackSpace;
    if ((codePoint >= 0x20 && codePoint <= 0x7E) || (codePoint >= 0xA0 && codePoint <= 0xFF)) return codePoint;
    return 0x01000000 + codePoint;
}

std::vector<char32_t> decodeUtf8(std::string_view text) {
    std::vector<char32_t> result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        int length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > text.size()) {
            result.push_back(REPLACEMENT);
            ++i;
            continue;
        }
        char32_t codePoint = length == 1 ? lead : lead & (0x7F >> length);
        bool valid = true;
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        static constexpr char32_t MINIMUM[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!valid || codePoint < MINIMUM[length] || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            result.push_back(REPLACEMENT);
            ++i;
            continue;
        }
        result.push_back(codePoint);
        i += length;
    }
    return result;
}

std::unique_ptr<XTestInput> XTestInput::create(X11Connection& connection) {
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(connection.display(), &eventBase, &errorBase, &major, &minor)) return nullptr;
    return std::unique_ptr<XTestInput>(new XTestInput(connection));
}

XTestInput::XTestInput(X11Connection& connection) : x_(connection) {
    // XTest events must not be held back by a grab of this client's own.
    XTestGrabControl(x_.display(), True);
    loadKeymap();
}

XTestInput::~XTestInput() { restoreSpares(); }

void XTestInput::loadKeymap() {
    int minKeycode = 0, maxKeycode = 0;
    XDisplayKeycodes(x_.display(), &minKeycode, &maxKeycode);
    minKeycode_ = minKeycode;
    const int count = maxKeycode - minKeycode + 1;
    int perKeycode = 0;
    XData<KeySym> map(XGetKeyboardMapping(x_.display(), static_cast<::KeyCode>(minKeycode), count, &perKeycode));
    keysymsPerKeycode_ = perKeycode;
    keymap_.clear();
    const bool firstLoad = spares_.empty();
    if (!map) return;
    for (int i = 0; i < count; ++i) {
        const KeySym* syms = map.get() + static_cast<std::ptrdiff_t>(i) * perKeycode;
        const auto keycode = static_cast<::KeyCode>(minKeycode + i);
        bool empty = true;
        for (int level = 0; level < perKeycode; ++level) empty = empty && syms[level] == NoSymbol;
        if (empty) {
            if (firstLoad) spares_.push_back(SpareBinding{keycode, NoSymbol, 0});
            continue;
        }
        // Level 1 without shift, level 2 with it; the first keycode found wins.
        if (perKeycode > 0 && syms[0] != NoSymbol) keymap_.try_emplace(syms[0], KeyStroke{keycode, false});
        if (perKeycode > 1 && syms[1] != NoSymbol) keymap_.try_emplace(syms[1], KeyStroke{keycode, true});
    }
    // Keycodes this object bound are spares, not keymap entries.
    for (const auto& spare : spares_) {
        if (spare.keysym == NoSymbol) continue;
        auto it = keymap_.find(spare.keysym);
        if (it != keymap_.end() && it->second.keycode == spare.keycode) keymap_.erase(it);
    }
}

std::optional<XTestInput::KeyStroke> XTestInput::strokeFor(KeySym keysym) {
    if (auto it = keymap_.find(keysym); it != keymap_.end()) return it->second;
    for (auto& spare : spares_) {
        if (spare.keysym == keysym) return KeyStroke{spare.keycode, false};
    }
    return std::nullopt;
}

std::optional<::KeyCode> XTestInput::bindSpare(KeySym keysym, std::uint64_t generation) {
    if (spares_.empty() || keysymsPerKeycode_ <= 0) return std::nullopt;
    auto victim = std::ranges::min_element(spares_, {}, &SpareBinding::lastUse);
    if (victim->lastUse == generation) {
        // Every spare already types a character of this text: let the client
        // catch up before one of them changes meaning.
        x_.sync();
        std::this_thread::sleep_for(REBIND_GRACE);
    }
    // The same keysym on every level, so that held modifiers do not matter.
    std::vector<KeySym> syms(static_cast<std::size_t>(keysymsPerKeycode_), keysym);
    XChangeKeyboardMapping(x_.display(), victim->keycode, keysymsPerKeycode_, syms.data(), 1);
    victim->keysym = keysym;
    victim->lastUse = generation;
    return victim->keycode;
}

void XTestInput::restoreSpares() {
    bool changed = false;
    std::vector<KeySym> none(static_cast<std::size_t>(std::max(keysymsPerKeycode_, 1)), NoSymbol);
    for (auto& spare : spares_) {
        if (spare.keysym == NoSymbol) continue;
        XChangeKeyboardMapping(x_.display(), spare.keycode, keysymsPerKeycode_, none.data(), 1);
        spare.keysym = NoSymbol;
        changed = true;
    }
    if (changed) x_.sync();
}

void XTestInput::moveTo(int x, int y) {
    XTestFakeMotionEvent(x_.display(), -1, x, y, CurrentTime);
    x_.flush();
}

void XTestInput::button(unsigned int button, bool down) {
    XTestFakeButtonEvent(x_.display(), button, down ? True : False, CurrentTime);
    x_.flush();
}

void XTestInput::click(int x, int y, unsigned int button, int count) {
    moveTo(x, y);
    for (int i = 0; i < count; ++i) {
        this->button(button, true);
        this->button(button, false);
    }
}

void XTestInput::pressModifiers(std::uint64_t mask, bool down) {
    auto keysyms = modifierKeysyms(mask);
    if (!down) std::ranges::reverse(keysyms);
    for (KeySym keysym : keysyms) {
        if (::KeyCode keycode = XKeysymToKeycode(x_.display(), keysym)) {
            XTestFakeKeyEvent(x_.display(), keycode, down ? True : False, CurrentTime);
        }
    }
}

bool XTestInput::key(std::uint16_t virtualKey, bool down, std::uint64_t mask) {
    auto keysym = keysymForVirtualKey(virtualKey);
    if (!keysym) return false;
    auto stroke = strokeFor(*keysym);
    if (!stroke) {
        auto keycode = bindSpare(*keysym, ++generation_);
        if (!keycode) return false;
        stroke = KeyStroke{*keycode, false};
        x_.sync();
    }
    if (down) pressModifiers(mask, true);
    XTestFakeKeyEvent(x_.display(), stroke->keycode, down ? True : False, CurrentTime);
    if (!down) pressModifiers(mask, false);
    x_.flush();
    return true;
}

void XTestInput::tap(const KeyStroke& stroke) {
    const ::KeyCode shift = stroke.shift ? XKeysymToKeycode(x_.display(), XK_Shift_L) : 0;
    if (shift) XTestFakeKeyEvent(x_.display(), shift, True, CurrentTime);
    XTestFakeKeyEvent(x_.display(), stroke.keycode, True, CurrentTime);
    XTestFakeKeyEvent(x_.display(), stroke.keycode, False, CurrentTime);
    if (shift) XTestFakeKeyEvent(x_.display(), shift, False, CurrentTime);
}

bool XTestInput::typeText(std::string_view utf8) {
    const auto codePoints = decodeUtf8(utf8);
    if (codePoints.empty()) return true;
    loadKeymap();
    const std::uint64_t generation = ++generation_;

    // Bind every missing character first, in one batch of mapping changes,
    // so that the client sees one change before the keys instead of one
    // between every two of them. The server handles this connection's
    // requests in order, so the keys follow the bindings without a round trip.
    std::vector<KeyStroke> pending;
    pending.reserve(codePoints.size());
    auto typePending = [&] {
        for (const auto& stroke : pending) tap(stroke);
        pending.clear();
    };
    bool intact = true;
    for (char32_t codePoint : codePoints) {
        const KeySym keysym = keysymForCodePoint(codePoint);
        auto stroke = strokeFor(keysym);
        if (stroke) {
            for (auto& spare : spares_) {
                if (spare.keycode == stroke->keycode) spare.lastUse = generation;
            }
        } else {
            // When every spare already types a character of this text, those
            // characters go out before one of the spares changes meaning.
            const bool exhausted = std::ranges::all_of(
                spares_, [&](const SpareBinding& spare) { return spare.lastUse == generation; });
            if (exhausted) typePending();
            if (auto keycode = bindSpare(keysym, generation)) stroke = KeyStroke{*keycode, false};
        }
        if (!stroke) {
            intact = false;
            continue;
        }
        pending.push_back(*stroke);
    }
    typePending();
    x_.sync();
    return intact;
}

void XTestInput::scroll(ScrollUnits units, int vertical, int horizontal) {
    auto clicks = [&](int amount) {
        if (amount == 0) return 0;
        const int magnitude = amount < 0 ? -amount : amount;
        if (units == ScrollUnits::line) return magnitude;
        return std::max(1, magnitude / PIXELS_PER_WHEEL_CLICK);
    };
    auto press = [&](unsigned int button, int count) {
        for (int i = 0; i < count; ++i) {
            XTestFakeButtonEvent(x_.display(), button, True, CurrentTime);
            XTestFakeButtonEvent(x_.display(), button, False, CurrentTime);
        }
    };
    press(vertical > 0 ? 4 : 5, clicks(vertical));
    press(horizontal > 0 ? 6 : 7, clicks(horizontal));
    x_.flush();
}

std::optional<std::pair<int, int>> XTestInput::pointerLocation() {
    Window root = None, child = None;
    int rootX = 0, rootY = 0, winX = 0, winY = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(x_.display(), x_.root(), &root, &child, &rootX, &rootY, &winX, &winY, &mask)) {
        return std::nullopt;
    }
    return std::pair{rootX, rootY};
}

}  // namespace kest::platform::linux_desktop
