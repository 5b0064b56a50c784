// The CLIPBOARD selection over the X protocol: serving a text as its owner
// (several requestors at once, INCR for large texts), converting another
// owner's selection to text, and the encodings the text targets carry.
//
// Threading: a SelectionOwner or SelectionReader belongs to the one thread that
// uses its connection; neither locks. The owner serves from memory it shares
// read-only (the text is immutable once taken), so a transfer in progress keeps
// its bytes even after the selection is lost.
// Why INCR only above the maximum request size: with BIG-REQUESTS a single
// property carries up to about 16 MiB, and every INCR chunk costs the requestor
// and this owner a round trip each.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/x11_connection.hpp"
#include "platform/linux/x11_handles.hpp"

namespace kest::platform::linux_desktop {

// STRING is Latin-1: characters outside it, and bytes of broken UTF-8, become '?'.
std::string latin1FromUtf8(std::string_view utf8);
std::string utf8FromLatin1(std::string_view latin1);
// The bytes as valid UTF-8: each byte of an invalid sequence becomes U+FFFD;
// NUL characters are kept.
std::string repairUtf8(std::string bytes);

// The largest format-8 property payload one ChangeProperty request carries,
// from the server's maximum request sizes in 4-byte units (the extended one is
// 0 without BIG-REQUESTS).
std::size_t propertyChunkBytes(long extendedMaxRequestUnits, long maxRequestUnits);

// The atoms of the selection protocol, interned in one round trip.
struct SelectionAtoms {
    Atom clipboard = None, targets = None, multiple = None, timestamp = None, incr = None, atomPair = None,
         utf8String = None, textPlainUtf8 = None, text = None, netWmPid = None, transferProperty = None,
         timeProperty = None;
    static SelectionAtoms intern(Display* display);
};

// Owns CLIPBOARD through an invisible window of its own (carrying this
// process's _NET_WM_PID, so that tools can tell who holds the text) and answers
// SelectionRequest events for TARGETS, MULTIPLE, TIMESTAMP, UTF8_STRING,
// text/plain;charset=utf-8, STRING and TEXT. "No text" ownership answers
// TARGETS without text types and refuses every text conversion.
class SelectionOwner {
public:
    using Clock = std::chrono::steady_clock;
    // Concurrent INCR transfers beyond this many are refused.
    static constexpr std::size_t MAX_TRANSFERS = 64;
    // A requestor that deletes no property for this long is given up.
    static constexpr auto TRANSFER_IDLE_LIMIT = std::chrono::seconds(5);

    // Nothing when the window cannot be created.
    static std::unique_ptr<SelectionOwner> create(X11Connection& connection);

    Window window() const { return window_.get(); }
    // Names the calling process in the window's _NET_WM_PID again (after a
    // fork, the child that serves on); sent, not flushed.
    void markThisProcess();
    // Takes the selection with the text (nullptr: no text) at `time`, or now
    // (CurrentTime), in one round trip; true when the server confirms this
    // window as the owner. ownedSince() is then the time taken, which a keeper
    // passes back to take over.
    bool take(std::shared_ptr<const std::string> text, Time time = CurrentTime);
    // Asks the server whether this window still owns the selection.
    bool confirmOwnership();

    bool owning() const { return owning_; }
    // The text served while owning; nullptr when not owning or owning no text.
    std::shared_ptr<const std::string> text() const { return owning_ ? text_ : nullptr; }
    Time ownedSince() const { return ownedSince_; }

    // Acts on one event of the connection; others are ignored.
    void handle(const XEvent& event);
    // Drops transfers whose requestor went quiet; the earliest remaining deadline.
    std::optional<Clock::time_point> expireTransfers(Clock::time_point now);
    bool transferring() const { return !transfers_.empty(); }

private:
    SelectionOwner(X11Connection& connection, OwnedWindow window);

    struct Conversion {
        Atom type = None;
        int format = 8;
        std::shared_ptr<const std::string> bytes;  // format 8
        std::vector<unsigned long> numbers;        // format 32
    };
    struct Transfer {
        Window requestor = None;
        Atom property = None;
        Atom type = None;
        std::shared_ptr<const std::string> bytes;
        std::size_t offset = 0;
        Clock::time_point deadline;
    };

