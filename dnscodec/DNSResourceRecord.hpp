#pragma once
// A resource record as on the wire: owner name, type, class, TTL and the record data
// bytes. Subclasses add a typed view of the data (CNAME, OPT, and the A record of
// dnscodec/address); the decoder always yields this base class, and a typed record is
// made from it with fromResource<T>().
//
// Records are shared (std::shared_ptr) between a message and its copies, so encoding a
// message through one copy rewrites an OPT record seen by every copy. One thread at a
// time.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "dnscodec/Bytes.hpp"

namespace dnscodec {

class DNSResourceRecord;
using DNSResourceRecordPtr = std::shared_ptr<DNSResourceRecord>;

class DNSResourceRecord {
public:
    DNSResourceRecord() = default;
    virtual ~DNSResourceRecord() = default;

    // Absent name encodes as the root. See DNSQuestion for the name format.
    std::optional<std::string> name;
    uint16_t type = 0;
    uint16_t resourceClass = 0;
    uint32_t ttl = 0;
    // The record data exactly as on the wire; absent (not empty) on a record made by
    // fromResource until the caller sets it.
    std::optional<Bytes> data;

    // A new record of the receiver's own dynamic type with the same values.
    // Subclasses extend it (typically `return std::make_shared<Sub>(*this);`).
    virtual DNSResourceRecordPtr copy() const;

    // Fills a subclass's typed view from `source`; the base class does nothing. Runs
    // after name, type, class and ttl were copied from `source` (copyFromResource).
    virtual void decodeFromResource(const DNSResourceRecord& source);

    // The record data to put on the wire: `data` (empty when absent) for the base
    // class, the typed view's wire form for subclasses that override it. Absent when
    // the view cannot be encoded.
    virtual std::optional<Bytes> encodeData() const;

    // The whole wire form of the record (uncompressed owner name, type, class, ttl,
    // data length, data). Absent when the name or data cannot be encoded or the data is
    // longer than 65,535 bytes. Not const: an OPT record first rewrites its own class
    // and ttl from its EDNS fields.
    std::optional<Bytes> encode();

    // encode() appending to `out`; on failure returns false and leaves `out` as it was.
    // Subclasses that rewrite themselves before encoding (OPT) override it and call the
    // base version.
    virtual bool appendTo(Bytes& out);

    // encodeData() appending to `out`; false (out unchanged) on failure. The default
    // calls encodeData(); an override only saves the intermediate buffer.
    virtual bool appendDataTo(Bytes& out) const;

    // Copies name, type, resourceClass and ttl (not data) from `source`, then runs
    // decodeFromResource(source).
    void copyFromResource(const DNSResourceRecord& source);

    // Makes a new T with its default constructor, then runs copyFromResource(source) on
    // it: the virtual view decoding runs on a fully constructed object. Works for every
    // subclass T of DNSResourceRecord. T has no default, so that `Sub::fromResource(r)`
    // never silently yields a plain record: each typed record declares its own
    // `static std::shared_ptr<Sub> fromResource(const DNSResourceRecord&)` forwarding here.
    template <class T>
    static std::shared_ptr<T> fromResource(const DNSResourceRecord& source) {
        static_assert(std::is_base_of_v<DNSResourceRecord, T>, "T must be a DNSResourceRecord");
        auto record = std::make_shared<T>();
        record->copyFromResource(source);
        return record;
    }

protected:
    // Copying goes through copy() so a record never loses its dynamic type by slicing.
    DNSResourceRecord(const DNSResourceRecord&) = default;
    DNSResourceRecord& operator=(const DNSResourceRecord&) = default;
};

}  // namespace dnscodec
