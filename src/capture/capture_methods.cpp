// The screenshot and displays methods.
#include "capture/capture.hpp"
#include "rpc/dispatcher.hpp"

namespace kest {

void Dispatcher::registerCaptureMethods() {
    handlers["screenshot"] = [this](const RPCRequest& request) {
        const bool screen = request.paramBool("screen").value_or(false);
        std::optional<std::string> ref = request.paramString("ref");
        if (!ref) ref = grabbedWindow;
        if (screen) ref.reset();
        return respond(request.id, Capture::screenshot(platform, windowManager, ref, screen,
                                                       request.paramString("format").value_or("png"),
                                                       request.paramString("path")));
    };
    handlers["displays"] = [this](const RPCRequest& request) {
        return RPCResponse::success(request.id, Json{{"displays", Capture::listDisplays(platform.screens())}});
    };
}

}  // namespace kest
