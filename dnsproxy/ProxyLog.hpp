#pragma once
// The extension's logs: subsystem "com.veltrix.kiv.KIVDNSProxy" with the categories
// "provider" (the provider and every flow), "filter" (forwarding-rule selection) and
// "app" (the link to the application). Made once, on first use; any thread.
#include <utility>

#include "platform/SystemLog.hpp"

namespace dnsproxy {

const platform::SystemLog& providerLog();
const platform::SystemLog& filterLog();
const platform::SystemLog& appLog();

// Builds the message only when debug records are written.
template <typename MakeText>
void logDebug(const platform::SystemLog& log, MakeText&& makeText) {
    if (log.enabled(platform::LogType::debug)) log.debug(std::forward<MakeText>(makeText)());
}

}  // namespace dnsproxy