    // Asks for a change event on a property of this window: its time stamps
    // whatever was requested before it.
    void requestTimeStamp();
    std::optional<Time> queuedTimeStamp();

    std::optional<Conversion> convert(Atom target);
    bool serve(Window requestor, Atom target, Atom property);
    bool serveMultiple(Window requestor, Atom property);
    void answer(const XSelectionRequestEvent& request);
    void continueTransfer(const XPropertyEvent& event);
    void endTransfer(std::size_t index);

    Display* display_;
    SelectionAtoms atoms_;
    OwnedWindow window_;
    std::size_t chunkBytes_;
    bool owning_ = false;
    Time ownedSince_ = CurrentTime;
    std::shared_ptr<const std::string> text_;
    std::shared_ptr<const std::string> latin1_;  // made on the first STRING request
    std::vector<Transfer> transfers_;
};

// Handles every event pending on `owner`'s connection and expires idle
// transfers; answers the earliest transfer deadline left. Once it returns,
// the connection has nothing unread and nothing unsent.
std::optional<SelectionOwner::Clock::time_point> handleSelectionEvents(X11Connection& connection,
                                                                       SelectionOwner& owner);
// Waits (poll) until the connection or `wake` (ignored when negative) is
// readable, or the deadline; drains `wake`.
void awaitSelectionEvents(X11Connection& connection, int wake,
                          std::optional<SelectionOwner::Clock::time_point> deadline);

// Bytes read from a selection: in the buffer Xlib read them into, or in a
// string once they were put together from INCR chunks or converted. Kept in
// Xlib's buffer, a large text is never copied on its way to standard output.
class SelectionBytes {
public:
    SelectionBytes() = default;
    explicit SelectionBytes(std::string bytes) : string_(std::move(bytes)) {}
    SelectionBytes(XData<unsigned char> data, std::size_t size) : data_(std::move(data)), size_(size) {}

    std::string_view view() const {
        return data_ ? std::string_view(reinterpret_cast<const char*>(data_.get()), size_) : std::string_view(string_);
    }
    // As a string of its own: moved when it is one, else copied out.
    std::string take() && { return data_ ? std::string(view()) : std::move(string_); }

private:
    std::string string_;
    XData<unsigned char> data_;
    std::size_t size_ = 0;
};

// Reads CLIPBOARD as text from whichever client owns it, on a connection and
// requestor window of its own. After a conversion that went unanswered the
// reader is broken (a late answer could be taken for the next one): drop it.
class SelectionReader {
public:
    // Waiting for one answer or INCR chunk, and for the whole read.
    static constexpr auto STEP_LIMIT = std::chrono::seconds(2);
    static constexpr auto READ_LIMIT = std::chrono::seconds(10);
    static constexpr std::size_t MAX_TEXT_BYTES = std::size_t{256} << 20;

    static std::unique_ptr<SelectionReader> open(const std::string& displayName = {});

    Window owner();
    // The owner's text, asked as UTF8_STRING, then text/plain;charset=utf-8,
    // then STRING, and taken only when the answer's type is one of those;
    // always valid UTF-8. Nothing when there is no owner, it offers no text,
    // or it does not answer in time.
    std::optional<SelectionBytes> readText();
    bool broken() const { return broken_; }

private:
    SelectionReader(std::unique_ptr<X11Connection> connection, OwnedWindow window);

    enum class Outcome { text, refused, failed };
    struct Answer {
        Outcome outcome = Outcome::failed;
        Atom type = None;
        SelectionBytes bytes;
    };
    Answer convert(Atom target, std::chrono::steady_clock::time_point readDeadline);
    // The next event for the requestor window that `accept` takes, dropping
    // the others; nothing at the deadline.
    template <class Accept>
    std::optional<XEvent> nextEvent(Accept accept, std::chrono::steady_clock::time_point deadline);
    // Reads and deletes the transfer property; nothing when unreadable.
    std::optional<std::pair<Atom, SelectionBytes>> takeProperty();

    std::unique_ptr<X11Connection> connection_;
    SelectionAtoms atoms_;
    OwnedWindow window_;
    bool broken_ = false;
};

}  // namespace kest::platform::linux_desktop
