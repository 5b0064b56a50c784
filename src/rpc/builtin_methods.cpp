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
        StatusBoard board;
        {
            std::lock_guard lock(statusMutex);
            board = statusBoard;
        }
        auto elapsed = std::chrono::steady_clock::now() - startTime;
        return RPCResponse::success(
            request.id,
            {{"grabbed_window", optionalJson(board.grabbedWindow)},
             {"grabbed_app", std::move(board.grabbedApp)},
             {"grabbed_pid", std::move(board.grabbedPid)},
             {"last_snapshot_id", optionalJson(board.lastSnapshotId)},
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
        std::lock_guard lock(kvMutex);
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
        Json value = nullptr;
        {
            std::lock_guard lock(kvMutex);
            if (auto it = kvStore.find(*key); it != kvStore.end()) value = it->second;
        }
        return RPCResponse::success(request.id, {{"key", *key}, {"value", std::move(value)}});
    };
}

}  // namespace kest
