#pragma once
// The registry's record for the application's logger: lifetime `global`, so the one KIVLogger is
// made on first resolution (production level, no configuration held, destinations not yet set up)
// and shared by every service that injects a logger. Start-up puts it among its registrations.
#include "app/core/Service.hpp"

namespace kiv {

Service loggerService();

}  // namespace kiv
