// The program's version text, shared by --version and the version method.
#pragma once

namespace kest {
inline constexpr const char* kVersion = "0.1.0";
}
