// The engine's entry point, called by the front once it has loaded the engine.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/linux_platform.hpp"
#include "platform/linux/x11_connection.hpp"
#include "platform/linux/x11_selection_keeper.hpp"
#include "rpc/command_line.hpp"
#include "rpc/daemon_server.hpp"

// `readInput` (with `readSize` bytes) is standard input when the front has
// read it already, else null. The name (KEST_ENGINE_ENTRY) carries the
// version: only the front of the same version finds it.
extern "C" __attribute__((visibility("default"))) int KEST_ENGINE_ENTRY(int argc, char** argv, const char* readInput,
                                                                       std::size_t readSize) {
    namespace desktop = kest::platform::linux_desktop;
    std::vector<std::string> arguments(argv + 1, argv + argc);
    desktop::X11Connection::onServerLost(&kest::removeRunningDaemonFiles);
    auto platform = desktop::makeLinuxPlatform({.clipboardKeeper = desktop::THIS_PROGRAM});
    std::optional<std::string_view> input;
    if (readInput != nullptr) input = std::string_view(readInput, readSize);
    return kest::CommandLine::run(arguments, *platform, input);
}
