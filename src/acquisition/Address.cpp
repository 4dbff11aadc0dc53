#include "acquisition/Address.h"

#include <arpa/inet.h>

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

}  // namespace tarvik
