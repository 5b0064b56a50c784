// The find query and its method.
#include "snapshot/find.hpp"

#include "rpc/dispatcher.hpp"
#include "common/text.hpp"

namespace kest {
namespace {

std::string textOf(const Json& record, const char* key) {
    auto it = record.find(key);
    return it != record.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

bool Find::matches(const Json& record, const Query& query) {
    if (!record.is_object()) return false;
    if (query.role) {
        auto role = record.find("role");
        if (role == record.end() || !role->is_string() || role->get<std::string>() != *query.role) return false;
    }
    if (query.text) {
        return containsIgnoringCase(textOf(record, "label"), *query.text) ||
               containsIgnoringCase(textOf(record, "value"), *query.text);
    }
    return true;
}

void Find::searchElements(const Json& elements, const Query& query, Json& found) {
    if (!elements.is_array()) return;
    for (const Json& record : elements) {
        if (matches(record, query)) {
            Json match = record;
            match.erase("children");
            found.push_back(std::move(match));
        }
        if (record.is_object()) {
            if (auto children = record.find("children"); children != record.end()) searchElements(*children, query, found);
        }
    }
}

Result<Json> Find::find(platform::Platform& platform, const WindowManager& windowManager,
                        SnapshotBuilder& snapshotBuilder, const Query& query) {
    SnapshotOptions options;
    options.windowRef = query.windowRef ? query.windowRef : query.grabbedWindow;
    options.appName = query.appName;
    auto snapshot = snapshotBuilder.build(platform, windowManager, options);
    if (!snapshot) return std::unexpected(snapshot.error());
    Json found = Json::array();
    searchElements((*snapshot)["elements"], query, found);
    if (query.first && !found.empty()) found = Json::array({found.front()});
    const auto count = static_cast<std::int64_t>(found.size());
    return Json{{"ok", true}, {"elements", std::move(found)}, {"count", count}};
}

void Dispatcher::registerFindMethods() {
    handlers["find"] = [this](const RPCRequest& request) {
        Find::Query query;
        query.text = request.paramString("text");
        query.role = request.paramString("role");
        if (!query.text && !query.role) {
            return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Either text or --role is required");
        }
        query.first = request.paramBool("first").value_or(false);
        query.appName = request.paramString("app");
        query.grabbedWindow = grabbedWindow;
        auto outcome = Find::find(platform, windowManager, snapshotBuilder, query);
        if (outcome) lastRefMap = snapshotBuilder.getRefMap();
        return respond(request.id, std::move(outcome));
    };
}

}  // namespace kest
