// kest-core's front: answers --version, the clipboard keeper role and the
// plain one-shot clipboard methods itself, and loads the engine for all else.
//
// Why a front: the engine links the accessibility, D-Bus, capture and input
// libraries, and loading them takes several times as long as a whole
// clipboard transfer. The front links only Xlib and the JSON codec, so a
// script that moves text through the clipboard, and every keeper the engine
// starts, pays for none of that.
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/linux/x11_clipboard_one_shot.hpp"
#include "platform/linux/x11_selection_keeper.hpp"
#include "rpc/version.hpp"

namespace {

// The engine's entry point, exported by the engine library.
using EngineMain = int (*)(int, char**);
constexpr const char* ENGINE_FILE = "libkest-engine.so";
constexpr const char* ENGINE_ENTRY = "kest_engine_main";
// Where the engine is installed, from the directory of the installed front.
constexpr const char* ENGINE_FROM_PROGRAM = KEST_ENGINE_FROM_PROGRAM;
// The exit status when the engine cannot be loaded (EX_SOFTWARE).
constexpr int NO_ENGINE = 70;

int runEngine(int argc, char** argv) {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::filesystem::path here = error ? std::filesystem::path(".") : program.parent_path();
    std::string failures;
    // Beside the program in a build tree, else where it is installed.
    for (const auto& candidate : {here / ENGINE_FILE, here / ENGINE_FROM_PROGRAM / ENGINE_FILE}) {
        void* engine = ::dlopen(candidate.c_str(), RTLD_LAZY | RTLD_LOCAL);
        if (engine == nullptr) {
            failures += std::string("\n  ") + ::dlerror();
            continue;
        }
        // The engine stays loaded until the process ends.
        if (auto entry = reinterpret_cast<EngineMain>(::dlsym(engine, ENGINE_ENTRY))) return entry(argc, argv);
        failures += std::string("\n  ") + candidate.string() + ": no " + ENGINE_ENTRY;
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
    if (auto status = desktop::runClipboardOneShot(argc, argv)) return *status;
    return runEngine(argc, argv);
}
