#include "helper/protocol/Authorization.hpp"

#include <fcntl.h>
#include <grp.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace helper {
namespace {

// Marks the bytes as made by authorizationCreate; the rest is random.
constexpr std::array<std::uint8_t, 8> kMagic{'K', 'I', 'V', 'A', 'U', 'T', 'H', 1};
constexpr std::size_t kMaxDatabaseBytes = 64 * 1024;

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\r')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

// The whole database text, or nothing with the reason.
std::optional<std::string> readTrusted(const std::filesystem::path& file, std::string& why) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        why = "cannot open " + file.string() + ": " + std::strerror(errno);
        return std::nullopt;
    }
    struct stat st {};
    std::string text;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = file.string() + " is not a regular file";
    } else if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
        why = file.string() + " is not owned by root";
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = file.string() + " may be written by others than its owner";
    } else {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                why = "cannot read " + file.string() + ": " + std::strerror(errno);
                break;
            }
            if (n == 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
            if (text.size() > kMaxDatabaseBytes) {
                why = file.string() + " is larger than " + std::to_string(kMaxDatabaseBytes) + " bytes";
                break;
            }
        }
    }
    ::close(fd);
    if (!why.empty()) return std::nullopt;
    return text;
}

std::optional<gid_t> groupNamed(const std::string& name) {
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(16 * 1024);
    if (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    return found->gr_gid;
}

}  // namespace

OSStatus authorizationCreate(AuthorizationRef& out) {
    AuthorizationRef made;
    std::copy(kMagic.begin(), kMagic.end(), made.form.begin());
    std::size_t filled = kMagic.size();
    while (filled < made.form.size()) {
        const ssize_t n = ::getrandom(made.form.data() + filled, made.form.size() - filled, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return errAuthorizationInternal;
        filled += static_cast<std::size_t>(n);
    }
    out = made;
    return errAuthorizationSuccess;
}

OSStatus authorizationMakeExternalForm(const AuthorizationRef& authorization,
                                       AuthorizationExternalForm& out) {
    if (!std::equal(kMagic.begin(), kMagic.end(), authorization.form.begin()))
        return errAuthorizationInvalidRef;
    out = authorization.form;
    return errAuthorizationSuccess;
}

OSStatus authorizationCreateFromExternalForm(const std::vector<std::uint8_t>& bytes, AuthorizationRef& out) {
    if (bytes.size() != kAuthorizationExternalFormLength) return paramErr;
    if (!std::equal(kMagic.begin(), kMagic.end(), bytes.begin())) return errAuthorizationInvalidRef;
    std::copy(bytes.begin(), bytes.end(), out.form.begin());
    return errAuthorizationSuccess;
}

bool RightsDatabase::validRule(std::string_view rule) {
    if (rule == "allow" || rule == "deny" || rule == "root") return true;
    constexpr std::string_view kGroup = "group:";
    if (!rule.starts_with(kGroup) || rule.size() == kGroup.size() || rule.size() > kGroup.size() + 64)
        return false;
    return std::all_of(rule.begin() + kGroup.size(), rule.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '-' || c == '.';
    });
}

bool RightsDatabase::ruleAllows(std::string_view rule, const AuthorizationCaller& caller) {
    if (!validRule(rule) || rule == "deny") return false;
    if (rule == "allow") return true;
    if (caller.uid == 0) return true;
    if (rule == "root") return false;
    const auto gid = groupNamed(std::string(rule.substr(std::string_view("group:").size())));
    if (!gid) return false;
    return caller.gid == *gid ||
           std::find(caller.groups.begin(), caller.groups.end(), *gid) != caller.groups.end();
}

OSStatus RightsDatabase::rightGet(std::string_view rightName, std::string& rule, std::string* why) const {
    std::string reason;
    const auto text = readTrusted(file_, reason);
    if (!text) {
        if (why) *why = reason;
        return errAuthorizationDenied;
    }
    std::string_view rest = *text;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        if (const auto hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
        line = trim(line);
        const auto gap = line.find_first_of(" \t");
        if (gap == std::string_view::npos) continue;
        if (line.substr(0, gap) != rightName) continue;
        const std::string_view found = trim(line.substr(gap + 1));
        if (!validRule(found)) {
            if (why) *why = "the rule of " + std::string(rightName) + " is not understood";
            return errAuthorizationDenied;
        }
        rule = std::string(found);
        return errAuthorizationSuccess;
    }
    if (why) *why = std::string(rightName) + " is not defined in " + file_.string();
    return errAuthorizationDenied;
}

OSStatus RightsDatabase::copyRights(std::string_view rightName, const AuthorizationCaller& caller) const {
    std::string rule;
    if (rightGet(rightName, rule) != errAuthorizationSuccess) return errAuthorizationDenied;
    return ruleAllows(rule, caller) ? errAuthorizationSuccess : errAuthorizationDenied;
}

std::filesystem::path RightsDatabase::standardPath() {
    const char* rights = std::getenv("KIV_HELPER_RIGHTS");
    if (rights != nullptr && *rights != '\0') return rights;
    const char* root = std::getenv("KIV_ROOT");
    return std::filesystem::path(root != nullptr && *root != '\0' ? root : "/") / "etc/kiv/kivhelper.rights";
}

}  // namespace helper
