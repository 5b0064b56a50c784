// Window refs (@w1, @w2, ...) and the window records they stand for.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "rpc/protocol.hpp"

namespace kest {

class WindowManager {
public:
    std::map<std::string, std::int64_t> windowRefs;  // ref -> window number
    std::map<std::string, Json> windowInfoCache;     // ref -> window info record
    std::int64_t nextWindowId = 1;
};

}  // namespace kest
