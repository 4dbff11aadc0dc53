#include "acquisition/Address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace tarvik {

namespace {

void AppendByte(std::string& text, std::uint8_t value) {
    if (value >= 100) {
        text += static_cast<char>('0' + value / 100);
    }
    if (value >= 10) {
        text += static_cast<char>('0' + value / 10 % 10);
    }
    text += static_cast<char>('0' + value % 10);
}

// Keeps the first `prefix` bits of `bytes`, zeroes the rest.
AddressBytes Masked(const AddressBytes& bytes, int prefix) {
    AddressBytes masked{};
    for (std::size_t i = 0; i < masked.size(); ++i) {
        const int bits = std::clamp(prefix - static_cast<int>(i) * 8, 0, 8);
        masked[i] = static_cast<std::uint8_t>(bytes[i] & (0xFF00U >> bits));
    }
    return masked;
}

bool IsMappedIpv4(const AddressBytes& bytes) {
    return std::all_of(bytes.begin(), bytes.begin() + 10, [](std::uint8_t b) { return b == 0; }) &&
           bytes[10] == 0xFF && bytes[11] == 0xFF;
}

// The IPv4-mapped IPv6 form of an IPv4 address.
AddressBytes MappedForm(const AddressBytes& ipv4) {
    AddressBytes mapped{};
    mapped[10] = 0xFF;
    mapped[11] = 0xFF;
    std::copy(ipv4.begin(), ipv4.begin() + 4, mapped.begin() + 12);
    return mapped;
}

std::string_view TrimBlanks(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// "0" to "128" without sign, blanks or leading zeros beyond one digit; -1 otherwise.
int PrefixValue(std::string_view digits) {
    if (digits.empty() || digits.size() > 3 || (digits.size() > 1 && digits[0] == '0')) {
        return -1;
    }
    int value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return -1;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

std::string AddressText(AddressFamily family, const AddressBytes& address) {
    if (family == AddressFamily::Ipv4) {
        // Formatted by hand: this runs for every row of every poll.
        std::string text;
        text.reserve(15);
        for (std::size_t i = 0; i < 4; ++i) {
            if (i > 0) {
                text += '.';
            }
            AppendByte(text, address[i]);
        }
        return text;
    }
    char text[INET6_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET6, address.data(), text, sizeof text) == nullptr) {
        return {};
    }
    return text;
}

bool ParseAddress(const std::string& text, AddressFamily& family, AddressBytes& address) {
    AddressBytes bytes{};
    if (::inet_pton(AF_INET, text.c_str(), bytes.data()) == 1) {
        family = AddressFamily::Ipv4;
    } else if (::inet_pton(AF_INET6, text.c_str(), bytes.data()) == 1) {
        family = AddressFamily::Ipv6;
    } else {
        return false;
    }
    address = bytes;
    return true;
}

std::optional<AddressRange> AddressRange::Parse(std::string_view text) {
    text = TrimBlanks(text);
    const std::size_t slash = text.find('/');
    AddressRange range;
    if (!ParseAddress(std::string(text.substr(0, slash)), range.family_, range.network_)) {
        return std::nullopt;
    }
    const int bits = range.family_ == AddressFamily::Ipv4 ? 32 : 128;
    range.prefix_ = slash == std::string_view::npos ? bits : PrefixValue(text.substr(slash + 1));
    if (range.prefix_ < 0 || range.prefix_ > bits) {
        return std::nullopt;
    }
    range.network_ = Masked(range.network_, range.prefix_);
    return range;
}

bool AddressRange::Contains(AddressFamily family, const AddressBytes& address) const {
    if (family == family_) {
        return Masked(address, prefix_) == network_;
    }
    if (family_ == AddressFamily::Ipv4) {
        // An IPv4-mapped IPv6 address is the IPv4 address it carries.
        if (!IsMappedIpv4(address)) {
            return false;
        }
        AddressBytes ipv4{};
        std::copy(address.begin() + 12, address.end(), ipv4.begin());
        return Masked(ipv4, prefix_) == network_;
    }
    return Masked(MappedForm(address), prefix_) == network_;
}

bool AddressRange::Contains(const std::string& address) const {
    AddressFamily family{};
    AddressBytes bytes{};
    return ParseAddress(address, family, bytes) && Contains(family, bytes);
}

std::string AddressRange::Text() const {
    const int bits = family_ == AddressFamily::Ipv4 ? 32 : 128;
    std::string text = AddressText(family_, network_);
    return prefix_ == bits ? text : text + "/" + std::to_string(prefix_);
}

AddressRanges ParseAddressRanges(const std::vector<std::string>& texts,
                                 std::vector<std::string>* rejected) {
    AddressRanges ranges;
    ranges.reserve(texts.size());
    for (const std::string& text : texts) {
        if (std::optional<AddressRange> range = AddressRange::Parse(text)) {
            ranges.push_back(*range);
        } else if (rejected != nullptr) {
            rejected->push_back(text);
        }
    }
    return ranges;
}

bool AnyContains(const AddressRanges& ranges, const std::string& address) {
    AddressFamily family{};
    AddressBytes bytes{};
    if (ranges.empty() || !ParseAddress(address, family, bytes)) {
        return false;
    }
    return std::any_of(ranges.begin(), ranges.end(),
                       [&](const AddressRange& range) { return range.Contains(family, bytes); });
}

}  // namespace tarvik
