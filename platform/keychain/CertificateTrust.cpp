#include "platform/keychain/CertificateTrust.hpp"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>
#include <mutex>

#include "platform/AtomicFile.hpp"

namespace platform {
namespace {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct BIOFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using BIOPtr = std::unique_ptr<BIO, BIOFree>;

std::mutex& trustMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

std::optional<Certificate> parseCertificate(std::string_view bytes, std::string& why) {
    if (bytes.empty()) {
        why = "no data";
        return std::nullopt;
    }
    if (bytes.size() > kMaxCertificateBytes) {
        why = "larger than " + std::to_string(kMaxCertificateBytes) + " bytes";
        return std::nullopt;
    }
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const unsigned char* cursor = data;
    X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(bytes.size())));
    if (!certificate || cursor != data + bytes.size()) {
        certificate.reset();
        BIOPtr in(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
        if (in) certificate.reset(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr));
    }
    ERR_clear_error();
    if (!certificate) {
        why = "the data is not a certificate";
        return std::nullopt;
    }
    Certificate out;
    BIOPtr pem(BIO_new(BIO_s_mem()));
    if (!pem || PEM_write_bio_X509(pem.get(), certificate.get()) != 1) {
        why = "cannot write the certificate as PEM";
        return std::nullopt;
    }
    char* text = nullptr;
    const long length = BIO_get_mem_data(pem.get(), &text);
    out.pem.assign(text, static_cast<std::size_t>(length));

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (X509_digest(certificate.get(), EVP_sha256(), digest, &digestLength) != 1) {
        why = "cannot compute the certificate's fingerprint";
        return std::nullopt;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    for (unsigned int i = 0; i < digestLength; ++i) {
        out.fingerprint += kHex[digest[i] >> 4];
        out.fingerprint += kHex[digest[i] & 0xF];
    }
    char subject[512];
    X509_NAME_oneline(X509_get_subject_name(certificate.get()), subject, sizeof subject);
    out.subject = subject;
    return out;
}

TrustOutcome trustCertificate(const Certificate& certificate, const KeychainPaths& paths) {
    std::lock_guard lock(trustMutex());
    TrustOutcome outcome;
    const auto file = paths.caFolder() / ("kiv-" + certificate.fingerprint.substr(0, 16) + ".crt");
    const auto existing = platform::readWholeFile(file, kMaxCertificateBytes);
    if (existing.status == platform::FileRead::Status::read && existing.content == certificate.pem) {
        outcome.status = TrustOutcome::Status::alreadyTrusted;
        outcome.message = "The certificate is already trusted (" + file.string() + ").";
        return outcome;
    }
    std::error_code ec;
    std::filesystem::create_directories(paths.caFolder(), ec);
    if (ec) {
        outcome.message = "cannot create " + paths.caFolder().string() + ": " + ec.message();
        return outcome;
    }
    if (auto failed = platform::writeFileAtomically(file, certificate.pem, 0644); !failed.empty()) {
        outcome.message = failed;
        return outcome;
    }
    const std::vector<std::string> arguments;  // the program's defaults: the system store
    outcome.command = commandLine(paths.caUpdateCommand, arguments);
    const CommandResult ran = runCommand(paths.caUpdateCommand, arguments);
    if (!ran.succeeded()) {
        // Not left for a later update to pick up: the caller was told it failed.
        std::filesystem::remove(file, ec);
        outcome.status = TrustOutcome::Status::updateFailed;
        outcome.message = ran.error.empty() ? "exit status " + std::to_string(ran.exitStatus.value_or(-1)) +
                                                  ": " + ran.output
                                            : ran.error;
        return outcome;
    }
    outcome.status = TrustOutcome::Status::trusted;
    outcome.message = ran.output;
    return outcome;
}

}  // namespace platform
