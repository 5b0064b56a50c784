// Batch execution and the positional-parameter table.
#include "rpc/batch.hpp"

#include <array>
#include <string_view>

#include "rpc/dispatcher.hpp"

namespace kest {
namespace {

struct PositionalRule {
    std::string_view method;
    std::string_view key;   // what value 0 becomes
    bool wantsInteger;      // value 0 must be an integer instead of a string
};

// "fill" takes two values and is handled apart.
constexpr std::array POSITIONAL_TABLE = {
    PositionalRule{"click", "ref", false},      PositionalRule{"focus", "ref", false},
    PositionalRule{"check", "ref", false},      PositionalRule{"uncheck", "ref", false},
    PositionalRule{"read", "ref", false},       PositionalRule{"box", "ref", false},
    PositionalRule{"children", "ref", false},   PositionalRule{"type", "text", false},
    PositionalRule{"paste", "text", false},     PositionalRule{"key", "combo", false},
    PositionalRule{"launch", "name", false},    PositionalRule{"quit", "name", false},
    PositionalRule{"switch", "name", false},    PositionalRule{"hide", "name", false},
    PositionalRule{"unhide", "name", false},    PositionalRule{"menu_click", "path", false},
    PositionalRule{"wait", "ms", true},         PositionalRule{"scroll", "direction", false},
};

Json resultEntry(std::size_t index, const std::string& method, const RPCResponse& response) {
    Json entry = {{"index", static_cast<std::int64_t>(index)}, {"method", method}};
    if (response.error) {
        entry["error"] = response.error->message;
        entry["code"] = response.error->code;
    } else if (response.result) {
        entry["result"] = *response.result;
    }
    return entry;
}

}  // namespace

void Batch::mapPositionalParams(const std::string& method, const Json& positional, Params& params) {
    if (!positional.is_array() || positional.empty()) return;
    const Json& first = positional[0];
    if (method == "fill") {
        if (positional.size() >= 2 && first.is_string() && positional[1].is_string()) {
            params["ref"] = AnyCodable{first};
            params["text"] = AnyCodable{positional[1]};
        }
        return;
    }
    for (const auto& rule : POSITIONAL_TABLE) {
        if (rule.method != method) continue;
        if (rule.wantsInteger ? first.is_number_integer() : first.is_string()) {
            params[std::string(rule.key)] = AnyCodable{first};
        }
        return;
    }
}

Result<Json> Batch::execute(const Json& commands, bool stopOnError, Dispatcher& dispatcher) {
    if (commands.empty()) return fail(ErrorCode::kInvalidParams, "Empty command list");

    Json results = Json::array();
    bool stopped = false;
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const Json& command = commands[i];
        if (command.empty() || !command[0].is_string()) {
            results.push_back({{"index", static_cast<std::int64_t>(i)}, {"error", "Invalid command format: first element must be method name"}});
            if (stopOnError) {
                stopped = true;
                break;
            }
            continue;
        }

        RPCRequest request;
        request.jsonrpc = "2.0";
        request.id = static_cast<std::int64_t>(i);
        request.method = command[0].get<std::string>();
        Params params;
        if (command.size() >= 2 && command[1].is_object()) {
            for (const auto& [key, value] : command[1].items()) params.emplace(key, AnyCodable{value});
        } else if (command.size() >= 2) {
            Json positional(command.begin() + 1, command.end());
            mapPositionalParams(request.method, positional, params);
            params["_positional"] = AnyCodable{std::move(positional)};
        }
        if (!params.empty()) request.params = std::move(params);

        RPCResponse response = dispatcher.dispatch(request);
        results.push_back(resultEntry(i, request.method, response));
        if (response.error && stopOnError) {
            stopped = true;
            break;
        }
    }
    auto count = static_cast<std::int64_t>(results.size());
    auto total = static_cast<std::int64_t>(commands.size());
    return Json{{"ok", !stopped}, {"count", count}, {"total", total}, {"results", std::move(results)}};
}

void Dispatcher::registerBatchMethods() {
    handlers["batch"] = [this](const RPCRequest& request) {
        const Json* commands = request.rawParam("commands");
        if (commands == nullptr || !commands->is_array()) {
            return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing commands array");
        }
        for (const auto& command : *commands) {
            if (!command.is_array()) {
                return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Each command must be an array");
            }
        }
        bool stopOnError = request.paramBool("stop_on_error").value_or(true);
        return respond(request.id, Batch::execute(*commands, stopOnError, *this));
    };
}

}  // namespace kest
