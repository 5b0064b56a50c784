// Mode selection, one-shot requests and the standard-input mode.
#include "rpc/command_line.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "rpc/daemon_server.hpp"
#include "rpc/version.hpp"

namespace kest::CommandLine {
namespace {

bool startsWithDoubleDash(const std::string& argument) { return argument.rfind("--", 0) == 0; }

void writeLine(std::FILE* stream, std::string line) {
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
}

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

// True when a read would not wait: input is ready, or the writer has gone.
bool readyToRead(int fd) {
    pollfd watch{fd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&watch, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready != 0;
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

std::optional<RPCRequest> readRequest(int fd) {
    std::string bytes;
    char chunk[64 * 1024];
    // Every look parses all that was read, so looks are rationed. None is
    // taken while more input is ready: text that streams in whole (a file, a
    // writer that closes) is parsed once, at its end. When the writer stops
    // without closing, a look is taken if the text could have just ended (its
    // last non-blank byte closes an object) or has doubled since the last
    // look, so reading a large request stays linear.
    std::size_t nextLook = 0;
    std::size_t lookedAt = std::string::npos;
    for (;;) {
        if (!bytes.empty() && bytes.size() != lookedAt && !readyToRead(fd)) {
            const std::size_t last = bytes.find_last_not_of(" \t\r\n");
            const bool mayHaveEnded = last != std::string::npos && bytes[last] == '}';
            if (mayHaveEnded || bytes.size() >= nextLook) {
                lookedAt = bytes.size();
                nextLook = bytes.size() * 2;
                if (auto request = parseRPCRequestFromLine(bytes)) return request;
                if (!cutShort(bytes)) return std::nullopt;
            }
        }
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
    if (bytes.empty()) return std::nullopt;
    return parseRPCRequestFromLine(bytes);
}

void printUsage() {
    writeLine(stderr, "Usage: kest-core [--daemon | --version | <method> [args...]]");
    writeLine(stderr, "  --daemon    Start daemon server (Unix socket)");
    writeLine(stderr, "  --version   Print version");
    writeLine(stderr, "  <method>    Execute a single JSON-RPC method");
    writeLine(stderr, "  (stdin)     Read JSON-RPC request from stdin");
}

int run(const std::vector<std::string>& arguments, platform::Platform& platform) {
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
        auto request = readRequest(STDIN_FILENO);
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
