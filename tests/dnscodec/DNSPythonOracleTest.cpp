// The encoder's datagrams read back by an independent decoder, dnspython: every field
// of the message objects must come out of its parse unchanged.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "DNSTestSupport.hpp"
#include "dnscodec/DNSCNAMEResourceRecord.hpp"
#include "dnscodec/DNSMessageEncoder.hpp"
#include "dnscodec/DNSOPTResourceRecord.hpp"

namespace dnscodec {
namespace {

using test::hex;

// Prints the message in the same canonical lines as renderExpected() below. Names are
// their labels in hex joined by "." (the root is empty), record data in hex.
constexpr const char* kScript = R"PY(
import sys, dns.message
m = dns.message.from_wire(bytes.fromhex(sys.argv[1]), one_rr_per_rrset=True)
f = m.flags
print("id=%d qr=%d opcode=%d aa=%d tc=%d rd=%d ra=%d ad=%d cd=%d rcode=%d" % (
    m.id, f >> 15 & 1, f >> 11 & 15, f >> 10 & 1, f >> 9 & 1, f >> 8 & 1, f >> 7 & 1,
    f >> 5 & 1, f >> 4 & 1, f & 15))
def name(n):
    return ".".join(l.hex() for l in n.labels if l)
for q in m.question:
    print("Q %s %d %d" % (name(q.name), q.rdtype, q.rdclass))
for title, section in (("AN", m.answer), ("NS", m.authority), ("AR", m.additional)):
    for rrset in section:
        for rd in rrset:
            print("%s %s %d %d %d %s" % (title, name(rrset.name), rrset.rdtype, rrset.rdclass,
                                         rrset.ttl, rd.to_wire().hex()))
if m.opt is not None:
    t = m.opt.ttl
    print("EDNS payload=%d ercode=%d version=%d do=%d options=%s" % (
        m.opt.rdclass, t >> 24, t >> 16 & 255, t >> 15 & 1, m.opt[0].to_wire().hex()))
)PY";

std::string nameText(const std::optional<std::string>& name) {
    if (!name || *name == ".") return "";
    std::string out;
    size_t from = 0;
    while (true) {
        const size_t dot = std::min(name->find('.', from), name->size());
        if (!out.empty()) out += ".";
        out += hex(Bytes(name->begin() + long(from), name->begin() + long(dot)));
        if (dot == name->size()) break;
        from = dot + 1;
    }
    return out;
}

std::string renderExpected(const DNSMessage& m) {
    const DNSHeader& h = m.header;
    char line[200];
    std::snprintf(line, sizeof line, "id=%d qr=%d opcode=%d aa=%d tc=%d rd=%d ra=%d ad=%d cd=%d rcode=%d\n",
                  h.id, !h.isQuery, h.opCode & 15, h.authoritativeAnswer, h.truncated, h.recursionDesired,
                  h.recursionAvailable, h.authenticatedData, h.checkingDisabled, h.responseCode & 15);
    std::string out = line;
    if (m.questions) {
        for (const auto& q : *m.questions) {
            out += "Q " + nameText(q->name) + " " + std::to_string(q->type) + " " +
                   std::to_string(q->questionClass) + "\n";
        }
    }
    std::string edns;
    for (auto [title, section] : {std::pair{"AN", &m.answers}, std::pair{"NS", &m.authorityRecords},
                                  std::pair{"AR", &m.additionalRecords}}) {
        if (!*section) continue;
        for (const auto& r : **section) {
            if (auto* opt = dynamic_cast<const DNSOPTResourceRecord*>(r.get())) {
                edns = "EDNS payload=" + std::to_string(opt->udpPayloadSize) +
                       " ercode=" + std::to_string(opt->extendedRCode) +
                       " version=" + std::to_string(opt->version) + " do=" + std::to_string(opt->dnssecOK) +
                       " options=" + hex(opt->data.value_or(Bytes{})) + "\n";
                continue;
            }
            out += std::string(title) + " " + nameText(r->name) + " " + std::to_string(r->type) + " " +
                   std::to_string(r->resourceClass) + " " + std::to_string(r->ttl) + " " +
                   hex(*r->encodeData()) + "\n";
        }
    }
    return out + edns;
}

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "dnscodec-oracle-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Runs the script on `wire`; returns its standard output and sets `status`.
std::string parseWithDnspython(const std::filesystem::path& script, const Bytes& wire, int& status) {
    const std::string command = "/usr/bin/python3 " + script.string() + " " + hex(wire) + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        status = -1;
        return "";
    }
    std::string out;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
    status = pclose(pipe);
    return out;
}

DNSQuestionPtr question(std::string name, uint16_t type, uint16_t cls = 1) {
    auto q = std::make_shared<DNSQuestion>();
    q->name = std::move(name);
    q->type = type;
    q->questionClass = cls;
    return q;
}

DNSResourceRecordPtr record(std::optional<std::string> name, uint16_t type, uint32_t ttl, Bytes data,
                            uint16_t cls = 1) {
    auto r = std::make_shared<DNSResourceRecord>();
    r->name = std::move(name);
    r->type = type;
    r->resourceClass = cls;
    r->ttl = ttl;
    r->data = std::move(data);
    return r;
}

