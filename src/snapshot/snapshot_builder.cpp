// The snapshot walk: target process, window, element records, refs.
#include "snapshot/snapshot_builder.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <span>

#include "common/text.hpp"
#include "desktop/apps.hpp"

namespace kest {
namespace {

namespace ax = platform::AXAttribute;
using platform::Element;

std::string newSnapshotId() {
    static thread_local std::mt19937 generator{std::random_device{}()};
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(generator()));
    return text;
}

void flattenInto(const Json& elements, Json& out) {
    if (!elements.is_array()) return;
    for (const Json& record : elements) {
        Json copy = record;
        if (copy.is_object()) copy.erase("children");
        out.push_back(std::move(copy));
        if (record.is_object()) {
            if (auto children = record.find("children"); children != record.end()) flattenInto(*children, out);
        }
    }
}

}  // namespace

Json numberJson(double value) {
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9.0e15) {
        return static_cast<std::int64_t>(value);
    }
    return value;
}

std::optional<platform::RunningApplication> findSnapshotApp(platform::Workspace& workspace, std::string_view name) {
    const auto apps = workspace.runningApplications();
    const std::string wanted = lowercased(name);
    for (const auto& app : apps) {
        if (app.name && lowercased(*app.name) == wanted) return app;
    }
    for (const auto& [known, bundleId] : std::span(BUNDLE_ID_FOR_NAME).first<10>()) {
        if (known != wanted) continue;
        for (const auto& app : apps) {
            if (app.bundleIdentifier == bundleId) return app;
        }
        return std::nullopt;
    }
    for (const auto& app : apps) {
        if (app.bundleIdentifier == name) return app;
    }
    return std::nullopt;
}

Result<Json> SnapshotBuilder::build(platform::Platform& platform, const WindowManager& windowManager,
                                    const SnapshotOptions& options) {
    std::int32_t pid = 0;
    if (options.pid) {
        pid = *options.pid;
    } else if (options.appName) {
        auto app = findSnapshotApp(platform.workspace(), *options.appName);
        if (!app) return fail(ErrorCode::kAppNotFound, "Application not found: " + *options.appName);
        pid = app->pid;
    } else if (!options.windowRef) {
        return fail(ErrorCode::kInvalidParams, "No window grabbed. Use 'kest grab <@w>' first.");
    } else {
        auto windowPid = windowManager.getPID(*options.windowRef);
        if (!windowPid) return fail(ErrorCode::kWindowNotFound, "Window not found: " + *options.windowRef);
        pid = *windowPid;
    }

    platform::Accessibility& accessibility = platform.accessibility();
    platform_ = &platform;
    accessibility_ = &accessibility;
    unresponsive_ = false;
    const Element app = accessibility.applicationElement(pid);
    auto windows = read(app, ax::kWindows);
    const std::vector<Element>* list = windows ? windows->asElements() : nullptr;
    if (!list || list->empty() || !list->front()) {
        return fail(ErrorCode::kWindowNotFound, "No accessible windows found for PID " + std::to_string(pid));
    }
    const Element window = list->front();

    // Lives until the result is built: every read below is of this window's
    // tree. A subtree's walk reads up to as many elements again, all after
    // its root, which the first walk counted.
    const std::int64_t maxDepth = options.depth.value_or(DEFAULT_DEPTH);
    const auto walked = static_cast<std::size_t>(options.subtree ? 2 * maxElements : maxElements);
    auto session = accessibility.beginTreeRead(window, {.elements = walked, .depth = std::max<std::int64_t>(maxDepth, 0)});

    Json windowRecord = getWindowInfo(window, pid);
    // The grabbed window's own ref; for an application named outright, the
    // ref of its listed window of that title, when there is one.
    if (options.windowRef && !options.pid && !options.appName) {
        windowRecord["ref"] = *options.windowRef;
    } else if (auto ref = windowManager.refOf(pid, windowRecord["title"].get<std::string>())) {
        windowRecord["ref"] = *ref;
    }
    resetWalk();

    Json elements;
    if (options.subtree) {
        walkTree(window, 0, maxDepth, false);
        auto root = refToElement.find(*options.subtree);
        if (root == refToElement.end()) {
            return fail(ErrorCode::kNotFound, "Subtree root not found: " + *options.subtree);
        }
        const Element subtreeRoot = root->second;
        resetWalk();
        elements = walkTree(subtreeRoot, 0, maxDepth, options.interactive);
    } else {
        elements = walkTree(window, 0, maxDepth, options.interactive);
    }

    Json result = Json::object();
    result["snapshot_id"] = newSnapshotId();
    result["window"] = std::move(windowRecord);
    result["fallback"] = nullptr;
    result["elements"] = options.compact ? flattenElements(elements) : std::move(elements);
    return result;
}

void SnapshotBuilder::resetWalk() {
    refAssigner.reset();
    refToElement.clear();
    elementCount = 0;
}

Json SnapshotBuilder::flattenElements(const Json& elements) {
    Json out = Json::array();
    flattenInto(elements, out);
    return out;
}

