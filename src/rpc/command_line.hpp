// The program's modes and the one-shot argument grammar.
#pragma once

#include <string>
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

// Reads one request from the descriptor: the bytes read until they form a
// request, are plainly not one, or the input ends. Nothing when unreadable.
std::optional<RPCRequest> readRequest(int fd);

void printUsage();

// Runs the program for its arguments (without the program name) and returns
// its exit status. The platform is built only by modes that dispatch.
int run(const std::vector<std::string>& arguments, platform::Platform& platform);

}  // namespace kest::CommandLine
