// kest-core: picks the mode from the arguments and runs it on the Linux desktop.
#include <string>
#include <vector>

#include "platform/linux/linux_platform.hpp"
#include "platform/linux/x11_selection_keeper.hpp"
#include "rpc/command_line.hpp"

int main(int argc, char** argv) {
    namespace desktop = kest::platform::linux_desktop;
    // The clipboard keeper is this program run again under a sentinel argv[0];
    // it never reaches the command line.
    if (auto status = desktop::runSelectionKeeperIfAsked(argc, argv)) return *status;
    std::vector<std::string> arguments(argv + 1, argv + argc);
    auto platform = desktop::makeLinuxPlatform({.clipboardKeeper = desktop::THIS_PROGRAM});
    return kest::CommandLine::run(arguments, *platform);
}
