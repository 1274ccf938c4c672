#pragma once
// Random (version 4) UUIDs in their standard upper-case text form, as the original
// platform's UUID().uuidString gives them.
#include <string>

namespace platform {

// "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"; from the kernel's random source.
std::string makeUUIDString();

}  // namespace platform
