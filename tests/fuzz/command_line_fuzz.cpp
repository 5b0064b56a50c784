// Feeds arbitrary argument vectors (the input split at NUL bytes) through the
// mode choice and the one-shot argument grammar, and checks what the grammar
// promises: the first argument is the method, every value is a string, true
// or the positional list, and the request writes back as JSON.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "rpc/command_line.hpp"
#include "rpc/protocol.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> arguments;
    for (std::size_t start = 0; start <= bytes.size();) {
        const std::size_t end = std::min(bytes.find('\0', start), bytes.size());
        arguments.emplace_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    (void)kest::CommandLine::chooseMode(arguments);
    if (arguments.empty()) return 0;

    const kest::RPCRequest request = kest::CommandLine::buildOneShotRequest(arguments);
    if (request.method != arguments[0]) __builtin_trap();
    std::size_t positional = 0;
    if (request.params) {
        for (const auto& [key, value] : *request.params) {
            if (key == "_positional") {
                if (!value.value.is_array()) __builtin_trap();
                for (const auto& word : value.value) {
                    if (!word.is_string()) __builtin_trap();
                }
                positional = value.value.size();
            } else if (!value.value.is_string() && value.value != true) {
                __builtin_trap();
            }
        }
    }
    if (positional > arguments.size() - 1) __builtin_trap();

    // The request, echoed as a result, is written (invalid UTF-8 replaced).
    kest::Json echoed = kest::Json::object();
    if (request.params) {
        for (const auto& [key, value] : *request.params) echoed[key] = value.value;
    }
    if (!kest::RPCResponse::success(request.id, echoed).toJSON()) __builtin_trap();
    return 0;
}
