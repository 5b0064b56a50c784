// The fake desktop's services, scene loader and recorders.
#include "support/fake_desktop.hpp"

#include <algorithm>
#include <atomic>
#include <deque>

namespace kest::fake {
namespace {

std::atomic<std::uint64_t> nextSerial{1};

// A fake handle names its node by id; the serial ties it to one desktop.
class FakeElement final : public p::ElementHandle {
public:
    FakeElement(std::uint64_t serial, std::string id) : serial(serial), id(std::move(id)) {}
    std::uint64_t serial;
    std::string id;
};

const std::set<std::string, std::less<>> PRESSABLE_ROLES = {
    "AXButton",   "AXCheckBox",    "AXRadioButton", "AXLink",     "AXTab",
    "AXMenuItem", "AXMenuBarItem", "AXPopUpButton", "AXComboBox", "AXMenuButton",
};

bool isGeometryOrScalar(const p::Value& value) {
    using K = p::Value::Kind;
    switch (value.kind()) {
        case K::boolean:
        case K::integer:
        case K::real:
        case K::string:
        case K::point:
        case K::size: return true;
        default: return false;
    }
}

std::expected<p::Rect, std::string> rectFrom(const Json& j, std::string_view what) {
    if (!j.is_array() || j.size() != 4 || !std::all_of(j.begin(), j.end(), [](auto& v) { return v.is_number(); })) {
        return std::unexpected(std::string(what) + " must be [x, y, width, height]");
    }
    return p::Rect{j[0].get<double>(), j[1].get<double>(), j[2].get<double>(), j[3].get<double>()};
}

}  // namespace

// ---------------------------------------------------------------------------
// Scene loading

struct FakeDesktop::Loader {
    FakeDesktop& d;

    std::expected<p::Value, std::string> value(const Json& j) {
        if (j.is_null()) return p::Value::null();
        if (j.is_boolean()) return p::Value::boolean(j.get<bool>());
        if (j.is_number_integer()) return p::Value::integer(j.get<std::int64_t>());
        if (j.is_number()) return p::Value::real(j.get<double>());
        if (j.is_string()) return p::Value::string(j.get<std::string>());
        if (j.is_object() && j.size() == 1) {
            const std::string& key = j.begin().key();
            const Json& v = j.begin().value();
            auto pair = [&](const Json& a) { return a.is_array() && a.size() == 2 && a[0].is_number() && a[1].is_number(); };
            if (key == "point" && pair(v)) return p::Value::point({v[0].get<double>(), v[1].get<double>()});
            if (key == "size" && pair(v)) return p::Value::size({v[0].get<double>(), v[1].get<double>()});
            if (key == "element" && v.is_string()) return p::Value::element(handle(v.get<std::string>()));
            if (key == "other" && v.is_string()) return p::Value::other(v.get<std::string>());
            if (key == "elements" && v.is_array()) {
                std::vector<p::Element> list;
                for (auto& id : v) {
                    if (!id.is_string()) return std::unexpected("element lists hold ids: " + j.dump());
                    list.push_back(handle(id.get<std::string>()));
                }
                return p::Value::elements(std::move(list));
            }
        }
        return std::unexpected("not a value: " + j.dump());
    }

    p::Element handle(std::string id) { return std::make_shared<FakeElement>(d.serial_, std::move(id)); }

    std::expected<void, std::string> statuses(const Json& j, std::map<std::string, p::Status, std::less<>>& into) {
        if (!j.is_object()) return std::unexpected("failures are {name: status}: " + j.dump());
        for (auto& [name, status] : j.items()) {
            if (!status.is_number_integer()) return std::unexpected("a status is an integer: " + j.dump());
            into[name] = status.get<p::Status>();
        }
        return {};
    }

    std::expected<FakeWindow, std::string> window(const Json& j, std::int32_t defaultPid) {
        if (!j.is_object()) return std::unexpected("a window record is an object: " + j.dump());
        FakeWindow w;
        auto& r = w.record;
        auto integer = [&](const char* key, std::optional<std::int64_t> fallback) -> std::optional<std::int64_t> {
            if (!j.contains(key)) return fallback;
            return j[key].is_number_integer() ? std::optional(j[key].get<std::int64_t>()) : std::nullopt;
        };
        auto text = [&](const char* key, std::optional<std::string> fallback) -> std::optional<std::string> {
            if (!j.contains(key)) return fallback;
            return j[key].is_string() ? std::optional(j[key].get<std::string>()) : std::nullopt;
        };
        r.number = integer("number", d.nextWindowNumber_++);
        r.ownerPID = integer("pid", defaultPid ? std::optional<std::int64_t>(defaultPid) : std::nullopt);
        std::optional<std::string> owner;
        if (r.ownerPID) {
            if (auto* app = d.appByPid(static_cast<std::int32_t>(*r.ownerPID))) owner = app->info.name;
        }
        r.ownerName = text("owner", owner);
        r.name = text("title", std::nullopt);
        r.layer = integer("layer", 0);
        if (!j.contains("onscreen")) {
            r.isOnscreen = true;
        } else if (j["onscreen"].is_boolean()) {
            r.isOnscreen = j["onscreen"].get<bool>();
        }
        if (j.contains("bounds")) {
            auto& b = j["bounds"];
            if (b.is_array()) {
                auto rect = rectFrom(b, "bounds");
                if (!rect) return std::unexpected(rect.error());
                r.bounds = p::WindowBounds{rect->x, rect->y, rect->width, rect->height};
            } else if (b.is_object()) {
                p::WindowBounds bounds;
                auto part = [&](const char* key) {
                    return b.contains(key) && b[key].is_number() ? std::optional(b[key].get<double>()) : std::nullopt;
                };
                bounds = {part("X"), part("Y"), part("Width"), part("Height")};
                r.bounds = bounds;
            }
        }
        w.desktopElement = j.value("desktop", false);
        return w;
    }

