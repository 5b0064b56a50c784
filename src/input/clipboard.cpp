// Clipboard read, set and copy, and their methods.
#include "input/clipboard.hpp"

#include "input/keyboard.hpp"
#include "rpc/dispatcher.hpp"

namespace kest {
namespace {

constexpr auto COPY_SETTLE = std::chrono::milliseconds(100);

}  // namespace

Json ClipboardManager::read(platform::Pasteboard& pasteboard) {
    auto text = pasteboard.readText();
    // Built member by member: a braced list would copy the text.
    Json result = Json::object();
    result["ok"] = true;
    result["text"] = text ? Json(std::move(*text)) : Json(nullptr);
    return result;
}

bool ClipboardManager::replace(platform::Pasteboard& pasteboard, std::string text) {
    if (pasteboard.writeText(std::move(text))) return true;
    pasteboard.clear();
    return false;
}

Result<Json> ClipboardManager::set(platform::Pasteboard& pasteboard, std::string text) {
    if (!replace(pasteboard, std::move(text))) return fail(ErrorCode::kFailed, "Failed to put the text on the clipboard");
    return Json{{"ok", true}};
}

Result<Json> ClipboardManager::copy(platform::Platform& platform, Pause& pause) {
    Keyboard::pressKey(platform.events(), "cmd+c");
    if (!pause.sleepFor(COPY_SETTLE)) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
    return read(platform.pasteboard());
}

void Dispatcher::registerClipboardMethods() {
    handlers["clipboard_read"] = [this](const RPCRequest& request) {
        return RPCResponse::success(request.id, ClipboardManager::read(platform.pasteboard()));
    };
    handlers["clipboard_set"] = [this](const RPCRequest& request) {
        auto text = request.paramString("text");
        if (!text) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing text parameter");
        return respond(request.id, ClipboardManager::set(platform.pasteboard(), std::move(*text)));
    };
    handlers["clipboard_copy"] = [this](const RPCRequest& request) {
        return respond(request.id, ClipboardManager::copy(platform, pause));
    };
}

}  // namespace kest
