#pragma once
// Installs the filtering service's CA certificate during an installation run: fetches it (one
// GET, http or https, redirects to http/https only, at most 1 MiB), and makes the system trust it
// as a root certificate (platform/keychain: the local CA folder and the trust-store update,
// which needs root). Progress and failures go to the helper log; the caller learns nothing.
//
// Threads: start from any thread; the job runs on a queue of its own, never the main queue, so a
// caller on the main thread may wait for it (waitForRunningJobs) without deadlock.
#include <chrono>
#include <memory>
#include <string>

#include "platform/http/HTTPClient.hpp"
#include "platform/http/URL.hpp"
#include "platform/keychain/KIVLogHelper.hpp"
#include "platform/keychain/KeychainPaths.hpp"

namespace kiv {

struct CertInstallEnvironment {
    platform::KeychainPaths paths;
    platform::HTTPClientPtr http;
    std::shared_ptr<const platform::KIVLogHelper> log;

    // The process's own: KeychainPaths::fromEnvironment(), one shared client, the shared log writer.
    static CertInstallEnvironment standard();
};

class DownloadCertManager {
public:
    std::string certPath;  // kept for callers that set it; nothing reads it

    // Starts the job and returns at once.
    static void downloadAndInstallCertFrom(const platform::URL& url);
    static void downloadAndInstallCertFrom(const platform::URL& url, CertInstallEnvironment environment);

    // Waits until every job started has ended, at most `limit`; true when none is left.
    static bool waitForRunningJobs(std::chrono::milliseconds limit);
    // Longest a job can take: the request's own limit plus the trust-store update.
    static constexpr std::chrono::milliseconds kJobLimit{std::chrono::seconds(90)};
    static constexpr std::chrono::milliseconds kRequestTimeout{std::chrono::seconds(60)};
};

}  // namespace kiv
