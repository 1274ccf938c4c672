#pragma once
// The helper's rights table: per protocol command, the right that guards it, the rule the right
// gets when the installation defines it, and the prompt text. Compiled into the helper and the
// application; built once, never changed.
//
// Only the cache flush (the application's one call) is open to everyone; every other command
// needs root or the administrators' group, so that no local user can change DNS or make root
// trust a certificate.
//
// Threads: any.
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "helper/protocol/Authorization.hpp"

namespace helper {

inline constexpr const char* kAuthRightName = "authRightName";
inline constexpr const char* kAuthRightDefault = "authRightDefault";
inline constexpr const char* kAuthRightDescription = "authRightDescription";

class Common {
public:
    using Row = std::map<std::string, std::string>;

    // Selector → {"authRightName", "authRightDefault", "authRightDescription"}.
    static const std::map<std::string, Row>& commandInfo();
    static std::optional<std::string> authorizationRightForCommand(std::string_view selector);
    // Once per row: right name, default rule, prompt text.
    static void enumerateRights(const std::function<void(const std::string& name, const std::string& rule,
                                                         const std::string& prompt)>& block);
    // Checks every right of the table against the rights database and logs each one that is
    // missing or narrower/wider than its default. Rights are defined by the installation, which
    // owns the database; a client cannot define or widen them, so nothing is written here.
    static void setupAuthorizationRights(const AuthorizationRef& authorization,
                                         const RightsDatabase& database,
                                         const std::function<void(const std::string&)>& log);
};

}  // namespace helper
