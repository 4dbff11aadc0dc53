#include "acquisition/LocalInterfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <memory>

namespace tarvik {

std::vector<LocalInterface> ListLocalInterfaces() {
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) {
        return {};
    }
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> list(raw, &::freeifaddrs);
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

}  // namespace tarvik
