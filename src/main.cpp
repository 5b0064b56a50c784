// kest-core's front: answers --version, the clipboard keeper role and the
// plain one-shot clipboard methods itself, and loads the engine for all else.
//
// Why a front: the engine links the accessibility, D-Bus, capture and input
// libraries, and loading them takes several times as long as a whole
// clipboard transfer. The front links only Xlib and the JSON codec (over
// header-only libraries, with the C++ runtime linked in), so a script that
// moves text through the clipboard, and every keeper the engine starts, pays
// for none of that.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/linux/x11_clipboard_one_shot.hpp"
#include "platform/linux/x11_selection_keeper.hpp"
#include "rpc/request_reader.hpp"
#include "rpc/version.hpp"

namespace {

// The engine's entry point, exported by the engine library: main's arguments,
// and standard input when the front has read it already (else null).
using EngineMain = int (*)(int, char**, const char*, std::size_t);
constexpr const char* ENGINE_FILE = "libkest-engine.so";
// Named with the version (kest_engine_main_0_1_0): an engine of another
// version has no such entry, and is refused.
constexpr const char* ENGINE_ENTRY = KEST_ENGINE_ENTRY;
// Where the engine is installed, from the directory of the installed front.
constexpr const char* ENGINE_FROM_PROGRAM = KEST_ENGINE_FROM_PROGRAM;
// The exit status when the engine cannot be loaded (EX_SOFTWARE).
constexpr int NO_ENGINE = 70;

int runEngine(int argc, char** argv, const std::string* readInput = nullptr) {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || !program.is_absolute()) {
        // Never a guess such as the working directory, where anyone may have
        // put a module of their own.
        std::fprintf(stderr, "kest-core: cannot load the engine: the program's own location is unknown "
                             "(/proc/self/exe cannot be read)\n");
        return NO_ENGINE;
    }
    const std::filesystem::path here = program.parent_path();
    std::string failures;
    // Where it is installed, else beside the program in a build tree.
    for (const auto& candidate : {here / ENGINE_FROM_PROGRAM / ENGINE_FILE, here / ENGINE_FILE}) {
        void* engine = ::dlopen(candidate.c_str(), RTLD_LAZY | RTLD_LOCAL);
        if (engine == nullptr) {
            failures += std::string("\n  ") + ::dlerror();
            continue;
        }
        // The engine stays loaded until the process ends.
        if (auto entry = reinterpret_cast<EngineMain>(::dlsym(engine, ENGINE_ENTRY))) {
            return readInput ? entry(argc, argv, readInput->data(), readInput->size()) : entry(argc, argv, nullptr, 0);
        }
        failures += std::string("\n  ") + candidate.string() + ": not the engine of kest-core " + kest::kVersion +
                    " (no " + ENGINE_ENTRY + ")";
    }
    std::fprintf(stderr, "kest-core: cannot load the engine:%s\n", failures.c_str());
    return NO_ENGINE;
}

}  // namespace

int main(int argc, char** argv) {
    namespace desktop = kest::platform::linux_desktop;
    // The clipboard keeper is this program run again under a sentinel argv[0];
    // it never reaches the command line.
    if (auto status = desktop::runSelectionKeeperIfAsked(argc, argv)) return *status;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (std::ranges::find(arguments, "--version") != arguments.end()) {
        std::printf("%s\n", kest::kVersion);
        return 0;
    }
    if (argc <= 1) {
        // A request on standard input, read once: what the front does not
        // answer goes to the engine as read.
        std::string input;
        if (auto request = kest::CommandLine::readRequest(STDIN_FILENO, input)) {
            if (auto status = desktop::runClipboardRequest(argc, argv, *request)) return *status;
        }
        return runEngine(argc, argv, &input);
    }
    if (auto status = desktop::runClipboardOneShot(argc, argv)) return *status;
    return runEngine(argc, argv);
}
