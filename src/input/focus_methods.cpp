// The methods "focus", "select", "check", "uncheck" and "set".
#include "input/focus.hpp"
#include "rpc/dispatcher.hpp"

namespace kest {
namespace {

using RefOperation = Result<Json> (*)(platform::Platform&, const std::string&, const RefMap&);

Result<Json> focusOn(platform::Platform& platform, const std::string& ref, const RefMap& refMap) {
    return Focus::focus(platform.accessibility(), ref, refMap);
}

constexpr std::pair<const char*, RefOperation> REF_OPERATIONS[] = {
    {"focus", &focusOn},
    {"check", &Focus::check},
    {"uncheck", &Focus::uncheck},
};

}  // namespace

void Dispatcher::registerFocusMethods() {
    for (const auto& [name, operation] : REF_OPERATIONS) {
        handlers[name] = [this, operation = operation](const RPCRequest& request) {
            auto ref = request.paramString("ref");
            if (!ref) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing ref parameter");
            return respond(request.id, operation(platform, *ref, lastRefMap));
        };
    }

    // A ref and a value, both required, the ref checked first.
    auto refAndValue = [](const RPCRequest& request, auto&& operation) {
        auto ref = request.paramString("ref");
        if (!ref) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing ref parameter");
        auto value = request.paramString("value");
        if (!value) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing value parameter");
        return respond(request.id, operation(*ref, *value));
    };

    handlers["select"] = [this, refAndValue](const RPCRequest& request) {
        return refAndValue(request, [this](const std::string& ref, const std::string& value) {
            const RefMap refMap = lastRefMap;  // the pop-up's pause may let a snapshot replace it
            return Focus::select(platform.accessibility(), pause, ref, value, refMap);
        });
    };
    handlers["set"] = [this, refAndValue](const RPCRequest& request) {
        return refAndValue(request, [this](const std::string& ref, const std::string& value) {
            return Focus::setValue(platform.accessibility(), ref, value, lastRefMap);
        });
    };
}

}  // namespace kest
