// Decoding request lines and writing responses.
#include "rpc/protocol.hpp"

#include "common/pause.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kest {
namespace {

bool holdsOnlyFiniteNumbers(const Json& value) {
    switch (value.type()) {
    case Json::value_t::number_float:
        return std::isfinite(value.get<double>());
    case Json::value_t::array:
    case Json::value_t::object:
        for (const auto& element : value) {
            if (!holdsOnlyFiniteNumbers(element)) return false;
        }
        return true;
    default:
        return true;
    }
}

// An integer when the value is exactly a signed 64-bit integer.
std::optional<std::int64_t> exactInteger(const Json& value) {
    if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        auto u = value.get<std::uint64_t>();
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return static_cast<std::int64_t>(u);
        }
        return std::nullopt;
    }
    if (value.is_number_float()) {
        double d = value.get<double>();
        // 2^63 is the first double past the signed range; -2^63 itself is in range.
        constexpr double kLimit = 9223372036854775808.0;
        if (std::isfinite(d) && d == std::trunc(d) && d >= -kLimit && d < kLimit) {
            return static_cast<std::int64_t>(d);
        }
    }
    return std::nullopt;
}

}  // namespace

int exitStatusForCode(std::int64_t code) {
    if (code <= -32001 && code >= -32007) return static_cast<int>(-32000 - code);
    return 126;
}

void normalizeNumbers(Json& value) {
    switch (value.type()) {
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
        if (auto integer = exactInteger(value)) {
            value = *integer;
        } else if (value.is_number_unsigned()) {
            value = static_cast<double>(value.get<std::uint64_t>());
        }
        break;
    case Json::value_t::array:
    case Json::value_t::object:
        for (auto& element : value) normalizeNumbers(element);
        break;
    default:
        break;
    }
}

std::optional<RPCRequest> parseRPCRequestFromLine(std::string_view line, TextEnd end) {
    auto decoded = decodeJson(line, end);
    if (!decoded || !decoded->is_object()) return std::nullopt;
    Json& document = *decoded;
    normalizeNumbers(document);

    auto jsonrpc = document.find("jsonrpc");
    auto id = document.find("id");
    auto method = document.find("method");
    if (jsonrpc == document.end() || !jsonrpc->is_string()) return std::nullopt;
    if (method == document.end() || !method->is_string()) return std::nullopt;
    if (id == document.end() || !id->is_number_integer()) return std::nullopt;

    RPCRequest request;
    request.jsonrpc = jsonrpc->get<std::string>();
    request.id = id->get<std::int64_t>();
    request.method = method->get<std::string>();
    if (auto params = document.find("params"); params != document.end() && !params->is_null()) {
        if (!params->is_object()) return std::nullopt;
        Params decoded;
        for (auto& [key, value] : params->items()) decoded.emplace(key, AnyCodable{std::move(value)});
        request.params = std::move(decoded);
    }
    return request;
}

const Json* RPCRequest::rawParam(std::string_view name) const {
    if (!params) return nullptr;
    auto it = params->find(name);
    return it == params->end() ? nullptr : &it->second.value;
}

std::optional<std::string> RPCRequest::firstPositionalString() const {
    const Json* positional = rawParam("_positional");
    if (!positional || !positional->is_array() || positional->empty() || !(*positional)[0].is_string()) {
        return std::nullopt;
    }
    return (*positional)[0].get<std::string>();
}

std::optional<std::string> RPCRequest::paramString(std::string_view name) const {
    const Json* value = rawParam(name);
    if (value == nullptr || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

std::optional<bool> RPCRequest::paramBool(std::string_view name) const {
    const Json* value = rawParam(name);
    if (value == nullptr || !value->is_boolean()) return std::nullopt;
    return value->get<bool>();
}

std::optional<std::int64_t> RPCRequest::paramInt(std::string_view name) const {
    const Json* value = rawParam(name);
    if (value == nullptr || !value->is_number_integer()) return std::nullopt;
    return exactInteger(*value);
}

std::optional<double> RPCRequest::paramDouble(std::string_view name) const {
    const Json* value = rawParam(name);
    if (value == nullptr || !value->is_number()) return std::nullopt;
    return value->get<double>();
}

std::optional<std::int64_t> RPCRequest::paramMilliseconds(std::string_view name) const {
    const Json* value = rawParam(name);
    if (value == nullptr || !value->is_number()) return std::nullopt;
    if (auto exact = exactInteger(*value)) return std::clamp(*exact, -Pause::LONGEST_MS, Pause::LONGEST_MS);
    const double d = value->get<double>();
    if (std::isnan(d) || d != std::trunc(d)) return std::nullopt;  // infinities are whole and held below
    return d > 0 ? Pause::LONGEST_MS : -Pause::LONGEST_MS;
}

std::optional<std::vector<std::string>> RPCRequest::paramStringArray(std::string_view name) const {
    const Json* value = rawParam(name);
    if (value == nullptr || !value->is_array()) return std::nullopt;
    std::vector<std::string> strings;
    for (const auto& element : *value) {
        if (element.is_string()) strings.push_back(element.get<std::string>());
    }
    return strings;
}

RPCResponse RPCResponse::success(std::int64_t id, Json result) {
    RPCResponse response;
    response.id = id;
    response.result = std::move(result);
    return response;
}

RPCResponse RPCResponse::failure(std::int64_t id, std::int64_t code, std::string message) {
    return failure(id, RPCErrorData{code, std::move(message), std::nullopt});
}

RPCResponse RPCResponse::failure(std::int64_t id, RPCErrorData error) {
    RPCResponse response;
    response.id = id;
    response.error = std::move(error);
    return response;
}

std::optional<std::string> RPCResponse::toJSON(Utf8Strings strings) const& {
    return RPCResponse(*this).toJSON(strings);
}

std::optional<std::string> RPCResponse::toJSON(Utf8Strings strings) && {
    Json wire = Json::object();
    wire["jsonrpc"] = "2.0";
    wire["id"] = id;
    if (error) {
        Json object = {{"code", error->code}, {"message", error->message}};
        if (error->data) object["data"] = *error->data;
        wire["error"] = std::move(object);
    } else {
        wire["result"] = result ? std::move(*result) : Json(nullptr);
    }
    if (!holdsOnlyFiniteNumbers(wire)) return std::nullopt;
    // Text read from other applications may hold broken UTF-8; it is written
    // with replacement characters rather than dropping the whole response.
    return encodeJson(wire, strings);
}

RPCResponse parseErrorResponse() {
    return RPCResponse::failure(0, ErrorCode::kFailed, "Parse error: invalid JSON");
}

}  // namespace kest
