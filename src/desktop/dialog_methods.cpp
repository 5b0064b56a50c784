// The dialog methods "dialog", "dialog_accept", "dialog_cancel" and "dialog_file".
#include "desktop/dialogs.hpp"
#include "rpc/dispatcher.hpp"

namespace kest {

void Dispatcher::registerDialogMethods() {
    handlers["dialog"] = [this](const RPCRequest& request) {
        return respond(request.id, Dialog::detect(platform, request.paramString("app")));
    };

    for (const auto action : {Dialog::Action::accept, Dialog::Action::cancel}) {
        handlers[action == Dialog::Action::accept ? "dialog_accept" : "dialog_cancel"] =
            [this, action](const RPCRequest& request) {
                return respond(request.id, Dialog::respond(platform, pause, action, request.paramString("app")));
            };
    }

    handlers["dialog_file"] = [this](const RPCRequest& request) {
        auto path = request.paramString("path");
        if (!path) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing path parameter");
        return respond(request.id, Dialog::fileDialog(platform, pause, *path, request.paramString("app")));
    };
}

}  // namespace kest
