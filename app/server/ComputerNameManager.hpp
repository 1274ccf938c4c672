#pragma once
// The user and computer identity the device server is told: login name, full name, an e-mail-like
// address and the computer identity (user, "@", computer name). Every operation reads the system
// afresh through its Sources; the manager keeps no state.
//
// On Linux a user is local when the local account file (the files source of the passwd database)
// lists it; an account that comes only from a directory service (NSS: SSSD, winbind) is a network
// user. Its directory identity is asked of SSSD's InfoPipe on the system bus: the first alternate
// security identity ("altSecurityIdentities", split at ":"), else the user principal name
// ("userPrincipalName") as it is. Without SSSD, a record or a value, the login-name form is used.
// A failed directory step is logged to the system log and only leads to that form.
//
// Threads: any. For a network user getComputerName blocks on the directory (10 s per call at most).
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/core/Service.hpp"
#include "platform/HostIdentity.hpp"
#include "platform/UserDefaults.hpp"

namespace kiv {

class ComputerNameManager {
public:
    // What the directory holds of a user, first values only.
    struct DirectoryRecord {
        std::optional<std::string> altSecurityIdentity;  // "Kerberos:alice@EXAMPLE.ORG"
        std::optional<std::string> userPrincipalName;    // "alice@EXAMPLE.ORG"
    };

    struct Sources {
        std::function<std::optional<platform::UserAccount>()> account;
        std::function<std::string()> hostName;
        std::function<std::string()> computerName;
        std::function<bool(std::string_view loginName)> isLocalAccount;
        // A network account's directory record; nothing when the directory has none.
        std::function<std::optional<DirectoryRecord>(std::string_view loginName)> directoryRecord;
        std::function<std::optional<std::string>(const char* name)> environment;
        platform::UserDefaultsPtr userDefaults;  // saveComputerName's store

        // The real system: platform::HostIdentity over `paths`, getenv, the standard defaults.
        static Sources system(platform::HostIdentityPaths paths = {});
    };

    ComputerNameManager() : ComputerNameManager(Sources::system()) {}
    explicit ComputerNameManager(Sources sources) : sources_(std::move(sources)) {}

    bool isLocalUser() const;
    // The third component of `path` ("/Users/user1/Work" gives user1), or `path` itself.
    static std::string userNameFrom(std::string_view path);
    // The login name; for root, the user of $PWD's home; nothing for root without $PWD.
    std::optional<std::string> nsUserName() const;
    std::string fullUserName() const;
    // nsUserName (empty when there is none), "@", the host name with every "local" replaced by
    // "com" when it ends with "local".
    std::string getEMail() const;
    void saveComputerName(const std::string& name) const;
    // A network user's directory identity, else login name "@" computer name; ".local" appended
    // unless it already ends with "local".
    std::string getComputerName() const;

    // The identity a record gives: the alternate security identity's second ":"-separated part
    // (none when it has no ":"), else, when the record has no alternate identity, the principal
    // name. Empty texts count as no value.
    static std::optional<std::string> identityFrom(const DirectoryRecord& record);
    // Asks SSSD's InfoPipe at `busAddress` for `loginName`'s record; logs each failed step.
    static std::optional<DirectoryRecord> infoPipeRecord(const std::string& busAddress,
                                                         const std::string& loginName);

private:
    std::string loginName() const;

    Sources sources_;
};

// The registry's record: `global`, a manager over the real system.
Service computerNameManagerService();

}  // namespace kiv
