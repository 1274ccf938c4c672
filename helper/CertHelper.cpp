#include "helper/CertHelper.hpp"

#include <algorithm>
#include <array>

#include "platform/AtomicFile.hpp"
#include "platform/keychain/CertificateDownload.hpp"
#include "platform/keychain/CertificateTrust.hpp"

namespace helper {
namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return text;
}

}  // namespace

CertHelper::CertHelper(HelperPaths paths, const platform::KIVLogHelper& log, platform::HTTPClientPtr http)
    : paths_(std::move(paths)),
      log_(log),
      http_(std::move(http)),
      queue_(platform::makeSerialQueue("com.veltrix.kivHelper.certificates")) {}

bool CertHelper::acceptableURL(const std::string& url) { return platform::acceptableCertificateURL(url); }

bool CertHelper::acceptablePath(const std::string& path) {
    return !path.empty() && path.front() == '/' && path.size() < 4096 && path.find('\0') == std::string::npos;
}

bool CertHelper::acceptableFileName(const std::string& filename) {
    if (filename.empty() || filename.size() > 255 || filename.front() == '.') return false;
    for (unsigned char c : filename) {
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F) return false;
    }
    // The helper's own files, and the backup of its log, are never replaced by a download.
    static const std::array<std::string, 4> kOwnFiles{"config.ini", "kivhelper.log", "kivhelper.log.bak",
                                                      "kivhelper.log.new"};
    const std::string name = lowered(filename);
    return std::find(kOwnFiles.begin(), kOwnFiles.end(), name) == kOwnFiles.end();
}

bool CertHelper::downloadCert(const std::string& url, const std::string& filename,
                              std::function<void()> done) {
    if (!acceptableURL(url) || !acceptableFileName(filename)) return false;
    const auto target = paths_.productFolder() / filename;
    log_.log("Target folder " + target.string());
    log_.log("Downloading file from: " + url + " and save as file://" + target.string());
    platform::HTTPRequest request;
    request.url = url;
    request.maxRedirects = kMaxRedirects;
    request.maxResponseBytes = platform::kMaxCertificateBytes;
    http_->send(
        std::move(request), queue_, [this, target, done = std::move(done)](platform::HTTPResult result) {
            if (result.response) {
                const std::string failed = platform::writeFileAtomically(target, result.response->body, 0644);
                if (failed.empty()) {
                    log_.log("File is saved to file://" + target.string());
                } else {
                    log_.log("Failed to write file: " + failed);
                }
            } else if (result.error) {
                log_.log("Download Error:" + std::string(platform::toString(result.error->code)) + ": " +
                         result.error->message);
            }
            if (done) done();
        });
    return true;
}

bool CertHelper::importCert(const std::string& path, std::function<void()> done) {
    if (!acceptablePath(path)) return false;
    queue_->async([this, path, done = std::move(done)] {
        const auto read = platform::readWholeFile(path, platform::kMaxCertificateBytes);
        std::string why;
        std::optional<platform::Certificate> certificate;
        if (read.status != platform::FileRead::Status::read) {
            why = read.error.empty() ? path + ": no such file" : read.error;
        } else {
            certificate = platform::parseCertificate(read.content, why);
        }
        if (!certificate) {
            log_.log("Cannot import " + path + ": " + why);
        } else {
            const platform::TrustOutcome outcome = platform::trustCertificate(*certificate, paths_);
            log_.log("Command " + (outcome.command.empty() ? std::string("(none)") : outcome.command) +
                     " output " + outcome.message);
        }
        if (done) done();
    });
    return true;
}

}  // namespace helper
