// Small typed reads shared by the menu and dialog walks: an attribute as a
// string (empty when absent or not a string), an element list (nothing when
// the read fails or is not a list), an element (empty when absent).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/accessibility.hpp"

namespace kest::ax {

inline std::string stringOr(platform::Accessibility& accessibility, const platform::Element& element,
                            std::string_view name) {
    auto value = accessibility.attribute(element, name);
    if (!value) return {};
    const std::string* text = value->asString();
    return text ? *text : std::string();
}

inline std::optional<std::vector<platform::Element>> elementList(platform::Accessibility& accessibility,
                                                                 const platform::Element& element,
                                                                 std::string_view name) {
    auto value = accessibility.attribute(element, name);
    if (!value) return std::nullopt;
    const auto* list = value->asElements();
    if (!list) return std::nullopt;
    return *list;
}

inline std::optional<std::vector<platform::Element>> children(platform::Accessibility& accessibility,
                                                              const platform::Element& element) {
    return elementList(accessibility, element, platform::AXAttribute::kChildren);
}

inline platform::Element elementOf(platform::Accessibility& accessibility, const platform::Element& element,
                                   std::string_view name) {
    auto value = accessibility.attribute(element, name);
    return value ? value->asElement() : platform::Element();
}

}  // namespace kest::ax
