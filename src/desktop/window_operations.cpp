// The operations that change a window: minimize, maximize, fullscreen, close,
// raise, move, resize, set bounds and the screen presets.
#include "desktop/window_manager.hpp"

namespace kest {

Result<Json> WindowManager::minimize(platform::Platform&, const std::string& ref) { return fail(-32005, "Window not found: " + ref); }
Result<Json> WindowManager::maximize(platform::Platform&, const std::string& ref) { return fail(-32005, "Window not found: " + ref); }
Result<Json> WindowManager::fullscreen(platform::Platform&, const std::string& ref) { return fail(-32005, "Window not found: " + ref); }
Result<Json> WindowManager::close(platform::Platform&, const std::string& ref) { return fail(-32005, "Window not found: " + ref); }
Result<Json> WindowManager::raise(platform::Platform&, const std::string& ref) { return fail(-32005, "Window not found: " + ref); }
Result<Json> WindowManager::move(platform::Platform&, const std::string& ref, double, double) { return fail(-32005, "Window not found: " + ref); }
Result<Json> WindowManager::resize(platform::Platform&, const std::string& ref, double, double) { return fail(-32005, "Window not found: " + ref); }
Result<Json> WindowManager::setBounds(platform::Platform&, const std::string& ref, double, double, double, double) { return fail(-32005, "Window not found: " + ref); }
Result<Json> WindowManager::applyPreset(platform::Platform&, const std::string& ref, const std::string&) { return fail(-32005, "Window not found: " + ref); }

}  // namespace kest
