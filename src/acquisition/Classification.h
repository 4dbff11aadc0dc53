#pragma once

#include <bitset>

#include "acquisition/ConnectionRecord.h"
#include "acquisition/ServicesDatabase.h"

namespace tarvik {

// The local ports that have a listening socket on this machine, per protocol: TCP and UDP
// ports are separate spaces, so a UDP socket on a port says nothing of TCP connections on it.
class CListeningPorts {
public:
    void Add(int port, Protocol protocol = Protocol::Tcp);
    bool Contains(int port, Protocol protocol = Protocol::Tcp) const;
    bool operator==(const CListeningPorts&) const = default;

private:
    std::bitset<65536> tcp_;
    std::bitset<65536> udp_;
};

// Sets category, service text and (for a listener) the "n/a" address texts from the record's
// state and ports. The first matching rule wins: listening; local port below 1024; remote port
// below 1024; a local port with a listener (inbound, named by the local port); a named local
// port; a named remote port; unknown.
void ClassifyConnection(CConnectionRecord& record, const CServicesDatabase& services,
                        const CListeningPorts& listening);
void ClassifyConnection(CConnectionRecord& record, const CServicesDatabase& services);

// "listening", "inbound", "outbound" or "unknown".
const char* CategoryWord(Category category);

}  // namespace tarvik
