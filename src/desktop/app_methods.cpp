// The application methods: "apps", "launch", "quit", "hide", "unhide",
// "switch", "app_executable", "is_chromium", "launch_cdp", "cdp_port".
#include "common/text.hpp"
#include "desktop/apps.hpp"
#include "rpc/dispatcher.hpp"

namespace kest {
namespace {

namespace p = platform;

constexpr std::int64_t DEFAULT_CDP_PORT = 19200;

// Where each method takes the application's name from.
enum class NameSource { nameRefOrPositional, nameOrPositional, nameOnly };

std::optional<std::string> appName(const RPCRequest& request, NameSource source) {
    if (auto name = request.paramString("name")) return name;
    if (source == NameSource::nameOnly) return std::nullopt;
    if (source == NameSource::nameRefOrPositional) {
        if (auto ref = request.paramString("ref")) return ref;
    }
    return request.firstPositionalString();
}

RPCResponse missingName(const RPCRequest& request) {
    return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing app name");
}

// A request to the running application with that name.
using AppRequest = bool (*)(p::Workspace&, const p::RunningApplication&, const RPCRequest&);

RPCResponse withRunningApp(p::Workspace& workspace, const RPCRequest& request, NameSource source,
                           AppRequest send) {
    auto name = appName(request, source);
    if (!name) return missingName(request);
    auto app = Apps::findRunningApp(workspace, *name);
    if (!app) return RPCResponse::failure(request.id, ErrorCode::kAppNotFound, AppError::notFound(*name).description());
    send(workspace, *app, request);
    return RPCResponse::success(request.id, {{"ok", true}});
}

}  // namespace

void Dispatcher::registerAppMethods() {
    handlers["apps"] = [this](const RPCRequest& request) {
        return RPCResponse::success(request.id, {{"apps", Apps::listRunning(platform.workspace())}});
    };

    handlers["launch"] = [this](const RPCRequest& request) {
        auto name = appName(request, NameSource::nameRefOrPositional);
        if (!name) return missingName(request);
        auto launched = Apps::launch(pause, platform.workspace(), *name, request.paramBool("wait").value_or(false),
                                     request.paramBool("background").value_or(false));
        if (!launched) return RPCResponse::failure(request.id, ErrorCode::kAppNotFound, launched.error().description());
        return RPCResponse::success(request.id, std::move(*launched));
    };

    handlers["quit"] = [this](const RPCRequest& request) {
        return withRunningApp(platform.workspace(), request, NameSource::nameRefOrPositional,
                              [](p::Workspace& workspace, const p::RunningApplication& app, const RPCRequest& r) {
                                  return r.paramBool("force").value_or(false) ? workspace.forceTerminate(app.pid)
                                                                               : workspace.terminate(app.pid);
                              });
    };
    handlers["hide"] = [this](const RPCRequest& request) {
        return withRunningApp(platform.workspace(), request, NameSource::nameOrPositional,
                              [](p::Workspace& workspace, const p::RunningApplication& app, const RPCRequest&) {
                                  return workspace.hide(app.pid);
                              });
    };
    handlers["unhide"] = [this](const RPCRequest& request) {
        return withRunningApp(platform.workspace(), request, NameSource::nameOrPositional,
                              [](p::Workspace& workspace, const p::RunningApplication& app, const RPCRequest&) {
                                  return workspace.unhide(app.pid);
                              });
    };
    handlers["switch"] = [this](const RPCRequest& request) {
        return withRunningApp(platform.workspace(), request, NameSource::nameOrPositional,
                              [](p::Workspace& workspace, const p::RunningApplication& app, const RPCRequest&) {
                                  return workspace.activate(app.pid, p::ActivationOption::kIgnoringOtherApps);
                              });
    };

    handlers["app_executable"] = [this](const RPCRequest& request) {
        auto name = appName(request, NameSource::nameOnly);
        if (!name) return missingName(request);
        auto path = Apps::executablePath(platform.workspace(), *name);
        if (!path) {
            return RPCResponse::failure(request.id, ErrorCode::kAppNotFound, "Could not find executable for " + *name);
        }
        return RPCResponse::success(request.id, {{"executable", *path}});
    };

    handlers["is_chromium"] = [this](const RPCRequest& request) {
        auto name = appName(request, NameSource::nameOnly);
        if (!name) return missingName(request);
        return RPCResponse::success(request.id, {{"is_chromium", Apps::isChromiumBundle(platform.workspace(), *name)}});
    };

    handlers["launch_cdp"] = [this](const RPCRequest& request) {
        auto name = appName(request, NameSource::nameOnly);
        if (!name) return missingName(request);
        const auto port = request.paramInt("port").value_or(DEFAULT_CDP_PORT);
        auto launched = Apps::launchWithCDP(pause, platform.workspace(), *name, port);
        if (!launched) return RPCResponse::failure(request.id, ErrorCode::kAppNotFound, launched.error());
        cdpPorts[lowercased(*name)] = port;
        return RPCResponse::success(request.id, std::move(*launched));
    };

    handlers["cdp_port"] = [this](const RPCRequest& request) {
        auto name = appName(request, NameSource::nameOnly);
        if (!name) return missingName(request);
        auto it = cdpPorts.find(lowercased(*name));
        return RPCResponse::success(request.id,
                                    {{"port", it == cdpPorts.end() ? Json(nullptr) : Json(it->second)}, {"name", *name}});
    };
}

}  // namespace kest
