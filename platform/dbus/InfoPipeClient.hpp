#pragma once
// SSSD's InfoPipe (org.freedesktop.sssd.infopipe on the system bus): the directory's attributes of
// a user, as SSSD serves them for network accounts (LDAP, Active Directory, FreeIPA).
//
// A lookup is synchronous and opens a connection of its own for its few calls, so it may run on
// any thread, the main queue's included, without waiting on a loop; each call is bounded by the
// timeout (the directory may need the network). It reports every failed step, in order, and
// never throws.
#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform::dbus {

inline constexpr const char* kInfoPipeBusName = "org.freedesktop.sssd.infopipe";
inline constexpr const char* kInfoPipePath = "/org/freedesktop/sssd/infopipe";
inline constexpr const char* kInfoPipeInterface = "org.freedesktop.sssd.infopipe";

struct InfoPipeError {
    // open: reaching the service (bus connection, the service's Ping); query: building the
    // GetUserAttr call; results: the call and its reply; attribute: one attribute's value.
    enum class Step { open, query, results, attribute };
    Step step = Step::open;
    std::string name;  // the D-Bus error name, else the errno text
    int code = 0;      // errno
};

struct InfoPipeLookup {
    // Each attribute the directory answered with its texts, in the directory's order (at most
    // kMaxInfoPipeValues each); nothing when the lookup failed before an answer.
    std::optional<std::map<std::string, std::vector<std::string>>> attributes;
    std::vector<InfoPipeError> errors;
};

inline constexpr std::size_t kMaxInfoPipeValues = 64;

// GetUserAttr(user, names) at `busAddress` (a D-Bus address; BusConnection::systemBusAddress()).
InfoPipeLookup getUserAttributes(const std::string& busAddress, const std::string& user,
                                 const std::vector<std::string>& names, std::chrono::microseconds timeout);

}  // namespace platform::dbus
