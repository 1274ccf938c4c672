#include "dnsproxy/ProxyLog.hpp"

namespace dnsproxy {

namespace {
constexpr const char* kSubsystem = "com.veltrix.kiv.KIVDNSProxy";
}

const platform::SystemLog& providerLog() {
    static const platform::SystemLog log(kSubsystem, "provider");
    return log;
}

const platform::SystemLog& filterLog() {
    static const platform::SystemLog log(kSubsystem, "filter");
    return log;
}

const platform::SystemLog& appLog() {
    static const platform::SystemLog log(kSubsystem, "app");
    return log;
}

}  // namespace dnsproxy
