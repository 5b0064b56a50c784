// The message model: JSON values, requests, responses, error codes, and the
// codec between them and one line of text.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "rpc/json_codec.hpp"

namespace kest {

// A dynamic JSON value. Objects keep their keys sorted, so every object is
// written in key order at every depth. Integers and floating values are
// distinct kinds; booleans are not numbers.
using Json = nlohmann::json;

// One decoded parameter value.
struct AnyCodable {
    Json value;
};

using Params = std::map<std::string, AnyCodable, std::less<>>;

// Error codes every failure carries.
namespace ErrorCode {
inline constexpr std::int64_t kNotFound = -32001;        // element, menu or dialog part
inline constexpr std::int64_t kCaptureFailed = -32002;   // the screen-capture tool failed
inline constexpr std::int64_t kTimeout = -32003;         // a wait timed out
inline constexpr std::int64_t kAppNotFound = -32004;     // application not found or not launched
inline constexpr std::int64_t kWindowNotFound = -32005;  // window not found
inline constexpr std::int64_t kFailed = -32600;          // operation failed, or an unreadable request line
inline constexpr std::int64_t kMethodNotFound = -32601;
inline constexpr std::int64_t kInvalidParams = -32602;
inline constexpr std::int64_t kInternalError = -32603;  // a fault of the engine's own, caught
}  // namespace ErrorCode

// Exit status of the one-shot mode for an error code: -32001..-32007 give
// 1..7, every other code 126.
int exitStatusForCode(std::int64_t code);

struct RPCErrorData {
    std::int64_t code = ErrorCode::kFailed;
    std::string message;
    std::optional<Json> data;  // extra detail object, only where a method documents one
};

struct RPCRequest {
    std::string jsonrpc;  // kept as sent, never checked
    std::int64_t id = 0;
    std::string method;
    std::optional<Params> params;  // absent when the request has none (null counts as absent)

    // Typed accessors. Each returns nothing when there are no params, the name
    // is missing, or the value is of another kind; none converts between
    // strings, numbers and booleans. paramDouble accepts integers.
    std::optional<std::string> paramString(std::string_view name) const;
    std::optional<bool> paramBool(std::string_view name) const;
    std::optional<std::int64_t> paramInt(std::string_view name) const;
    std::optional<double> paramDouble(std::string_view name) const;
    // A whole number of milliseconds (a timeout, a delay), held within
    // +-Pause::LONGEST_MS: integers beyond 64 bits and integral numbers
    // written with an exponent are held too; others are nothing.
    std::optional<std::int64_t> paramMilliseconds(std::string_view name) const;
    // The string elements of an array parameter, in order; others are skipped.
    std::optional<std::vector<std::string>> paramStringArray(std::string_view name) const;
    // The parameter's value as sent, or nullptr when absent.
    const Json* rawParam(std::string_view name) const;
    // The first positional argument of the command line, when it is a string.
    std::optional<std::string> firstPositionalString() const;
};

struct RPCResponse {
    std::string jsonrpc = "2.0";
    std::int64_t id = 0;
    std::optional<Json> result;
    std::optional<RPCErrorData> error;  // wins over result when both are set

    static RPCResponse success(std::int64_t id, Json result);
    static RPCResponse failure(std::int64_t id, std::int64_t code, std::string message);
    static RPCResponse failure(std::int64_t id, RPCErrorData error);

    // Compact wire text with sorted keys, or nothing when the response holds a
    // value that JSON cannot carry (a non-finite number). The second form
    // spends the response, saving a copy of a large result.
    std::optional<std::string> toJSON(Utf8Strings strings = Utf8Strings::check) const&;
    std::optional<std::string> toJSON(Utf8Strings strings = Utf8Strings::check) &&;
};

// Decodes one line (without its line end) into a request; nothing when the
// text is not a request. Never throws.
std::optional<RPCRequest> parseRPCRequestFromLine(std::string_view line, TextEnd end = TextEnd::bare);

// Normalises a parsed value to the engine's kinds: numbers with an exact signed
// 64-bit value become integers, all others floating. Shared by every decoder.
void normalizeNumbers(Json& value);

// The response to a line that is not a request.
RPCResponse parseErrorResponse();

}  // namespace kest
