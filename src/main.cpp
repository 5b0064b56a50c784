// kest-core: picks the mode from the arguments and runs it on the Linux desktop.
#include <string>
#include <vector>

#include "platform/linux/linux_platform.hpp"
#include "rpc/command_line.hpp"

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    auto platform = kest::platform::linux_desktop::makeLinuxPlatform();
    return kest::CommandLine::run(arguments, *platform);
}
