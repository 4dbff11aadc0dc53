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

}  // namespace tarvik
