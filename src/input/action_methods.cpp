// The mouse methods "click", "hover" and "mouse", and the activation of the
// grabbed window's application around input.
#include <algorithm>

#include "common/text.hpp"
#include "input/actions.hpp"
#include "rpc/dispatcher.hpp"

namespace kest {
namespace {

namespace p = platform;

constexpr auto ACTIVATION_SETTLE = std::chrono::milliseconds(150);
constexpr auto RESTORE_DELAY = std::chrono::milliseconds(100);

// The point a ripple marks: the centre of the result's bounds, else the
// coordinates that were asked for.
std::optional<p::Point> ripplePoint(const Json& result, std::optional<double> x, std::optional<double> y) {
    auto bounds = result.find("bounds");
    if (bounds != result.end() && bounds->is_array() && bounds->size() > 3 &&
        std::all_of(bounds->begin(), bounds->end(), [](const Json& n) { return n.is_number(); })) {
        const double bx = (*bounds)[0], by = (*bounds)[1], width = (*bounds)[2], height = (*bounds)[3];
        return p::Point{bx + width * 0.5, by + height * 0.5};
    }
    if (x && y) return p::Point{*x, *y};
    return std::nullopt;
}

}  // namespace

std::optional<p::RunningApplication> Dispatcher::activateGrabbedApp(const std::optional<std::string>& explicitName) {
    std::optional<std::string> name = explicitName;
    if (!name) {
        if (!grabbedWindow) return std::nullopt;
        const std::string ref = *grabbedWindow;  // a pause below may change the grab
        auto info = windowManager.getWindowInfo(ref);
        if (!info) {
            windowManager.listWindows(platform);
            info = windowManager.getWindowInfo(ref);
        }
        if (!info) return std::nullopt;
        auto app = info->find("app");
        if (app == info->end() || !app->is_string()) return std::nullopt;
        name = app->get<std::string>();
    }
    auto& workspace = platform.workspace();
    const std::string wanted = lowercased(*name);
    auto front = workspace.frontmostApplication();
    if (front && front->name && lowercased(*front->name) == wanted) return std::nullopt;
    for (const auto& app : workspace.runningApplications()) {
        if (!app.name || lowercased(*app.name) != wanted) continue;
        workspace.activate(app.pid, p::ActivationOption::kIgnoringOtherApps);
        pause.sleepFor(ACTIVATION_SETTLE);
        break;
    }
    return front;
}

void Dispatcher::restoreApp(const std::optional<p::RunningApplication>& previous) {
    if (!previous) return;
    pause.sleepFor(RESTORE_DELAY);
    platform.workspace().activate(previous->pid, p::ActivationOption::kIgnoringOtherApps);
}

void Dispatcher::registerActionMethods() {
    handlers["click"] = [this](const RPCRequest& request) {
        const auto ref = request.paramString("ref");
        const auto x = request.paramDouble("x");
        const auto y = request.paramDouble("y");
        const auto previous = activateGrabbedApp(std::nullopt);
        // The map is copied: the clicks pause, and another request may take a
        // snapshot meanwhile.
        const RefMap refMap = lastRefMap;
        auto outcome = Actions::click(platform, pause, ref, x, y, request.paramBool("right").value_or(false),
                                      request.paramBool("double").value_or(false), request.paramInt("count").value_or(1),
                                      request.paramStringArray("modifiers").value_or(std::vector<std::string>{}),
                                      refMap);
        restoreApp(previous);
        if (outcome) {
            if (auto point = ripplePoint(*outcome, x, y)) showRipple(*point);
        }
        return respond(request.id, std::move(outcome));
    };

    handlers["hover"] = [this](const RPCRequest& request) {
        const auto x = request.paramDouble("x");
        const auto y = request.paramDouble("y");
        const auto previous = activateGrabbedApp(std::nullopt);
        auto outcome = Actions::hover(platform, request.paramString("ref"), x, y, lastRefMap);
        restoreApp(previous);
        return respond(request.id, std::move(outcome));
    };

    handlers["mouse"] = [this](const RPCRequest& request) {
        const std::string action = request.paramString("action").value_or("down");
        const std::string button = request.paramString("button").value_or("left");
        if (action != "down" && action != "up") {
            return RPCResponse::failure(request.id, ErrorCode::kInvalidParams,
                                        "Invalid mouse action: " + action + ". Use 'down' or 'up'.");
        }
        if (button != "left" && button != "right" && button != "middle") {
            return RPCResponse::failure(request.id, ErrorCode::kInvalidParams,
                                        "Invalid mouse button: " + button + ". Use 'left', 'right', or 'middle'.");
        }
        return respond(request.id, Actions::mouseButton(platform.events(), action, button));
    };
}

}  // namespace kest
