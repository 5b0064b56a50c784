// The mouse methods "click", "hover" and "mouse", and the activation of the
// grabbed window's application around input.
#include <algorithm>

#include "common/text.hpp"
#include "input/actions.hpp"
#include "rpc/dispatcher.hpp"

namespace kest {
namespace {

namespace p = platform;

// Where the backend cannot tell where input goes, the waits after activating
// the target and before restoring the front application.
constexpr auto ACTIVATION_SETTLE = std::chrono::milliseconds(150);
constexpr auto RESTORE_DELAY = std::chrono::milliseconds(100);
// Where it can, waiting for the input focus to arrive (at most 2 s), for the
// target to read what was sent and for the restored application's focus (at
// most 1 s each) looks this often.
constexpr auto FOCUS_POLL = std::chrono::milliseconds(10);
constexpr int ACTIVATION_POLLS = 200;
constexpr int READ_POLLS = 100;

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

Dispatcher::Activation Dispatcher::activateGrabbedApp(const std::optional<std::string>& explicitName) {
    std::optional<std::string> name = explicitName;
    std::optional<std::int32_t> pid;
    std::optional<p::WindowNumber> window;
    if (!name) {
        if (!grabbedWindow) return {};
        const std::string ref = *grabbedWindow;  // a pause below may change the grab
        auto info = windowManager.getWindowInfo(ref);
        if (!info) {
            windowManager.listWindows(platform);
            info = windowManager.getWindowInfo(ref);
        }
        if (!info) return {};
        auto app = info->find("app");
        if (app == info->end() || !app->is_string()) return {};
        name = app->get<std::string>();
        pid = windowManager.getPID(ref);
        window = windowManager.getWindowID(ref);
    }
    auto& workspace = platform.workspace();
    const std::string wanted = lowercased(*name);
    auto front = workspace.frontmostApplication();
    const bool frontByName = front && front->name && lowercased(*front->name) == wanted;
    // The grabbed window's own process, else the first application of the name.
    std::optional<p::RunningApplication> target;
    for (const auto& app : workspace.runningApplications()) {
        if (!app.name || lowercased(*app.name) != wanted) continue;
        if (pid && app.pid != *pid) {
            if (!target) target = app;
            continue;
        }
        target = app;
        break;
    }
    if (!target) return {frontByName ? std::nullopt : front, std::nullopt};
    const bool frontIsTarget = front && (pid ? front->pid == target->pid : frontByName);
    Activation activation{frontIsTarget ? std::nullopt : front, std::nullopt};

    auto focused = workspace.holdsInputFocus(target->pid, window);
    if (!focused) {
        // No way to tell where input goes: activate and allow it time.
        if (frontIsTarget) return {};
        workspace.activate(target->pid, p::ActivationOption::kIgnoringOtherApps);
        pause.sleepFor(ACTIVATION_SETTLE);
        return activation;
    }
    if (*focused) return activation;
    if (window) {
        workspace.activateWindow(target->pid, *window, p::ActivationOption::kIgnoringOtherApps);
    } else {
        workspace.activate(target->pid, p::ActivationOption::kIgnoringOtherApps);
    }
    for (int polls = 0; workspace.holdsInputFocus(target->pid, window) != true; ++polls) {
        if (polls == ACTIVATION_POLLS || !pause.sleepFor(FOCUS_POLL)) {
            // Another window of the application (its modal dialog) may have
            // taken the focus in the named one's stead.
            if (window && workspace.holdsInputFocus(target->pid, std::nullopt) == true) break;
            activation.failure = *name + "'s window did not take the keyboard focus; nothing was sent";
            break;
        }
    }
    // The application has seen its focus arrive before the input follows.
    if (!activation.failure) awaitEventsRead(Pause::Clock::duration::zero());
    return activation;
}

void Dispatcher::awaitEventsRead(Pause::Clock::duration otherwise) {
    auto& events = platform.events();
    if (auto ask = events.askWhenRead()) {
        for (int polls = 0; !events.answered(*ask) && polls < READ_POLLS && pause.sleepFor(FOCUS_POLL); ++polls) {
        }
    } else if (otherwise > Pause::Clock::duration::zero()) {
        pause.sleepFor(otherwise);
    }
}

void Dispatcher::restoreApp(const Activation& activation) {
    const auto& previous = activation.previous;
    if (!previous) return;
    awaitEventsRead(RESTORE_DELAY);
    auto& workspace = platform.workspace();
    workspace.activate(previous->pid, p::ActivationOption::kIgnoringOtherApps);
    for (int polls = 0; workspace.holdsInputFocus(previous->pid, std::nullopt) == false && polls < READ_POLLS &&
                        pause.sleepFor(FOCUS_POLL);
         ++polls) {
    }
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
