// The window methods: "windows", "grab", "ungrab", the five window actions,
// "move", "resize" and "bounds".
#include <array>
#include <functional>

#include "rpc/dispatcher.hpp"

namespace kest {
namespace {

using WindowAction = Result<Json> (WindowManager::*)(platform::Platform&, const std::string&);

constexpr std::array<std::pair<const char*, WindowAction>, 5> WINDOW_ACTIONS = {{
    {"minimize", &WindowManager::minimize},
    {"maximize", &WindowManager::maximize},
    {"fullscreen", &WindowManager::fullscreen},
    {"close", &WindowManager::close},
    {"raise", &WindowManager::raise},
}};

}  // namespace

void Dispatcher::registerWindowMethods() {
    handlers["windows"] = [this](const RPCRequest& request) {
        return RPCResponse::success(request.id,
                                    {{"windows", windowManager.listWindows(platform, request.paramString("app"))}});
    };

    handlers["grab"] = [this](const RPCRequest& request) {
        std::string ref;
        if (auto app = request.paramString("app")) {
            auto found = windowManager.getWindowRefForApp(platform, *app);
            if (!found) {
                return RPCResponse::failure(request.id, ErrorCode::kWindowNotFound, "No window found for app: " + *app);
            }
            ref = *found;
        } else {
            auto given = request.paramString("ref");
            if (!given) given = request.firstPositionalString();
            if (!given) {
                return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing window ref or --app name");
            }
            ref = *given;
            // Listed afresh, so that a ref whose window has gone since is not
            // grabbed; without a list from the window server, the refs known.
            const Json windows = windowManager.listWindows(platform);
            if (!windowManager.getWindowInfo(ref)) {
                Json available = Json::array();
                for (const auto& record : windows) available.push_back(record["ref"]);
                return RPCResponse::failure(request.id, RPCErrorData{ErrorCode::kWindowNotFound,
                                                                     "Window not found: " + ref,
                                                                     Json{{"available_windows", available}}});
            }
        }
        grabbedWindow = ref;
        showHalo(ref);
        return RPCResponse::success(
            request.id, {{"ok", true}, {"window", windowManager.getWindowInfo(ref).value_or(Json::object())}});
    };

    handlers["ungrab"] = [this](const RPCRequest& request) {
        hideHalo();
        grabbedWindow.reset();
        return RPCResponse::success(request.id, {{"ok", true}});
    };

    // The ref named by the request, else the grabbed one.
    auto targetRef = [this](const RPCRequest& request) -> std::optional<std::string> {
        if (auto ref = request.paramString("ref")) return ref;
        return grabbedWindow;
    };
    // Each operation lists the windows first (unfiltered), so that a ref whose
    // window has gone answers "Window not found" rather than reaching another
    // window of its application; the operation then takes the ref as given.

    for (const auto& [name, action] : WINDOW_ACTIONS) {
        handlers[name] = [this, targetRef, action = action](const RPCRequest& request) {
            auto ref = targetRef(request);
            if (!ref) {
                return RPCResponse::failure(request.id, ErrorCode::kInvalidParams,
                                            "Missing window ref. Grab a window or pass --ref.");
            }
            windowManager.listWindows(platform);
            return respond(request.id, std::invoke(action, windowManager, platform, *ref));
        };
    }

    handlers["move"] = [this, targetRef](const RPCRequest& request) {
        auto ref = targetRef(request);
        if (!ref) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing window ref");
        auto x = request.paramDouble("x");
        auto y = request.paramDouble("y");
        if (!x || !y) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing x or y coordinate");
        windowManager.listWindows(platform);
        return respond(request.id, windowManager.move(platform, *ref, *x, *y));
    };

    handlers["resize"] = [this, targetRef](const RPCRequest& request) {
        auto ref = targetRef(request);
        if (!ref) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing window ref");
        auto width = request.paramDouble("width");
        auto height = request.paramDouble("height");
        if (!width || !height) {
            return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing width or height");
        }
        windowManager.listWindows(platform);
        return respond(request.id, windowManager.resize(platform, *ref, *width, *height));
    };

    handlers["bounds"] = [this, targetRef](const RPCRequest& request) {
        auto ref = targetRef(request);
        if (!ref) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing window ref");
        windowManager.listWindows(platform);
        if (auto preset = request.paramString("preset")) {
            return respond(request.id, windowManager.applyPreset(platform, *ref, *preset));
        }
        auto x = request.paramDouble("x");
        auto y = request.paramDouble("y");
        auto width = request.paramDouble("width");
        auto height = request.paramDouble("height");
        if (!x || !y || !width || !height) {
            return RPCResponse::failure(request.id, ErrorCode::kInvalidParams,
                                        "Missing bounds (x, y, width, height) or --preset");
        }
        return respond(request.id, windowManager.setBounds(platform, *ref, *x, *y, *width, *height));
    };
}

}  // namespace kest
