#pragma once

#include <string>
#include <vector>

namespace tarvik {

// One address of a local network interface, for the window's interface filter.
struct LocalInterface {
    std::string name;     // "eth0"
    std::string address;  // "192.0.2.2" or "2001:db8::2"
    bool operator==(const LocalInterface&) const = default;
};

// The machine's interface addresses of both families, in the kernel's order; an empty list when
// they cannot be read. IPv6 link-local addresses carry no zone: the connection rows do not.
std::vector<LocalInterface> ListLocalInterfaces();

// The addresses of `interfaces` for the interface filter: each once, in the given order,
// without the any-addresses (0.0.0.0, ::), which no connection's interface text holds.
std::vector<std::string> InterfaceAddressTexts(const std::vector<LocalInterface>& interfaces);

// The same over the machine's interfaces.
std::vector<std::string> ListKernelInterfaceAddresses();

// The directed broadcast address of each IPv4 interface network wider than /31
// ("192.0.2.255" for 192.0.2.7/24), each once; loopback has none.
std::vector<std::string> ListBroadcastAddresses();

}  // namespace tarvik
