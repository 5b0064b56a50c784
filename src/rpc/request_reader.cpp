// Reading one request from standard input.
#include "rpc/request_reader.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kest::CommandLine {
namespace {

// Whether the bytes read so far could still become a request.
// Walks JSON text without building it, remembering where an error was found.
struct ErrorPositionSax : nlohmann::json_sax<Json> {
    std::size_t errorAt = 0;
    bool failed = false;
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception&) override {
        failed = true;
        errorAt = position;
        return false;
    }
};

// True when the text is not JSON only because it stops early: its first
// error is at its very end.
bool cutShort(const std::string& bytes) {
    ErrorPositionSax sax;
    (void)Json::sax_parse(bytes, &sax);
    return sax.failed && sax.errorAt >= bytes.size();
}

// How long a writer must pause before a text that cannot have ended yet is
// looked at (see readRequest).
constexpr int QUIET_MS = 20;

// The buffer's sizes: for the first read, for a request that fills it, and
// the least room a read is given.
constexpr std::size_t FIRST_READ = 64 * 1024;
constexpr std::size_t LARGE_REQUEST = 4 * 1024 * 1024;
constexpr std::size_t MIN_READ = 4 * 1024;

// True when a read would not wait, or stops waiting within `withinMs`: input
// is ready, or the writer has gone.
bool readyToRead(int fd, int withinMs = 0) {
    pollfd watch{fd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&watch, 1, withinMs);
    } while (ready < 0 && errno == EINTR);
    return ready != 0;
}

// Reads onto the end of `bytes`, straight into its buffer, never past one byte
// more than a request may hold; the count read, 0 at the end of input, or -1.
ssize_t readMore(int fd, std::string& bytes) {
    const std::size_t had = bytes.size();
    if (bytes.capacity() - had < MIN_READ) {
        // A request that fills the first read is likely large (a clipboard
        // text): its buffer is reserved at once, so that it grows by address
        // space the kernel backs as it is written, instead of being copied
        // into every size below its own.
        bytes.reserve(std::min(had == 0 ? FIRST_READ : had < LARGE_REQUEST ? LARGE_REQUEST : bytes.capacity() * 2,
                               kMaxRequestBytes + 1));
    }
    const std::size_t room = std::min(bytes.capacity(), kMaxRequestBytes + 1) - had;
    ssize_t count = 0;
    bytes.resize_and_overwrite(had + room, [&](char* data, std::size_t) {
        count = ::read(fd, data + had, room);
        return had + static_cast<std::size_t>(std::max<ssize_t>(count, 0));
    });
    return count;
}

// The request in what was read, given the room past its end that lets the
// reader scan it in blocks.
std::optional<RPCRequest> parse(std::string& bytes) {
    padForJsonReading(bytes);
    return parseRPCRequestFromLine(bytes, TextEnd::padded);
}

}  // namespace

void JsonNesting::feed(std::string_view more) {
    for (const char c : more) {
        if (inString_) {
            if (escaped_) {
                escaped_ = false;
            } else if (c == '\\') {
                escaped_ = true;
            } else if (c == '"') {
                inString_ = false;
            }
            closedAtTop_ = false;
            continue;
        }
        switch (c) {
        case ' ': case '\t': case '\r': case '\n': continue;
        case '"': inString_ = true; break;
        case '{': case '[': ++depth_; break;
        case '}': case ']': --depth_; break;
        default: break;
        }
        closedAtTop_ = c == '}' && depth_ <= 0;
    }
}

std::optional<RPCRequest> readRequest(int fd, std::string& bytes) {
    bytes.clear();
    // Every look parses all that was read, so looks are rationed. None is
    // taken while more input is ready: text that streams in whole (a file, a
    // writer that closes) is parsed once, at its end. When the writer stops
    // without closing, a look is taken if the text could have just ended (it
    // closes its outermost object) or has doubled since the last look, so
    // reading a large request stays linear however its writer cuts it. A text
    // that cannot have ended is looked at only once the writer has paused for
    // QUIET_MS (a writer that streams a large request leaves the pipe empty
    // between its writes, and each look costs a pass over all that was read);
    // one that may have ended is looked at at once.
    std::size_t nextLook = 0;
    std::size_t lookedAt = std::string::npos;
    JsonNesting nesting;
    for (;;) {
        if (!bytes.empty() && bytes.size() != lookedAt && !readyToRead(fd)) {
            if (nesting.mayHaveEnded() || (bytes.size() >= nextLook && !readyToRead(fd, QUIET_MS))) {
                lookedAt = bytes.size();
                nextLook = bytes.size() * 2;
                if (auto request = parse(bytes)) return request;
                if (!cutShort(bytes)) return std::nullopt;
            }
        }
        const std::size_t had = bytes.size();
        const ssize_t n = readMore(fd, bytes);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (bytes.size() > kMaxRequestBytes) return std::nullopt;
        nesting.feed(std::string_view(bytes).substr(had));
    }
    if (bytes.empty()) return std::nullopt;
    return parse(bytes);
}

}  // namespace kest::CommandLine
