// The built-in methods: liveness, status, version, shutdown, permissions and
// the key-value store.
#include <unistd.h>

#include "rpc/dispatcher.hpp"
#include "rpc/version.hpp"

namespace kest {
namespace {

constexpr const char* ACCESSIBILITY_SETTINGS_URL =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";

Json optionalJson(const std::optional<std::string>& value) {
    return value ? Json(*value) : Json(nullptr);
}

}  // namespace

void Dispatcher::registerBuiltinMethods() {
    handlers["ping"] = [](const RPCRequest& request) {
        return RPCResponse::success(request.id, {{"pong", true}});
    };

    handlers["status"] = [this](const RPCRequest& request) {
        Json app = nullptr;
        Json pid = nullptr;
        if (grabbedWindow) {
            if (auto it = windowManager.windowInfoCache.find(*grabbedWindow);
                it != windowManager.windowInfoCache.end() && it->second.is_object()) {
                const Json& record = it->second;
                if (auto a = record.find("app"); a != record.end() && a->is_string()) app = *a;
                if (auto p = record.find("process_id"); p != record.end() && p->is_number_integer()) pid = *p;
            }
        }
        auto elapsed = std::chrono::steady_clock::now() - startTime;
        return RPCResponse::success(
            request.id,
            {{"grabbed_window", optionalJson(grabbedWindow)},
             {"grabbed_app", app},
             {"grabbed_pid", pid},
             {"last_snapshot_id", optionalJson(lastSnapshotId)},
             {"daemon_pid", static_cast<std::int64_t>(::getpid())},
             {"daemon_uptime_ms", std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()}});
    };

    handlers["version"] = [](const RPCRequest& request) {
        return RPCResponse::success(request.id, {{"version", kVersion}});
    };

    // The daemon stops after this reply has been written; elsewhere nothing follows.
    handlers["shutdown"] = [](const RPCRequest& request) {
        return RPCResponse::success(request.id, {{"ok", true}});
    };

    handlers["permissions"] = [this](const RPCRequest& request) {
        return RPCResponse::success(
            request.id, {{"accessibility", platform.accessibility().isProcessTrusted()},
                         {"screen_recording", platform.windowServer().preflightScreenCaptureAccess()}});
    };

    // The answer does not depend on whether the desktop could act on the request.
    handlers["permissions_grant"] = [this](const RPCRequest& request) {
        (void)platform.workspace().openURL(ACCESSIBILITY_SETTINGS_URL);
        return RPCResponse::success(request.id, {{"ok", true}});
    };

    handlers["kv_set"] = [this](const RPCRequest& request) {
        auto key = request.paramString("key");
        if (!key) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing key");
        if (const Json* value = request.rawParam("value")) {
            kvStore[*key] = *value;
        } else {
            kvStore.erase(*key);
        }
        return RPCResponse::success(request.id, {{"ok", true}});
    };

    handlers["kv_get"] = [this](const RPCRequest& request) {
        auto key = request.paramString("key");
        if (!key) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing key");
        auto it = kvStore.find(*key);
        return RPCResponse::success(request.id,
                                    {{"key", *key}, {"value", it == kvStore.end() ? Json(nullptr) : it->second}});
    };
}

}  // namespace kest
