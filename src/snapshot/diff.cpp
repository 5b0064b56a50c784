// Element signatures and the changed/diff comparison.
#include "snapshot/diff.hpp"

#include "rpc/dispatcher.hpp"

namespace kest {
namespace {

void flattenWhole(const Json& elements, Json& out) {
    if (!elements.is_array()) return;
    for (const Json& record : elements) {
        out.push_back(record);
        if (record.is_object()) {
            if (auto children = record.find("children"); children != record.end()) flattenWhole(*children, out);
        }
    }
}

std::string stringOrEmpty(const Json& record, const char* key) {
    auto it = record.find(key);
    return it != record.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool isContainer(const Json& snapshot, const Json& record) {
    if (!snapshot.is_object() || !snapshot.value(Diff::INTERACTIVE_MARK, false)) return false;
    auto role = record.find("role");
    return role != record.end() && role->is_string() && !isInteractiveRole(role->get<std::string>());
}

struct Comparison {
    Json stored;
    Json fresh;
    std::set<std::string> storedSignatures;
    std::set<std::string> freshSignatures;
};

Result<Comparison> compare(platform::Platform& platform, const WindowManager& windowManager,
                           SnapshotBuilder& builder, const Diff::Inputs& inputs) {
    if (!inputs.lastSnapshotData || !*inputs.lastSnapshotData) {
        return fail(ErrorCode::kFailed, "No previous snapshot to compare. Take a snapshot first.");
    }
    SnapshotOptions options;
    options.windowRef = inputs.windowRef ? inputs.windowRef : inputs.grabbedWindow;
    options.appName = inputs.appName;
    options.compact = true;
    auto fresh = builder.build(platform, windowManager, options);
    if (!fresh) return std::unexpected(fresh.error());
    const Json& stored = **inputs.lastSnapshotData;
    Comparison comparison{Diff::extractElementList(stored), Diff::extractElementList(*fresh),
                          Diff::extractElementSignatures(stored), Diff::extractElementSignatures(*fresh)};
    return comparison;
}

}  // namespace

std::string Diff::elementSignature(const Json& record, bool container) {
    std::string value;
    if (auto it = record.find("value"); it != record.end()) {
        if (it->is_null()) {
            value = container ? "null:container" : "null";
        } else {
            value = it->dump();
        }
    }
    return stringOrEmpty(record, "role") + "|" + stringOrEmpty(record, "label") + "|" + value + "|" +
           stringOrEmpty(record, "ref");
}

Json Diff::simplifyElement(const Json& record) {
    Json simple = Json::object();
    for (const char* key : {"role", "label", "ref"}) {
        if (auto it = record.find(key); it != record.end() && it->is_string()) simple[key] = *it;
    }
    if (auto it = record.find("value"); it != record.end()) simple["value"] = *it;
    return simple;
}

Json Diff::flattenElements(const Json& elements) {
    Json out = Json::array();
    flattenWhole(elements, out);
    return out;
}

Json Diff::extractElementList(const Json& snapshot) {
    if (!snapshot.is_object()) return Json::array();
    auto elements = snapshot.find("elements");
    if (elements == snapshot.end() || !elements->is_array()) return Json::array();
    return flattenElements(*elements);
}

std::set<std::string> Diff::extractElementSignatures(const Json& snapshot) {
    std::set<std::string> signatures;
    for (const Json& record : extractElementList(snapshot)) {
        if (record.is_object()) signatures.insert(elementSignature(record, isContainer(snapshot, record)));
    }
    return signatures;
}

Result<Json> Diff::changed(platform::Platform& platform, const WindowManager& windowManager,
                           SnapshotBuilder& snapshotBuilder, const Inputs& inputs) {
    auto comparison = compare(platform, windowManager, snapshotBuilder, inputs);
    if (!comparison) return std::unexpected(comparison.error());
    if (comparison->storedSignatures == comparison->freshSignatures) return Json{{"ok", true}, {"changed", false}};
    std::int64_t added = 0;
    std::int64_t removed = 0;
    for (const auto& signature : comparison->freshSignatures) added += comparison->storedSignatures.contains(signature) ? 0 : 1;
    for (const auto& signature : comparison->storedSignatures) removed += comparison->freshSignatures.contains(signature) ? 0 : 1;
    return Json{{"ok", true}, {"changed", true}, {"added_count", added}, {"removed_count", removed}};
}

Result<Json> Diff::diff(platform::Platform& platform, const WindowManager& windowManager,
                        SnapshotBuilder& snapshotBuilder, const Inputs& inputs) {
    auto comparison = compare(platform, windowManager, snapshotBuilder, inputs);
    if (!comparison) return std::unexpected(comparison.error());
    const Json& stored = **inputs.lastSnapshotData;
    Json added = Json::array();
    Json removed = Json::array();
    for (const Json& record : comparison->fresh) {
        if (record.is_object() && !comparison->storedSignatures.contains(elementSignature(record))) {
            added.push_back(simplifyElement(record));
        }
    }
    for (const Json& record : comparison->stored) {
        if (record.is_object() &&
            !comparison->freshSignatures.contains(elementSignature(record, isContainer(stored, record)))) {
            removed.push_back(simplifyElement(record));
        }
    }
    const bool changed = !added.empty() || !removed.empty();
    return Json{{"ok", true}, {"changed", changed}, {"added", std::move(added)}, {"removed", std::move(removed)}};
}

void Dispatcher::registerDiffMethods() {
    for (const char* name : {"changed", "diff"}) {
        const bool full = std::string_view(name) == "diff";
        handlers[name] = [this, full](const RPCRequest& request) {
            Diff::Inputs inputs{std::nullopt, request.paramString("app"), grabbedWindow, &lastSnapshotData};
            auto outcome = full ? Diff::diff(platform, windowManager, snapshotBuilder, inputs)
                                : Diff::changed(platform, windowManager, snapshotBuilder, inputs);
            if (outcome) lastRefMap = snapshotBuilder.getRefMap();
            return respond(request.id, std::move(outcome));
        };
    }
}

}  // namespace kest
