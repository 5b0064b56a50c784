// RapidJSON as every file here includes it: sizes as std::size_t, so that a
// string's length is never cut to 32 bits, and its vector scans switched on
// where the target has them. Every includer must see the same settings, or
// the templates would differ between files.
#pragma once
#include <cstddef>

#define RAPIDJSON_NO_SIZETYPEDEFINE
namespace rapidjson {
using SizeType = std::size_t;
}
#if defined(__SSE2__)
#define RAPIDJSON_SSE2
#endif
