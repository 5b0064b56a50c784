// What area operations return, and how a handler answers with it.
#pragma once

#include "common/expected.hpp"

#include "rpc/protocol.hpp"

namespace kest {

// A result, or an error (never both).
template <class T>
using Result = std::expected<T, RPCErrorData>;

inline std::unexpected<RPCErrorData> fail(std::int64_t code, std::string message) {
    return std::unexpected(RPCErrorData{code, std::move(message), std::nullopt});
}

// Answers an area's outcome under the request's id. Errors carry their code
// and message only; the few methods that document extra detail build their
// failure themselves.
inline RPCResponse respond(std::int64_t id, Result<Json> outcome) {
    if (outcome) return RPCResponse::success(id, std::move(*outcome));
    return RPCResponse::failure(id, outcome.error().code, std::move(outcome.error().message));
}

}  // namespace kest
