// Running a list of commands in one request, and the positional shorthand of
// batch commands.
#pragma once

#include <string>

#include "rpc/result.hpp"

namespace kest {

class Dispatcher;

namespace Batch {

// Runs each command (already known to be an array) through the dispatcher in
// order, on the caller's thread; stops at the first failure when stopOnError.
Result<Json> execute(const Json& commands, bool stopOnError, Dispatcher& dispatcher);

// Adds the named parameters that the positional values of common methods stand
// for ("click" "@b3" gives "ref"); values of the wrong kind map nothing.
void mapPositionalParams(const std::string& method, const Json& positional, Params& params);

}  // namespace Batch
}  // namespace kest
