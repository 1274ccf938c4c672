// IPv6 compressed, canonical and reverse forms checked against Python's ipaddress
// module (/usr/bin/python3) for a table of inputs.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "dnscodec/address/AddressText.hpp"
#include "dnscodec/address/IPAddress.hpp"
#include "dnscodec/address/IPv6.hpp"

namespace dnscodec {
namespace {

// Prints, per input line: valid flag, compressed, exploded, the reverse name cut to the
// prefix's nibbles, and Python's own reverse pointer of the full address.
constexpr const char* kOracle = R"PY(
import ipaddress, sys
for line in open(sys.argv[1], encoding="utf-8"):
    text = line.rstrip("\n")
    try:
        if "/" in text:
            iface = ipaddress.IPv6Interface(text)
            address, length = iface.ip, iface.network.prefixlen
        else:
            address, length = ipaddress.IPv6Address(text), 128
    except ValueError:
        print("invalid")
        continue
    plain = ipaddress.IPv6Address(str(address).split("%")[0])
    nibbles = plain.exploded.replace(":", "")[: length // 4][::-1]
    reverse = "".join(n + "." for n in nibbles) + "ip6.arpa."
    print("valid", plain.compressed, plain.exploded, reverse, plain.reverse_pointer, sep="\t")
)PY";

const std::vector<std::string> kInputs{
    "::1",
    "::",
    "1::",
    "2001:db8::1",
    "2001:DB8:0:0:1:0:0:1",
    "2001:db8:0:0:1:0:0:0",
    "0:0:1:0:0:0:1:0",
    "1:0:0:0:0:0:0:8",
    "fe80::1%en0",
    "fe80::abcd:ef01:2345:6789",
    "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
    "::ffff:192.168.1.2",
    "::ffff:c0a8:102",
    "64:ff9b::10.0.0.1",
    "2001:db8::/32",
    "2001:db8:1234::/48",
    "2001:db8::1/64",
    "2001:db8::1/127",
    "::/0",
    "fe80::1%eth0/64",
    "1:2:3:4:5:6:7:8",
    "1:2:3:4:5:6:7::",
    "0001:0002:0003:0004:0005:0006:0007:0008",
    "1::2::3",
    "12345::",
    "1:2:3:4:5:6:7",
    "::ffff:192.168.01.2",
    "gggg::1",
    "1:2:3:4:5:6:7:8::",
    "2001:db8::/129",
};

std::vector<std::vector<std::string>> runOracle() {
    const std::filesystem::path folder = std::filesystem::temp_directory_path();
    std::string pattern = (folder / "ipv6-oracle-XXXXXX").string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0) return {};
    close(fd);
    {
        std::ofstream inputs(pattern);
        for (const std::string& input : kInputs) inputs << input << "\n";
    }
    const std::string script =
        (folder / (std::filesystem::path(pattern).filename().string() + ".py")).string();
    {
        std::ofstream code(script);
        code << kOracle;
    }
    const std::string command = "/usr/bin/python3 '" + script + "' '" + pattern + "'";
    std::vector<std::vector<std::string>> rows;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (pipe) {
        std::string output;
        std::array<char, 4096> chunk{};
        while (std::size_t got = std::fread(chunk.data(), 1, chunk.size(), pipe.get()))
            output.append(chunk.data(), got);
        std::istringstream lines(output);
        for (std::string line; std::getline(lines, line);) rows.push_back(address_text::split(line, "\t"));
    }
    pipe.reset();
    std::filesystem::remove(pattern);
    std::filesystem::remove(script);
    return rows;
}

TEST(IPv6PythonTest, FormsAgreeWithPythonIpaddress) {
    const std::vector<std::vector<std::string>> rows = runOracle();
    ASSERT_EQ(rows.size(), kInputs.size()) << "python oracle did not answer for every input";
    for (std::size_t i = 0; i < kInputs.size(); ++i) {
        SCOPED_TRACE(kInputs[i]);
        const IPv6 address(kInputs[i]);
        const std::vector<std::string>& row = rows[i];
        ASSERT_FALSE(row.empty());
        EXPECT_EQ(address.valid(), row[0] == "valid");
        if (row[0] != "valid" || !address.valid()) continue;
        ASSERT_EQ(row.size(), 5u);
        EXPECT_EQ(address.correctForm(), row[1]);
        EXPECT_EQ(address.canonicalForm(), row[2]);
        EXPECT_EQ(address.reversedForm(), row[3]);
        if (address.subnetMask() == 128) {
            EXPECT_EQ(address.reversedForm(), row[4] + ".");
        }
        // The facade picks IPv6 for all of these and answers the same.
        const IPAddress facade(kInputs[i]);
        EXPECT_EQ(facade.correctForm(), row[1]);
        EXPECT_EQ(facade.reversedForm(), row[3]);
    }
}

}  // namespace
}  // namespace dnscodec
