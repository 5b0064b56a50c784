// CLIPBOARD ownership and conversion over Xlib, and the text encodings of its targets.
#include "platform/linux/x11_selection.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "rpc/json_codec.hpp"
#include "rpc/utf8_decoding.hpp"

namespace kest::platform::linux_desktop {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view REPLACEMENT_CHARACTER = "\xEF\xBF\xBD";
// ChangeProperty's header, the BIG-REQUESTS length word, and slack.
constexpr std::size_t CHANGE_PROPERTY_OVERHEAD = 32;
// GetProperty asks for this many 4-byte units: everything there is.
constexpr long WHOLE_PROPERTY = 0x1FFFFFFF;

int millisecondsUntil(std::optional<Clock::time_point> deadline) {
    if (!deadline) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

OwnedWindow createHiddenWindow(X11Connection& connection) {
    Display* display = connection.display();
    XSetWindowAttributes attributes{};
    attributes.event_mask = PropertyChangeMask;
    const Window window = XCreateWindow(display, connection.root(), -10, -10, 1, 1, 0, 0, InputOnly, CopyFromParent,
                                        CWEventMask, &attributes);
    return OwnedWindow(display, window);
}

}  // namespace

std::string latin1FromUtf8(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    while (!utf8.empty()) {
        const auto c = decodeUtf8(utf8);
        out.push_back(c && c->value <= 0xFF ? static_cast<char>(c->value) : '?');
        utf8.remove_prefix(c ? c->bytes : 1);
    }
    return out;
}

std::string utf8FromLatin1(std::string_view latin1) {
    std::string out;
    out.reserve(latin1.size() + latin1.size() / 4);
    for (const char ch : latin1) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte < 0x80) {
            out.push_back(ch);
        } else {
            out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return out;
}

std::string repairUtf8(std::string bytes) {
    // The common case, well-formed text, is checked at the reader's speed.
    if (isValidUTF8(bytes)) return bytes;
    std::string out;
    out.reserve(bytes.size() + 16);
    std::string_view rest = bytes;
    while (!rest.empty()) {
        if (const auto c = decodeUtf8(rest)) {
            out.append(rest.substr(0, c->bytes));
            rest.remove_prefix(c->bytes);
        } else {
            out.append(REPLACEMENT_CHARACTER);
            rest.remove_prefix(1);
        }
    }
    return out;
}

std::size_t propertyChunkBytes(long extendedMaxRequestUnits, long maxRequestUnits) {
    const long units = extendedMaxRequestUnits > 0 ? extendedMaxRequestUnits : maxRequestUnits;
    const std::size_t bytes = static_cast<std::size_t>(std::max(units, 0L)) * 4;
    // The core protocol guarantees 4096 units; never go below a useful chunk.
    return std::max(bytes, std::size_t{16384}) - CHANGE_PROPERTY_OVERHEAD;
}

SelectionAtoms SelectionAtoms::intern(Display* display) {
    std::array<const char*, 12> names = {"CLIPBOARD",   "TARGETS",
                                         "MULTIPLE",    "TIMESTAMP",
                                         "INCR",        "ATOM_PAIR",
                                         "UTF8_STRING", "text/plain;charset=utf-8",
                                         "TEXT",        "_NET_WM_PID",
                                         "KEST_SELECTION", "KEST_SERVER_TIME"};
    std::array<Atom, names.size()> atoms{};
    XInternAtoms(display, const_cast<char**>(names.data()), static_cast<int>(names.size()), False, atoms.data());
    SelectionAtoms out;
    Atom* fields[] = {&out.clipboard,  &out.targets,       &out.multiple, &out.timestamp,
                      &out.incr,       &out.atomPair,      &out.utf8String, &out.textPlainUtf8,
                      &out.text,       &out.netWmPid,      &out.transferProperty, &out.timeProperty};
    for (std::size_t i = 0; i < atoms.size(); ++i) *fields[i] = atoms[i];
    return out;
}

// ---- Owning ----

std::unique_ptr<SelectionOwner> SelectionOwner::create(X11Connection& connection) {
    X11ErrorTrap trap(connection.display());
    OwnedWindow window = createHiddenWindow(connection);
    if (trap.failed() || !window) return nullptr;
    return std::unique_ptr<SelectionOwner>(new SelectionOwner(connection, std::move(window)));
}

SelectionOwner::SelectionOwner(X11Connection& connection, OwnedWindow window)
    : display_(connection.display()),
      atoms_(SelectionAtoms::intern(connection.display())),
      window_(std::move(window)),
      chunkBytes_(propertyChunkBytes(XExtendedMaxRequestSize(display_), XMaxRequestSize(display_))) {
    markThisProcess();
}

void SelectionOwner::markThisProcess() {
    const unsigned long pid = static_cast<unsigned long>(::getpid());
    XChangeProperty(display_, window_.get(), atoms_.netWmPid, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&pid), 1);
}

