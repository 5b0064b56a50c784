// The read, title, is, box and children queries and their methods.
#include "snapshot/read.hpp"

#include <cmath>

#include "rpc/dispatcher.hpp"

namespace kest {
namespace {

namespace ax = platform::AXAttribute;
using platform::Element;
using platform::Value;

Json stringOrNull(platform::Accessibility& accessibility, const Element& element, std::string_view name) {
    auto value = accessibility.attribute(element, name);
    if (value && value->asString()) return *value->asString();
    return nullptr;
}

Json bounds(platform::Accessibility& accessibility, const Element& element) {
    platform::Point position;
    platform::Size size;
    if (auto value = accessibility.attribute(element, ax::kPosition); value && value->asPoint()) position = *value->asPoint();
    if (auto value = accessibility.attribute(element, ax::kSize); value && value->asSize()) size = *value->asSize();
    return Json::array({numberJson(position.x), numberJson(position.y), numberJson(size.width), numberJson(size.height)});
}

std::string numberText(double value) {
    Json number = numberJson(value);
    return number.dump();
}

}  // namespace

RPCErrorData elementNotFound(const std::string& ref) {
    return RPCErrorData{ErrorCode::kNotFound, "Element not found: " + ref + ". Take a snapshot first.", std::nullopt};
}

Result<Element> resolveRef(const std::string& ref, const RefMap& refMap) {
    auto it = refMap.find(ref);
    if (it == refMap.end()) return std::unexpected(elementNotFound(ref));
    return it->second;
}

Json Read::valueJson(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::null:
            return nullptr;
        case Value::Kind::boolean:
            return *value.asBool();
        case Value::Kind::integer:
            return *value.asInteger();
        case Value::Kind::real:
            return numberJson(*value.asNumber());
        case Value::Kind::string:
            return *value.asString();
        case Value::Kind::point:
            return "x=" + numberText(value.asPoint()->x) + " y=" + numberText(value.asPoint()->y);
        case Value::Kind::size:
            return "w=" + numberText(value.asSize()->width) + " h=" + numberText(value.asSize()->height);
        case Value::Kind::element:
            return "<element>";
        case Value::Kind::elements: {
            // Appended piece by piece: GCC 12 at -O3 reports a false overlap
            // (-Wrestrict) for a literal joined to a temporary string.
            std::string text = "<";
            text += std::to_string(value.asElements()->size());
            text += " elements>";
            return text;
        }
        case Value::Kind::other:
            return value.asOther()->description;
    }
    return nullptr;
}

Result<Json> Read::read(platform::Accessibility& accessibility, const std::string& ref,
                        const std::optional<std::string>& attr, const RefMap& refMap) {
    auto element = resolveRef(ref, refMap);
    if (!element) return std::unexpected(element.error());
    if (attr) {
        auto value = accessibility.attribute(*element, *attr);
        return Json{{"ok", true}, {"ref", ref}, {"attr", *attr}, {"value", value ? valueJson(*value) : Json(nullptr)}};
    }
    return Json{{"ok", true},
                {"ref", ref},
                {"value", stringOrNull(accessibility, *element, ax::kValue)},
                {"label", stringOrNull(accessibility, *element, ax::kTitle)},
                {"role", stringOrNull(accessibility, *element, ax::kRole)}};
}

Result<Json> Read::title(platform::Platform& platform, bool appMode, const std::optional<std::string>& grabbedWindow,
                         const WindowManager& windowManager) {
    const Json noTitle = {{"ok", true}, {"title", nullptr}};
    if (appMode) {
        auto front = platform.workspace().frontmostApplication();
        if (!front) return noTitle;
        return Json{{"ok", true},
                    {"title", front->name ? Json(*front->name) : Json(nullptr)},
                    {"bundle_id", front->bundleIdentifier ? Json(*front->bundleIdentifier) : Json(nullptr)}};
    }
    if (grabbedWindow) {
        if (auto record = windowManager.getWindowInfo(*grabbedWindow)) {
            return Json{{"ok", true}, {"title", record->value("title", Json(nullptr))}, {"app", record->value("app", Json(nullptr))}};
        }
    }
    auto front = platform.workspace().frontmostApplication();
    if (!front) return noTitle;
    platform::Accessibility& accessibility = platform.accessibility();
    auto focused = accessibility.attribute(accessibility.applicationElement(front->pid), ax::kFocusedWindow);
    const Element window = focused ? focused->asElement() : Element();
    if (!window) return noTitle;
    return Json{{"ok", true},
                {"title", stringOrNull(accessibility, window, ax::kTitle)},
                {"app", front->name ? Json(*front->name) : Json(nullptr)}};
}

