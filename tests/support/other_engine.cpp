// An engine of another version, for the front to refuse: its entry point has
// the name an engine of version 0.1.0 and earlier exported, and it answers
// with an exit status no engine gives.
#include <cstddef>

extern "C" __attribute__((visibility("default"))) int kest_engine_main(int, char**, const char*, std::size_t) {
    return 42;
}
