#pragma once
// Making the system trust a root certificate: the certificate is written in PEM form into the
// local certificate-authority folder under a name made from its fingerprint (never from a
// caller's text), then the trust-store update program runs with a fixed argument list and no
// shell. Used by the helper's import command and by the application's installation run.
//
// Threads: any; trust() blocks until the update program has ended. Calls are serialised within
// the process, so two updates never run at once.
#include <optional>
#include <string>
#include <string_view>

#include "platform/keychain/CommandRunner.hpp"
#include "platform/keychain/KeychainPaths.hpp"

namespace platform {

inline constexpr std::size_t kMaxCertificateBytes = 1024 * 1024;

struct Certificate {
    std::string pem;          // one "BEGIN CERTIFICATE" block
    std::string fingerprint;  // SHA-256, lower-case hex
    std::string subject;      // one-line form, for log lines
};

// A certificate from DER bytes or from the first PEM certificate block; nothing (with the reason)
// when the bytes hold neither.
std::optional<Certificate> parseCertificate(std::string_view bytes, std::string& why);

struct TrustOutcome {
    // notStored: the certificate could not be put in the folder; updateFailed: it was, but the
    // update program failed (the file is removed again).
    enum class Status { trusted, alreadyTrusted, notStored, updateFailed };
    Status status = Status::notStored;
    std::string message;  // for the log: the failure, or the update program's output
    std::string command;  // the command line that ran, when one ran
};

TrustOutcome trustCertificate(const Certificate& certificate, const KeychainPaths& paths);

}  // namespace platform
