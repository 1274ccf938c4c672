#pragma once
// The addresses a network rule covers, as a lazy list: every address from first to last in
// ascending order (each entry made from its number, so its text is the canonical dotted quad),
// or one entry made from the rule's own text. Constant size whatever the count; entries are
// made on access. A plain value; safe to read from any thread.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>

#include "model/IPAddressv4.hpp"

namespace model {

class IPv4HostList {
public:
    // first...last inclusive; empty when first > last.
    static IPv4HostList range(std::uint32_t first, std::uint32_t last);
    // The one given entry, its text unchanged.
    static IPv4HostList single(IPAddressv4 entry);
    static IPv4HostList none();

    std::int64_t count() const;
    bool empty() const { return count() == 0; }
    // The entry at index, 0 <= index < count().
    IPAddressv4 operator[](std::int64_t index) const;
    IPAddressv4 front() const { return (*this)[0]; }
    IPAddressv4 back() const { return (*this)[count() - 1]; }

    // True exactly when some entry's `address` text equals text: for a numeric list, text is a
    // canonical dotted quad of an address in first...last; for a single entry, text equals the
    // entry's own text. Constant time.
    bool containsHostText(std::string_view text) const;

    class Iterator {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using iterator_concept = std::random_access_iterator_tag;
        using value_type = IPAddressv4;
        using difference_type = std::int64_t;
        using reference = IPAddressv4;
        using pointer = void;

        Iterator() = default;
        IPAddressv4 operator*() const { return (*list_)[index_]; }
        IPAddressv4 operator[](difference_type n) const { return (*list_)[index_ + n]; }
        Iterator& operator++() {
            ++index_;
            return *this;
        }
        Iterator operator++(int) {
            Iterator before = *this;
            ++index_;
            return before;
        }
        Iterator& operator--() {
            --index_;
            return *this;
        }
        Iterator operator--(int) {
            Iterator before = *this;
            --index_;
            return before;
        }
        Iterator& operator+=(difference_type n) {
            index_ += n;
            return *this;
        }
        Iterator& operator-=(difference_type n) {
            index_ -= n;
            return *this;
        }
        friend Iterator operator+(Iterator it, difference_type n) { return it += n; }
        friend Iterator operator+(difference_type n, Iterator it) { return it += n; }
        friend Iterator operator-(Iterator it, difference_type n) { return it -= n; }
        friend difference_type operator-(const Iterator& a, const Iterator& b) { return a.index_ - b.index_; }
        friend bool operator==(const Iterator& a, const Iterator& b) { return a.index_ == b.index_; }
        friend auto operator<=>(const Iterator& a, const Iterator& b) { return a.index_ <=> b.index_; }

    private:
        friend class IPv4HostList;
        Iterator(const IPv4HostList* list, std::int64_t index) : list_(list), index_(index) {}
        const IPv4HostList* list_ = nullptr;
        std::int64_t index_ = 0;
    };

    Iterator begin() const { return Iterator(this, 0); }
    Iterator end() const { return Iterator(this, count()); }

private:
    IPv4HostList() = default;

    // Numeric form: first_ .. first_ + count_ - 1. Single form: entry_.
    std::uint32_t first_ = 0;
    std::int64_t count_ = 0;
    std::optional<IPAddressv4> entry_;
};

}  // namespace model