void SelectionOwner::requestTimeStamp() {
    // Appending nothing to a property still reports a change, with the time.
    XChangeProperty(display_, window_.get(), atoms_.timeProperty, XA_INTEGER, 8, PropModeAppend, nullptr, 0);
}

std::optional<Time> SelectionOwner::queuedTimeStamp() {
    struct Wanted {
        Window window;
        Atom atom;
    } wanted{window_.get(), atoms_.timeProperty};
    XEvent event;
    const bool found = XCheckIfEvent(
        display_, &event,
        [](Display*, XEvent* e, XPointer arg) -> Bool {
            const auto* w = reinterpret_cast<const Wanted*>(arg);
            return e->type == PropertyNotify && e->xproperty.window == w->window && e->xproperty.atom == w->atom;
        },
        reinterpret_cast<XPointer>(&wanted));
    if (!found) return std::nullopt;
    return event.xproperty.time;
}

bool SelectionOwner::take(std::shared_ptr<const std::string> text, Time time) {
    XSetSelectionOwner(display_, atoms_.clipboard, window_.get(), time);
    // Stamped after the ownership change, and queued before the reply below:
    // no earlier than the server's record of this ownership, so a keeper given
    // it takes over, yet earlier than any later owner's unless that one took
    // the selection within the same millisecond.
    if (time == CurrentTime) requestTimeStamp();
    owning_ = XGetSelectionOwner(display_, atoms_.clipboard) == window_.get();
    std::optional<Time> stamped = time == CurrentTime ? queuedTimeStamp() : std::optional<Time>(time);
    if (!owning_ || !stamped) {
        owning_ = false;
        text_.reset();
        latin1_.reset();
        return false;
    }
    ownedSince_ = *stamped;
    text_ = std::move(text);
    latin1_.reset();
    return true;
}

bool SelectionOwner::confirmOwnership() {
    if (owning_ && XGetSelectionOwner(display_, atoms_.clipboard) != window_.get()) {
        owning_ = false;
        text_.reset();
        latin1_.reset();
    }
    return owning_;
}

std::optional<SelectionOwner::Conversion> SelectionOwner::convert(Atom target) {
    if (target == atoms_.targets) {
        Conversion out{XA_ATOM, 32, nullptr, {atoms_.targets, atoms_.multiple, atoms_.timestamp}};
        if (text_) {
            out.numbers.insert(out.numbers.end(), {atoms_.utf8String, atoms_.textPlainUtf8, XA_STRING, atoms_.text});
        }
        return out;
    }
    if (target == atoms_.timestamp) return Conversion{XA_INTEGER, 32, nullptr, {ownedSince_}};
    if (!text_) return std::nullopt;
    if (target == atoms_.utf8String || target == atoms_.text) return Conversion{atoms_.utf8String, 8, text_, {}};
    if (target == atoms_.textPlainUtf8) return Conversion{atoms_.textPlainUtf8, 8, text_, {}};
    if (target == XA_STRING) {
        if (!latin1_) latin1_ = std::make_shared<const std::string>(latin1FromUtf8(*text_));
        return Conversion{XA_STRING, 8, latin1_, {}};
    }
    return std::nullopt;
}

