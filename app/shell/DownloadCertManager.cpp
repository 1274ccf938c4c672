#include "app/shell/DownloadCertManager.hpp"

#include <condition_variable>
#include <mutex>

#include "platform/Dispatch.hpp"
#include "platform/NoDestructor.hpp"
#include "platform/keychain/CertificateDownload.hpp"
#include "platform/keychain/CertificateTrust.hpp"

namespace kiv {
namespace {

struct RunningJobs {
    std::mutex mutex;
    std::condition_variable ended;
    int count = 0;
};

RunningJobs& runningJobs() {
    static platform::NoDestructor<RunningJobs> jobs;
    return *jobs;
}

// Ends the job: counted down whatever path the completion takes.
struct JobToken {
    JobToken() {
        std::lock_guard guard(runningJobs().mutex);
        ++runningJobs().count;
    }
    ~JobToken() {
        {
            std::lock_guard guard(runningJobs().mutex);
            --runningJobs().count;
        }
        runningJobs().ended.notify_all();
    }
    JobToken(const JobToken&) = delete;
    JobToken& operator=(const JobToken&) = delete;
};

void install(const platform::HTTPResult& result, const CertInstallEnvironment& environment) {
    const platform::KIVLogHelper& log = *environment.log;
    log.log("Cert request complete " +
            (result.response ? "status " + std::to_string(result.response->status) : std::string("(null)")));
    if (result.error) {
        log.log("Failed to retrieve cert " + result.error->message);
        return;
    }
    if (!result.response || result.response->body.empty()) {
        log.log("Certificate contained no data");
        return;
    }
    std::string why;
    const auto certificate = platform::parseCertificate(result.response->body, why);
    if (!certificate) {
        log.log("Failed to create cert " + why);
        return;
    }
    const auto outcome = platform::trustCertificate(*certificate, environment.paths);
    switch (outcome.status) {
        case platform::TrustOutcome::Status::trusted:
            break;
        case platform::TrustOutcome::Status::alreadyTrusted:
        case platform::TrustOutcome::Status::notStored:
            log.log("Failed to add cert " + outcome.message);
            break;
        case platform::TrustOutcome::Status::updateFailed:
            log.log("Failed to update cert " + outcome.message);
            break;
    }
}

}  // namespace

CertInstallEnvironment CertInstallEnvironment::standard() {
    static platform::NoDestructor<platform::HTTPClientPtr> client{platform::makeHTTPClient()};
    // The shared writer lives for the whole process; the pointer owns nothing.
    return {platform::KeychainPaths::fromEnvironment(), *client,
            std::shared_ptr<const platform::KIVLogHelper>(std::shared_ptr<void>{},
                                                          &platform::KIVLogHelper::sharedInstance())};
}

void DownloadCertManager::downloadAndInstallCertFrom(const platform::URL& url) {
    downloadAndInstallCertFrom(url, CertInstallEnvironment::standard());
}

void DownloadCertManager::downloadAndInstallCertFrom(const platform::URL& url,
                                                     CertInstallEnvironment environment) {
    environment.log->log("Install Cert Requesting from " + url.text());
    auto token = std::make_shared<JobToken>();
    if (!platform::acceptableCertificateURL(url.text())) {
        environment.log->log("Failed to retrieve cert: only http and https addresses are fetched");
        return;
    }
    platform::HTTPRequest request;
    request.url = url.text();
    request.timeout = kRequestTimeout;
    request.maxRedirects = platform::kMaxCertificateRedirects;
    request.maxResponseBytes = platform::kMaxCertificateBytes;
    static platform::NoDestructor<platform::DispatchQueuePtr> queue{
        platform::makeSerialQueue("com.veltrix.kiv.BrannockCloud.certificate")};
    auto http = environment.http;
    http->send(std::move(request), *queue,
               [token, environment = std::move(environment)](const platform::HTTPResult& result) {
                   install(result, environment);
               });
}

bool DownloadCertManager::waitForRunningJobs(std::chrono::milliseconds limit) {
    std::unique_lock lock(runningJobs().mutex);
    return runningJobs().ended.wait_for(lock, limit, [] { return runningJobs().count == 0; });
}

}  // namespace kiv
