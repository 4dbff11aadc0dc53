#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace tarvik {

enum class AddressFamily : std::uint8_t { Ipv4, Ipv6 };

// An address in network order; an IPv4 address fills the first four bytes, the rest are 0.
using AddressBytes = std::array<std::uint8_t, 16>;

// "192.0.2.5" or the shortest IPv6 form, "2001:db8::5".
std::string AddressText(AddressFamily family, const AddressBytes& address);

// Parses either form; false when the text is neither.
bool ParseAddress(const std::string& text, AddressFamily& family, AddressBytes& address);

}  // namespace tarvik