Result<Json> Read::isState(platform::Accessibility& accessibility, const std::string& state, const std::string& ref,
                           const RefMap& refMap) {
    auto element = resolveRef(ref, refMap);
    if (!element) return std::unexpected(element.error());
    bool value = false;
    if (state == "visible") {
        const Json box = bounds(accessibility, *element);
        value = box[2].get<double>() > 0 && box[3].get<double>() > 0;
    } else if (state == "enabled") {
        auto read = accessibility.attribute(*element, ax::kEnabled);
        value = read && read->asBool() ? *read->asBool() : true;
    } else if (state == "focused") {
        auto read = accessibility.attribute(*element, ax::kFocused);
        value = read && read->asBool() ? *read->asBool() : false;
    } else if (state == "checked") {
        auto read = accessibility.attribute(*element, ax::kValue);
        auto number = read ? read->asNumber() : std::nullopt;
        value = number && std::isfinite(*number) && std::trunc(*number) == 1;
    } else {
        return fail(ErrorCode::kInvalidParams, "Unknown state: " + state + ". Use: visible, enabled, focused, checked");
    }
    return Json{{"ok", true}, {"ref", ref}, {"state", state}, {"value", value}};
}

Result<Json> Read::box(platform::Accessibility& accessibility, const std::string& ref, const RefMap& refMap) {
    auto element = resolveRef(ref, refMap);
    if (!element) return std::unexpected(element.error());
    return Json{{"ok", true}, {"ref", ref}, {"bounds", bounds(accessibility, *element)}};
}

Result<Json> Read::children(platform::Accessibility& accessibility, const std::string& ref, const RefMap& refMap) {
    auto element = resolveRef(ref, refMap);
    if (!element) return std::unexpected(element.error());
    Json list = Json::array();
    auto children = accessibility.attribute(*element, ax::kChildren);
    if (const std::vector<Element>* elements = children ? children->asElements() : nullptr) {
        for (const Element& child : *elements) {
            auto role = accessibility.attribute(child, ax::kRole);
            const std::string_view axRole = role && role->asString() ? std::string_view(*role->asString()) : "";
            list.push_back({{"role", std::string(shortRole(axRole))},
                            {"label", stringOrNull(accessibility, child, ax::kTitle)},
                            {"value", stringOrNull(accessibility, child, ax::kValue)}});
        }
    }
    const auto count = static_cast<std::int64_t>(list.size());
    return Json{{"ok", true}, {"ref", ref}, {"children", std::move(list)}, {"count", count}};
}

void Dispatcher::registerReadMethods() {
    const auto missingRef = [](const RPCRequest& request) {
        return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing ref parameter");
    };
    handlers["read"] = [this, missingRef](const RPCRequest& request) {
        auto ref = request.paramString("ref");
        if (!ref) return missingRef(request);
        return respond(request.id, Read::read(platform.accessibility(), *ref, request.paramString("attr"), lastRefMap));
    };
    handlers["title"] = [this](const RPCRequest& request) {
        return respond(request.id,
                       Read::title(platform, request.paramBool("app").value_or(false), grabbedWindow, windowManager));
    };
    handlers["is"] = [this, missingRef](const RPCRequest& request) {
        auto state = request.paramString("state");
        if (!state) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing state parameter");
        auto ref = request.paramString("ref");
        if (!ref) return missingRef(request);
        return respond(request.id, Read::isState(platform.accessibility(), *state, *ref, lastRefMap));
    };
    handlers["box"] = [this, missingRef](const RPCRequest& request) {
        auto ref = request.paramString("ref");
        if (!ref) return missingRef(request);
        return respond(request.id, Read::box(platform.accessibility(), *ref, lastRefMap));
    };
    handlers["children"] = [this, missingRef](const RPCRequest& request) {
        auto ref = request.paramString("ref");
        if (!ref) return missingRef(request);
        return respond(request.id, Read::children(platform.accessibility(), *ref, lastRefMap));
    };
}

}  // namespace kest
