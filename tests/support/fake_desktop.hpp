// The fake desktop: an in-memory implementation of every platform service,
// built from a compact JSON scene, recording what the engine did to it.
//
// Scene format (every key optional unless noted):
//   {"trusted": true, "screen_capture": true, "pasteboard": "text" | null,
//    "pointer": [x, y],
//    "screens": [{"id": 1, "frame": [x,y,w,h], "visible": [x,y,w,h], "scale": 2}],
//    "main_screen": 0 | null,          // index into "screens"; null: no main screen
//    "apps": [{"name", "bundle_id", "pid" (required), "policy": 0, "active", "hidden",
//              "finished": true, "bundle": location, "id": root element id,
//              "windows": [node...], "menu_bar": node, "extras_menu_bar": node,
//              "attrs": {...}}],
//    "windows": [record...],            // window-list records, front-most first
//    "bundles": [{"location" (required), "id", "name", "executable", "info": {k: "v"},
//                 "frameworks": [names] | null, "launch_error": "text",
//                 "launches": app}]}     // the app that opening it starts
// A window-list record: {"number", "owner", "pid", "title", "bounds": [x,y,w,h] or
// {"X","Y","Width","Height"}, "layer": 0, "onscreen": true, "desktop": false}; an
// absent key takes that default (owner: the pid's application name), an explicit
// null makes the key missing from the record.
// An element node: {"id", "role", "subrole", "title", "description", "value",
// "enabled", "focused", "frame": [x,y,w,h] (AXPosition and AXSize),
// "attrs": {"AXName": value}, "actions": ["AXPress"], "children": [node...],
// "hidden": false, "window": number or record (links the node to a window-list
// record: its bounds and on-screen flag then serve AXPosition, AXSize and
// AXMinimized, and writes to those move the record), "fail": {"read": {attr:
// status}, "write": {attr: status}, "action": {action: status}},
// "on": {action: [reaction...]}}.
// Without "actions", buttons, check boxes, radio buttons, links, tabs, menu
// items, menu bar items, pop-up buttons and combo boxes can be pressed and
// windows raised. A reaction: {"do": "show" | "hide" | "remove" | "toggle" |
// "set", "id": target (default: the element acted on), "attr": name (toggle and
// set; default "AXValue"), "value": value (set)}.
// Values: JSON null, booleans, integers, doubles and strings as they are;
// {"point": [x, y]}, {"size": [w, h]}, {"element": id}, {"elements": [ids]},
// {"other": "description"}.
//
// Threading: single-threaded, like the tests; openApplication completes before
// it returns.
#pragma once

#include <cstdint>
#include "common/expected.hpp"
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/platform.hpp"

