// Dialogs: finding the sheet, modal window or alert an application shows,
// describing it, answering it with its accept or cancel button, and writing a
// path into a file dialog's name field.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/pause.hpp"
#include "platform/platform.hpp"
#include "rpc/protocol.hpp"
#include "rpc/result.hpp"

namespace kest {

// Stateless. Works on the accessibility tree of the application named (its
// localized name, lowercased equality) or of the frontmost one; needs no
// snapshot, ref or grab. Failed accessibility reads make the thing looked for
// absent; presses and writes are not checked.
class Dialog {
public:
    enum class Action { accept, cancel };

    // {"ok", "found": true, "dialog": record} or {"ok", "found": false}. The
    // record: "type" ("sheet", "modal", "alert"), "title" and "description"
    // when non-empty, "buttons" [{"title"}] and "message" (static texts joined
    // with one space) when any were found within five levels.
    static Result<Json> detect(platform::Platform& platform, const std::optional<std::string>& appName);

    // Accept: the default button, else the first button titled from the accept
    // list; presses it. A file dialog holding a name is then watched until it
    // closes or changes, and pressed again (at most three times) when it stays
    // as it was: a chooser still loading drops the press. Cancel: the cancel
    // button, else one titled from the cancel list; with none, presses Escape
    // ("method": "escape").
    static Result<Json> respond(platform::Platform& platform, Pause& pause, Action action,
                                const std::optional<std::string>& appName);

    // Focuses the name field (findNameField) of the sheet or modal window,
    // waits 0.1 s, writes the path as its value, waits 0.1 s. Nothing is
    // pressed. {"ok", "path"}. A dialog with no such field (an open chooser
    // shows none) is sent "cmd+l", which opens the location field of GTK's
    // choosers, and the field is looked for again for up to 1 s.
    static Result<Json> fileDialog(platform::Platform& platform, Pause& pause, const std::string& path,
                                   const std::optional<std::string>& appName);

    // The titles compared with a button's lowercased title.
    static const std::vector<std::string_view> ACCEPT_TITLES;
    static const std::vector<std::string_view> CANCEL_TITLES;

private:
    struct Found {
        platform::Element element;
        const char* kind = nullptr;
    };
    // What shows whether a press of a file dialog's accept button took: the
    // application's window count, and the dialog's title and name.
    struct FileDialogState {
        std::size_t windows = 0;
        bool open = false;
        std::string title;
        std::string field;
        bool operator==(const FileDialogState&) const = default;
    };
    static FileDialogState fileDialogState(platform::Accessibility& accessibility, const platform::Element& app);
    static Result<platform::Element> resolveApp(platform::Platform& platform, const std::optional<std::string>& appName);
    static platform::Element findSheet(platform::Accessibility& accessibility, const std::vector<platform::Element>& windows);
    static platform::Element findModalWindow(platform::Accessibility& accessibility,
                                             const std::vector<platform::Element>& windows);
    static platform::Element findAlert(platform::Accessibility& accessibility, const std::vector<platform::Element>& windows);
    // Sheet, then modal window, then (when `alerts`) alert.
    static Found findDialog(platform::Accessibility& accessibility, const platform::Element& app, bool alerts);
    static Json describeDialog(platform::Accessibility& accessibility, const platform::Element& dialog, const char* kind);
    static void collectButtons(platform::Accessibility& accessibility, const platform::Element& element, Json& buttons,
                               int depth);
    static void collectStaticText(platform::Accessibility& accessibility, const platform::Element& element,
                                  std::vector<std::string>& texts, int depth);
    static platform::Element findDefaultButton(platform::Accessibility& accessibility, const platform::Element& dialog);
    static platform::Element findCancelButton(platform::Accessibility& accessibility, const platform::Element& dialog);
    static platform::Element findButtonByTitle(platform::Accessibility& accessibility, const platform::Element& element,
                                               const std::vector<std::string_view>& titles, int depth);
    static platform::Element findElement(platform::Accessibility& accessibility, const platform::Element& element,
                                         std::string_view role, int depth);
    // The first text field, else text area, else combo box in the eight
    // levels below the dialog; else the first of any of those roles, at any
    // depth, that has a size on screen (GTK 4 nests deeper, and keeps the
    // fields of pages it does not show).
    static platform::Element findNameField(platform::Accessibility& accessibility, const platform::Element& dialog);
    static platform::Element findShownField(platform::Accessibility& accessibility, const platform::Element& element,
                                            int depth);
};

}  // namespace kest
