// Focus, select, check, uncheck and set.
#include "input/focus.hpp"

#include <locale.h>
#include <stdlib.h>

#include <cctype>
#include <cmath>

#include "input/actions.hpp"
#include "snapshot/read.hpp"

namespace kest {
namespace {

namespace p = platform;

constexpr auto POPUP_SETTLE = std::chrono::milliseconds(200);

std::string stringAttribute(p::Accessibility& accessibility, const p::Element& element, std::string_view name) {
    auto value = accessibility.attribute(element, name);
    if (!value) return {};
    const std::string* text = value->asString();
    return text ? *text : std::string();
}

std::vector<p::Element> children(p::Accessibility& accessibility, const p::Element& element) {
    auto value = accessibility.attribute(element, p::AXAttribute::kChildren);
    if (!value) return {};
    const auto* list = value->asElements();
    return list ? *list : std::vector<p::Element>();
}

bool readsChecked(p::Accessibility& accessibility, const p::Element& element) {
    auto value = accessibility.attribute(element, p::AXAttribute::kValue);
    if (!value) return false;
    auto number = value->asNumber();
    return number && std::isfinite(*number) && std::trunc(*number) == 1;
}

Json selected(const std::string& ref, const std::string& value, const char* method = nullptr) {
    Json result = {{"ok", true}, {"ref", ref}, {"value", value}};
    if (method) result["method"] = method;
    return result;
}

}  // namespace

std::optional<double> Focus::parseNumber(std::string_view text) {
    // strtod's own syntax, read in a C locale object of our own so that the
    // process's locale (a decimal comma) never changes what counts.
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (text.empty() || std::isspace(static_cast<unsigned char>(text.front())) || cLocale == nullptr) {
        return std::nullopt;
    }
    const std::string copy(text);  // NUL-terminated; an embedded NUL leaves bytes over
    char* end = nullptr;
    const double value = strtod_l(copy.c_str(), &end, cLocale);
    if (end != copy.c_str() + copy.size()) return std::nullopt;
    return value;
}

Result<Json> Focus::focus(p::Accessibility& accessibility, const std::string& ref, const RefMap& refMap) {
    auto element = resolveRef(ref, refMap);
    if (!element) return std::unexpected(element.error());
    if (accessibility.setAttribute(*element, p::AXAttribute::kFocused, p::Value::boolean(true)) != p::StatusCode::kSuccess) {
        (void)accessibility.performAction(*element, p::AXAction::kPress);
    }
    return Json{{"ok", true}, {"ref", ref}};
}

Result<Json> Focus::select(p::Accessibility& accessibility, Pause& pause, const std::string& ref,
                           const std::string& value, const RefMap& refMap) {
    auto element = resolveRef(ref, refMap);
    if (!element) return std::unexpected(element.error());
    if (accessibility.setAttribute(*element, p::AXAttribute::kValue, p::Value::string(value)) == p::StatusCode::kSuccess) {
        return selected(ref, value);
    }
    for (const auto& child : children(accessibility, *element)) {
        if (stringAttribute(accessibility, child, p::AXAttribute::kTitle) == value ||
            stringAttribute(accessibility, child, p::AXAttribute::kValue) == value) {
            (void)accessibility.performAction(child, p::AXAction::kPress);
            return selected(ref, value, "child_press");
        }
    }
    (void)accessibility.performAction(*element, p::AXAction::kPress);
    if (!pause.sleepFor(POPUP_SETTLE)) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
    for (const auto& child : children(accessibility, *element)) {
        auto title = accessibility.attribute(child, p::AXAttribute::kTitle);
        const std::string* text = title ? title->asString() : nullptr;
        if (text && *text == value) {
            (void)accessibility.performAction(child, p::AXAction::kPress);
            return selected(ref, value, "popup_select");
        }
    }
    return selected(ref, value, "set_value_attempted");
}

Result<Json> Focus::check(p::Platform& platform, const std::string& ref, const RefMap& refMap) {
    return toggleTo(platform, ref, refMap, true);
}

Result<Json> Focus::uncheck(p::Platform& platform, const std::string& ref, const RefMap& refMap) {
    return toggleTo(platform, ref, refMap, false);
}

Result<Json> Focus::toggleTo(p::Platform& platform, const std::string& ref, const RefMap& refMap, bool checked) {
    auto element = resolveRef(ref, refMap);
    if (!element) return std::unexpected(element.error());
    auto& accessibility = platform.accessibility();
    if (readsChecked(accessibility, *element) != checked &&
        accessibility.performAction(*element, p::AXAction::kPress) != p::StatusCode::kSuccess) {
        auto centre = Actions::aimAt(accessibility, ref, *element);
        if (!centre) return std::unexpected(centre.error());
        Actions::clickAt(platform.events(), *centre);
    }
    return Json{{"ok", true}, {"ref", ref}, {"checked", checked}};
}

Result<Json> Focus::setValue(p::Accessibility& accessibility, const std::string& ref, const std::string& value,
                             const RefMap& refMap) {
    auto element = resolveRef(ref, refMap);
    if (!element) return std::unexpected(element.error());
    if (auto number = parseNumber(value)) {
        if (accessibility.setAttribute(*element, p::AXAttribute::kValue, p::Value::real(*number)) == p::StatusCode::kSuccess) {
            return Json{{"ok", true}, {"ref", ref}, {"value", value}};
        }
    }
    Json result = {{"ok", true}, {"ref", ref}, {"value", value}};
    if (accessibility.setAttribute(*element, p::AXAttribute::kValue, p::Value::string(value)) != p::StatusCode::kSuccess) {
        result["note"] = "set_value may not have taken effect";
    }
    return result;
}

}  // namespace kest
