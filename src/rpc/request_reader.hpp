// Reading one request from a descriptor (the standard-input mode), apart from
// the rest of the command line so that the front can read a request without
// the engine.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "rpc/protocol.hpp"

namespace kest::CommandLine {

// The most standard input may hold for one request, as a daemon's line.
inline constexpr std::size_t kMaxRequestBytes = 64u << 20;

// Reads one request from the descriptor: the bytes read until they form a
// request, are plainly not one, or the input ends. Nothing when unreadable.
// `bytes` is left holding what was read, which parses to the same answer;
// reading stops once it holds more than kMaxRequestBytes.
std::optional<RPCRequest> readRequest(int fd, std::string& bytes);

// The nesting of JSON text read so far, followed a chunk at a time (strings
// and their escapes skipped), so that whether the text could have ended is
// known without a pass over all of it.
class JsonNesting {
public:
    void feed(std::string_view more);
    // True when the last byte but blanks closed an object at the outermost
    // level, or closed more than was opened (plainly not a request).
    bool mayHaveEnded() const { return closedAtTop_; }

private:
    std::int64_t depth_ = 0;
    bool inString_ = false;
    bool escaped_ = false;
    bool closedAtTop_ = false;
};

}  // namespace kest::CommandLine