namespace kest::fake {

using Json = nlohmann::json;
namespace p = kest::platform;

struct FakeNode {
    std::string id;
    std::int32_t pid = 0;
    std::string parent;  // empty for an application's root
    std::vector<std::string> children;
    std::map<std::string, p::Value, std::less<>> attributes;
    std::set<std::string, std::less<>> actions;
    std::map<std::string, p::Status, std::less<>> readFailures;
    std::map<std::string, p::Status, std::less<>> writeFailures;
    std::map<std::string, p::Status, std::less<>> actionFailures;
    std::optional<p::WindowNumber> window;
    bool hidden = false;
    bool removed = false;
};

struct FakeApp {
    p::RunningApplication info;
    std::string rootId;
    std::vector<std::string> windowIds;
    std::optional<std::string> menuBarId;
    std::optional<std::string> extrasMenuBarId;
    bool gone = false;
};

struct FakeWindow {
    p::WindowRecord record;
    bool desktopElement = false;
};

struct FakeBundle {
    std::string location;
    std::optional<std::string> identifier;
    std::optional<std::string> name;
    std::optional<std::string> executable;
    std::map<std::string, std::string, std::less<>> info;
    std::optional<std::vector<std::string>> frameworks;
    std::optional<std::string> launchError;
    std::optional<Json> launches;
};

// What the engine did, in order, with the element it hit.
struct ActionRecord {
    std::string element;
    std::string action;
    p::Status status = 0;
};
struct WriteRecord {
    std::string element;
    std::string attribute;
    p::Value value;
    p::Status status = 0;
};
// Every other request to the desktop: {"operation": name, ...arguments}.
using CallRecord = Json;

// Failure knobs that are not tied to one element (see failRead and friends).
struct Knobs {
    bool trusted = true;
    bool screenCaptureAllowed = true;
    bool windowListUnavailable = false;
    std::set<p::MouseEventType> failingMouseEvents;
    bool keyEventsFail = false;
    // Applications whose windows never take the keyboard focus, activated or not.
    std::set<std::int32_t> focusRefused;
    bool scrollEventsFail = false;
    bool pointerUnavailable = false;
    bool geometryValuesFail = false;
    bool openURLFails = false;
    bool pasteboardWriteFails = false;
    std::optional<std::string> processStartError;
    bool holdOpenCompletions = false;  // openApplication keeps its completion in heldOpenCompletions
    std::optional<std::string> captureStartError;
    std::optional<std::string> privateDirectoryRefusal;  // what makePrivateDirectory answers
    std::optional<p::CaptureExit> captureExit;  // a capture that exits with this status and text
    bool captureWritesFile = true;
    p::PixelSize capturedScreenSize{1920, 1080};
};

class FakeDesktop final : public p::Platform {
public:
    using Reaction = std::function<void(FakeDesktop&)>;
    using EventHook = std::function<void(FakeDesktop&, const p::Event&)>;

    FakeDesktop();
    ~FakeDesktop() override;
    FakeDesktop(const FakeDesktop&) = delete;
    FakeDesktop& operator=(const FakeDesktop&) = delete;

    // Builds a desktop from a scene; the text says what in the scene is wrong.
    static std::expected<std::unique_ptr<FakeDesktop>, std::string> fromScene(const Json& scene);

    p::Accessibility& accessibility() override;
    p::Events& events() override;
    p::WindowServer& windowServer() override;
    p::Workspace& workspace() override;
    p::Screens& screens() override;
    p::Pasteboard& pasteboard() override;
    p::Capture& capture() override;
    p::Overlay& overlay() override;

    // Element handles and their ids.
    p::Element element(std::string_view id) const;  // empty when no node has that id
    std::optional<std::string> idOf(const p::Element& element) const;
    const FakeNode* node(std::string_view id) const;
    // Present: not removed, not hidden, and its application has not gone.
    bool isPresent(std::string_view id) const;
    // The stored value of an attribute, bypassing failures and derived values.
    std::optional<p::Value> storedAttribute(std::string_view id, std::string_view name) const;

    // Scene changes; reactions make the same ones.
    void show(std::string_view id);
    void hide(std::string_view id);
    void remove(std::string_view id);
    void setStored(std::string_view id, std::string_view attribute, p::Value value);
    void toggle(std::string_view id, std::string_view attribute);  // 0 <-> 1, or a boolean flipped
    std::expected<void, std::string> addNode(std::string_view parentId, const Json& node);
    // The application quits under the engine: its elements become invalid, its
    // windows leave the list and it leaves the running applications.
    void applicationGone(std::int32_t pid);

    // Scripted reactions, run after an action or write with status 0.
    void onAction(std::string id, std::string action, Reaction reaction);
    void onWrite(std::string id, std::string attribute, Reaction reaction);
    void onEvent(EventHook hook);

    // Per-element failure knobs.
    void failRead(std::string_view id, std::string attribute, p::Status status);
    void failWrite(std::string_view id, std::string attribute, p::Status status);
    void failAction(std::string_view id, std::string action, p::Status status);

