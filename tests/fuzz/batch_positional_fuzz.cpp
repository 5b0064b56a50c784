// Feeds arbitrary JSON through batch execution and its positional mapping, on
// a dispatcher over the fake desktop whose methods only echo what they were
// given, and checks the mapping's promises: a mapped value is the first
// positional one, of the kind the method wants, and every command gets one
// result entry until the batch stops.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "rpc/batch.hpp"
#include "rpc/dispatcher.hpp"
#include "rpc/json_codec.hpp"
#include "support/fake_desktop.hpp"

namespace {

struct Echoing {
    std::unique_ptr<kest::fake::FakeDesktop> desktop = std::make_unique<kest::fake::FakeDesktop>();
    kest::ThreadPause pause;
    std::unique_ptr<kest::Dispatcher> dispatcher = std::make_unique<kest::Dispatcher>(*desktop, &pause);
    Echoing() {
        for (auto& [name, handler] : dispatcher->handlers) {
            if (name == "batch") continue;  // nested batches run for real
            handler = [](const kest::RPCRequest& request) {
                kest::Json echoed = kest::Json::object();
                if (request.params) {
                    for (const auto& [key, value] : *request.params) echoed[key] = value.value;
                }
                return kest::RPCResponse::success(request.id, echoed);
            };
        }
    }
};

// What the positional mapping may put under a key besides "_positional".
void checkMapped(const std::string& method, const kest::Json& positional, const kest::Params& params) {
    for (const auto& [key, value] : params) {
        if (key == "_positional") continue;
        if (positional.empty()) __builtin_trap();
        if (method == "fill" && key == "text") {
            if (positional.size() < 2 || value.value != positional[1] || !value.value.is_string()) __builtin_trap();
            continue;
        }
        if (value.value != positional[0]) __builtin_trap();
        if (method == "wait" ? !value.value.is_number_integer() : !value.value.is_string()) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Echoing echoing;
    auto decoded = kest::decodeJson(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!decoded) return 0;
    const kest::Json& commands = *decoded;

    // The mapping alone, for every command shaped [method, values...].
    if (commands.is_array()) {
        for (const auto& command : commands) {
            if (!command.is_array() || command.empty() || !command[0].is_string()) continue;
            const std::string method = command[0].get<std::string>();
            kest::Json positional(command.begin() + 1, command.end());
            kest::Params params;
            kest::Batch::mapPositionalParams(method, positional, params);
            checkMapped(method, positional, params);
        }
    }

    // The whole batch method, stopping on errors and not.
    for (bool stop : {true, false}) {
        kest::RPCRequest request;
        request.jsonrpc = "2.0";
        request.id = 1;
        request.method = "batch";
        request.params = kest::Params{{"commands", kest::AnyCodable{commands}}, {"stop_on_error", kest::AnyCodable{stop}}};
        kest::RPCResponse response = echoing.dispatcher->dispatch(request);
        if (response.result) {
            const kest::Json& result = *response.result;
            if (!commands.is_array() || result["total"] != commands.size()) __builtin_trap();
            if (result["count"] != result["results"].size()) __builtin_trap();
            if (!stop && result["count"] != commands.size()) __builtin_trap();
        }
        if (!response.toJSON()) __builtin_trap();
    }
    return 0;
}