bool SelectionOwner::serve(Window requestor, Atom target, Atom property) {
    auto conversion = convert(target);
    if (!conversion) return false;
    if (conversion->format == 32) {
        XChangeProperty(display_, requestor, property, conversion->type, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(conversion->numbers.data()),
                        static_cast<int>(conversion->numbers.size()));
        return true;
    }
    const std::string& bytes = *conversion->bytes;
    if (bytes.size() <= chunkBytes_) {
        XChangeProperty(display_, requestor, property, conversion->type, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
        return true;
    }
    // A new request on the same property replaces the transfer it interrupts.
    auto same = std::ranges::find_if(transfers_, [&](const Transfer& t) {
        return t.requestor == requestor && t.property == property;
    });
    if (same != transfers_.end()) {
        transfers_.erase(same);
    } else if (transfers_.size() >= MAX_TRANSFERS) {
        return false;
    }
    // Watch the requestor's deletions before it can see the INCR property.
    XSelectInput(display_, requestor, PropertyChangeMask);
    const unsigned long size = std::min<std::size_t>(bytes.size(), UINT32_MAX);
    XChangeProperty(display_, requestor, property, atoms_.incr, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&size), 1);
    transfers_.push_back({requestor, property, conversion->type, conversion->bytes, 0,
                          Clock::now() + TRANSFER_IDLE_LIMIT});
    return true;
}

bool SelectionOwner::serveMultiple(Window requestor, Atom property) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* raw = nullptr;
    const int status = XGetWindowProperty(display_, requestor, property, 0, WHOLE_PROPERTY, False, AnyPropertyType,
                                          &type, &format, &count, &remaining, &raw);
    XData<unsigned char> data(raw);
    if (status != Success || format != 32 || count % 2 != 0) return false;
    // Format-32 data arrive as an array of long, whatever the server's size.
    const auto* pairs = reinterpret_cast<const unsigned long*>(data.get());
    std::vector<unsigned long> answered(pairs, pairs + count);
    for (std::size_t i = 0; i < count; i += 2) {
        const Atom target = answered[i];
        const Atom pairProperty = answered[i + 1];
        if (target == atoms_.multiple || pairProperty == None || !serve(requestor, target, pairProperty)) {
            answered[i + 1] = None;
        }
    }
    XChangeProperty(display_, requestor, property, atoms_.atomPair, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(answered.data()), static_cast<int>(answered.size()));
    return true;
}

void SelectionOwner::answer(const XSelectionRequestEvent& request) {
    XEvent reply{};
    reply.xselection.type = SelectionNotify;
    reply.xselection.send_event = True;
    reply.xselection.display = display_;
    reply.xselection.requestor = request.requestor;
    reply.xselection.selection = request.selection;
    reply.xselection.target = request.target;
    reply.xselection.time = request.time;
    reply.xselection.property = None;
    if (owning_ && request.selection == atoms_.clipboard && request.owner == window_.get()) {
        // Clients older than the ICCCM name no property: the target is used.
        const Atom property = request.property == None ? request.target : request.property;
        const bool served = request.target == atoms_.multiple
                                ? request.property != None && serveMultiple(request.requestor, property)
                                : serve(request.requestor, request.target, property);
        if (served) reply.xselection.property = property;
    }
    XSendEvent(display_, request.requestor, False, NoEventMask, &reply);
}

