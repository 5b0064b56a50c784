// The program's modes and the one-shot argument grammar.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rpc/dispatcher.hpp"

namespace kest::CommandLine {

enum class Mode { version, daemon, oneShot, standardInput };

// "--version" anywhere wins, then "--daemon" anywhere, then one-shot when any
// argument is given, else standard input.
Mode chooseMode(const std::vector<std::string>& arguments);

// The request of the one-shot mode: arguments[0] is the method; "--key value"
// gives a string, "--flag" (last, or before another "--") gives true, anything
// else is appended to "_positional". Values are never converted.
RPCRequest buildOneShotRequest(const std::vector<std::string>& arguments);


void printUsage();

// Runs the program for its arguments (without the program name) and returns
// its exit status. The platform is built only by modes that dispatch.
// `readInput` is standard input already read by the caller (the front), which
// the standard-input mode then reads instead of the descriptor.
int run(const std::vector<std::string>& arguments, platform::Platform& platform,
        std::optional<std::string_view> readInput = std::nullopt);

}  // namespace kest::CommandLine
