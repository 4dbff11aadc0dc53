#include "acquisition/Classification.h"

#include <string>
#include <string_view>

namespace tarvik {

namespace {

constexpr int kFirstUnprivilegedPort = 1024;
constexpr int kPortCount = 65536;

std::string NameOr(std::optional<std::string_view> name, std::string_view prefix,
                   std::string_view suffix, std::string_view unknown) {
    if (!name) {
        return std::string(unknown);
    }
    std::string text(prefix);
    text += *name;
    text += suffix;
    return text;
}

}  // namespace

void CListeningPorts::Add(int port, Protocol protocol) {
    if (port >= 0 && port < kPortCount) {
        (protocol == Protocol::Udp ? udp_ : tcp_).set(static_cast<std::size_t>(port));
    }
}

bool CListeningPorts::Contains(int port, Protocol protocol) const {
    return port >= 0 && port < kPortCount &&
           (protocol == Protocol::Udp ? udp_ : tcp_).test(static_cast<std::size_t>(port));
}

void ClassifyConnection(CConnectionRecord& record, const CServicesDatabase& services) {
    static const CListeningPorts none;
    ClassifyConnection(record, services, none);
}

void ClassifyConnection(CConnectionRecord& record, const CServicesDatabase& services,
                        const CListeningPorts& listening) {
    const auto localName = services.Lookup(record.localPort);
    if (record.state == TcpState::Listen) {
        record.category = Category::Listening;
        record.ipAddress = "n/a";
        record.hostName = "n/a";
        record.serviceText = NameOr(localName, "", " server", "unknown server");
        return;
    }
    const auto remoteName = services.Lookup(record.remotePort);
    if (record.localPort < kFirstUnprivilegedPort) {
        record.category = Category::Inbound;
        record.serviceText = NameOr(localName, "inbound ", "", "unknown");
    } else if (record.remotePort < kFirstUnprivilegedPort) {
        record.category = Category::Outbound;
        record.serviceText = NameOr(remoteName, "outbound ", "", "unknown");
    } else if (listening.Contains(record.localPort, record.protocol)) {
        // Someone connected to a server of this machine, whatever its port is called.
        record.category = Category::Inbound;
        record.serviceText = NameOr(localName, "", "", "unknown");
    } else if (localName) {
        record.category = Category::Inbound;
        record.serviceText = std::string(*localName);
    } else if (remoteName) {
        record.category = Category::Outbound;
        record.serviceText = std::string(*remoteName);
    } else {
        record.category = Category::Unknown;
        record.serviceText = "unknown";
    }
}

const char* CategoryWord(Category category) {
    switch (category) {
        case Category::Listening:
            return "listening";
        case Category::Inbound:
            return "inbound";
        case Category::Outbound:
            return "outbound";
        default:
            return "unknown";
    }
}

}  // namespace tarvik
