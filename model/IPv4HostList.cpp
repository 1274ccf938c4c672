#include "model/IPv4HostList.hpp"

#include <cstdio>
#include <cstdlib>

namespace model {

static_assert(std::random_access_iterator<IPv4HostList::Iterator>);

IPv4HostList IPv4HostList::range(std::uint32_t first, std::uint32_t last) {
    IPv4HostList list;
    list.first_ = first;
    list.count_ = first > last ? 0 : static_cast<std::int64_t>(last) - first + 1;
    return list;
}

IPv4HostList IPv4HostList::single(IPAddressv4 entry) {
    IPv4HostList list;
    list.count_ = 1;
    list.entry_ = std::move(entry);
    return list;
}

IPv4HostList IPv4HostList::none() { return IPv4HostList(); }

std::int64_t IPv4HostList::count() const { return count_; }

IPAddressv4 IPv4HostList::operator[](std::int64_t index) const {
    if (index < 0 || index >= count_) {
        std::fprintf(stderr, "IPv4HostList: index %lld outside 0..%lld\n", static_cast<long long>(index),
                     static_cast<long long>(count_ - 1));
        std::abort();
    }
    if (entry_) return *entry_;
    return IPAddressv4(static_cast<std::uint32_t>(first_ + index));
}

bool IPv4HostList::containsHostText(std::string_view text) const {
    if (count_ == 0) return false;
    if (entry_) return entry_->address == text;
    if (!IPAddressv4::isValidIPv4(text)) return false;
    std::uint32_t value = IPAddressv4::integerValue(text);
    // Entries carry canonical text only, so any other spelling of the same address is no match.
    if (IPAddressv4::dottedQuad(value) != text) return false;
    return value >= first_ && static_cast<std::int64_t>(value) - first_ < count_;
}

}  // namespace model
