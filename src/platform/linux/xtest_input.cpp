// XTest input: the virtual key table, the US characters of printable keys,
// modifier plans, Unicode typing through spare keycodes, pointer buttons and
// wheel scrolling.
#include "platform/linux/xtest_input.hpp"

// XKBlib declares its functions with Xlib's `Status`, which x11_includes.hpp
// removes once the X headers are in.
#define Status int
#include <X11/XKBlib.h>
#undef Status

#include <poll.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

namespace kest::platform::linux_desktop {
namespace {

struct PrintableKey {
    std::uint16_t code;
    char32_t plain;
    char32_t shifted;
};

// The engine's printable keys and what they type on a US keyboard.
constexpr PrintableKey PRINTABLE_KEYS[] = {
    {0, U'a', U'A'},   {11, U'b', U'B'},  {8, U'c', U'C'},   {2, U'd', U'D'},   {14, U'e', U'E'},
    {3, U'f', U'F'},   {5, U'g', U'G'},   {4, U'h', U'H'},   {34, U'i', U'I'},  {38, U'j', U'J'},
    {40, U'k', U'K'},  {37, U'l', U'L'},  {46, U'm', U'M'},  {45, U'n', U'N'},  {31, U'o', U'O'},
    {35, U'p', U'P'},  {12, U'q', U'Q'},  {15, U'r', U'R'},  {1, U's', U'S'},   {17, U't', U'T'},
    {32, U'u', U'U'},  {9, U'v', U'V'},   {13, U'w', U'W'},  {7, U'x', U'X'},   {16, U'y', U'Y'},
    {6, U'z', U'Z'},   {29, U'0', U')'},  {18, U'1', U'!'},  {19, U'2', U'@'},  {20, U'3', U'#'},
    {21, U'4', U'$'},  {23, U'5', U'%'},  {22, U'6', U'^'},  {26, U'7', U'&'},  {28, U'8', U'*'},
    {25, U'9', U'('},  {27, U'-', U'_'},  {24, U'=', U'+'},  {33, U'[', U'{'},  {30, U']', U'}'},
    {42, U'\\', U'|'}, {41, U';', U':'},  {39, U'\'', U'"'}, {43, U',', U'<'},  {47, U'.', U'>'},
    {44, U'/', U'?'},  {50, U'`', U'~'},
};

// The other virtual keys and the keysyms that play their part here.
constexpr std::pair<std::uint16_t, KeySym> NAMED_KEYS[] = {
    {36, XK_Return},    {48, XK_Tab},       {49, XK_space},     {51, XK_BackSpace}, {53, XK_Escape},
    {117, XK_Delete},   {115, XK_Home},     {119, XK_End},      {116, XK_Prior},    {121, XK_Next},
    {123, XK_Left},     {124, XK_Right},    {125, XK_Down},     {126, XK_Up},       {122, XK_F1},
    {120, XK_F2},       {99, XK_F3},        {118, XK_F4},       {96, XK_F5},        {97, XK_F6},
    {98, XK_F7},        {100, XK_F8},       {101, XK_F9},       {109, XK_F10},      {103, XK_F11},
    {111, XK_F12},      {56, XK_Shift_L},   {55, XK_Control_L}, {58, XK_Alt_L},     {59, XK_Control_L},
};

// Modifier keys and the engine flag each stands for.
constexpr std::pair<std::uint16_t, std::uint64_t> MODIFIER_KEYS[] = {
    {56, ModifierMask::kShift},
    {55, ModifierMask::kCommand},
    {58, ModifierMask::kOption},
    {59, ModifierMask::kControl},
};

// Keys that toggle a lock rather than hold a modifier: releasing and pressing
// them again would flip their lock.
constexpr KeySym LOCKING_KEYSYMS[] = {XK_Caps_Lock, XK_Shift_Lock,      XK_Num_Lock,        XK_Scroll_Lock,
                                      XK_ISO_Lock,  XK_ISO_Level3_Lock, XK_ISO_Level5_Lock, XK_ISO_Group_Lock};

constexpr char32_t REPLACEMENT = 0xFFFD;

// A client that takes no pings gets this long to handle a key before its
// keycode changes meaning.
constexpr auto REBIND_GRACE = std::chrono::milliseconds(50);
// Pixel scrolls further apart than this belong to separate gestures.
constexpr auto SCROLL_GESTURE_GAP = std::chrono::milliseconds(250);
constexpr long long MOST_WHEEL_CLICKS = 1000;
// Keys held through other devices or clients are looked up at most this
// often: each look-up is a round trip, and they change only by hand.
constexpr auto FOREIGN_RECHECK = std::chrono::milliseconds(250);
// A key pressed this long ago was handled (or its client is stuck, and
// waiting longer would not help).
constexpr auto SETTLE_LIMIT = std::chrono::seconds(1);

struct ModifierKeymapDeleter {
    void operator()(XModifierKeymap* map) const { XFreeModifiermap(map); }
};

}  // namespace

std::optional<KeySym> keysymForVirtualKey(std::uint16_t code) {
    if (auto character = usCharacterForVirtualKey(code, false)) return keysymForCodePoint(*character);
    for (const auto& [virtualKey, keysym] : NAMED_KEYS) {
        if (virtualKey == code) return keysym;
    }
    return std::nullopt;
}

std::optional<char32_t> usCharacterForVirtualKey(std::uint16_t code, bool shifted) {
    for (const auto& key : PRINTABLE_KEYS) {
        if (key.code == code) return shifted ? key.shifted : key.plain;
    }
    return std::nullopt;
}

KeySym keysymForCodePoint(char32_t codePoint) {
    if (codePoint == U'\n' || codePoint == U'\r') return XK_Return;
    if (codePoint == U'\t') return XK_Tab;
    if (codePoint == 0x08) return XK_BackSpace;
    if ((codePoint >= 0x20 && codePoint <= 0x7E) || (codePoint >= 0xA0 && codePoint <= 0xFF)) return codePoint;
    return 0x01000000 + codePoint;
}

std::vector<KeySym> keysymsForText(std::string_view utf8) {
    const auto codePoints = decodeUtf8(utf8);
    std::vector<KeySym> keysyms;
    keysyms.reserve(codePoints.size());
    for (std::size_t i = 0; i < codePoints.size(); ++i) {
        if (codePoints[i] == U'\r' && i + 1 < codePoints.size() && codePoints[i + 1] == U'\n') ++i;
        keysyms.push_back(keysymForCodePoint(codePoints[i]));
    }
    return keysyms;
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

unsigned int xModifierBits(std::uint64_t mask, unsigned int altBit) {
    unsigned int bits = 0;
    if (mask & ModifierMask::kShift) bits |= ShiftMask;
    if (mask & (ModifierMask::kControl | ModifierMask::kCommand)) bits |= ControlMask;
    if (mask & ModifierMask::kOption) bits |= altBit;
    return bits;
}

ModifierRequest modifierRequestForKey(std::uint16_t virtualKey, std::uint64_t mask, bool levelNeedsShift,
                                      unsigned int altBit) {
    const unsigned int levelShift = levelNeedsShift ? ShiftMask : 0;
    for (const auto& [code, flag] : MODIFIER_KEYS) {
        if (code != virtualKey) continue;
        const std::uint64_t others = mask & ~flag;
        if (others == 0) return {};
        return {true, xModifierBits(others, altBit) & ~xModifierBits(flag, altBit)};
    }
    if (mask == 0) return {false, levelShift};
    // A printable key's shift chose its character; the layout decides whether
    // that character needs shift.
    if (usCharacterForVirtualKey(virtualKey, false)) {
        return {true, xModifierBits(mask & ~ModifierMask::kShift, altBit) | levelShift};
    }
    return {true, xModifierBits(mask, altBit) | levelShift};
}

ModifierPlan planModifiers(const std::vector<HeldModifier>& held, const ModifierRequest& request,
                           const ModifierKeys& keys) {
    ModifierPlan plan;
    unsigned int covered = 0;
    for (const auto& modifier : held) {
        if (request.exact && (modifier.bits & ~request.bits) != 0) {
            plan.release.push_back(modifier.keycode);
        } else {
            covered |= modifier.bits;
        }
    }
    const std::pair<unsigned int, ::KeyCode> providers[] = {
        {ShiftMask, keys.shift}, {ControlMask, keys.control}, {keys.altBit, keys.alt}};
    for (const auto& [bit, keycode] : providers) {
        if ((request.bits & bit) && !(covered & bit) && keycode != 0) {
            plan.press.push_back(keycode);
            covered |= bit;
        }
    }
    return plan;
}

int WheelCarry::clicks(int pixels) {
    if (pixels == 0) return 0;
    const int direction = pixels > 0 ? 1 : -1;
    const bool first = direction != direction_;
    if (first) {
        direction_ = direction;
        balance_ = 0;
    }
    balance_ += static_cast<long long>(pixels) * direction;
    long long clicks = balance_ / pixelsPerClick_;
    if (first && clicks == 0) clicks = 1;
    balance_ -= clicks * pixelsPerClick_;
    return static_cast<int>(clicks) * direction;
}

std::unique_ptr<XTestInput> XTestInput::create(X11Connection& connection) {
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(connection.display(), &eventBase, &errorBase, &major, &minor)) return nullptr;
    return std::unique_ptr<XTestInput>(new XTestInput(connection));
}

XTestInput::XTestInput(X11Connection& connection) : x_(connection) {
    Display* display = x_.display();
    // XTest events must not be held back by a grab of this client's own.
    XTestGrabControl(display, True);
    int opcode = 0, event = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
    if (XkbQueryExtension(display, &opcode, &event, &error, &major, &minor)) {
        xkbEventBase_ = event;
        constexpr unsigned long WANTED = XkbNewKeyboardNotifyMask | XkbMapNotifyMask;
        XkbSelectEvents(display, XkbUseCoreKbd, WANTED, WANTED);
    }
    loadKeymap();
}

XTestInput::~XTestInput() {
    // Nothing the caller left held stays down once its owner is gone.
    auto held = std::exchange(held_, {});
    for (auto it = held.rbegin(); it != held.rend(); ++it) {
        if (it->keycode != 0) {
            fakeKey(it->keycode, false);
        } else {
            XTestFakeButtonEvent(x_.display(), it->id - BUTTON_ID, False, CurrentTime);
        }
        if (!it->override) continue;
        for (auto key = it->override->added.rbegin(); key != it->override->added.rend(); ++key) fakeKey(*key, false);
    }
    restoreSpares();
}

void XTestInput::loadKeymap() {
    keymapStale_ = false;
    Display* display = x_.display();
    int minKeycode = 0, maxKeycode = 0;
    XDisplayKeycodes(display, &minKeycode, &maxKeycode);
    const int count = maxKeycode - minKeycode + 1;
    int perKeycode = 0;
    XData<KeySym> map(XGetKeyboardMapping(display, static_cast<::KeyCode>(minKeycode), count, &perKeycode));
    std::unique_ptr<XModifierKeymap, ModifierKeymapDeleter> modifiers(XGetModifierMapping(display));
    keymap_.clear();
    modifierBits_.fill(0);
    if (!map || perKeycode <= 0) return;
    keysymsPerKeycode_ = perKeycode;

    auto symsOf = [&](int keycode) { return map.get() + static_cast<std::ptrdiff_t>(keycode - minKeycode) * perKeycode; };
    // Spares are the empty keycodes and those still holding a binding of this
    // object's; a keycode someone else bound is an ordinary key.
    std::vector<SpareBinding> spares;
    for (int keycode = minKeycode; keycode <= maxKeycode; ++keycode) {
        const KeySym* syms = symsOf(keycode);
        const auto previous = std::ranges::find(spares_, static_cast<::KeyCode>(keycode), &SpareBinding::keycode);
        const bool empty = std::all_of(syms, syms + perKeycode, [](KeySym s) { return s == NoSymbol; });
        if (empty) {
            SpareBinding spare = previous != spares_.end() ? *previous : SpareBinding{};
            spare.keycode = static_cast<::KeyCode>(keycode);
            spare.keysym = NoSymbol;
            spares.push_back(spare);
            continue;
        }
        if (previous != spares_.end() && previous->keysym != NoSymbol && syms[0] == previous->keysym &&
            std::all_of(syms, syms + perKeycode, [&](KeySym s) { return s == NoSymbol || s == previous->keysym; })) {
            spares.push_back(*previous);
            continue;
        }
        // Level 1 without shift, level 2 with it; the first keycode found wins.
        if (syms[0] != NoSymbol) keymap_.try_emplace(syms[0], KeyStroke{static_cast<::KeyCode>(keycode), false});
        if (perKeycode > 1 && syms[1] != NoSymbol) {
            keymap_.try_emplace(syms[1], KeyStroke{static_cast<::KeyCode>(keycode), true});
        }
    }
    spares_ = std::move(spares);

    if (modifiers) {
        const int perModifier = modifiers->max_keypermod;
        for (int row = 0; row < 8; ++row) {
            if (row == LockMapIndex) continue;
            for (int i = 0; i < perModifier; ++i) {
                const ::KeyCode keycode = modifiers->modifiermap[row * perModifier + i];
                if (keycode < minKeycode || keycode > maxKeycode) continue;
                const KeySym* syms = symsOf(keycode);
                const KeySym* first = std::find_if(syms, syms + perKeycode, [](KeySym s) { return s != NoSymbol; });
                if (first != syms + perKeycode && std::ranges::find(LOCKING_KEYSYMS, *first) != std::end(LOCKING_KEYSYMS)) {
                    continue;
                }
                modifierBits_[keycode] |= 1u << row;
            }
        }
    }
    auto provider = [&](std::initializer_list<KeySym> keysyms, unsigned int bit) -> ::KeyCode {
        for (KeySym keysym : keysyms) {
            auto it = keymap_.find(keysym);
            if (it != keymap_.end() && !it->second.shift && (modifierBits_[it->second.keycode] & bit)) {
                return it->second.keycode;
            }
        }
        return 0;
    };
    modifierKeys_.shift = provider({XK_Shift_L, XK_Shift_R}, ShiftMask);
    modifierKeys_.control = provider({XK_Control_L, XK_Control_R}, ControlMask);
    modifierKeys_.alt = provider({XK_Alt_L, XK_Alt_R, XK_Meta_L}, ~(ShiftMask | ControlMask | LockMask));
    const unsigned int altBits = modifierKeys_.alt ? modifierBits_[modifierKeys_.alt] : 0;
    modifierKeys_.altBit = altBits ? altBits & -altBits : Mod1Mask;
}

bool XTestInput::onlyBoundSpares(int first, int count) const {
    for (int keycode = first; keycode < first + count; ++keycode) {
        auto spare = std::ranges::find(spares_, keycode, [](const SpareBinding& s) { return int{s.keycode}; });
        if (spare == spares_.end() || spare->keysym == NoSymbol) return false;
    }
    return true;
}

void XTestInput::handleEvent(XEvent& event) {
    if (event.type == ClientMessage && event.xclient.message_type == x_.atom("WM_PROTOCOLS") &&
        event.xclient.data.l[0] == static_cast<long>(x_.atom("_NET_WM_PING"))) {
        const long token = event.xclient.data.l[1];
        auto out = std::ranges::find(pingsOut_, token, &std::pair<long, std::uint64_t>::first);
        if (out == pingsOut_.end()) return;
        // Every spare press sent before the ping was read.
        confirmedPress_ = std::max(confirmedPress_, out->second);
        pingsOut_.erase(out);
        if (pingsAnswered_.size() >= 16) pingsAnswered_.erase(pingsAnswered_.begin());
        pingsAnswered_.push_back(token);
        return;
    }
    if (xkbEventBase_ >= 0 && event.type == xkbEventBase_) {
        XkbEvent xkb{};
        std::memcpy(&xkb, &event, sizeof event);
        if (xkb.any.xkb_type == XkbNewKeyboardNotify) {
            keymapStale_ = true;
        } else if (xkb.any.xkb_type == XkbMapNotify) {
            // Its own bindings change nothing this object does not know.
            const XkbMapNotifyEvent& map = xkb.map;
            const bool own = map.num_types == 0 && onlyBoundSpares(map.first_key_sym, map.num_key_syms) &&
                             onlyBoundSpares(map.first_key_act, map.num_key_acts) &&
                             onlyBoundSpares(map.first_key_behavior, map.num_key_behaviors) &&
                             onlyBoundSpares(map.first_key_explicit, map.num_key_explicit) &&
                             onlyBoundSpares(map.first_modmap_key, map.num_modmap_keys) &&
                             onlyBoundSpares(map.first_vmodmap_key, map.num_vmodmap_keys);
            if (!own) keymapStale_ = true;
        }
        return;
    }
    // Without XKB, the core notification is the only one.
    if (event.type == MappingNotify && xkbEventBase_ < 0) {
        const XMappingEvent& mapping = event.xmapping;
        if (mapping.request == MappingModifier ||
            (mapping.request == MappingKeyboard && !onlyBoundSpares(mapping.first_keycode, mapping.count))) {
            keymapStale_ = true;
        }
    }
}

void XTestInput::processEvents() {
    Display* display = x_.display();
    while (XEventsQueued(display, QueuedAfterReading) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        handleEvent(event);
    }
    if (keymapStale_) loadKeymap();
}

std::optional<XTestInput::KeyStroke> XTestInput::strokeFor(KeySym keysym) {
    if (auto it = keymap_.find(keysym); it != keymap_.end()) return it->second;
    for (auto& spare : spares_) {
        if (spare.keysym != keysym) continue;
        spare.lastUse = ++useCounter_;
        return KeyStroke{spare.keycode, false};
    }
    return std::nullopt;
}

XTestInput::SpareBinding* XTestInput::victimSpare() {
    SpareBinding* victim = nullptr;
    SpareBinding* boundVictim = nullptr;
    int free = 0;
    for (auto& spare : spares_) {
        // A key the caller holds down must come up as the character it went down as.
        if (callerHolds(spare.keycode)) continue;
        if (spare.keysym == NoSymbol) {
            ++free;
        } else if (!boundVictim || spare.lastUse < boundVictim->lastUse) {
            boundVictim = &spare;
        }
        if (!victim || spare.lastUse < victim->lastUse) victim = &spare;
    }
    // The last empty keycode stays empty for other tools, which look for one.
    if (victim && victim->keysym == NoSymbol && free == 1 && boundVictim) return boundVictim;
    return victim;
}

std::optional<XTestInput::KeyStroke> XTestInput::bindableStroke(KeySym keysym) {
    if (auto stroke = strokeFor(keysym)) return stroke;
    SpareBinding* victim = victimSpare();
    if (!victim || keysymsPerKeycode_ <= 0) return std::nullopt;
    waitUntilHandled(*victim);
    victim->keysym = keysym;
    victim->lastUse = ++useCounter_;
    if (std::ranges::find(unsentBindings_, victim->keycode) == unsentBindings_.end()) {
        unsentBindings_.push_back(victim->keycode);
    }
    return KeyStroke{victim->keycode, false};
}

void XTestInput::sendBindings() {
    if (unsentBindings_.empty()) return;
    writeSpares(unsentBindings_);
    unsentBindings_.clear();
}

// Writes the spares' keysyms (NoSymbol for a free one). Every write is a
// keymap change that each client on the display, the window manager among
// them, reloads its keymap for (a window manager regrabs all its key bindings
// on each): typing a text must not cost one per character. The free keycodes
// lie scattered among the real keys, so through XKB all of them go in one
// change of the span they lie in, the keys between written back as they are;
// the server is grabbed from the read to the write, so that no one else's
// change of those keys is undone.
void XTestInput::writeSpares(const std::vector<::KeyCode>& keycodes) {
    if (keycodes.empty() || keysymsPerKeycode_ <= 0) return;
    Display* display = x_.display();
    const auto [low, high] = std::ranges::minmax(keycodes);
    auto keysymOf = [&](::KeyCode keycode) {
        auto spare = std::ranges::find(spares_, keycode, &SpareBinding::keycode);
        return spare != spares_.end() ? spare->keysym : NoSymbol;
    };
    if (xkbEventBase_ >= 0) {
        XGrabServer(display);
        XkbDescPtr keyboard = XkbGetMap(display, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd);
        bool written = false;
        if (keyboard && keyboard->map && low >= keyboard->min_key_code && high <= keyboard->max_key_code) {
            written = true;
            for (::KeyCode keycode : keycodes) {
                const KeySym keysym = keysymOf(keycode);
                XkbSymMapRec& entry = keyboard->map->key_sym_map[keycode];
                // One level in one group: held modifiers do not change it.
                KeySym* syms = XkbResizeKeySyms(keyboard, keycode, keysym == NoSymbol ? 0 : 1);
                if (!syms) {
                    written = false;
                    break;
                }
                std::fill(std::begin(entry.kt_index), std::end(entry.kt_index), XkbOneLevelIndex);
                entry.width = keysym == NoSymbol ? 0 : 1;
                entry.group_info = keysym == NoSymbol ? 0 : XkbSetNumGroups(0, 1);
                if (keysym != NoSymbol) syms[0] = keysym;
            }
            if (written) {
                XkbMapChangesRec changes{};
                changes.changed = XkbKeySymsMask;
                changes.first_key_sym = low;
                changes.num_key_syms = static_cast<unsigned char>(high - low + 1);
                written = XkbChangeMap(display, keyboard, &changes);
            }
        }
        XUngrabServer(display);
        if (keyboard) XkbFreeKeyboard(keyboard, 0, True);
        if (written) return;
    }
    // The core protocol: one change per keycode.
    std::vector<KeySym> syms(static_cast<std::size_t>(keysymsPerKeycode_));
    for (::KeyCode keycode : keycodes) {
        std::ranges::fill(syms, keysymOf(keycode));
        XChangeKeyboardMapping(display, keycode, keysymsPerKeycode_, syms.data(), 1);
    }
}

void XTestInput::waitUntilHandled(const SpareBinding& spare) {
    if (spare.lastPress == 0 || spare.lastPress <= confirmedPress_) return;
    const auto settled = spare.pressedAt + SETTLE_LIMIT;
    if (Clock::now() >= settled) return;
    if (pingFocusedClient(settled) == PingAnswer::unsupported) {
        x_.sync();
        std::this_thread::sleep_until(spare.pressedAt + REBIND_GRACE);
    }
}

Window XTestInput::pingTarget(Window focus) {
    if (auto it = pingTargets_.find(focus); it != pingTargets_.end()) return it->second;
    Display* display = x_.display();
    const Atom ping = x_.atom("_NET_WM_PING");
    Window target = None;
    {
        X11ErrorTrap trap(display);
        Window window = focus;
        // From the focus window up to its top level: the first one that lists
        // protocols decides.
        for (int depth = 0; window != None && window != x_.root() && depth < 16; ++depth) {
            Atom* protocols = nullptr;
            int count = 0;
            if (XGetWMProtocols(display, window, &protocols, &count)) {
                XData<Atom> owned(protocols);
                if (std::find(protocols, protocols + count, ping) != protocols + count) target = window;
                break;
            }
            Window root = None, parent = None;
            Window* children = nullptr;
            unsigned int childCount = 0;
            if (!XQueryTree(display, window, &root, &parent, &children, &childCount)) break;
            XData<Window> ownedChildren(children);
            window = parent;
        }
        if (trap.failed()) target = None;
    }
    if (pingTargets_.size() > 64) pingTargets_.clear();
    pingTargets_[focus] = target;
    return target;
}

std::optional<long> XTestInput::sendPing() {
    Display* display = x_.display();
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    if (focus == None || focus == PointerRoot) return std::nullopt;
    const Window target = pingTarget(focus);
    if (target == None) return std::nullopt;
    if (!watchingRoot_) {
        // Clients answer to the root window, for the window manager and for
        // anyone watching its children.
        XWindowAttributes attributes{};
        XGetWindowAttributes(display, x_.root(), &attributes);
        XSelectInput(display, x_.root(), attributes.your_event_mask | SubstructureNotifyMask);
        watchingRoot_ = true;
    }
    const long token = ++pingToken_;
    XEvent request{};
    request.xclient.type = ClientMessage;
    request.xclient.window = target;
    request.xclient.message_type = x_.atom("WM_PROTOCOLS");
    request.xclient.format = 32;
    request.xclient.data.l[0] = static_cast<long>(x_.atom("_NET_WM_PING"));
    request.xclient.data.l[1] = token;  // the timestamp, which the answer carries back
    request.xclient.data.l[2] = static_cast<long>(target);
    X11ErrorTrap trap(display);
    XSendEvent(display, target, False, NoEventMask, &request);
    if (trap.failed()) {
        pingTargets_.erase(focus);
        return std::nullopt;
    }
    // A client that never answers leaves its pings here: only the latest few are kept.
    lastPingFocus_ = focus;
    if (pingsOut_.size() >= 16) pingsOut_.erase(pingsOut_.begin());
    pingsOut_.emplace_back(token, pressSerial_);
    return token;
}

bool XTestInput::pingAnswered(long ping) {
    Display* display = x_.display();
    while (XEventsQueued(display, QueuedAfterReading) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        handleEvent(event);
    }
    return std::ranges::find(pingsAnswered_, ping) != pingsAnswered_.end();
}

XTestInput::PingAnswer XTestInput::pingFocusedClient(Clock::time_point deadline) {
    Display* display = x_.display();
    const auto token = sendPing();
    if (!token) return PingAnswer::unsupported;
    while (!pingAnswered(*token)) {
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (remaining.count() <= 0) {
            // Its client may have stopped taking pings: look it up afresh next time.
            pingTargets_.erase(lastPingFocus_);
            return PingAnswer::timedOut;
        }
        pollfd descriptor{ConnectionNumber(display), POLLIN, 0};
        poll(&descriptor, 1, static_cast<int>(remaining.count()));
    }
    return PingAnswer::answered;
}

void XTestInput::notePress(::KeyCode keycode) {
    for (auto& spare : spares_) {
        if (spare.keycode != keycode) continue;
        spare.lastPress = ++pressSerial_;
        spare.pressedAt = Clock::now();
    }
}

std::vector<HeldModifier> XTestInput::heldModifiers() {
    if (Clock::now() - foreignCheckedAt_ >= FOREIGN_RECHECK) {
        char keys[32] = {};
        XQueryKeymap(x_.display(), keys);
        foreignCheckedAt_ = Clock::now();
        // The round trip brought in every notification sent before it.
        processEvents();
        foreignDown_.reset();
        for (int keycode = 0; keycode < 256; ++keycode) {
            if (((keys[keycode / 8] >> (keycode % 8)) & 1) && !ownDown_[keycode]) foreignDown_.set(keycode);
        }
    }
    std::vector<HeldModifier> held;
    for (int keycode = 0; keycode < 256; ++keycode) {
        if ((ownDown_[keycode] || foreignDown_[keycode]) && modifierBits_[keycode]) {
            held.push_back(HeldModifier{static_cast<::KeyCode>(keycode), modifierBits_[keycode]});
        }
    }
    return held;
}

XTestInput::ModifierOverride XTestInput::beginOverride() {
    ModifierOverride override;
    override.held = heldModifiers();
    return override;
}

void XTestInput::require(ModifierOverride& override, const ModifierRequest& request) {
    const auto plan = planModifiers(override.held, request, modifierKeys_);
    for (::KeyCode keycode : plan.release) {
        fakeKey(keycode, false);
        std::erase_if(override.held, [&](const HeldModifier& m) { return m.keycode == keycode; });
        if (std::erase(override.added, keycode) == 0) override.lifted.push_back(keycode);
    }
    for (::KeyCode keycode : plan.press) {
        fakeKey(keycode, true);
        override.held.push_back(HeldModifier{keycode, modifierBits_[keycode]});
        // Pressing back a key the caller holds returns it to the caller.
        if (callerHolds(keycode) && std::erase(override.lifted, keycode) > 0) continue;
        override.added.push_back(keycode);
    }
}

void XTestInput::end(ModifierOverride& override) {
    for (auto it = override.added.rbegin(); it != override.added.rend(); ++it) {
        if (!callerHolds(*it)) fakeKey(*it, false);
    }
    for (::KeyCode keycode : override.lifted) {
        if (callerHolds(keycode)) fakeKey(keycode, true);
    }
    override = {};
}

bool XTestInput::callerHolds(::KeyCode keycode) const {
    return std::ranges::any_of(held_, [&](const HeldInput& input) { return input.keycode == keycode; });
}

std::optional<XTestInput::HeldInput> XTestInput::takeHeld(std::uint32_t id) {
    auto it = std::ranges::find(held_, id, &HeldInput::id);
    if (it == held_.end()) return std::nullopt;
    HeldInput input = std::move(*it);
    held_.erase(it);
    return input;
}

void XTestInput::fakeKey(::KeyCode keycode, bool down) {
    XTestFakeKeyEvent(x_.display(), keycode, down ? True : False, CurrentTime);
    ownDown_[keycode] = down;
    // A foreign key released from here is up as far as this object can tell.
    if (!down) foreignDown_.reset(keycode);
}

void XTestInput::restoreSpares() {
    // The client must read the latest key on a spare before its binding goes.
    auto latest = std::ranges::max_element(spares_, {}, &SpareBinding::lastPress);
    if (latest != spares_.end()) waitUntilHandled(*latest);
    std::vector<::KeyCode> bound;
    for (auto& spare : spares_) {
        if (spare.keysym == NoSymbol) continue;
        spare.keysym = NoSymbol;
        bound.push_back(spare.keycode);
    }
    unsentBindings_.clear();
    if (bound.empty()) return;
    writeSpares(bound);
    x_.sync();
}

void XTestInput::moveTo(int x, int y) {
    endScrollGesture();
    // The protocol carries 16-bit coordinates, which would wrap: a point past
    // the screen goes to its edge.
    Display* display = x_.display();
    const int screen = DefaultScreen(display);
    x = std::clamp(x, 0, std::max(0, DisplayWidth(display, screen) - 1));
    y = std::clamp(y, 0, std::max(0, DisplayHeight(display, screen) - 1));
    XTestFakeMotionEvent(display, -1, x, y, CurrentTime);
    x_.flush();
}

void XTestInput::button(unsigned int button, bool down, std::uint64_t mask) {
    processEvents();
    endScrollGesture();
    Display* display = x_.display();
    const std::uint32_t id = BUTTON_ID + button;
    const ModifierRequest request{true, xModifierBits(mask, modifierKeys_.altBit)};
    if (down) {
        HeldInput input{id, 0, std::nullopt};
        if (mask != 0) {
            input.override = beginOverride();
            require(*input.override, request);
        }
        XTestFakeButtonEvent(display, button, True, CurrentTime);
        held_.push_back(std::move(input));
    } else {
        auto input = takeHeld(id);
        std::optional<ModifierOverride> override = input ? std::move(input->override) : std::nullopt;
        if (!input && mask != 0) {
            override = beginOverride();
            require(*override, request);
        }
        XTestFakeButtonEvent(display, button, False, CurrentTime);
        if (override) end(*override);
    }
    x_.flush();
}

void XTestInput::click(int x, int y, unsigned int button, int count) {
    moveTo(x, y);
    for (int i = 0; i < count; ++i) {
        this->button(button, true);
        this->button(button, false);
    }
}

bool XTestInput::key(std::uint16_t virtualKey, bool down, std::uint64_t mask) {
    processEvents();
    endScrollGesture();
    std::optional<ModifierOverride> override;
    if (!down) {
        if (auto input = takeHeld(virtualKey)) {
            fakeKey(input->keycode, false);
            if (input->override) end(*input->override);
            x_.flush();
            return true;
        }
    } else if (auto it = std::ranges::find(held_, std::uint32_t{virtualKey}, &HeldInput::id); it != held_.end()) {
        // Down again without an up: the key repeats as it went down.
        fakeKey(it->keycode, true);
        x_.flush();
        return true;
    }

    std::optional<KeySym> keysym;
    if (auto character = usCharacterForVirtualKey(virtualKey, (mask & ModifierMask::kShift) != 0)) {
        keysym = keysymForCodePoint(*character);
    } else {
        keysym = keysymForVirtualKey(virtualKey);
    }
    if (!keysym) return false;
    auto stroke = bindableStroke(*keysym);
    if (!stroke) return false;
    sendBindings();

    const auto request = modifierRequestForKey(virtualKey, mask, stroke->shift, modifierKeys_.altBit);
    if (request.exact || request.bits != 0) {
        override = beginOverride();
        require(*override, request);
    }
    fakeKey(stroke->keycode, down);
    if (down) {
        notePress(stroke->keycode);
        held_.push_back(HeldInput{virtualKey, stroke->keycode, std::move(override)});
    } else if (override) {
        end(*override);
    }
    x_.flush();
    return true;
}

bool XTestInput::typeText(std::string_view utf8) {
    const auto keysyms = keysymsForText(utf8);
    if (keysyms.empty()) return true;
    processEvents();
    endScrollGesture();
    // Spares used since this mark carry characters that have not been sent.
    std::uint64_t firstUse = useCounter_ + 1;

    // Missing characters are bound ahead of their keys, so that the client
    // sees one keymap change before the keys instead of one between every two
    // of them. The server handles this connection's requests in order, so the
    // keys follow their bindings without a round trip.
    std::optional<ModifierOverride> override;
    std::vector<KeyStroke> pending;
    pending.reserve(keysyms.size());
    auto typePending = [&] {
        sendBindings();
        for (const auto& stroke : pending) {
            if (!override) override = beginOverride();
            require(*override, ModifierRequest{true, stroke.shift ? ShiftMask : 0u});
            fakeKey(stroke.keycode, true);
            fakeKey(stroke.keycode, false);
            notePress(stroke.keycode);
        }
        pending.clear();
        firstUse = useCounter_ + 1;
    };
    bool intact = true;
    for (KeySym keysym : keysyms) {
        if (auto stroke = strokeFor(keysym)) {
            pending.push_back(*stroke);
            continue;
        }
        // A spare whose character of this text has not gone out yet sends it
        // before it changes meaning.
        if (SpareBinding* victim = victimSpare(); victim && victim->lastUse >= firstUse) typePending();
        if (auto stroke = bindableStroke(keysym)) {
            pending.push_back(*stroke);
        } else {
            intact = false;
        }
    }
    typePending();
    if (override) end(*override);
    x_.flush();
    return intact;
}

void XTestInput::scroll(ScrollUnits units, int vertical, int horizontal, std::uint64_t mask) {
    processEvents();
    if (units == ScrollUnits::line || Clock::now() - lastPixelScroll_ >= SCROLL_GESTURE_GAP) endScrollGesture();
    int verticalClicks = vertical, horizontalClicks = horizontal;
    if (units == ScrollUnits::pixel) {
        verticalClicks = verticalCarry_.clicks(vertical);
        horizontalClicks = horizontalCarry_.clicks(horizontal);
        lastPixelScroll_ = Clock::now();
    }
    // However far a caller asks to scroll, one event sends at most
    // MOST_WHEEL_CLICKS notches per axis: enough to reach the end of any
    // document, and not billions of requests queued on the X connection.
    auto press = [&](unsigned int button, long long count) {
        count = std::min(count, MOST_WHEEL_CLICKS);
        for (long long i = 0; i < count; ++i) {
            XTestFakeButtonEvent(x_.display(), button, True, CurrentTime);
            XTestFakeButtonEvent(x_.display(), button, False, CurrentTime);
        }
    };
    std::optional<ModifierOverride> override;
    if (mask != 0) {
        override = beginOverride();
        require(*override, ModifierRequest{true, xModifierBits(mask, modifierKeys_.altBit)});
    }
    press(verticalClicks > 0 ? 4 : 5, std::llabs(verticalClicks));
    press(horizontalClicks > 0 ? 6 : 7, std::llabs(horizontalClicks));
    if (override) end(*override);
    x_.flush();
}

void XTestInput::endScrollGesture() {
    verticalCarry_.endGesture();
    horizontalCarry_.endGesture();
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
