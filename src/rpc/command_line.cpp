// Mode selection, one-shot requests and the standard-input mode.
#include "rpc/command_line.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "rpc/daemon_server.hpp"
#include "rpc/request_reader.hpp"
#include "rpc/version.hpp"

namespace kest::CommandLine {
namespace {

bool startsWithDoubleDash(const std::string& argument) { return argument.rfind("--", 0) == 0; }

void writeLine(std::FILE* stream, std::string line) {
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
}

}  // namespace

Mode chooseMode(const std::vector<std::string>& arguments) {
    auto has = [&](const char* flag) { return std::find(arguments.begin(), arguments.end(), flag) != arguments.end(); };
    if (has("--version")) return Mode::version;
    if (has("--daemon")) return Mode::daemon;
    return arguments.empty() ? Mode::standardInput : Mode::oneShot;
}

RPCRequest buildOneShotRequest(const std::vector<std::string>& arguments) {
    RPCRequest request;
    request.jsonrpc = "2.0";
    request.id = 1;
    request.method = arguments.empty() ? std::string() : arguments[0];
    if (arguments.size() < 2) return request;

    Params params;
    for (std::size_t i = 1; i < arguments.size();) {
        const std::string& argument = arguments[i];
        if (startsWithDoubleDash(argument)) {
            std::string key = argument.substr(2);
            if (i + 1 >= arguments.size() || startsWithDoubleDash(arguments[i + 1])) {
                params[key] = AnyCodable{true};
                i += 1;
            } else {
                params[key] = AnyCodable{arguments[i + 1]};
                i += 2;
            }
        } else {
            auto& positional = params["_positional"].value;
            if (!positional.is_array()) positional = Json::array();
            positional.push_back(argument);
            i += 1;
        }
    }
    request.params = std::move(params);
    return request;
}

void printUsage() {
    writeLine(stderr, "Usage: kest-core [--daemon | --version | <method> [args...]]");
    writeLine(stderr, "  --daemon    Start daemon server (Unix socket)");
    writeLine(stderr, "  --version   Print version");
    writeLine(stderr, "  <method>    Execute a single JSON-RPC method");
    writeLine(stderr, "  (stdin)     Read JSON-RPC request from stdin");
}

int run(const std::vector<std::string>& arguments, platform::Platform& platform,
        std::optional<std::string_view> readInput) {
    switch (chooseMode(arguments)) {
    case Mode::version:
        writeLine(stdout, kVersion);
        return 0;
    case Mode::daemon:
        return runDaemon(platform);
    case Mode::oneShot: {
        Dispatcher dispatcher(platform);
        RPCResponse response = dispatcher.dispatch(buildOneShotRequest(arguments));
        const int status = response.error ? exitStatusForCode(response.error->code) : 0;
        if (auto text = std::move(response).toJSON()) writeLine(stdout, std::move(*text));
        return status;
    }
    case Mode::standardInput: {
        Dispatcher dispatcher(platform);
        std::string bytes;
        auto request = readInput ? std::nullopt : readRequest(STDIN_FILENO, bytes);
        if (readInput ? readInput->size() > kMaxRequestBytes : !request && bytes.size() > kMaxRequestBytes) {
            auto tooLong = RPCResponse::failure(
                0, ErrorCode::kFailed, "Request too long: more than " + std::to_string(kMaxRequestBytes) + " bytes");
            writeLine(stdout, *tooLong.toJSON());
            return 0;
        }
        if (readInput) request = parseRPCRequestFromLine(*readInput);
        if (!request) {
            printUsage();
            return 0;
        }
        if (auto text = dispatcher.dispatch(*request).toJSON()) writeLine(stdout, std::move(*text));
        return 0;
    }
    }
    return 0;
}

}  // namespace kest::CommandLine