    // Children started with an exit handler, by pid; processExits(pid) ends one
    // and calls its handler, as a backend does when it reaps the child.
    std::map<std::int32_t, p::Workspace::ProcessExitHandler> processExitHandlers;
    void processExits(std::int32_t pid);
    // Runs inside startMonitoredProcess, after the child is started and its
    // handler kept, before the start returns: what a backend's reaper may do
    // meanwhile on its own threads.
    std::function<void(std::int32_t pid)> whileStartingProcess;
    std::vector<p::OpenCompletion> heldOpenCompletions;

    // Recorded, in order.
    std::vector<p::Event> postedEvents;
    std::vector<ActionRecord> actions;
    std::vector<WriteRecord> writes;
    std::vector<CallRecord> calls;
    // Everything the engine did that takes part in input's order, in order:
    // posted events (as toJson writes them), {"action": name, "element": id},
    // {"write": attribute, "element": id, "value": value}, {"activate": pid},
    // {"clipboard": "read" | "clear"}, {"clipboard": "write", "text": text}
    // and, from the harness's clock, {"pause": seconds}.
    std::vector<Json> timeline;
    // The calls whose "operation" is this name.
    std::vector<CallRecord> callsTo(std::string_view operation) const;

    // Desktop state, open to tests.
    Knobs knobs;
    std::map<std::string, FakeNode, std::less<>> nodes;
    std::vector<FakeApp> apps;
    std::vector<FakeWindow> windows;  // front-most first
    std::vector<FakeBundle> bundles;
    std::vector<p::Screen> screenList;
    std::optional<std::size_t> mainScreenIndex;
    std::optional<std::string> pasteboardText;
    p::Point pointer;
    std::map<std::string, p::PixelSize, std::less<>> files;  // written images and their pixel sizes
    std::set<std::string, std::less<>> directories;

    FakeApp* appByPid(std::int32_t pid);
    FakeWindow* windowByNumber(p::WindowNumber number);

private:
    friend class FakeAccessibility;
    friend class FakeEvents;
    friend class FakeWindowServer;
    friend class FakeWorkspace;
    friend class FakeOverlay;
    friend class FakeOverlaySurface;
    struct Services;
    struct Loader;

    // The node behind a handle, or the status a call on it answers.
    std::expected<FakeNode*, p::Status> resolve(const p::Element& element);
    p::AttributeResult readAttribute(FakeNode& node, std::string_view name);
    p::Status writeAttribute(FakeNode& node, std::string_view name, const p::Value& value);
    p::Status perform(FakeNode& node, std::string_view action);
    std::vector<p::Element> presentElements(const std::vector<std::string>& ids) const;
    std::optional<std::string> nodeForWindow(p::WindowNumber number) const;
    bool windowListed(const FakeWindow& window) const;
    double mainScreenHeight() const;
    void runReactions(const std::string& key);
    void addApplication(FakeApp app);

    std::uint64_t serial_;
    std::map<std::string, std::vector<Reaction>, std::less<>> reactions_;
    std::vector<EventHook> eventHooks_;
    std::int32_t nextPid_ = 5000;
    p::WindowNumber nextWindowNumber_ = 9000;
    std::unique_ptr<Services> services_;
};

// Compact JSON for recorded things, so tests compare tables of them:
//   mouse  {"mouse": type, "at": [x, y], "button": b, "click": n, "flags": f}
//   key    {"key": code, "down": bool, "text": "...", "flags": f}
//   scroll {"scroll": "line" | "pixel", "wheels": [vertical, horizontal], "flags": f}
Json toJson(const p::Event& event);
Json toJson(const p::Value& value, const FakeDesktop& desktop);  // the scene's value encoding
Json eventsJson(const FakeDesktop& desktop);
// [{"element": id, "action": name, "status": s}...]
Json actionsJson(const FakeDesktop& desktop);
// [{"element": id, "attr": name, "value": value, "status": s}...]
Json writesJson(const FakeDesktop& desktop);

}  // namespace kest::fake