    std::expected<std::string, std::string> node(const Json& j, std::int32_t pid, const std::string& parent) {
        if (!j.is_object()) return std::unexpected("an element is an object: " + j.dump());
        FakeNode n;
        n.id = j.contains("id") ? j["id"].get<std::string>() : "n" + std::to_string(d.nodes.size() + 1);
        if (d.nodes.contains(n.id)) return std::unexpected("two elements have the id " + n.id);
        n.pid = pid;
        n.parent = parent;
        n.hidden = j.value("hidden", false);
        std::string role = j.value("role", "");
        const std::pair<const char*, std::string_view> SHORT_KEYS[] = {
            {"role", p::AXAttribute::kRole},          {"subrole", p::AXAttribute::kSubrole},
            {"title", p::AXAttribute::kTitle},        {"description", p::AXAttribute::kDescription},
            {"value", p::AXAttribute::kValue},        {"enabled", p::AXAttribute::kEnabled},
            {"focused", p::AXAttribute::kFocused},
        };
        for (auto& [key, attribute] : SHORT_KEYS) {
            if (!j.contains(key)) continue;
            auto v = value(j[key]);
            if (!v) return std::unexpected(v.error());
            n.attributes[std::string(attribute)] = *v;
        }
        if (j.contains("frame")) {
            auto rect = rectFrom(j["frame"], "frame");
            if (!rect) return std::unexpected(rect.error());
            n.attributes[std::string(p::AXAttribute::kPosition)] = p::Value::point({rect->x, rect->y});
            n.attributes[std::string(p::AXAttribute::kSize)] = p::Value::size({rect->width, rect->height});
        }
        if (j.contains("attrs")) {
            for (auto& [name, raw] : j["attrs"].items()) {
                auto v = value(raw);
                if (!v) return std::unexpected(v.error());
                n.attributes[name] = *v;
            }
        }
        if (j.contains("actions")) {
            for (auto& action : j["actions"]) n.actions.insert(action.get<std::string>());
        } else if (PRESSABLE_ROLES.contains(role)) {
            n.actions.insert(std::string(p::AXAction::kPress));
        } else if (role == "AXWindow") {
            n.actions.insert(std::string(p::AXAction::kRaise));
        }
        if (j.contains("fail")) {
            auto& f = j["fail"];
            for (auto [key, into] : {std::pair{"read", &n.readFailures}, std::pair{"write", &n.writeFailures},
                                     std::pair{"action", &n.actionFailures}}) {
                if (!f.contains(key)) continue;
                if (auto ok = statuses(f[key], *into); !ok) return std::unexpected(ok.error());
            }
        }
        if (j.contains("window")) {
            auto& w = j["window"];
            if (w.is_number_integer()) {
                n.window = w.get<p::WindowNumber>();
            } else {
                Json record = w;
                if (!record.contains("title") && j.contains("title")) record["title"] = j["title"];
                auto made = window(record, pid);
                if (!made) return std::unexpected(made.error());
                n.window = static_cast<p::WindowNumber>(made->record.number.value_or(0));
                d.windows.push_back(std::move(*made));
            }
        }
        std::string id = n.id;
        d.nodes.emplace(id, std::move(n));
        if (j.contains("children")) {
            for (auto& child : j["children"]) {
                auto childId = node(child, pid, id);
                if (!childId) return childId;
                d.nodes[id].children.push_back(*childId);
            }
        }
        if (j.contains("on")) {
            for (auto& [action, list] : j["on"].items()) {
                for (auto& step : list) {
                    auto reaction = this->reaction(step, id);
                    if (!reaction) return std::unexpected(reaction.error());
                    d.onAction(id, action, *reaction);
                }
            }
        }
        return id;
    }

    std::expected<Reaction, std::string> reaction(const Json& j, const std::string& self) {
        if (!j.is_object() || !j.contains("do")) return std::unexpected("a reaction is {\"do\": ...}: " + j.dump());
        std::string what = j["do"].get<std::string>();
        std::string target = j.value("id", self);
        std::string attribute = j.value("attr", std::string(p::AXAttribute::kValue));
        if (what == "show") return [target](FakeDesktop& d) { d.show(target); };
        if (what == "hide") return [target](FakeDesktop& d) { d.hide(target); };
        if (what == "remove") return [target](FakeDesktop& d) { d.remove(target); };
        if (what == "toggle") return [target, attribute](FakeDesktop& d) { d.toggle(target, attribute); };
        if (what == "set") {
            auto v = value(j.value("value", Json()));
            if (!v) return std::unexpected(v.error());
            return [target, attribute, v = *v](FakeDesktop& d) { d.setStored(target, attribute, v); };
        }
        return std::unexpected("unknown reaction: " + what);
    }

    std::expected<void, std::string> app(const Json& j) {
        if (!j.is_object() || !j.contains("pid") || !j["pid"].is_number_integer()) {
            return std::unexpected("an application needs a pid: " + j.dump());
        }
        FakeApp a;
        auto& info = a.info;
        info.pid = j["pid"].get<std::int32_t>();
        if (d.appByPid(info.pid)) return std::unexpected("two applications have the pid " + std::to_string(info.pid));
        if (j.contains("name") && j["name"].is_string()) info.name = j["name"].get<std::string>();
        if (j.contains("bundle_id") && j["bundle_id"].is_string()) info.bundleIdentifier = j["bundle_id"].get<std::string>();
        if (j.contains("bundle") && j["bundle"].is_string()) info.bundleLocation = j["bundle"].get<std::string>();
        info.activationPolicy = j.value("policy", std::int64_t{0});
        info.active = j.value("active", false);
        info.hidden = j.value("hidden", false);
        info.finishedLaunching = j.value("finished", true);
        a.rootId = j.value("id", "app" + std::to_string(info.pid));
        d.addApplication(a);

        Json root = {{"id", a.rootId}, {"role", "AXApplication"}, {"actions", Json::array()}};
        if (info.name) root["title"] = *info.name;
        if (j.contains("attrs")) root["attrs"] = j["attrs"];
        if (auto made = node(root, info.pid, ""); !made) return std::unexpected(made.error());
        FakeApp& stored = *d.appByPid(info.pid);
        auto attach = [&](const Json& child) -> std::expected<std::string, std::string> {
            auto id = node(child, info.pid, stored.rootId);
            if (id) d.nodes[stored.rootId].children.push_back(*id);
            return id;
        };
        for (auto& w : j.value("windows", Json::array())) {
            auto id = attach(w);
            if (!id) return std::unexpected(id.error());
            d.appByPid(info.pid)->windowIds.push_back(*id);
        }
        for (auto [key, slot] : {std::pair{"menu_bar", &FakeApp::menuBarId},
                                 std::pair{"extras_menu_bar", &FakeApp::extrasMenuBarId}}) {
            if (!j.contains(key)) continue;
            auto id = attach(j[key]);
            if (!id) return std::unexpected(id.error());
            d.appByPid(info.pid)->*slot = *id;
        }
        return {};
    }

