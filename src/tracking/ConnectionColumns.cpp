#include "tracking/ConnectionColumns.h"

#include <array>
#include <cstddef>

namespace tarvik {

namespace {

constexpr std::array<const char*, static_cast<int>(Column::Count)> kColumnTitles = {
    "Hostname",     "IP Address", "Local Port",       "Remote Port",
    "Service Type", "Interface",  "Connection State",
};

}  // namespace

std::string ColumnText(const CConnectionRecord& record, Column column) {
    switch (column) {
        case Column::HostName:
            return record.hostName;
        case Column::IpAddress:
            return record.ipAddress;
        case Column::LocalPort:
            return std::to_string(record.localPort);
        case Column::RemotePort:
            return record.state == TcpState::Listen ? "n/a" : std::to_string(record.remotePort);
        case Column::ServiceType:
            return record.serviceText;
        case Column::Interface:
            return record.interfaceText;
        case Column::ConnectionState:
            return record.StateName();
        case Column::Count:
            break;
    }
    return {};
}

const char* ColumnTitle(Column column) {
    const auto index = static_cast<std::size_t>(column);
    return index < kColumnTitles.size() ? kColumnTitles[index] : "";
}

std::vector<std::string> ColumnTitles() {
    return {kColumnTitles.begin(), kColumnTitles.end()};
}

}  // namespace tarvik
