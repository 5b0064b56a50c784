// The keyboard methods "type", "fill", "key", "keydown", "keyup" and "paste".
#include "input/keyboard.hpp"
#include "rpc/dispatcher.hpp"

namespace kest {

void Dispatcher::registerKeyboardMethods() {
    // Brings the application forward (the "app" parameter, else the grabbed
    // window's), runs the action, and puts the former front application back.
    // Keys go nowhere but to the application meant: when its window never
    // took the keyboard focus, nothing is sent.
    auto activated = [this](const RPCRequest& request, auto&& action) {
        const auto activation = activateGrabbedApp(request.paramString("app"));
        Result<Json> outcome = activation.failure ? Result<Json>(fail(ErrorCode::kFailed, *activation.failure)) : action();
        restoreApp(activation);
        return respond(request.id, std::move(outcome));
    };

    handlers["type"] = [this, activated](const RPCRequest& request) {
        auto text = request.paramString("text");
        if (!text) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing text parameter");
        return activated(request, [&] { return Keyboard::typeText(platform.events(), pause, *text, request.paramMilliseconds("delay")); });
    };

    handlers["fill"] = [this](const RPCRequest& request) {
        auto ref = request.paramString("ref");
        if (!ref) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing ref parameter");
        auto text = request.paramString("text");
        if (!text) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing text parameter");
        const RefMap refMap = lastRefMap;
        return respond(request.id, Keyboard::fill(platform, pause, *ref, *text, refMap));
    };

    handlers["key"] = [this, activated](const RPCRequest& request) {
        auto combo = request.paramString("combo");
        if (!combo) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing combo parameter");
        return activated(request, [&] {
            return Keyboard::key(platform.events(), pause, *combo, request.paramInt("repeat").value_or(1),
                                 request.paramMilliseconds("delay"));
        });
    };

    handlers["paste"] = [this, activated](const RPCRequest& request) {
        auto text = request.paramString("text");
        if (!text) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing text parameter");
        return activated(request, [&] { return Keyboard::paste(platform, pause, *text); });
    };

    for (const bool down : {true, false}) {
        handlers[down ? "keydown" : "keyup"] = [this, activated, down](const RPCRequest& request) {
            auto key = request.paramString("key");
            if (!key) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing key parameter");
            return activated(request, [&] { return Keyboard::keyUpDown(platform.events(), *key, down); });
        };
    }
}

}  // namespace kest
