#include "app/core/FatalError.hpp"

#include <cstdio>
#include <cstdlib>

namespace kiv {

void fatalError(std::string_view message) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
    std::abort();
}

}  // namespace kiv