DNSResourceRecordPtr opt(uint16_t payload, uint8_t ercode, uint8_t version, bool dnssecOK, Bytes options) {
    DNSResourceRecord plain;
    plain.type = kDNSTypeOPT;
    auto r = DNSOPTResourceRecord::fromResource(plain);
    r->udpPayloadSize = payload;
    r->extendedRCode = ercode;
    r->version = version;
    r->dnssecOK = dnssecOK;
    r->data = std::move(options);
    return r;
}

DNSResourceRecordPtr cname(std::string owner, std::string target) {
    auto r = std::make_shared<DNSCNAMEResourceRecord>();
    r->name = std::move(owner);
    r->type = 5;
    r->resourceClass = 1;
    r->ttl = 300;
    r->canonicalName = std::move(target);
    return r;
}

struct OracleCase {
    const char* title;
    DNSMessage (*make)();
};

class DnspythonOracle : public testing::TestWithParam<OracleCase> {
protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<TempDir>();
        std::ofstream(dir_->path() / "parse.py") << kScript;
    }
    static void TearDownTestSuite() { dir_.reset(); }
    static std::unique_ptr<TempDir> dir_;
};

std::unique_ptr<TempDir> DnspythonOracle::dir_;

TEST_P(DnspythonOracle, ParsesTheSameMessage) {
    if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "/usr/bin/python3 missing";
    DNSMessage message = GetParam().make();
    auto wire = DNSMessageEncoder::encode(message);
    ASSERT_TRUE(wire);
    int status = 0;
    const std::string parsed = parseWithDnspython(dir_->path() / "parse.py", *wire, status);
    ASSERT_EQ(status, 0) << parsed;
    EXPECT_EQ(parsed, renderExpected(message)) << "wire " << hex(*wire);
}

const std::string kOracleLabel63(63, 'x');

INSTANTIATE_TEST_SUITE_P(
    Messages, DnspythonOracle,
    testing::Values(
        OracleCase{"PlainQuery",
                   [] {
                       DNSMessage m;
                       m.header.id = 0x1234;
                       m.header.isQuery = true;
                       m.header.recursionDesired = true;
                       m.questions = std::vector{question("www.example.com", 1)};
                       return m;
                   }},
        OracleCase{"QueryWithClientOption",
                   [] {
                       DNSMessage m;
                       m.header.id = 7;
                       m.header.isQuery = true;
                       m.header.authenticatedData = true;
                       m.header.checkingDisabled = true;
                       m.questions = std::vector{question("example.org", 28)};
                       // option 65073 (private use), 8 bytes
                       m.additionalRecords = std::vector{
                           opt(4096, 0, 0, true, {0xFE, 0x31, 0x00, 0x08, 1, 2, 3, 4, 5, 6, 7, 8})};
                       return m;
                   }},
        OracleCase{"ResponseWithEveryRecordShape",
                   [] {
                       DNSMessage m;
                       m.header.id = 0xFFFF;
                       m.header.authoritativeAnswer = true;
                       m.header.recursionAvailable = true;
                       m.header.opCode = 2;
                       m.questions = std::vector{question("alias.example", 1)};
                       m.answers = std::vector{
                           cname("alias.example", "target.example.net"),
                           record("target.example.net", 1, 60, {192, 0, 2, 1}),
                           record("target.example.net", 1, 60, {192, 0, 2, 2}),
                           // (a TTL with the top bit set is read as 0 by dnspython, after RFC 2181)
                           record("target.example.net", 28, 0x7FFFFFFF, Bytes(16, 0x20)),
                           record("target.example.net", 16, 1, {5, 'h', 'e', 'l', 'l', 'o'}),
                       };
                       m.authorityRecords = std::vector{record("example.net", 65280, 9, {0xDE, 0xAD})};
                       m.additionalRecords = std::vector{record("ns.example.net", 1, 5, {127, 0, 0, 1}),
                                                         opt(1232, 0, 0, false, {})};
                       return m;
                   }},
        OracleCase{"NxdomainWithExtendedRcode",
                   [] {
                       DNSMessage m;
                       m.header.responseCode = 3;
                       m.questions = std::vector{question("missing.example", 15)};
                       m.authorityRecords = std::vector<DNSResourceRecordPtr>{};  // present but empty
                       m.additionalRecords = std::vector{opt(512, 1, 0, false, {})};
                       return m;
                   }},
        OracleCase{"BinaryLabelsAndLongestName",
                   [] {
                       DNSMessage m;
                       m.header.isQuery = true;
                       m.questions = std::vector{
                           question(std::string("A\x00\xff\x7f"
                                                "b",
                                                5) +
                                        ".MiXeD",
                                    1),
                           question(kOracleLabel63 + "." + kOracleLabel63 + "." + kOracleLabel63 + "." +
                                        std::string(61, 'w'),
                                    1),
                           question(".", 2, 3),
                       };
                       return m;
                   }},
        OracleCase{
            "RootOwnersAndEmptyData",
            [] {
                DNSMessage m;
                m.answers = std::vector{record(std::nullopt, 65280, 0, {}), record(".", 65281, 1, {0})};
                return m;
            }}),
    [](const auto& info) { return info.param.title; });

}  // namespace
}  // namespace dnscodec
