// The engine's entry point, called by the front once it has loaded the engine.
#include <string>
#include <vector>

#include "platform/linux/linux_platform.hpp"
#include "platform/linux/x11_selection_keeper.hpp"
#include "rpc/command_line.hpp"

extern "C" __attribute__((visibility("default"))) int kest_engine_main(int argc, char** argv) {
    namespace desktop = kest::platform::linux_desktop;
    std::vector<std::string> arguments(argv + 1, argv + argc);
    auto platform = desktop::makeLinuxPlatform({.clipboardKeeper = desktop::THIS_PROGRAM});
    return kest::CommandLine::run(arguments, *platform);
}
