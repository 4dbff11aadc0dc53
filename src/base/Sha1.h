#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace tarvik {

// SHA-1 of a byte string, for flow hashes that other tools compute the same way. Not for
// anything that needs collision resistance.
std::array<std::uint8_t, 20> Sha1(std::span<const std::uint8_t> bytes);

}  // namespace tarvik
