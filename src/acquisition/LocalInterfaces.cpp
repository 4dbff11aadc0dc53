#include "acquisition/LocalInterfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>

namespace tarvik {

namespace {

using InterfaceList = std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)>;

// The kernel's interface addresses; empty (null) when they cannot be read.
InterfaceList ReadInterfaces() {
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) {
        raw = nullptr;
    }
    return InterfaceList(raw, &::freeifaddrs);
}

}  // namespace

std::vector<LocalInterface> ListLocalInterfaces() {
    const InterfaceList list = ReadInterfaces();
    std::vector<LocalInterface> interfaces;
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr) {
            continue;
        }
        std::array<char, INET6_ADDRSTRLEN> text{};
        const int family = entry->ifa_addr->sa_family;
        const void* address = nullptr;
        if (family == AF_INET) {
            address = &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
        } else if (family == AF_INET6) {
            address = &reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr;
        } else {
            continue;
        }
        if (::inet_ntop(family, address, text.data(), text.size()) != nullptr) {
            interfaces.push_back({entry->ifa_name != nullptr ? entry->ifa_name : "", text.data()});
        }
    }
    return interfaces;
}

std::vector<std::string> InterfaceAddressTexts(const std::vector<LocalInterface>& interfaces) {
    std::vector<std::string> texts;
    for (const LocalInterface& interface : interfaces) {
        const std::string& address = interface.address;
        if (address == "0.0.0.0" || address == "::" ||
            std::find(texts.begin(), texts.end(), address) != texts.end()) {
            continue;
        }
        texts.push_back(address);
    }
    return texts;
}

std::vector<std::string> ListKernelInterfaceAddresses() {
    return InterfaceAddressTexts(ListLocalInterfaces());
}

std::vector<std::string> ListBroadcastAddresses() {
    const InterfaceList list = ReadInterfaces();
    std::vector<std::string> addresses;
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            entry->ifa_netmask == nullptr || (entry->ifa_flags & IFF_LOOPBACK) != 0) {
            continue;
        }
        // From the mask rather than the interface's broadcast field, which an address added
        // without one leaves at 0.0.0.0.
        const std::uint32_t address =
            ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
        const std::uint32_t mask =
            ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr);
        if ((~mask) < 3) {
            continue;  // a /31 or /32 has no broadcast address
        }
        in_addr broadcast{htonl(address | ~mask)};
        std::array<char, INET_ADDRSTRLEN> text{};
        if (::inet_ntop(AF_INET, &broadcast, text.data(), text.size()) != nullptr &&
            std::find(addresses.begin(), addresses.end(), text.data()) == addresses.end()) {
            addresses.emplace_back(text.data());
        }
    }
    return addresses;
}

}  // namespace tarvik
