#include "tracking/ConnectionColumns.h"

#include <array>
#include <cstddef>
#include <cstdio>

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

std::string ByteText(std::uint64_t bytes) {
    constexpr std::array<const char*, 6> kUnits = {"kB", "MB", "GB", "TB", "PB", "EB"};
    if (bytes < 1000) {
        return std::to_string(bytes) + " B";
    }
    // Tenths of the unit, rounded, carried into the next unit at 1000.0.
    double value = static_cast<double>(bytes) / 1000;
    std::size_t unit = 0;
    while (value >= 999.95 && unit + 1 < kUnits.size()) {
        value /= 1000;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

const char* ColumnTitle(Column column) {
    const auto index = static_cast<std::size_t>(column);
    return index < kColumnTitles.size() ? kColumnTitles[index] : "";
}

std::vector<std::string> ColumnTitles() {
    return {kColumnTitles.begin(), kColumnTitles.end()};
}

}  // namespace tarvik
