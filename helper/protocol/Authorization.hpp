#pragma once
// Authorization for the helper's commands, in place of the platform's authorization services.
//
// A client makes an authorization (authorizationCreate) and sends its 32-byte external form
// with every command. The form only proves that the caller went through authorizationCreate; it
// grants nothing. Who the caller is comes from the kernel (the connection's peer credentials),
// and what it may do from the rights database: a text file of "<right name> <rule>" lines
// ('#' starts a comment) with the rules
//   allow          anyone
//   deny           no one
//   root           user id 0 only
//   group:NAME     user id 0 or a member of group NAME (primary or supplementary)
// The file is trusted only when it is a regular file owned by root (or by the reading process's
// own user, for a helper that does not run as root) that neither group nor others may write;
// an untrusted file defines no right. It is read at every check, so edits apply at once.
//
// Threads: any; nothing here keeps state between calls.
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace helper {

using OSStatus = std::int32_t;

inline constexpr OSStatus errAuthorizationSuccess = 0;
inline constexpr OSStatus paramErr = -50;
inline constexpr OSStatus errAuthorizationInvalidRef = -60002;
inline constexpr OSStatus errAuthorizationDenied = -60005;
inline constexpr OSStatus errAuthorizationInternal = -60008;

inline constexpr std::size_t kAuthorizationExternalFormLength = 32;
using AuthorizationExternalForm = std::array<std::uint8_t, kAuthorizationExternalFormLength>;

struct AuthorizationRef {
    AuthorizationExternalForm form{};
};

// A new authorization with fresh random bytes; errAuthorizationInternal when the system has no
// randomness to give.
OSStatus authorizationCreate(AuthorizationRef& out);
OSStatus authorizationMakeExternalForm(const AuthorizationRef& authorization, AuthorizationExternalForm& out);
// errAuthorizationInvalidRef for bytes that no authorizationCreate made; paramErr for a length
// other than 32.
OSStatus authorizationCreateFromExternalForm(const std::vector<std::uint8_t>& bytes, AuthorizationRef& out);

// Who asks, as the kernel says.
struct AuthorizationCaller {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

class RightsDatabase {
public:
    explicit RightsDatabase(std::filesystem::path file) : file_(std::move(file)) {}
    // Where the helper reads it: $KIV_HELPER_RIGHTS, else <$KIV_ROOT or />/etc/kiv/kivhelper.rights.
    static std::filesystem::path standardPath();
    const std::filesystem::path& file() const { return file_; }

    // The right's rule; errAuthorizationDenied when the database does not define it (or cannot
    // be trusted, with the reason in `why` when given).
    OSStatus rightGet(std::string_view rightName, std::string& rule, std::string* why = nullptr) const;
    // errAuthorizationSuccess when the right's rule lets the caller through, else
    // errAuthorizationDenied.
    OSStatus copyRights(std::string_view rightName, const AuthorizationCaller& caller) const;

    // Whether `rule` is one of the four forms above.
    static bool validRule(std::string_view rule);
    // Whether `rule` lets `caller` through.
    static bool ruleAllows(std::string_view rule, const AuthorizationCaller& caller);

private:
    std::filesystem::path file_;
};

}  // namespace helper
