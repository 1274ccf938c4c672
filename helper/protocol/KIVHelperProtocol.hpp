#pragma once
// The helper's XPC protocol: its service name, its selectors in declaration order and the
// interface both sides check messages against. Every method takes its arguments and the
// caller's 32-byte authorization (nullable data) and replies with one nullable error: nothing on
// success, else an NSOSStatusErrorDomain error whose code is -50 (bad parameter or failed
// action) or the failing authorization status.
#include "platform/xpc/XPCInterface.hpp"

namespace helper {

inline constexpr const char* kHelperServiceName = "com.veltrix.kivHelper";

namespace selector {
inline constexpr const char* setLogDebug = "setLogDebug:authorization:withReply:";
inline constexpr const char* setTrayType = "setTrayType:authorization:withReply:";
inline constexpr const char* writeLocation = "writeLocation:authorization:withReply:";
inline constexpr const char* modifyDNS = "modifyDNS:authorization:withReply:";
inline constexpr const char* rollbackDNS = "rollbackDNS:withReply:";
inline constexpr const char* modifyDNSForServices = "modifyDNSForServices:services:authorization:withReply:";
inline constexpr const char* rollbackDNSForServices = "rollbackDNSForServices:authorization:withReply:";
inline constexpr const char* downloadCert = "downloadCert:filename:authorization:withReply:";
inline constexpr const char* importCert = "importCert:authorization:withReply:";
inline constexpr const char* flushDNS = "flushDNSwithAuthorization:withReply:";
}  // namespace selector

platform::XPCInterface kivHelperProtocol();

}  // namespace helper
