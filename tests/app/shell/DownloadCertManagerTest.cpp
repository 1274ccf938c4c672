// The installation run's certificate job: fetched from a loopback server, trusted through the
// local CA folder and the trust-store update of a temporary root, checked with openssl verify;
// every failure ends the job with one line in the helper log.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/shell/DownloadCertManager.hpp"
#include "fakes/Process.hpp"
#include "fakes/TestFolders.hpp"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

using kiv::fakes::readText;

// A loopback port that nobody listens on.
int closedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

class DownloadCertManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = folder_.path() / "root";
        served_ = folder_.path() / "served";
        fs::create_directories(root_ / "var/lib/kiv");
        fs::create_directories(root_ / "etc/ssl/certs");
        fs::create_directories(served_);
        std::ofstream(root_ / "var/lib/kiv/kivHelper.log").flush();
        const fs::path script = folder_.path() / "update-ca-certificates";
        std::ofstream(script) << "#!/bin/sh\ncat " << (root_ / "usr/local/share/ca-certificates").string()
                              << "/*.crt > " << bundle().string() << "\necho done\n";
        fs::permissions(script, fs::perms(0755));
        environment_.paths.root = root_;
        environment_.paths.caUpdateCommand = script;
        environment_.http = platform::makeHTTPClient();
        environment_.log = std::make_shared<platform::KIVLogHelper>(root_ / "var/lib/kiv/kivHelper.log");
        const std::string command =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj "
            "/CN=KivTestRoot"
            " -keyout " +
            (folder_.path() / "ca.key").string() + " -out " + ca().string() +
            " >/dev/null 2>&1 && "
            "openssl x509 -in " +
            ca().string() + " -outform der -out " + (served_ / "ca.der").string();
        ASSERT_EQ(std::system(command.c_str()), 0);
        std::ofstream(served_ / "empty.der").flush();
        std::ofstream(served_ / "page.der") << "<html>not a certificate</html>";
        server_ = std::make_unique<kiv::fakes::Process>(
            std::vector<std::string>{"/usr/bin/python3",
                                     KIV_SOURCE_DIR "/tests/app/shell/cert_file_server.py", served_.string()},
            std::vector<std::string>{}, (folder_.path() / "server.err").string());
        const auto port = server_->readLine(20s);
        ASSERT_TRUE(port.has_value());
        port_ = std::stoi(*port);
    }

    void install(const std::string& url) {
        kiv::DownloadCertManager::downloadAndInstallCertFrom(*platform::URL::parse(url), environment_);
        ASSERT_TRUE(kiv::DownloadCertManager::waitForRunningJobs(60s));
    }
    std::string url(const std::string& file) const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/" + file;
    }
    fs::path ca() const { return folder_.path() / "ca.pem"; }
    fs::path bundle() const { return root_ / "etc/ssl/certs/ca-certificates.crt"; }
    std::string log() const { return readText(root_ / "var/lib/kiv/kivHelper.log"); }
    bool trusted() const {
        const std::string command =
            "openssl verify -CAfile " + bundle().string() + " " + ca().string() + " >/dev/null 2>&1";
        return fs::exists(bundle()) && std::system(command.c_str()) == 0;
    }

    kiv::fakes::TemporaryFolder folder_{"kiv-cert"};
    fs::path root_;
    fs::path served_;
    kiv::CertInstallEnvironment environment_;
    std::unique_ptr<kiv::fakes::Process> server_;
    int port_ = 0;
};

struct FailureCase {
    std::string name;
    std::string file;  // empty: a port nobody listens on
    std::string line;
};

class CertificateFailureTest : public DownloadCertManagerTest,
                               public ::testing::WithParamInterface<FailureCase> {};

TEST_P(CertificateFailureTest, EndsWithOneLineAndTrustsNothing) {
    install(GetParam().file.empty() ? "http://127.0.0.1:" + std::to_string(closedPort()) + "/ca.der"
                                    : url(GetParam().file));
    EXPECT_NE(log().find(GetParam().line), std::string::npos) << log();
    EXPECT_FALSE(fs::exists(root_ / "usr/local/share/ca-certificates") &&
                 !fs::is_empty(root_ / "usr/local/share/ca-certificates"));
    EXPECT_FALSE(trusted());
}

INSTANTIATE_TEST_SUITE_P(Failures, CertificateFailureTest,
                         ::testing::Values(FailureCase{"Unreachable", "", "Failed to retrieve cert"},
                                           FailureCase{"Empty", "empty.der", "Certificate contained no data"},
                                           FailureCase{"NotACertificate", "page.der",
                                                       "Failed to create cert"},
                                           FailureCase{"NotFound", "missing.der", "Failed to create cert"}),
                         [](const auto& info) { return info.param.name; });

TEST_F(DownloadCertManagerTest, TrustsTheCertificateOnceAndReportsTheSecondRun) {
    EXPECT_FALSE(trusted());
    install(url("ca.der"));
    EXPECT_TRUE(trusted()) << log();
    EXPECT_NE(log().find("Install Cert Requesting from " + url("ca.der")), std::string::npos);
    EXPECT_EQ(log().find("Failed"), std::string::npos) << log();
    install(url("ca.der"));
    EXPECT_NE(log().find("Failed to add cert"), std::string::npos) << log();
    EXPECT_TRUE(trusted());
}

}  // namespace
