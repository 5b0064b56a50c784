// The waiters and the wait method.
#include "snapshot/wait.hpp"

#include <algorithm>

#include "rpc/dispatcher.hpp"
#include "common/text.hpp"

namespace kest {
namespace {

// Polls `check` until it answers a result or the deadline passes.
template <class Check>
Result<Json> poll(Pause& pause, std::int64_t timeoutMs, std::chrono::milliseconds interval,
                  const std::string& timeoutMessage, Check check) {
    const auto deadline = pause.deadlineAfter(Pause::milliseconds(timeoutMs));
    while (pause.now() < deadline) {
        if (std::optional<Json> done = check()) return std::move(*done);
        if (!pause.sleepFor(interval)) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
    }
    return fail(ErrorCode::kTimeout, timeoutMessage);
}

}  // namespace

Result<Json> Wait::waitForApp(Pause& pause, platform::Workspace& workspace, const std::string& name, std::int64_t timeoutMs) {
    const std::string wanted = lowercased(name);
    return poll(pause, timeoutMs, APP_INTERVAL, "Timeout waiting for app: " + name, [&]() -> std::optional<Json> {
        for (const auto& app : workspace.runningApplications()) {
            if (!app.name || lowercased(*app.name) != wanted || !app.finishedLaunching) continue;
            return Json{{"ok", true}, {"app", name}, {"pid", app.pid}};
        }
        return std::nullopt;
    });
}

Result<Json> Wait::waitForWindow(Pause& pause, platform::Platform& platform, const std::string& title, std::int64_t timeoutMs,
                                 WindowManager& windowManager) {
    return poll(pause, timeoutMs, WINDOW_INTERVAL, "Timeout waiting for window: " + title, [&]() -> std::optional<Json> {
        for (const Json& record : windowManager.listWindows(platform)) {
            auto windowTitle = record.find("title");
            if (windowTitle == record.end() || !windowTitle->is_string()) continue;
            if (containsIgnoringCase(windowTitle->get<std::string>(), title)) return Json{{"ok", true}, {"window", record}};
        }
        return std::nullopt;
    });
}

Result<Json> Wait::waitForText(Pause& pause, platform::Platform& platform, const std::string& text, bool gone,
                               std::int64_t timeoutMs, const std::optional<std::string>& grabbedWindow,
                               const WindowManager& windowManager, SnapshotBuilder& snapshotBuilder) {
    SnapshotOptions options;
    options.windowRef = grabbedWindow;
    return poll(pause, timeoutMs, TEXT_INTERVAL, "Timeout waiting for text: " + text, [&]() -> std::optional<Json> {
        auto snapshot = snapshotBuilder.build(platform, windowManager, options);
        if (!snapshot) return std::nullopt;
        if (searchForText((*snapshot)["elements"], text) == gone) return std::nullopt;
        return Json{{"ok", true}, {"text", text}, {"state", gone ? "gone" : "found"}};
    });
}

Result<Json> Wait::waitForElement(Pause& pause, platform::Accessibility& accessibility, const std::string& ref, bool hidden,
                                  bool enabled, std::int64_t timeoutMs, const RefMap& refMap) {
    return poll(pause, timeoutMs, ELEMENT_INTERVAL, "Timeout waiting for element: " + ref, [&]() -> std::optional<Json> {
        auto it = refMap.find(ref);
        const char* state = nullptr;
        if (it == refMap.end()) {
            if (hidden) state = "hidden";
        } else if (!hidden && !enabled) {
            state = "visible";
        } else if (!hidden) {
            auto value = accessibility.attribute(it->second, platform::AXAttribute::kEnabled);
            if (value && value->asBool() == true) state = "enabled";
        }
        if (!state) return std::nullopt;
        return Json{{"ok", true}, {"ref", ref}, {"state", state}};
    });
}

bool Wait::searchForText(const Json& elements, const std::string& text) {
    if (!elements.is_array()) return false;
    for (const Json& record : elements) {
        if (!record.is_object()) continue;
        for (const char* key : {"label", "value"}) {
            auto it = record.find(key);
            if (it != record.end() && it->is_string() && containsIgnoringCase(it->get<std::string>(), text)) return true;
        }
        if (auto children = record.find("children"); children != record.end() && searchForText(*children, text)) {
            return true;
        }
    }
    return false;
}

void Dispatcher::registerWaitMethods() {
    handlers["wait"] = [this](const RPCRequest& request) {
        // Both held within Pause::LONGEST_MS here, so that nothing below adds
        // a caller's count to a clock reading unchecked.
        const std::int64_t timeout = request.paramMilliseconds("timeout").value_or(10000);
        if (auto ms = request.paramMilliseconds("ms")) {
            if (*ms > 0 && !pause.sleepFor(Pause::milliseconds(*ms))) {
                return RPCResponse::failure(request.id, ErrorCode::kFailed, STOPPING_MESSAGE);
            }
            return RPCResponse::success(request.id, {{"ok", true}, {"waited_ms", *ms}});
        }
        if (auto app = request.paramString("app")) {
            return respond(request.id, Wait::waitForApp(pause, platform.workspace(), *app, timeout));
        }
        if (auto window = request.paramString("window")) {
            return respond(request.id, Wait::waitForWindow(pause, platform, *window, timeout, windowManager));
        }
        if (auto text = request.paramString("text")) {
            return respond(request.id, Wait::waitForText(pause, platform, *text, request.paramBool("gone").value_or(false),
                                                         timeout, grabbedWindow, windowManager, snapshotBuilder));
        }
        if (auto ref = request.paramString("ref")) {
            const RefMap refMap = lastRefMap;
            return respond(request.id, Wait::waitForElement(pause, platform.accessibility(), *ref,
                                                            request.paramBool("hidden").value_or(false),
                                                            request.paramBool("enabled").value_or(false), timeout,
                                                            refMap));
        }
        return RPCResponse::failure(request.id, ErrorCode::kInvalidParams,
                                    "wait requires: ms, --app, --window, --text, or ref");
    };
}

}  // namespace kest
