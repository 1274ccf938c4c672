#pragma once
// Hand-made DNS query datagrams for the flow tests.
#include <cstdint>
#include <string>
#include <vector>

namespace testing_dnsproxy {

using Bytes = std::vector<std::uint8_t>;

inline void appendName(Bytes& out, const std::string& name) {
    std::size_t start = 0;
    while (start < name.size()) {
        auto dot = name.find('.', start);
        if (dot == std::string::npos) dot = name.size();
        out.push_back(static_cast<std::uint8_t>(dot - start));  // label length
        out.insert(out.end(), name.begin() + static_cast<long>(start), name.begin() + static_cast<long>(dot));
        start = dot + 1;
    }
    out.push_back(0);  // root
}

// A recursive query for `name`, type A, class IN; with `ownOPT` the client's own
// EDNS record (payload 1232, DO set, one cookie option) in the additional section.
inline Bytes query(std::uint16_t id, const std::string& name, bool ownOPT = false) {
    Bytes out = {
        static_cast<std::uint8_t>(id >> 8),
        static_cast<std::uint8_t>(id),  // ID
        0x01,
        0x00,  // QR 0, opcode 0, RD 1
        0x00,
        0x01,  // QDCOUNT 1
        0x00,
        0x00,  // ANCOUNT 0
        0x00,
        0x00,  // NSCOUNT 0
        0x00,
        static_cast<std::uint8_t>(ownOPT ? 1 : 0),  // ARCOUNT
    };
    appendName(out, name);
    out.insert(out.end(), {0x00, 0x01,    // QTYPE A
                           0x00, 0x01});  // QCLASS IN
    if (ownOPT) {
        out.insert(out.end(), {
                                  0x00,                    // root owner name
                                  0x00, 0x29,              // TYPE OPT
                                  0x04, 0xD0,              // payload 1232
                                  0x00, 0x00, 0x80, 0x00,  // ext RCODE 0, version 0, DO
                                  0x00, 0x0C,              // RDLENGTH 12
                                  0x00, 0x0A, 0x00, 0x08,  // COOKIE, 8 bytes
                                  1,    2,    3,    4,    5, 6, 7, 8,
                              });
    }
    return out;
}

// A reply with the same ID and question, no answers.
inline Bytes reply(const Bytes& query) {
    Bytes out = query;
    out[2] |= 0x80;  // QR
    return out;
}

}  // namespace testing_dnsproxy
