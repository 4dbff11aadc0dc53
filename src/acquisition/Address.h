#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik {

enum class AddressFamily : std::uint8_t { Ipv4, Ipv6 };

// An address in network order; an IPv4 address fills the first four bytes, the rest are 0.
using AddressBytes = std::array<std::uint8_t, 16>;

// "192.0.2.5" or the shortest IPv6 form, "2001:db8::5".
std::string AddressText(AddressFamily family, const AddressBytes& address);

// Parses either form; false when the text is neither.
bool ParseAddress(const std::string& text, AddressFamily& family, AddressBytes& address);

// A block of addresses of one family: "192.0.2.0/24", "2001:db8::/32", or one address. An IPv4
// block also holds the IPv4-mapped IPv6 forms of its addresses (::ffff:192.0.2.7), which is
// how a dual-stack socket may name an IPv4 peer.
class AddressRange {
public:
    // An address with an optional "/n" (0 to 32, or 0 to 128); blanks around the text are
    // ignored, bits past the prefix are dropped. Nothing for any other text.
    static std::optional<AddressRange> Parse(std::string_view text);

    bool Contains(AddressFamily family, const AddressBytes& address) const;
    // False for text that is no address.
    bool Contains(const std::string& address) const;

    AddressFamily Family() const { return family_; }
    int PrefixLength() const { return prefix_; }
    // "192.0.2.0/24"; a single address without its prefix, "2001:db8::1".
    std::string Text() const;

    bool operator==(const AddressRange&) const = default;

private:
    AddressFamily family_ = AddressFamily::Ipv4;
    AddressBytes network_{};
    int prefix_ = 0;
};

using AddressRanges = std::vector<AddressRange>;

// The ranges of `texts`, in order; texts that are no address or range are left out and, when
// `rejected` is given, appended to it.
AddressRanges ParseAddressRanges(const std::vector<std::string>& texts,
                                 std::vector<std::string>* rejected = nullptr);

// True when any of `ranges` holds the address text.
bool AnyContains(const AddressRanges& ranges, const std::string& address);

}  // namespace tarvik