void SelectionOwner::continueTransfer(const XPropertyEvent& event) {
    if (event.state != PropertyDelete) return;
    auto it = std::ranges::find_if(transfers_, [&](const Transfer& t) {
        return t.requestor == event.window && t.property == event.atom;
    });
    if (it == transfers_.end()) return;
    Transfer& transfer = *it;
    const std::size_t length = std::min(chunkBytes_, transfer.bytes->size() - transfer.offset);
    XChangeProperty(display_, transfer.requestor, transfer.property, transfer.type, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(transfer.bytes->data() + transfer.offset),
                    static_cast<int>(length));
    transfer.offset += length;
    transfer.deadline = Clock::now() + TRANSFER_IDLE_LIMIT;
    // The empty chunk just written ends the transfer.
    if (length == 0) endTransfer(static_cast<std::size_t>(it - transfers_.begin()));
}

void SelectionOwner::endTransfer(std::size_t index) {
    const Window requestor = transfers_[index].requestor;
    transfers_.erase(transfers_.begin() + static_cast<std::ptrdiff_t>(index));
    const bool stillWatched = std::ranges::any_of(transfers_, [&](const Transfer& t) { return t.requestor == requestor; });
    if (!stillWatched) XSelectInput(display_, requestor, NoEventMask);
}

void SelectionOwner::handle(const XEvent& event) {
    switch (event.type) {
    case SelectionRequest:
        answer(event.xselectionrequest);
        break;
    case SelectionClear:
        // A clear may be older than a later take by this window: ask the server.
        if (event.xselectionclear.window == window_.get() && event.xselectionclear.selection == atoms_.clipboard) {
            confirmOwnership();
        }
        break;
    case PropertyNotify:
        if (event.xproperty.window != window_.get()) continueTransfer(event.xproperty);
        break;
    default:
        break;
    }
}

std::optional<Clock::time_point> SelectionOwner::expireTransfers(Clock::time_point now) {
    std::optional<Clock::time_point> earliest;
    for (std::size_t i = transfers_.size(); i-- > 0;) {
        if (transfers_[i].deadline <= now) {
            endTransfer(i);
        }
    }
    for (const auto& transfer : transfers_) {
        if (!earliest || transfer.deadline < *earliest) earliest = transfer.deadline;
    }
    return earliest;
}

std::optional<Clock::time_point> handleSelectionEvents(X11Connection& connection, SelectionOwner& owner) {
    Display* display = connection.display();
    owner.expireTransfers(Clock::now());
    // XPending flushes what the handlers wrote; once it reports nothing, the
    // queue is empty and the socket has nothing unread.
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        owner.handle(event);
    }
    return owner.expireTransfers(Clock::now());
}

void awaitSelectionEvents(X11Connection& connection, int wake, std::optional<Clock::time_point> deadline) {
    std::array<pollfd, 2> fds = {pollfd{ConnectionNumber(connection.display()), POLLIN, 0}, pollfd{wake, POLLIN, 0}};
    const nfds_t count = wake >= 0 ? 2 : 1;
    if (::poll(fds.data(), count, millisecondsUntil(deadline)) > 0 && wake >= 0 && (fds[1].revents & POLLIN)) {
        std::uint64_t drained = 0;
        (void)!::read(wake, &drained, sizeof drained);
    }
}

// ---- Reading ----

std::unique_ptr<SelectionReader> SelectionReader::open(const std::string& displayName) {
    auto connection = X11Connection::open(displayName);
    if (!connection) return nullptr;
    OwnedWindow window = createHiddenWindow(*connection);
    if (!window) return nullptr;
    return std::unique_ptr<SelectionReader>(new SelectionReader(std::move(connection), std::move(window)));
}

SelectionReader::SelectionReader(std::unique_ptr<X11Connection> connection, OwnedWindow window)
    : connection_(std::move(connection)),
      atoms_(SelectionAtoms::intern(connection_->display())),
      window_(std::move(window)) {}

Window SelectionReader::owner() { return XGetSelectionOwner(connection_->display(), atoms_.clipboard); }

