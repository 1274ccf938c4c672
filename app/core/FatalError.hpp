#pragma once
// Stops the process at once: the message goes to standard error and the process aborts. For
// states the application cannot go on from (a service nobody registered).
#include <string_view>

namespace kiv {

[[noreturn]] void fatalError(std::string_view message);

}  // namespace kiv
