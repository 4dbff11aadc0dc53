#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarvik {

struct MailHostAddress {
    std::string host;  // a name, a dotted address or an IPv6 address without its brackets
    int port = 25;
    bool operator==(const MailHostAddress&) const = default;
};

// Reads the "mailhost" setting: "host", "host:port" or "[ipv6]:port" ("[ipv6]" alone and a bare
// IPv6 address keep `defaultPort`). Surrounding blanks are dropped. Nothing when the port is not
// a number in 1..65535 or a bracket is left open.
std::optional<MailHostAddress> ParseMailHost(std::string_view text, int defaultPort);

// The host part as it goes after the at-sign of the sender: without the port, an address as its
// address literal (RFC 5321 4.1.3: "[192.0.2.1]", "[IPv6:2001:db8::1]"), a name as written.
std::string MailDomain(std::string_view text);

}  // namespace tarvik
