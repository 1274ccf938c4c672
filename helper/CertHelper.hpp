#pragma once
// The helper's certificate commands: downloading a certificate file into the product folder and
// trusting a certificate file as a root certificate (CertificateTrust). Both report through the
// helper log; their callers learn only whether the request itself was acceptable.
//
// Threads: any. Work runs on the helper's certificate queue (one job at a time) and the HTTP
// client's; `done` runs there once the job has ended.
#include <functional>
#include <string>

#include "helper/HelperPaths.hpp"
#include "platform/Dispatch.hpp"
#include "platform/http/HTTPClient.hpp"
#include "platform/keychain/CertificateDownload.hpp"
#include "platform/keychain/KIVLogHelper.hpp"

namespace helper {

class CertHelper {
public:
    CertHelper(HelperPaths paths, const platform::KIVLogHelper& log, platform::HTTPClientPtr http);

    // False, with nothing started, for a URL that is not http or https or a file name that is
    // not one plain path component, or names one of the helper's own files. Otherwise the body
    // (at most kMaxCertificateBytes, through at most kMaxRedirects http/https redirects) is
    // written atomically into the product folder under the name, and `done` runs.
    bool downloadCert(const std::string& url, const std::string& filename, std::function<void()> done);
    // False for a path that is not absolute. Otherwise the file (a regular file, not a symbolic
    // link, at most kMaxCertificateBytes) is trusted and `done` runs; failures are logged.
    bool importCert(const std::string& path, std::function<void()> done);

    static bool acceptableFileName(const std::string& filename);
    static bool acceptableURL(const std::string& url);
    static bool acceptablePath(const std::string& path);

    static constexpr long kMaxRedirects = platform::kMaxCertificateRedirects;

private:
    HelperPaths paths_;
    const platform::KIVLogHelper& log_;
    platform::HTTPClientPtr http_;
    platform::DispatchQueuePtr queue_;
};

}  // namespace helper
