#include "base/Sha1.h"

#include <bit>
#include <vector>

namespace tarvik {

namespace {

std::uint32_t BigEndianWord(const std::uint8_t* bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

void Compress(std::array<std::uint32_t, 5>& state, const std::uint8_t* block) {
    std::array<std::uint32_t, 80> words{};
    for (int i = 0; i < 16; ++i) {
        words[i] = BigEndianWord(block + 4 * i);
    }
    for (int i = 16; i < 80; ++i) {
        words[i] = std::rotl(words[i - 3] ^ words[i - 8] ^ words[i - 14] ^ words[i - 16], 1);
    }
    auto [a, b, c, d, e] = state;
    for (int i = 0; i < 80; ++i) {
        std::uint32_t f = 0;
        std::uint32_t k = 0;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const std::uint32_t next = std::rotl(a, 5) + f + e + k + words[i];
        e = d;
        d = c;
        c = std::rotl(b, 30);
        b = a;
        a = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

}  // namespace

std::array<std::uint8_t, 20> Sha1(std::span<const std::uint8_t> bytes) {
    std::array<std::uint32_t, 5> state = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476,
                                          0xC3D2E1F0};
    // The message, a one bit, zeros to 56 bytes past a block boundary, the bit length.
    std::vector<std::uint8_t> message(bytes.begin(), bytes.end());
    message.push_back(0x80);
    while (message.size() % 64 != 56) {
        message.push_back(0);
    }
    const std::uint64_t bits = std::uint64_t{bytes.size()} * 8;
    for (int shift = 56; shift >= 0; shift -= 8) {
        message.push_back(static_cast<std::uint8_t>(bits >> shift));
    }
    for (std::size_t offset = 0; offset < message.size(); offset += 64) {
        Compress(state, message.data() + offset);
    }
    std::array<std::uint8_t, 20> digest{};
    for (std::size_t i = 0; i < digest.size(); ++i) {
        digest[i] = static_cast<std::uint8_t>(state[i / 4] >> (24 - 8 * (i % 4)));
    }
    return digest;
}

}  // namespace tarvik
