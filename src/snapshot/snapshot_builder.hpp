// Walks a window's accessibility tree into element records with refs.
#pragma once

#include <map>
#include <string>

#include "platform/platform.hpp"

namespace kest {

// Hands out refs per role prefix: @b1, @b2, @t1, ...
class RefAssigner {
public:
    std::map<std::string, int> counters;
};

class SnapshotBuilder {
public:
    RefAssigner refAssigner;
    std::map<std::string, platform::Element> refToElement;
    int elementCount = 0;
    int maxElements = 500;
};

}  // namespace kest
