#include "helper/protocol/Common.hpp"

#include <cstdlib>

namespace helper {
namespace {

constexpr const char* kServiceName = "com.veltrix.kivHelper";
constexpr const char* kAdministrators = "group:sudo";

}  // namespace

const std::map<std::string, Common::Row>& Common::commandInfo() {
    static const std::map<std::string, Row> table = [] {
        struct Entry {
            const char* selector;
            const char* rule;
            const char* prompt;
        };
        const Entry entries[] = {
            {"setLogDebug:authorization:withReply:", kAdministrators,
             "Brannock Cloud is trying to modify the logger settings"},
            {"setTrayType:authorization:withReply:", kAdministrators,
             "Brannock Cloud is trying to modify the tray type"},
            {"writeLocation:authorization:withReply:", kAdministrators,
             "Brannock Cloud is trying to set the location key"},
            {"downloadCert:filename:authorization:withReply:", kAdministrators,
             "Brannock Cloud is trying to download the certificate"},
            {"importCert:authorization:withReply:", kAdministrators,
             "Brannock Cloud is trying to import the certificate"},
            {"modifyDNS:authorization:withReply:", kAdministrators, "Brannock Cloud is trying to modify DNS"},
            {"rollbackDNS:withReply:", kAdministrators, "Brannock Cloud is trying to rollback DNS"},
            {"modifyDNSForServices:services:authorization:withReply:", kAdministrators,
             "Brannock Cloud is trying to modify DNS for provided services"},
            {"rollbackDNSForServices:authorization:withReply:", kAdministrators,
             "Brannock Cloud is trying to rollback DNS for provided services"},
            {"flushDNSwithAuthorization:withReply:", "allow",
             "Brannock Cloud is trying to flush the DNS cache"},
        };
        std::map<std::string, Row> built;
        for (const auto& e : entries) {
            const std::string selector = e.selector;
            built[selector] = Row{
                {kAuthRightName, std::string(kServiceName) + "." + selector.substr(0, selector.find(':'))},
                {kAuthRightDefault, e.rule},
                {kAuthRightDescription, e.prompt}};
        }
        return built;
    }();
    return table;
}

std::optional<std::string> Common::authorizationRightForCommand(std::string_view selector) {
    const auto& table = commandInfo();
    const auto row = table.find(std::string(selector));
    if (row == table.end()) return std::nullopt;
    return row->second.at(kAuthRightName);
}

void Common::enumerateRights(const std::function<void(const std::string& name, const std::string& rule,
                                                      const std::string& prompt)>& block) {
    for (const auto& [selector, row] : commandInfo()) {
        const auto name = row.find(kAuthRightName);
        const auto rule = row.find(kAuthRightDefault);
        const auto prompt = row.find(kAuthRightDescription);
        // The table is ours and fixed; a broken row is a programming error.
        if (name == row.end() || rule == row.end() || prompt == row.end()) std::abort();
        block(name->second, rule->second, prompt->second);
    }
}

void Common::setupAuthorizationRights(const AuthorizationRef& authorization, const RightsDatabase& database,
                                      const std::function<void(const std::string&)>& log) {
    AuthorizationExternalForm form;
    // A reference that authorizationCreate did not make is a programming error.
    if (authorizationMakeExternalForm(authorization, form) != errAuthorizationSuccess) std::abort();
    enumerateRights([&](const std::string& name, const std::string& rule, const std::string&) {
        std::string current;
        std::string why;
        if (database.rightGet(name, current, &why) != errAuthorizationSuccess) {
            log("Authorization right " + name + " is not available (" + why +
                "); the installation defines it as \"" + rule + "\"");
        } else if (current != rule) {
            log("Authorization right " + name + " is \"" + current + "\" (installed default \"" + rule +
                "\")");
        }
    });
}

}  // namespace helper