template <class Accept>
std::optional<XEvent> SelectionReader::nextEvent(Accept accept, Clock::time_point deadline) {
    Display* display = connection_->display();
    for (;;) {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.xany.window == window_.get() && accept(event)) return event;
        }
        const int wait = millisecondsUntil(deadline);
        if (wait == 0) return std::nullopt;
        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        if (::poll(&fd, 1, wait) < 0 && errno != EINTR) return std::nullopt;
    }
}

std::optional<std::pair<Atom, SelectionBytes>> SelectionReader::takeProperty() {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* raw = nullptr;
    const int status = XGetWindowProperty(connection_->display(), window_.get(), atoms_.transferProperty, 0,
                                          WHOLE_PROPERTY, True, AnyPropertyType, &type, &format, &count, &remaining,
                                          &raw);
    XData<unsigned char> data(raw);
    if (status != Success || type == None) return std::nullopt;
    // INCR's format-32 size is a lower bound only: the type is what counts.
    if (format == 32 && type == atoms_.incr) return std::pair(type, SelectionBytes());
    if (format != 8) return std::nullopt;
    return std::pair(type, SelectionBytes(std::move(data), count));
}

SelectionReader::Answer SelectionReader::convert(Atom target, Clock::time_point readDeadline) {
    XConvertSelection(connection_->display(), atoms_.clipboard, target, atoms_.transferProperty, window_.get(),
                      CurrentTime);
    auto stepDeadline = [&] { return std::min(readDeadline, Clock::now() + STEP_LIMIT); };
    auto notified = nextEvent(
        [&](const XEvent& e) {
            return e.type == SelectionNotify && e.xselection.selection == atoms_.clipboard &&
                   e.xselection.target == target;
        },
        stepDeadline());
    if (!notified) return {};
    if (notified->xselection.property == None) return {Outcome::refused, None, {}};
    auto first = takeProperty();
    if (!first) return {Outcome::refused, None, {}};
    if (first->first != atoms_.incr) return {Outcome::text, first->first, std::move(first->second)};

    // INCR: every deletion (the read above deleted the property) brings the
    // next chunk; an empty one ends the text.
    Atom type = None;
    std::string bytes;
    for (;;) {
        auto chunkReady = nextEvent(
            [&](const XEvent& e) {
                return e.type == PropertyNotify && e.xproperty.atom == atoms_.transferProperty &&
                       e.xproperty.state == PropertyNewValue;
            },
            stepDeadline());
        if (!chunkReady) return {};
        auto chunk = takeProperty();
        if (!chunk) return {};
        type = chunk->first;
        const std::string_view piece = chunk->second.view();
        if (piece.empty()) return {Outcome::text, type, SelectionBytes(std::move(bytes))};
        if (bytes.size() + piece.size() > MAX_TEXT_BYTES) return {};
        bytes += piece;
    }
}

std::optional<SelectionBytes> SelectionReader::readText() {
    if (broken_) return std::nullopt;
    const auto readDeadline = Clock::now() + READ_LIMIT;
    for (const Atom target : {atoms_.utf8String, atoms_.textPlainUtf8, Atom{XA_STRING}}) {
        Answer answer = convert(target, readDeadline);
        if (answer.outcome == Outcome::failed) {
            broken_ = true;
            return std::nullopt;
        }
        if (answer.outcome == Outcome::refused) continue;
        // Some owners answer every target with what they hold (an image):
        // the type says whether it is text.
        if (answer.type == XA_STRING) return SelectionBytes(utf8FromLatin1(answer.bytes.view()));
        if (answer.type == atoms_.utf8String || answer.type == atoms_.textPlainUtf8) {
            // The common case, well-formed text, stays where it was read.
            if (isValidUTF8(answer.bytes.view())) return std::move(answer.bytes);
            return SelectionBytes(repairUtf8(std::move(answer.bytes).take()));
        }
    }
    return std::nullopt;
}

}  // namespace kest::platform::linux_desktop
