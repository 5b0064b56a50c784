// Reading one request from a descriptor (the standard-input mode), apart from
// the rest of the command line so that the front can read a request without
// the engine.
#pragma once
#include <optional>
#include <string>

#include "rpc/protocol.hpp"

namespace kest::CommandLine {

// Reads one request from the descriptor: the bytes read until they form a
// request, are plainly not one, or the input ends. Nothing when unreadable.
// `bytes` is left holding what was read, which parses to the same answer.
std::optional<RPCRequest> readRequest(int fd, std::string& bytes);

}  // namespace kest::CommandLine
