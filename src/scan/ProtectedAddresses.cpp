#include "scan/ProtectedAddresses.h"

#include <arpa/inet.h>
#include <net/route.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "acquisition/Address.h"
#include "acquisition/LocalInterfaces.h"

namespace tarvik {

namespace {

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t start = 0;
    while (start < line.size()) {
        start = line.find_first_not_of(" \t", start);
        if (start == std::string_view::npos) {
            break;
        }
        const std::size_t end = std::min(line.find_first_of(" \t", start), line.size());
        words.push_back(line.substr(start, end - start));
        start = end;
    }
    return words;
}

template <typename Visit>
void ForEachLine(std::string_view text, Visit visit) {
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        visit(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
}

bool ParseHex(std::string_view digits, std::uint32_t& value) {
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    return error == std::errc() && end == digits.data() + digits.size();
}

std::string ReadFile(const char* path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

std::vector<std::string> RouteGateways(std::string_view procNetRoute) {
    std::vector<std::string> gateways;
    ForEachLine(procNetRoute, [&](std::string_view line) {
        // Iface Destination Gateway Flags ...; the addresses are the raw 32-bit values in hex.
        const std::vector<std::string_view> words = Words(line);
        in_addr gateway{};
        std::uint32_t flags = 0;
        if (words.size() < 4 || !ParseHex(words[2], gateway.s_addr) || !ParseHex(words[3], flags) ||
            (flags & RTF_GATEWAY) == 0 || gateway.s_addr == 0) {
            return;
        }
        AddressBytes bytes{};
        std::memcpy(bytes.data(), &gateway.s_addr, 4);
        gateways.push_back(AddressText(AddressFamily::Ipv4, bytes));
    });
    return gateways;
}

std::vector<std::string> Ipv6RouteGateways(std::string_view procNetIpv6Route) {
    std::vector<std::string> gateways;
    ForEachLine(procNetIpv6Route, [&](std::string_view line) {
        // destination, its prefix, source, its prefix, next hop (32 hex digits each), ...
        const std::vector<std::string_view> words = Words(line);
        if (words.size() < 5 || words[4].size() != 32) {
            return;
        }
        AddressBytes hop{};
        bool nonzero = false;
        for (std::size_t i = 0; i < 16; ++i) {
            std::uint32_t byte = 0;
            if (!ParseHex(words[4].substr(i * 2, 2), byte)) {
                return;
            }
            hop[i] = static_cast<std::uint8_t>(byte);
            nonzero = nonzero || byte != 0;
        }
        if (nonzero) {
            gateways.push_back(AddressText(AddressFamily::Ipv6, hop));
        }
    });
    return gateways;
}

std::vector<std::string> NameServers(std::string_view resolvConf) {
    std::vector<std::string> servers;
    ForEachLine(resolvConf, [&](std::string_view line) {
        const std::vector<std::string_view> words = Words(line);
        if (words.size() >= 2 && words[0] == "nameserver") {
            servers.emplace_back(words[1].substr(0, words[1].find('%')));
        }
    });
    return servers;
}

std::vector<std::string> ReadInfrastructureAddresses() {
    std::vector<std::string> addresses = ListKernelInterfaceAddresses();
    for (std::vector<std::string> more :
         {ListBroadcastAddresses(), RouteGateways(ReadFile("/proc/net/route")),
          Ipv6RouteGateways(ReadFile("/proc/net/ipv6_route")),
          NameServers(ReadFile("/etc/resolv.conf"))}) {
        addresses.insert(addresses.end(), std::make_move_iterator(more.begin()),
                         std::make_move_iterator(more.end()));
    }
    return addresses;
}

CProtectedAddresses::CProtectedAddresses(Reader reader) : reader_(std::move(reader)) {}

bool CProtectedAddresses::Contains(const std::string& address, Clock::time_point now) {
    if (!readAt_ || now - *readAt_ >= kMaxAge || now < *readAt_) {
        addresses_ = ParseAddressRanges(reader_());
        readAt_ = now;
    }
    return AnyContains(addresses_, address);
}

}  // namespace tarvik