Json SnapshotBuilder::walkTree(const Element& element, std::int64_t depth, std::int64_t maxDepth, bool interactive) {
    Json records = Json::array();
    if (depth >= maxDepth || elementCount >= maxElements) return records;
    accessibility_->setMessagingTimeout(element, std::chrono::duration<double>(MESSAGING_TIMEOUT_SECONDS));
    auto children = read(element, ax::kChildren);
    const std::vector<Element>* list = children ? children->asElements() : nullptr;
    if (!list) return records;
    for (const Element& child : *list) {
        if (elementCount >= maxElements) break;
        if (auto record = buildElementInfo(child, depth, maxDepth, interactive)) records.push_back(std::move(*record));
    }
    return records;
}

std::optional<Json> SnapshotBuilder::buildElementInfo(const Element& element, std::int64_t depth,
                                                      std::int64_t maxDepth, bool interactive) {
    if (elementCount >= maxElements) return std::nullopt;
    accessibility_->setMessagingTimeout(element, std::chrono::duration<double>(MESSAGING_TIMEOUT_SECONDS));
    auto axRole = getStringAttribute(element, ax::kRole);
    if (!axRole) return std::nullopt;
    ++elementCount;
    const std::string role(shortRole(*axRole));

    if (!interactive || isInteractiveRole(role)) {
        Json record = Json::object();
        record["ref"] = refAssigner.assign(role);
        refToElement[record["ref"].get<std::string>()] = element;
        record["role"] = role;
        record["label"] = label(element);
        auto value = getStringAttribute(element, ax::kValue);
        record["value"] = value ? Json(*value) : Json(nullptr);
        record["enabled"] = getBoolAttribute(element, ax::kEnabled).value_or(true);
        record["focused"] = getBoolAttribute(element, ax::kFocused).value_or(false);
        record["bounds"] = getBounds(element);
        if (depth + 1 < maxDepth) {
            Json children = walkTree(element, depth + 1, maxDepth, interactive);
            if (!children.empty()) record["children"] = std::move(children);
        }
        return record;
    }

    // A container in interactive mode: kept only for its interactive
    // descendants, and numbered after them.
    Json children = walkTree(element, depth + 1, maxDepth, interactive);
    if (children.empty()) return std::nullopt;
    Json record = Json::object();
    record["ref"] = refAssigner.assign(role);
    refToElement[record["ref"].get<std::string>()] = element;
    record["role"] = role;
    record["label"] = label(element);
    record["value"] = nullptr;
    record["enabled"] = true;
    record["focused"] = false;
    record["bounds"] = getBounds(element);
    record["children"] = std::move(children);
    return record;
}

Json SnapshotBuilder::getWindowInfo(const Element& window, std::int32_t pid) {
    std::optional<platform::RunningApplication> app;
    for (auto& running : platform_->workspace().runningApplications()) {
        if (running.pid == pid) {
            app = std::move(running);
            break;
        }
    }
    Json record = Json::object();
    record["ref"] = nullptr;  // the caller names it
    record["title"] = getStringAttribute(window, ax::kTitle).value_or("");
    record["app"] = app && app->name ? *app->name : "Unknown";
    record["bundle_id"] = app && app->bundleIdentifier ? *app->bundleIdentifier : "";
    record["process_id"] = pid;
    record["bounds"] = getBounds(window);
    record["minimized"] = getBoolAttribute(window, ax::kMinimized).value_or(false);
    record["hidden"] = app ? app->hidden : false;
    record["fullscreen"] = getBoolAttribute(window, ax::kFullScreen).value_or(false);
    return record;
}

Json SnapshotBuilder::label(const Element& element) {
    if (auto title = getStringAttribute(element, ax::kTitle)) return *title;
    if (auto description = getStringAttribute(element, ax::kDescription)) return *description;
    return nullptr;
}

std::optional<std::string> SnapshotBuilder::getStringAttribute(const Element& element, std::string_view name) {
    auto value = read(element, name);
    if (!value) return std::nullopt;
    if (const std::string* text = value->asString()) return *text;
    return std::nullopt;
}

std::optional<bool> SnapshotBuilder::getBoolAttribute(const Element& element, std::string_view name) {
    auto value = read(element, name);
    if (!value) return std::nullopt;
    return value->asBool();
}

Json SnapshotBuilder::getBounds(const Element& element) {
    platform::Point position;
    platform::Size size;
    if (auto value = read(element, ax::kPosition); value && value->asPoint()) position = *value->asPoint();
    if (auto value = read(element, ax::kSize); value && value->asSize()) size = *value->asSize();
    return Json::array({numberJson(position.x), numberJson(position.y), numberJson(size.width), numberJson(size.height)});
}

platform::AttributeResult SnapshotBuilder::read(const Element& element, std::string_view name) {
    if (unresponsive_) return std::unexpected(platform::StatusCode::kCannotComplete);
    auto value = accessibility_->attribute(element, name);
    if (!value && value.error() == platform::StatusCode::kCannotComplete) unresponsive_ = true;
    return value;
}

}  // namespace kest
