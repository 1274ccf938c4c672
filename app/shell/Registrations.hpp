#pragma once
// The application's registrations, in the registry's order. Each layer names its own records; the
// shell joins them here. Services that later layers build add their rows as they come.
#include <vector>

#include "app/core/Service.hpp"

namespace kiv {

std::vector<Service> applicationRegistrations();

}  // namespace kiv
