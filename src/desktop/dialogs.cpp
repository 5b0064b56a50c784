// Dialog detection, answers and file dialogs.
#include "desktop/dialogs.hpp"

#include <algorithm>

#include "common/text.hpp"
#include "desktop/ax_reads.hpp"
#include "input/keyboard.hpp"

namespace kest {
namespace {

namespace p = platform;

// Buttons and static texts are collected from the five levels below the
// dialog (calls at depths 0 to 4), a field is searched in the eight below it.
constexpr int COLLECT_MAX_DEPTH = 4;
constexpr int FIELD_MAX_DEPTH = 7;
constexpr auto FILE_FIELD_SETTLE = std::chrono::milliseconds(100);
// A file dialog that has just opened can drop a press of its accept button
// (GTK's chooser, while it is still loading the folder the name points into):
// the dialog then stays as it was. Accepting one looks for it to close or
// change every 50 ms, and presses again when it is unchanged after 250 ms,
// three times at most.
constexpr auto ACCEPT_POLL = std::chrono::milliseconds(50);
constexpr int ACCEPT_POLLS_PER_PRESS = 5;
constexpr int ACCEPT_REPRESSES = 3;

constexpr std::string_view FIELD_ROLES[] = {"AXTextField", "AXTextArea", "AXComboBox"};
// GTK 4 holds a chooser's fields a dozen levels down, among fields of pages
// not shown: a field found beyond the eight levels must have a size on screen.
constexpr int SHOWN_FIELD_MAX_DEPTH = 40;
// An open chooser shows no name field until asked for a location (GTK's take
// Control+L, which "cmd+l" holds): looked for every 50 ms for up to 1 s.
constexpr std::string_view LOCATION_SHORTCUT = "cmd+l";
constexpr auto LOCATION_FIELD_POLL = std::chrono::milliseconds(50);
constexpr auto LOCATION_FIELD_LIMIT = std::chrono::milliseconds(1000);

std::string role(p::Accessibility& accessibility, const p::Element& element) {
    return ax::stringOr(accessibility, element, p::AXAttribute::kRole);
}

}  // namespace

const std::vector<std::string_view> Dialog::ACCEPT_TITLES = {
    "ok", "save", "yes", "done", "open", "allow", "continue", "replace", "don't save", "delete", "remove", "confirm"};
const std::vector<std::string_view> Dialog::CANCEL_TITLES = {"cancel", "no", "close", "dismiss"};

Result<p::Element> Dialog::resolveApp(p::Platform& platform, const std::optional<std::string>& appName) {
    auto& workspace = platform.workspace();
    if (appName) {
        const std::string wanted = lowercased(*appName);
        for (const auto& app : workspace.runningApplications()) {
            if (app.name && lowercased(*app.name) == wanted) return platform.accessibility().applicationElement(app.pid);
        }
        return fail(ErrorCode::kAppNotFound, "Could not find app: " + *appName);
    }
    auto front = workspace.frontmostApplication();
    if (!front) return fail(ErrorCode::kAppNotFound, "Could not find app");
    return platform.accessibility().applicationElement(front->pid);
}

p::Element Dialog::findSheet(p::Accessibility& accessibility, const std::vector<p::Element>& windows) {
    for (const auto& window : windows) {
        auto kids = ax::children(accessibility, window);
        if (!kids) continue;
        for (const auto& child : *kids) {
            if (role(accessibility, child) == "AXSheet") return child;
        }
    }
    return {};
}

p::Element Dialog::findModalWindow(p::Accessibility& accessibility, const std::vector<p::Element>& windows) {
    for (const auto& window : windows) {
        auto modal = accessibility.attribute(window, p::AXAttribute::kModal);
        if (modal && modal->asBool() == true) return window;
    }
    return {};
}

p::Element Dialog::findAlert(p::Accessibility& accessibility, const std::vector<p::Element>& windows) {
    for (const auto& window : windows) {
        const std::string r = role(accessibility, window);
        if (r == "AXSheet" || r == "AXDialog") return window;
    }
    return {};
}

Dialog::Found Dialog::findDialog(p::Accessibility& accessibility, const p::Element& app, bool alerts) {
    auto windows = ax::elementList(accessibility, app, p::AXAttribute::kWindows);
    if (!windows) return {};
    if (auto sheet = findSheet(accessibility, *windows)) return {sheet, "sheet"};
    if (auto modal = findModalWindow(accessibility, *windows)) return {modal, "modal"};
    if (alerts) {
        if (auto alert = findAlert(accessibility, *windows)) return {alert, "alert"};
    }
    return {};
}

void Dialog::collectButtons(p::Accessibility& accessibility, const p::Element& element, Json& buttons, int depth) {
    if (depth > COLLECT_MAX_DEPTH) return;
    auto kids = ax::children(accessibility, element);
    if (!kids) return;
    for (const auto& child : *kids) {
        if (role(accessibility, child) == "AXButton") {
            std::string title = ax::stringOr(accessibility, child, p::AXAttribute::kTitle);
            if (!title.empty()) buttons.push_back({{"title", std::move(title)}});
        }
        collectButtons(accessibility, child, buttons, depth + 1);
    }
}

void Dialog::collectStaticText(p::Accessibility& accessibility, const p::Element& element,
                               std::vector<std::string>& texts, int depth) {
    if (depth > COLLECT_MAX_DEPTH) return;
    auto kids = ax::children(accessibility, element);
    if (!kids) return;
    for (const auto& child : *kids) {
        if (role(accessibility, child) == "AXStaticText") {
            std::string text = ax::stringOr(accessibility, child, p::AXAttribute::kValue);
            if (!text.empty()) texts.push_back(std::move(text));
        }
        collectStaticText(accessibility, child, texts, depth + 1);
    }
}

Json Dialog::describeDialog(p::Accessibility& accessibility, const p::Element& dialog, const char* kind) {
    Json record = {{"type", kind}};
    if (std::string title = ax::stringOr(accessibility, dialog, p::AXAttribute::kTitle); !title.empty()) {
        record["title"] = std::move(title);
    }
    if (std::string text = ax::stringOr(accessibility, dialog, p::AXAttribute::kDescription); !text.empty()) {
        record["description"] = std::move(text);
    }
    Json buttons = Json::array();
    collectButtons(accessibility, dialog, buttons, 0);
    if (!buttons.empty()) record["buttons"] = std::move(buttons);
    std::vector<std::string> texts;
    collectStaticText(accessibility, dialog, texts, 0);
    if (!texts.empty()) {
        std::string message;
        for (const auto& text : texts) {
            if (!message.empty()) message += ' ';
            message += text;
        }
        record["message"] = std::move(message);
    }
    return record;
}

p::Element Dialog::findDefaultButton(p::Accessibility& accessibility, const p::Element& dialog) {
    if (auto button = ax::elementOf(accessibility, dialog, p::AXAttribute::kDefaultButton)) return button;
    return findButtonByTitle(accessibility, dialog, ACCEPT_TITLES, 0);
}

p::Element Dialog::findCancelButton(p::Accessibility& accessibility, const p::Element& dialog) {
    if (auto button = ax::elementOf(accessibility, dialog, p::AXAttribute::kCancelButton)) return button;
    return findButtonByTitle(accessibility, dialog, CANCEL_TITLES, 0);
}

p::Element Dialog::findButtonByTitle(p::Accessibility& accessibility, const p::Element& element,
                                     const std::vector<std::string_view>& titles, int depth) {
    if (depth > COLLECT_MAX_DEPTH) return {};
    auto kids = ax::children(accessibility, element);
    if (!kids) return {};
    for (const auto& child : *kids) {
        if (role(accessibility, child) == "AXButton") {
            const std::string title = lowercased(ax::stringOr(accessibility, child, p::AXAttribute::kTitle));
            if (std::ranges::find(titles, title) != titles.end()) return child;
        }
        if (auto below = findButtonByTitle(accessibility, child, titles, depth + 1)) return below;
    }
    return {};
}

p::Element Dialog::findElement(p::Accessibility& accessibility, const p::Element& element, std::string_view wanted,
                               int depth) {
    if (depth > FIELD_MAX_DEPTH) return {};
    auto kids = ax::children(accessibility, element);
    if (!kids) return {};
    for (const auto& child : *kids) {
        if (role(accessibility, child) == wanted) return child;
        if (auto below = findElement(accessibility, child, wanted, depth + 1)) return below;
    }
    return {};
}

p::Element Dialog::findNameField(p::Accessibility& accessibility, const p::Element& dialog) {
    for (auto wanted : FIELD_ROLES) {
        if (p::Element field = findElement(accessibility, dialog, wanted, 0)) return field;
    }
    return findShownField(accessibility, dialog, 0);
}

p::Element Dialog::findShownField(p::Accessibility& accessibility, const p::Element& element, int depth) {
    if (depth > SHOWN_FIELD_MAX_DEPTH) return {};
    auto kids = ax::children(accessibility, element);
    if (!kids) return {};
    for (const auto& child : *kids) {
        if (std::ranges::find(FIELD_ROLES, role(accessibility, child)) != std::end(FIELD_ROLES)) {
            auto size = accessibility.attribute(child, p::AXAttribute::kSize);
            const auto extent = size ? size->asSize() : std::nullopt;
            if (extent && extent->width > 0 && extent->height > 0) return child;
        }
        if (auto below = findShownField(accessibility, child, depth + 1)) return below;
    }
    return {};
}

Result<Json> Dialog::detect(p::Platform& platform, const std::optional<std::string>& appName) {
    auto app = resolveApp(platform, appName);
    if (!app) return std::unexpected(app.error());
    auto& accessibility = platform.accessibility();
    const Found dialog = findDialog(accessibility, *app, true);
    if (!dialog.element) return Json{{"ok", true}, {"found", false}};
    return Json{{"ok", true}, {"found", true}, {"dialog", describeDialog(accessibility, dialog.element, dialog.kind)}};
}

Dialog::FileDialogState Dialog::fileDialogState(p::Accessibility& accessibility, const p::Element& app) {
    FileDialogState state;
    auto windows = ax::elementList(accessibility, app, p::AXAttribute::kWindows);
    if (!windows) return state;
    state.windows = windows->size();
    const Found dialog = findDialog(accessibility, app, false);
    if (!dialog.element) return state;
    const p::Element field = findNameField(accessibility, dialog.element);
    if (!field) return state;
    state.open = true;
    state.title = ax::stringOr(accessibility, dialog.element, p::AXAttribute::kTitle);
    state.field = ax::stringOr(accessibility, field, p::AXAttribute::kValue);
    return state;
}

Result<Json> Dialog::respond(p::Platform& platform, Pause& pause, Action action,
                             const std::optional<std::string>& appName) {
    auto app = resolveApp(platform, appName);
    if (!app) return std::unexpected(app.error());
    auto& accessibility = platform.accessibility();
    const Found dialog = findDialog(accessibility, *app, true);
    if (!dialog.element) return fail(ErrorCode::kNotFound, "No dialog found");
    if (action == Action::accept) {
        p::Element button = findDefaultButton(accessibility, dialog.element);
        if (!button) return fail(ErrorCode::kNotFound, "No accept button found in dialog");
        const FileDialogState before = fileDialogState(accessibility, *app);
        (void)accessibility.performAction(button, p::AXAction::kPress);
        // Only a file dialog with a name written in it is watched: an alert's
        // press is not dropped, and a press that changed anything (closed the
        // dialog, opened a confirmation, went into a folder) is not repeated.
        if (!before.open || before.field.empty()) return Json{{"ok", true}, {"action", "accept"}};
        for (int press = 0; press < ACCEPT_REPRESSES; ++press) {
            bool unchanged = true;
            for (int poll = 0; unchanged && poll < ACCEPT_POLLS_PER_PRESS; ++poll) {
                if (!pause.sleepFor(ACCEPT_POLL)) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
                unchanged = fileDialogState(accessibility, *app) == before;
            }
            if (!unchanged) break;
            const Found again = findDialog(accessibility, *app, false);
            if (!again.element || !(button = findDefaultButton(accessibility, again.element))) break;
            (void)accessibility.performAction(button, p::AXAction::kPress);
        }
        return Json{{"ok", true}, {"action", "accept"}};
    }
    if (p::Element button = findCancelButton(accessibility, dialog.element)) {
        (void)accessibility.performAction(button, p::AXAction::kPress);
        return Json{{"ok", true}, {"action", "cancel"}};
    }
    Keyboard::pressKey(platform.events(), "escape");
    return Json{{"ok", true}, {"action", "cancel"}, {"method", "escape"}};
}

Result<Json> Dialog::fileDialog(p::Platform& platform, Pause& pause, const std::string& path,
                                const std::optional<std::string>& appName) {
    auto app = resolveApp(platform, appName);
    if (!app) return std::unexpected(app.error());
    auto& accessibility = platform.accessibility();
    const Found dialog = findDialog(accessibility, *app, false);
    if (!dialog.element) return fail(ErrorCode::kNotFound, "No file dialog found");
    p::Element field = findNameField(accessibility, dialog.element);
    if (!field) {
        Keyboard::pressKey(platform.events(), LOCATION_SHORTCUT);
        for (auto waited = Pause::Clock::duration::zero(); !field && waited < LOCATION_FIELD_LIMIT;
             waited += LOCATION_FIELD_POLL) {
            if (!pause.sleepFor(LOCATION_FIELD_POLL)) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
            field = findShownField(accessibility, dialog.element, 0);
        }
    }
    if (!field) return fail(ErrorCode::kNotFound, "No filename text field found in dialog");
    (void)accessibility.setAttribute(field, p::AXAttribute::kFocused, p::Value::boolean(true));
    if (!pause.sleepFor(FILE_FIELD_SETTLE)) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
    (void)accessibility.setAttribute(field, p::AXAttribute::kValue, p::Value::string(path));
    if (!pause.sleepFor(FILE_FIELD_SETTLE)) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
    return Json{{"ok", true}, {"path", path}};
}

}  // namespace kest