    std::expected<void, std::string> bundle(const Json& j) {
        if (!j.is_object() || !j.contains("location")) return std::unexpected("a bundle needs a location: " + j.dump());
        FakeBundle b;
        b.location = j["location"].get<std::string>();
        auto text = [&](const char* key) {
            return j.contains(key) && j[key].is_string() ? std::optional(j[key].get<std::string>()) : std::nullopt;
        };
        b.identifier = text("id");
        b.name = text("name");
        b.executable = text("executable");
        b.launchError = text("launch_error");
        const Json info = j.value("info", Json::object());
        for (auto& [key, v] : info.items()) {
            if (v.is_string()) b.info[key] = v.get<std::string>();
        }
        if (!j.contains("frameworks")) {
            b.frameworks = std::vector<std::string>{};
        } else if (j["frameworks"].is_array()) {
            b.frameworks = j["frameworks"].get<std::vector<std::string>>();
        }
        if (j.contains("launches")) b.launches = j["launches"];
        d.bundles.push_back(std::move(b));
        return {};
    }

    std::expected<void, std::string> scene(const Json& j) {
        if (!j.is_object()) return std::unexpected("a scene is an object");
        d.knobs.trusted = j.value("trusted", true);
        d.knobs.screenCaptureAllowed = j.value("screen_capture", true);
        if (j.contains("pasteboard") && j["pasteboard"].is_string()) d.pasteboardText = j["pasteboard"].get<std::string>();
        if (j.contains("pointer")) d.pointer = {j["pointer"][0].get<double>(), j["pointer"][1].get<double>()};
        for (auto& b : j.value("bundles", Json::array())) {
            if (auto ok = bundle(b); !ok) return ok;
        }
        // Records listed at the top come first (front-most), then those declared on elements.
        // Their owner names default to their applications', which load first.
        for (auto& a : j.value("apps", Json::array())) {
            if (auto ok = app(a); !ok) return ok;
        }
        std::vector<FakeWindow> topLevel;
        for (auto& w : j.value("windows", Json::array())) {
            auto made = window(w, 0);
            if (!made) return std::unexpected(made.error());
            topLevel.push_back(std::move(*made));
        }
        d.windows.insert(d.windows.begin(), topLevel.begin(), topLevel.end());
        if (j.contains("screens")) {
            std::uint32_t nextId = 1;
            for (auto& s : j["screens"]) {
                p::Screen screen;
                screen.id = s.value("id", nextId);
                nextId = screen.id + 1;
                auto frame = rectFrom(s.value("frame", Json()), "a screen's frame");
                if (!frame) return std::unexpected(frame.error());
                screen.frame = *frame;
                screen.visibleFrame = *frame;
                if (s.contains("visible")) {
                    auto visible = rectFrom(s["visible"], "a screen's visible frame");
                    if (!visible) return std::unexpected(visible.error());
                    screen.visibleFrame = *visible;
                }
                screen.scaleFactor = s.value("scale", 1.0);
                d.screenList.push_back(screen);
            }
        } else {
            d.screenList.push_back({1, {0, 0, 1920, 1080}, {0, 0, 1920, 1080}, 1.0});
        }
        d.mainScreenIndex.reset();
        if (!j.contains("main_screen")) {
            if (!d.screenList.empty()) d.mainScreenIndex = 0;
        } else if (j["main_screen"].is_number_integer()) {
            d.mainScreenIndex = j["main_screen"].get<std::size_t>();
        }
        return {};
    }
};

// ---------------------------------------------------------------------------
// Services

class FakeAccessibility final : public p::Accessibility {
public:
    explicit FakeAccessibility(FakeDesktop& d) : d_(d) {}
    bool isProcessTrusted() override { return d_.knobs.trusted; }
    p::Element applicationElement(std::int32_t pid) override {
        if (auto* app = d_.appByPid(pid)) return d_.element(app->rootId);
        return std::make_shared<FakeElement>(d_.serial_, "app:" + std::to_string(pid));
    }
    p::AttributeResult attribute(const p::Element& element, std::string_view name) override {
        auto node = d_.resolve(element);
        if (!node) return std::unexpected(node.error());
        return d_.readAttribute(**node, name);
    }
    p::Status setAttribute(const p::Element& element, std::string_view name, const p::Value& value) override {
        auto node = d_.resolve(element);
        p::Status status = node ? d_.writeAttribute(**node, name, value) : node.error();
        d_.writes.push_back({d_.idOf(element).value_or(""), std::string(name), value, status});
        d_.timeline.push_back({{"write", name}, {"element", d_.idOf(element).value_or("")}, {"value", toJson(value, d_)}});
        if (status == p::StatusCode::kSuccess) d_.runReactions("write:" + (*node)->id + ":" + std::string(name));
        return status;
    }
    p::Status performAction(const p::Element& element, std::string_view action) override {
        auto node = d_.resolve(element);
        p::Status status = node ? d_.perform(**node, action) : node.error();
        d_.actions.push_back({d_.idOf(element).value_or(""), std::string(action), status});
        d_.timeline.push_back({{"action", action}, {"element", d_.idOf(element).value_or("")}});
        if (status == p::StatusCode::kSuccess) d_.runReactions("action:" + (*node)->id + ":" + std::string(action));
        return status;
    }
    void setMessagingTimeout(const p::Element& element, std::chrono::duration<double> timeout) override {
        d_.calls.push_back({{"operation", "setMessagingTimeout"},
                            {"element", d_.idOf(element).value_or("")},
                            {"seconds", timeout.count()}});
    }
    std::optional<p::Value> createPointValue(p::Point point) override {
        if (d_.knobs.geometryValuesFail) return std::nullopt;
        return p::Value::point(point);
    }
    std::optional<p::Value> createSizeValue(p::Size size) override {
        if (d_.knobs.geometryValuesFail) return std::nullopt;
        return p::Value::size(size);
    }

private:
    FakeDesktop& d_;
};

class FakeEvents final : public p::Events {
public:
    explicit FakeEvents(FakeDesktop& d) : d_(d) {}
    std::optional<p::MouseEvent> createMouseEvent(p::MouseEventType type, p::Point location,
                                                  p::MouseButton button) override {
        if (d_.knobs.failingMouseEvents.contains(type)) return std::nullopt;
        return p::MouseEvent{type, location, button, 0, 0};
    }
    std::optional<p::KeyEvent> createKeyEvent(p::KeyCode keyCode, bool keyDown) override {
        if (d_.knobs.keyEventsFail) return std::nullopt;
        return p::KeyEvent{keyCode, keyDown, {}, 0};
    }
    std::optional<p::ScrollEvent> createScrollEvent(p::ScrollUnit unit, std::int32_t vertical,
                                                    std::int32_t horizontal) override {
        if (d_.knobs.scrollEventsFail) return std::nullopt;
        return p::ScrollEvent{unit, vertical, horizontal, 0};
    }
    void post(const p::Event& event) override {
        d_.postedEvents.push_back(event);
        d_.timeline.push_back(toJson(event));
        if (auto* mouse = std::get_if<p::MouseEvent>(&event)) d_.pointer = mouse->location;
        auto hooks = d_.eventHooks_;  // a hook may add hooks
        for (auto& hook : hooks) hook(d_, event);
    }
    std::optional<p::Point> pointerLocation() override {
        if (d_.knobs.pointerUnavailable) return std::nullopt;
        return d_.pointer;
    }

private:
    FakeDesktop& d_;
};

class FakeWindowServer final : public p::WindowServer {
public:
    explicit FakeWindowServer(FakeDesktop& d) : d_(d) {}
    std::optional<std::vector<p::WindowRecord>> windowList(p::WindowListOptions options,
                                                           p::WindowNumber relativeTo) override {
        using namespace p::WindowListOption;
        d_.calls.push_back({{"operation", "windowList"}, {"options", options}, {"relative_to", relativeTo}});
        if (d_.knobs.windowListUnavailable) return std::nullopt;
        std::vector<const FakeWindow*> listed;
        for (auto& window : d_.windows) {
            if (d_.windowListed(window)) listed.push_back(&window);
        }
        auto relative = std::find_if(listed.begin(), listed.end(), [&](auto* w) {
            return w->record.number && *w->record.number == static_cast<std::int64_t>(relativeTo);
        });
        std::vector<p::WindowRecord> records;
        if ((options & (kOnScreenAboveWindow | kOnScreenBelowWindow)) != 0 && relative == listed.end()) {
            return records;
        }
        const p::WindowListOptions onScreenBits = kOnScreenOnly | kOnScreenAboveWindow | kOnScreenBelowWindow;
        auto keep = [&](auto it) {
            const FakeWindow& window = **it;
            if ((options & kIncludingWindow) && it == relative) return true;
            if ((options & kIncludingWindow) && !(options & onScreenBits)) return false;  // just that window
            if ((options & onScreenBits) && !window.record.isOnscreen.value_or(true)) return false;
            if ((options & kOnScreenAboveWindow) && it >= relative) return false;
            if ((options & kOnScreenBelowWindow) && it <= relative) return false;
            return !((options & kExcludeDesktopElements) && window.desktopElement);
        };
        for (auto it = listed.begin(); it != listed.end(); ++it) {
            if (keep(it)) records.push_back((*it)->record);
        }
        return records;
    }
    bool orderWindowAbove(p::WindowNumber window, p::WindowNumber target) override {
        d_.calls.push_back({{"operation", "orderWindowAbove"}, {"window", window}, {"target", target}});
        auto find = [&](p::WindowNumber n) {
            return std::find_if(d_.windows.begin(), d_.windows.end(), [&](const FakeWindow& w) {
                return w.record.number && *w.record.number == static_cast<std::int64_t>(n);
            });
        };
        auto moving = find(window);
        if (moving == d_.windows.end() || find(target) == d_.windows.end() || window == target) return false;
        FakeWindow taken = *moving;
        d_.windows.erase(moving);
        d_.windows.insert(find(target), std::move(taken));
        return true;
    }
    bool preflightScreenCaptureAccess() override { return d_.knobs.screenCaptureAllowed; }

private:
    FakeDesktop& d_;
};

class FakeWorkspace final : public p::Workspace {
public:
    explicit FakeWorkspace(FakeDesktop& d) : d_(d) {}
    std::vector<p::RunningApplication> runningApplications() override {
        std::vector<p::RunningApplication> result;
        for (auto& app : d_.apps) {
            if (!app.gone) result.push_back(app.info);
        }
        return result;
    }
    std::optional<p::RunningApplication> frontmostApplication() override {
        for (auto& app : d_.apps) {
            if (!app.gone && app.info.active) return app.info;
        }
        return std::nullopt;
    }
    bool activateWindow(std::int32_t pid, std::uint32_t window, p::ActivationOptions options) override {
        return activateApp({{"operation", "activate"}, {"pid", pid}, {"options", options}, {"window", window}}, pid);
    }
    std::optional<bool> holdsInputFocus(std::int32_t pid, std::optional<std::uint32_t> window) override {
        if (d_.knobs.focusRefused.contains(pid)) return false;
        return p::Workspace::holdsInputFocus(pid, window);
    }
    bool activate(std::int32_t pid, p::ActivationOptions options) override {
        return activateApp({{"operation", "activate"}, {"pid", pid}, {"options", options}}, pid);
    }
    bool activateApp(Json call, std::int32_t pid) {
        d_.calls.push_back(std::move(call));
        d_.timeline.push_back({{"activate", pid}});
        auto* target = d_.appByPid(pid);
        if (!target) return false;
        for (auto& app : d_.apps) app.info.active = false;
        target->info.active = true;
        target->info.hidden = false;
        return true;
    }
    bool hide(std::int32_t pid) override { return setHidden("hide", pid, true); }
    bool unhide(std::int32_t pid) override { return setHidden("unhide", pid, false); }
    bool terminate(std::int32_t pid) override { return quit("terminate", pid); }
    bool forceTerminate(std::int32_t pid) override { return quit("forceTerminate", pid); }
    bool openURL(const std::string& url) override {
        d_.calls.push_back({{"operation", "openURL"}, {"url", url}});
        return !d_.knobs.openURLFails;
    }
    void openApplication(const std::string& location, const p::OpenConfiguration& configuration,
                         p::OpenCompletion completion) override {
        d_.calls.push_back({{"operation", "openApplication"},
                            {"location", location},
                            {"activates", configuration.activates},
                            {"documents", configuration.documents},
                            {"arguments", configuration.arguments}});
        if (d_.knobs.holdOpenCompletions) {
            d_.heldOpenCompletions.push_back(std::move(completion));
            return;
        }
        auto bundle = std::find_if(d_.bundles.begin(), d_.bundles.end(),
                                   [&](const FakeBundle& b) { return b.location == location; });
        if (bundle == d_.bundles.end()) {
            completion(std::nullopt, "The application at " + location + " cannot be found.");
            return;
        }
        if (bundle->launchError) {
            completion(std::nullopt, *bundle->launchError);
            return;
        }
        FakeApp* running = nullptr;
        for (auto& app : d_.apps) {
            if (!app.gone && app.info.bundleLocation == location) running = &app;
        }
        if (!running) {
            Json scene = bundle->launches.value_or(Json::object());
            if (!scene.contains("pid")) scene["pid"] = d_.nextPid_++;
            if (!scene.contains("name") && bundle->name) scene["name"] = *bundle->name;
            if (!scene.contains("bundle_id") && bundle->identifier) scene["bundle_id"] = *bundle->identifier;
            scene["bundle"] = location;
            scene["active"] = false;
            auto added = FakeDesktop::Loader{d_}.app(scene);
            if (!added) {
                completion(std::nullopt, added.error());
                return;
            }
            running = d_.appByPid(scene["pid"].get<std::int32_t>());
        }
        if (configuration.activates) activate(running->info.pid, p::ActivationOption::kIgnoringOtherApps);
        completion(running->info, std::nullopt);
    }
    std::expected<std::int32_t, std::string> startProcess(const std::string& executable,
                                                          const std::vector<std::string>& arguments) override {
        d_.calls.push_back({{"operation", "startProcess"}, {"executable", executable}, {"arguments", arguments}});
        if (d_.knobs.processStartError) return std::unexpected(*d_.knobs.processStartError);
        std::int32_t pid = d_.nextPid_++;
        for (auto& bundle : d_.bundles) {
            if (bundle.executable != executable || !bundle.launches) continue;
            Json scene = *bundle.launches;
            if (!scene.contains("pid")) scene["pid"] = pid;
            scene["bundle"] = bundle.location;
            if (auto added = FakeDesktop::Loader{d_}.app(scene); !added) return std::unexpected(added.error());
            break;
        }
        return pid;
    }
    std::expected<std::int32_t, std::string> startMonitoredProcess(const std::string& executable,
                                                                   const std::vector<std::string>& arguments,
                                                                   ProcessExitHandler onExit) override {
        auto pid = startProcess(executable, arguments);
        if (pid && onExit) d_.processExitHandlers[*pid] = std::move(onExit);
        if (pid && d_.whileStartingProcess) d_.whileStartingProcess(*pid);
        return pid;
    }
    std::optional<std::string> locateApplication(std::string_view identifier) override {
        for (auto& bundle : d_.bundles) {
            if (bundle.identifier && *bundle.identifier == identifier) return bundle.location;
        }
        return std::nullopt;
    }
    std::optional<std::string> findApplicationInFolders(std::string_view name) override {
        for (auto& bundle : d_.bundles) {
            if (bundle.name && *bundle.name == name) return bundle.location;
        }
        return std::nullopt;
    }
    std::optional<std::string> bundleExecutable(const std::string& location) override {
        auto* bundle = find(location);
        return bundle ? bundle->executable : std::nullopt;
    }
    std::optional<std::string> bundleInfoString(const std::string& location, std::string_view key) override {
        auto* bundle = find(location);
        if (!bundle) return std::nullopt;
        auto it = bundle->info.find(key);
        return it == bundle->info.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    std::optional<std::vector<std::string>> bundleFrameworkEntries(const std::string& location) override {
        auto* bundle = find(location);
        return bundle ? bundle->frameworks : std::nullopt;
    }

private:
    FakeBundle* find(std::string_view location) {
        for (auto& bundle : d_.bundles) {
            if (bundle.location == location) return &bundle;
        }
        return nullptr;
    }
    bool setHidden(const char* operation, std::int32_t pid, bool hidden) {
        d_.calls.push_back({{"operation", operation}, {"pid", pid}});
        auto* app = d_.appByPid(pid);
        if (!app) return false;
        app->info.hidden = hidden;
        if (hidden) app->info.active = false;
        return true;
    }
    bool quit(const char* operation, std::int32_t pid) {
        d_.calls.push_back({{"operation", operation}, {"pid", pid}});
        if (!d_.appByPid(pid)) return false;
        d_.applicationGone(pid);
        return true;
    }
    FakeDesktop& d_;
};

class FakeScreens final : public p::Screens {
public:
    explicit FakeScreens(FakeDesktop& d) : d_(d) {}
    std::vector<p::Screen> screens() override { return d_.screenList; }
    std::optional<p::Screen> mainScreen() override {
        if (!d_.mainScreenIndex || *d_.mainScreenIndex >= d_.screenList.size()) return std::nullopt;
        return d_.screenList[*d_.mainScreenIndex];
    }

private:
    FakeDesktop& d_;
};

class FakePasteboard final : public p::Pasteboard {
public:
    explicit FakePasteboard(FakeDesktop& d) : d_(d) {}
    std::optional<std::string> readText() override {
        d_.timeline.push_back({{"clipboard", "read"}});
        return d_.pasteboardText;
    }
    void clear() override {
        d_.calls.push_back({{"operation", "clearPasteboard"}});
        d_.timeline.push_back({{"clipboard", "clear"}});
        d_.pasteboardText.reset();
    }
    bool writeText(std::string text) override {
        d_.calls.push_back({{"operation", "writePasteboard"}, {"text", text}});
        d_.timeline.push_back({{"clipboard", "write"}, {"text", text}});
        if (d_.knobs.pasteboardWriteFails) return false;
        d_.pasteboardText = text;
        return true;
    }

private:
    FakeDesktop& d_;
};

class FakeCapture final : public p::Capture {
public:
    explicit FakeCapture(FakeDesktop& d) : d_(d) {}
    std::expected<p::CaptureExit, std::string> capture(const p::CaptureRequest& request) override {
        d_.calls.push_back({{"operation", "capture"},
                            {"window", request.window ? Json(*request.window) : Json(nullptr)},
                            {"format", request.format == p::ImageFormat::jpeg ? "jpeg" : "png"},
                            {"path", request.path},
                            {"owner_only", request.ownerOnly}});
        if (d_.knobs.captureStartError) return std::unexpected(*d_.knobs.captureStartError);
        if (d_.knobs.captureExit) return *d_.knobs.captureExit;
        if (d_.knobs.captureWritesFile) {
            p::PixelSize size = d_.knobs.capturedScreenSize;
            if (request.window) {
                if (auto* window = d_.windowByNumber(*request.window); window && window->record.bounds) {
                    double scale = d_.mainScreenIndex && *d_.mainScreenIndex < d_.screenList.size()
                                       ? d_.screenList[*d_.mainScreenIndex].scaleFactor
                                       : 1.0;
                    size = {static_cast<std::int64_t>(window->record.bounds->width.value_or(0) * scale),
                            static_cast<std::int64_t>(window->record.bounds->height.value_or(0) * scale)};
                }
            }
            d_.files[request.path] = size;
        }
        return p::CaptureExit{};
    }
    std::optional<p::PixelSize> imagePixelSize(const std::string& path) override {
        auto it = d_.files.find(path);
        return it == d_.files.end() ? std::nullopt : std::optional<p::PixelSize>(it->second);
    }
    bool createDirectories(const std::string& path) override {
        d_.calls.push_back({{"operation", "createDirectories"}, {"path", path}});
        d_.directories.insert(path);
        return true;
    }
    std::optional<std::string> makePrivateDirectory(const std::string& path) override {
        d_.calls.push_back({{"operation", "makePrivateDirectory"}, {"path", path}});
        if (d_.knobs.privateDirectoryRefusal) return d_.knobs.privateDirectoryRefusal;
        d_.directories.insert(path);
        return std::nullopt;
    }
    bool fileExists(const std::string& path) override {
        return d_.files.contains(path) || d_.directories.contains(path);
    }

private:
    FakeDesktop& d_;
};

// A surface is a window-list record of the engine's own, in a non-zero layer
// (as an unmanaged overlay is), ordered out until shown.
class FakeOverlaySurface final : public p::OverlaySurface {
public:
    FakeOverlaySurface(FakeDesktop& d, p::WindowNumber number, p::Rect frame) : d_(d), number_(number), frame_(frame) {
        FakeWindow window;
        window.record.number = number;
        window.record.ownerName = "kest-core";
        window.record.ownerPID = 0;
        window.record.layer = 25;
        window.record.isOnscreen = false;
        d_.windows.insert(d_.windows.begin(), window);
        place();
    }
    ~FakeOverlaySurface() override {
        log("removeSurface");
        std::erase_if(d_.windows, [&](const FakeWindow& w) {
            return w.record.number == static_cast<std::int64_t>(number_);
        });
    }
    p::WindowNumber windowNumber() const override { return number_; }
    p::Rect frame() const override { return frame_; }
    void setFrame(p::Rect frame) override {
        frame_ = frame;
        log("setFrame", {{"frame", {frame.x, frame.y, frame.width, frame.height}}});
        place();
    }
    void orderFront() override {
        log("orderFront");
        auto it = std::find_if(d_.windows.begin(), d_.windows.end(), [&](const FakeWindow& w) {
            return w.record.number == static_cast<std::int64_t>(number_);
        });
        if (it == d_.windows.end()) return;
        FakeWindow window = *it;
        window.record.isOnscreen = true;
        d_.windows.erase(it);
        d_.windows.insert(d_.windows.begin(), window);
    }
    void orderOut() override {
        log("orderOut");
        if (auto* window = d_.windowByNumber(number_)) window->record.isOnscreen = false;
    }
    void setRing(const p::Ring& ring) override {
        log("setRing", {{"rect", {ring.rect.x, ring.rect.y, ring.rect.width, ring.rect.height}},
                        {"corner_radius", ring.cornerRadius}});
    }
    void showRipple(p::Point point) override { log("showRipple", {{"at", {point.x, point.y}}}); }

private:
    void log(const char* operation, Json extra = Json::object()) {
        extra["operation"] = operation;
        extra["window"] = number_;
        d_.calls.push_back(std::move(extra));
    }
    // Bottom-left frame to top-left window bounds.
    void place() {
        if (auto* window = d_.windowByNumber(number_)) {
            double top = d_.mainScreenHeight() - (frame_.y + frame_.height);
            window->record.bounds = p::WindowBounds{frame_.x, top, frame_.width, frame_.height};
        }
    }
    FakeDesktop& d_;
    p::WindowNumber number_;
    p::Rect frame_;
};

namespace {
class FakeTimer final : public p::MainLoopTimer {
public:
    explicit FakeTimer(std::function<void()> tick) : tick(std::make_shared<std::function<void()>>(std::move(tick))) {}
    std::shared_ptr<std::function<void()>> tick;
};
}  // namespace

// Runs queued work, then every live timer once, per runMainLoop call: the tests
// decide how many ticks pass, never a clock.
class FakeOverlay final : public p::Overlay {
public:
    explicit FakeOverlay(FakeDesktop& d) : d_(d) {}
    std::unique_ptr<p::OverlaySurface> createSurface(p::Rect frame) override {
        p::WindowNumber number = d_.nextWindowNumber_++;
        d_.calls.push_back({{"operation", "createSurface"},
                            {"window", number},
                            {"frame", {frame.x, frame.y, frame.width, frame.height}}});
        return std::make_unique<FakeOverlaySurface>(d_, number, frame);
    }
    void postToMainThread(std::function<void()> task) override { queue_.push_back(std::move(task)); }
    std::unique_ptr<p::MainLoopTimer> startRepeatingTimer(std::chrono::milliseconds,
                                                          std::function<void()> tick) override {
        auto timer = std::make_unique<FakeTimer>(std::move(tick));
        timers_.push_back(timer->tick);
        return timer;
    }
    void runMainLoop(std::chrono::milliseconds) override {
        while (!queue_.empty()) {
            auto task = std::move(queue_.front());
            queue_.pop_front();
            task();
        }
        std::erase_if(timers_, [](auto& weak) { return weak.expired(); });
        auto timers = timers_;
        for (auto& weak : timers) {
            if (auto tick = weak.lock()) (*tick)();
        }
    }

private:
    FakeDesktop& d_;
    std::deque<std::function<void()>> queue_;
    std::vector<std::weak_ptr<std::function<void()>>> timers_;
};

struct FakeDesktop::Services {
    explicit Services(FakeDesktop& d)
        : accessibility(d), events(d), windowServer(d), workspace(d), screens(d), pasteboard(d), capture(d), overlay(d) {}
    FakeAccessibility accessibility;
    FakeEvents events;
    FakeWindowServer windowServer;
    FakeWorkspace workspace;
    FakeScreens screens;
    FakePasteboard pasteboard;
    FakeCapture capture;
    FakeOverlay overlay;
};

// ---------------------------------------------------------------------------
// The desktop

FakeDesktop::FakeDesktop() : serial_(nextSerial++), services_(std::make_unique<Services>(*this)) {}
FakeDesktop::~FakeDesktop() = default;

std::expected<std::unique_ptr<FakeDesktop>, std::string> FakeDesktop::fromScene(const Json& scene) {
    auto desktop = std::make_unique<FakeDesktop>();
    Loader loader{*desktop};
    if (auto ok = loader.scene(scene); !ok) return std::unexpected(ok.error());
    return desktop;
}

p::Accessibility& FakeDesktop::accessibility() { return services_->accessibility; }
p::Events& FakeDesktop::events() { return services_->events; }
p::WindowServer& FakeDesktop::windowServer() { return services_->windowServer; }
p::Workspace& FakeDesktop::workspace() { return services_->workspace; }
p::Screens& FakeDesktop::screens() { return services_->screens; }
p::Pasteboard& FakeDesktop::pasteboard() { return services_->pasteboard; }
p::Capture& FakeDesktop::capture() { return services_->capture; }
p::Overlay& FakeDesktop::overlay() { return services_->overlay; }

p::Element FakeDesktop::element(std::string_view id) const {
    if (!nodes.contains(id)) return {};
    return std::make_shared<FakeElement>(serial_, std::string(id));
}

std::optional<std::string> FakeDesktop::idOf(const p::Element& element) const {
    auto* fake = dynamic_cast<const FakeElement*>(element.get());
    if (!fake || fake->serial != serial_) return std::nullopt;
    return fake->id;
}

const FakeNode* FakeDesktop::node(std::string_view id) const {
    auto it = nodes.find(id);
    return it == nodes.end() ? nullptr : &it->second;
}

bool FakeDesktop::isPresent(std::string_view id) const {
    auto* n = node(id);
    if (!n || n->removed) return false;
    for (auto* up = n; up; up = up->parent.empty() ? nullptr : node(up->parent)) {
        if (up->hidden) return false;
    }
    auto app = std::find_if(apps.begin(), apps.end(), [&](const FakeApp& a) { return a.info.pid == n->pid; });
    return app != apps.end() && !app->gone;
}

std::optional<p::Value> FakeDesktop::storedAttribute(std::string_view id, std::string_view name) const {
    auto* n = node(id);
    if (!n) return std::nullopt;
    auto it = n->attributes.find(name);
    return it == n->attributes.end() ? std::nullopt : std::optional<p::Value>(it->second);
}

void FakeDesktop::processExits(std::int32_t pid) {
    if (appByPid(pid)) applicationGone(pid);
    auto handler = processExitHandlers.find(pid);
    if (handler == processExitHandlers.end()) return;
    auto onExit = std::move(handler->second);
    processExitHandlers.erase(handler);
    onExit(pid);
}

FakeApp* FakeDesktop::appByPid(std::int32_t pid) {
    for (auto& app : apps) {
        if (app.info.pid == pid && !app.gone) return &app;
    }
    return nullptr;
}

FakeWindow* FakeDesktop::windowByNumber(p::WindowNumber number) {
    for (auto& window : windows) {
        if (window.record.number == static_cast<std::int64_t>(number)) return &window;
    }
    return nullptr;
}

void FakeDesktop::addApplication(FakeApp app) { apps.push_back(std::move(app)); }

void FakeDesktop::show(std::string_view id) {
    if (auto it = nodes.find(id); it != nodes.end()) it->second.hidden = false;
}
void FakeDesktop::hide(std::string_view id) {
    if (auto it = nodes.find(id); it != nodes.end()) it->second.hidden = true;
}

void FakeDesktop::remove(std::string_view id) {
    auto it = nodes.find(id);
    if (it == nodes.end()) return;
    it->second.removed = true;
    for (auto& child : std::vector<std::string>(it->second.children)) remove(child);
}

void FakeDesktop::setStored(std::string_view id, std::string_view attribute, p::Value value) {
    if (auto it = nodes.find(id); it != nodes.end()) it->second.attributes[std::string(attribute)] = std::move(value);
}

void FakeDesktop::toggle(std::string_view id, std::string_view attribute) {
    auto current = storedAttribute(id, attribute);
    if (current && current->asBool()) {
        setStored(id, attribute, p::Value::boolean(!*current->asBool()));
    } else {
        bool on = current && current->asTruth().value_or(false);
        setStored(id, attribute, p::Value::integer(on ? 0 : 1));
    }
}

std::expected<void, std::string> FakeDesktop::addNode(std::string_view parentId, const Json& json) {
    Loader loader{*this};
    auto parent = nodes.find(parentId);
    if (parent == nodes.end()) return std::unexpected("no element " + std::string(parentId));
    auto id = loader.node(json, parent->second.pid, parent->first);
    if (!id) return std::unexpected(id.error());
    nodes[std::string(parentId)].children.push_back(*id);
    return {};
}

void FakeDesktop::applicationGone(std::int32_t pid) {
    for (auto& app : apps) {
        if (app.info.pid == pid) app.gone = true;
    }
    std::erase_if(windows, [&](const FakeWindow& w) { return w.record.ownerPID == pid; });
}

void FakeDesktop::onAction(std::string id, std::string action, Reaction reaction) {
    reactions_["action:" + id + ":" + action].push_back(std::move(reaction));
}
void FakeDesktop::onWrite(std::string id, std::string attribute, Reaction reaction) {
    reactions_["write:" + id + ":" + attribute].push_back(std::move(reaction));
}
void FakeDesktop::onEvent(EventHook hook) { eventHooks_.push_back(std::move(hook)); }

void FakeDesktop::failRead(std::string_view id, std::string attribute, p::Status status) {
    if (auto it = nodes.find(id); it != nodes.end()) it->second.readFailures[std::move(attribute)] = status;
}
void FakeDesktop::failWrite(std::string_view id, std::string attribute, p::Status status) {
    if (auto it = nodes.find(id); it != nodes.end()) it->second.writeFailures[std::move(attribute)] = status;
}
void FakeDesktop::failAction(std::string_view id, std::string action, p::Status status) {
    if (auto it = nodes.find(id); it != nodes.end()) it->second.actionFailures[std::move(action)] = status;
}

std::vector<CallRecord> FakeDesktop::callsTo(std::string_view operation) const {
    std::vector<CallRecord> found;
    for (auto& call : calls) {
        if (call.value("operation", "") == operation) found.push_back(call);
    }
    return found;
}

void FakeDesktop::runReactions(const std::string& key) {
    auto it = reactions_.find(key);
    if (it == reactions_.end()) return;
    auto steps = it->second;  // a reaction may register reactions
    for (auto& step : steps) step(*this);
}

std::expected<FakeNode*, p::Status> FakeDesktop::resolve(const p::Element& element) {
    auto id = idOf(element);
    if (!id) return std::unexpected(p::StatusCode::kIllegalArgument);
    if (!isPresent(*id)) return std::unexpected(p::StatusCode::kInvalidElement);
    return &nodes.find(*id)->second;
}

std::vector<p::Element> FakeDesktop::presentElements(const std::vector<std::string>& ids) const {
    std::vector<p::Element> list;
    for (auto& id : ids) {
        if (isPresent(id)) list.push_back(element(id));
    }
    return list;
}

std::optional<std::string> FakeDesktop::nodeForWindow(p::WindowNumber number) const {
    for (auto& [id, n] : nodes) {
        if (n.window == number) return id;
    }
    return std::nullopt;
}

bool FakeDesktop::windowListed(const FakeWindow& window) const {
    if (!window.record.number) return true;
    auto id = nodeForWindow(static_cast<p::WindowNumber>(*window.record.number));
    return !id || isPresent(*id);
}

double FakeDesktop::mainScreenHeight() const {
    if (!mainScreenIndex || *mainScreenIndex >= screenList.size()) return 0;
    return screenList[*mainScreenIndex].frame.height;
}

p::AttributeResult FakeDesktop::readAttribute(FakeNode& n, std::string_view name) {
    using namespace p::AXAttribute;
    if (auto failure = n.readFailures.find(name); failure != n.readFailures.end()) {
        return std::unexpected(failure->second);
    }
    if (auto stored = n.attributes.find(name); stored != n.attributes.end()) return stored->second;
    FakeApp* app = n.parent.empty() ? appByPid(n.pid) : nullptr;
    if (name == kChildren) return p::Value::elements(presentElements(n.children));
    if (app && name == kWindows) return p::Value::elements(presentElements(app->windowIds));
    if (app && name == kFocusedWindow) {
        auto list = presentElements(app->windowIds);
        if (list.empty()) return std::unexpected(p::StatusCode::kNoValue);
        return p::Value::element(list.front());
    }
    if (app) {
        for (auto [attribute, slot] : {std::pair{kMenuBar, &app->menuBarId}, std::pair{kExtrasMenuBar, &app->extrasMenuBarId}}) {
            if (name != attribute) continue;
            if (!*slot || !isPresent(**slot)) return std::unexpected(p::StatusCode::kAttributeUnsupported);
            return p::Value::element(element(**slot));
        }
    }
    if (n.window) {
        if (auto* window = windowByNumber(*n.window)) {
            auto& b = window->record.bounds;
            if (name == kPosition && b) return p::Value::point({b->x.value_or(0), b->y.value_or(0)});
            if (name == kSize && b) return p::Value::size({b->width.value_or(0), b->height.value_or(0)});
            if (name == kMinimized) return p::Value::boolean(!window->record.isOnscreen.value_or(true));
        }
    }
    return std::unexpected(p::StatusCode::kAttributeUnsupported);
}

p::Status FakeDesktop::writeAttribute(FakeNode& n, std::string_view name, const p::Value& value) {
    using namespace p::AXAttribute;
    if (auto failure = n.writeFailures.find(name); failure != n.writeFailures.end()) return failure->second;
    if (!isGeometryOrScalar(value)) return p::StatusCode::kIllegalArgument;
    if (name == kFocused && value.asTruth().value_or(false)) {
        for (auto& [id, other] : nodes) {
            if (other.pid != n.pid || &other == &n) continue;
            if (auto it = other.attributes.find(kFocused); it != other.attributes.end()) it->second = p::Value::boolean(false);
        }
    }
    if (n.window) {
        if (auto* window = windowByNumber(*n.window)) {
            auto& bounds = window->record.bounds;
            if (!bounds) bounds = p::WindowBounds{};
            if (name == kPosition && value.asPoint()) {
                bounds->x = value.asPoint()->x;
                bounds->y = value.asPoint()->y;
                return p::StatusCode::kSuccess;
            }
            if (name == kSize && value.asSize()) {
                bounds->width = value.asSize()->width;
                bounds->height = value.asSize()->height;
                return p::StatusCode::kSuccess;
            }
            if (name == kMinimized && value.asTruth()) {
                window->record.isOnscreen = !*value.asTruth();
                return p::StatusCode::kSuccess;
            }
        }
    }
    n.attributes[std::string(name)] = value;
    return p::StatusCode::kSuccess;
}

p::Status FakeDesktop::perform(FakeNode& n, std::string_view action) {
    if (auto failure = n.actionFailures.find(action); failure != n.actionFailures.end()) return failure->second;
    if (!n.actions.contains(action)) return p::StatusCode::kActionUnsupported;
    if (action == p::AXAction::kRaise && n.window) {
        auto it = std::find_if(windows.begin(), windows.end(), [&](const FakeWindow& w) {
            return w.record.number == static_cast<std::int64_t>(*n.window);
        });
        if (it != windows.end()) {
            FakeWindow raised = *it;
            windows.erase(it);
            windows.insert(windows.begin(), std::move(raised));
        }
    }
    return p::StatusCode::kSuccess;
}

// ---------------------------------------------------------------------------
// Recorded things as JSON

Json toJson(const p::Event& event) {
    if (auto* m = std::get_if<p::MouseEvent>(&event)) {
        return {{"mouse", static_cast<std::uint32_t>(m->type)},
                {"at", {m->location.x, m->location.y}},
                {"button", static_cast<std::uint32_t>(m->button)},
                {"click", m->clickState},
                {"flags", m->flags}};
    }
    if (auto* k = std::get_if<p::KeyEvent>(&event)) {
        return {{"key", k->keyCode}, {"down", k->keyDown}, {"text", k->text}, {"flags", k->flags}};
    }
    auto& s = std::get<p::ScrollEvent>(event);
    return {{"scroll", s.unit == p::ScrollUnit::line ? "line" : "pixel"},
            {"wheels", {s.vertical, s.horizontal}},
            {"flags", s.flags}};
}

Json toJson(const p::Value& value, const FakeDesktop& desktop) {
    using K = p::Value::Kind;
    switch (value.kind()) {
        case K::null: return nullptr;
        case K::boolean: return *value.asBool();
        case K::integer: return *value.asInteger();
        case K::real: return *value.asNumber();
        case K::string: return *value.asString();
        case K::point: return {{"point", {value.asPoint()->x, value.asPoint()->y}}};
        case K::size: return {{"size", {value.asSize()->width, value.asSize()->height}}};
        case K::element: return {{"element", desktop.idOf(value.asElement()).value_or("")}};
        case K::elements: {
            Json ids = Json::array();
            for (auto& e : *value.asElements()) ids.push_back(desktop.idOf(e).value_or(""));
            return {{"elements", ids}};
        }
        case K::other: return {{"other", value.asOther()->description}};
    }
    return nullptr;
}

Json eventsJson(const FakeDesktop& desktop) {
    Json list = Json::array();
    for (auto& event : desktop.postedEvents) list.push_back(toJson(event));
    return list;
}

Json actionsJson(const FakeDesktop& desktop) {
    Json list = Json::array();
    for (auto& a : desktop.actions) list.push_back({{"element", a.element}, {"action", a.action}, {"status", a.status}});
    return list;
}

Json writesJson(const FakeDesktop& desktop) {
    Json list = Json::array();
    for (auto& w : desktop.writes) {
        list.push_back({{"element", w.element}, {"attr", w.attribute}, {"value", toJson(w.value, desktop)}, {"status", w.status}});
    }
    return list;
}

}  // namespace kest::fake
