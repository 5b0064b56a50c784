// The menu methods "menu_click", "menu_list" and "menubar".
#include "desktop/menus.hpp"
#include "rpc/dispatcher.hpp"

namespace kest {

void Dispatcher::registerMenuMethods() {
    handlers["menu_click"] = [this](const RPCRequest& request) {
        auto path = request.paramString("path");
        if (!path) return RPCResponse::failure(request.id, ErrorCode::kInvalidParams, "Missing menu path");
        return respond(request.id, Menus::clickByPath(platform, pause, *path, request.paramString("app")));
    };

    handlers["menu_list"] = [this](const RPCRequest& request) {
        return respond(request.id, Menus::list(platform, pause, request.paramString("menu"),
                                               request.paramBool("all").value_or(false), request.paramString("app")));
    };

    handlers["menubar"] = [this](const RPCRequest& request) {
        return RPCResponse::success(request.id, Menus::listExtras(platform));
    };
}

}  // namespace kest
