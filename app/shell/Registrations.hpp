#pragma once
// The application's registrations, in the registry's order. Each layer names its own records; the
// shell joins them here. Services that later layers build add their rows as they come.
#include <vector>

#include "app/core/Service.hpp"

namespace kiv {

std::vector<Service> applicationRegistrations();

// A new registry of applicationRegistrations() made the root, replacing any earlier one; no
// service is made here. Start-up registers through ApplicationStartHelper::registerServices, which
// also sets up what lives beside the registry; this one does the registry alone.
void registerApplicationServices();

}  // namespace kiv
