#include "mail/MailHost.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>

namespace tarvik {
namespace {

std::string_view Trimmed(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::optional<int> ReadPort(std::string_view text) {
    int port = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, port);
    if (text.empty() || error != std::errc() || stop != end || port < 1 || port > 65535) {
        return std::nullopt;
    }
    return port;
}

// An address as a mail domain; nothing for a name.
std::optional<std::string> AddressLiteral(const std::string& host) {
    char text[INET6_ADDRSTRLEN] = {};
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1 &&
        inet_ntop(AF_INET, &v4, text, sizeof text) != nullptr) {
        return "[" + std::string(text) + "]";
    }
    // A zone ("%eth0") means nothing to the server.
    const std::string bare = host.substr(0, host.find('%'));
    in6_addr v6{};
    if (inet_pton(AF_INET6, bare.c_str(), &v6) == 1 &&
        inet_ntop(AF_INET6, &v6, text, sizeof text) != nullptr) {
        return "[IPv6:" + std::string(text) + "]";
    }
    return std::nullopt;
}

}  // namespace

std::optional<MailHostAddress> ParseMailHost(std::string_view text, int defaultPort) {
    text = Trimmed(text);
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        MailHostAddress address{std::string(text.substr(1, close - 1)), defaultPort};
        const std::string_view rest = text.substr(close + 1);
        if (rest.empty()) {
            return address;
        }
        if (rest.front() != ':') {
            return std::nullopt;
        }
        const std::optional<int> port = ReadPort(rest.substr(1));
        if (!port) {
            return std::nullopt;
        }
        address.port = *port;
        return address;
    }
    const std::size_t colon = text.find(':');
    // Two colons or more: an IPv6 address without brackets, which cannot carry a port.
    if (colon == std::string_view::npos || text.find(':', colon + 1) != std::string_view::npos) {
        return MailHostAddress{std::string(text), defaultPort};
    }
    const std::optional<int> port = ReadPort(text.substr(colon + 1));
    if (!port) {
        return std::nullopt;
    }
    return MailHostAddress{std::string(text.substr(0, colon)), *port};
}

std::string MailDomain(std::string_view text) {
    const std::optional<MailHostAddress> address = ParseMailHost(text, 25);
    if (!address) {
        return std::string(Trimmed(text));
    }
    if (std::optional<std::string> literal = AddressLiteral(address->host)) {
        return *literal;
    }
    if (address->host.find(':') != std::string::npos) {
        return "[" + address->host + "]";
    }
    return address->host;
}

}  // namespace tarvik
