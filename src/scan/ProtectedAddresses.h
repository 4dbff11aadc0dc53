#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/Address.h"

namespace tarvik {

// The next hops of the IPv4 routes with a gateway, from /proc/net/route text.
std::vector<std::string> RouteGateways(std::string_view procNetRoute);
// The next hops of the IPv6 routes that have one, from /proc/net/ipv6_route text.
std::vector<std::string> Ipv6RouteGateways(std::string_view procNetIpv6Route);
// The "nameserver" addresses of resolv.conf text, without an IPv6 zone ("%eth0").
std::vector<std::string> NameServers(std::string_view resolvConf);

// This host's own addresses and broadcast addresses, its gateways and its name servers, as the
// kernel and /etc/resolv.conf tell them now.
std::vector<std::string> ReadInfrastructureAddresses();

// The addresses a response must never block, so that forged packets can never cut this host off
// from its own network. Read again at a decision when older than kMaxAge, so that a new lease,
// route or name server counts within seconds. Touched by one thread only.
class CProtectedAddresses {
public:
    using Clock = std::chrono::steady_clock;
    using Reader = std::function<std::vector<std::string>()>;
    static constexpr std::chrono::seconds kMaxAge{10};

    explicit CProtectedAddresses(Reader reader = ReadInfrastructureAddresses);

    bool Contains(const std::string& address, Clock::time_point now);

private:
    Reader reader_;
    std::optional<Clock::time_point> readAt_;
    AddressRanges addresses_;
};

}  // namespace tarvik
