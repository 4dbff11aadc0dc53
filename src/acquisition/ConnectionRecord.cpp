#include "acquisition/ConnectionRecord.h"

#include <array>
#include <ostream>
#include <sstream>

namespace tarvik {

namespace {

constexpr std::array<const char*, 12> kStateNames = {
    "Closed",   "Listening", "SynSent", "SynReceived", "Established", "FinWait1",
    "FinWait2", "CloseWait", "LastAck", "Closing",     "TimeWait",    "DeleteTCB",
};

constexpr std::array<const char*, static_cast<int>(Column::Count)> kColumnTitles = {
    "Hostname",     "IP Address", "Local Port",       "Remote Port",
    "Service Type", "Interface",  "Connection State",
};

}  // namespace

std::string StateName(TcpState state) {
    const int number = static_cast<int>(state);
    if (number >= 1 && number <= static_cast<int>(kStateNames.size())) {
        return kStateNames[static_cast<std::size_t>(number - 1)];
    }
    return "Unknown(" + std::to_string(number) + ")";
}

std::string TimeText(std::time_t time) {
    std::tm local{};
    if (localtime_r(&time, &local) == nullptr) {
        return {};
    }
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, "%H:%M:%S %m/%d/%Y", &local);
    return std::string(text, length);
}

const char* ColumnTitle(Column column) {
    const auto index = static_cast<std::size_t>(column);
    return index < kColumnTitles.size() ? kColumnTitles[index] : "";
}

std::vector<std::string> ColumnTitles() {
    return {kColumnTitles.begin(), kColumnTitles.end()};
}

std::string CConnectionRecord::StateName() const {
    return tarvik::StateName(state);
}

std::string CConnectionRecord::ColumnText(Column column) const {
    switch (column) {
        case Column::HostName:
            return hostName;
        case Column::IpAddress:
            return ipAddress;
        case Column::LocalPort:
            return std::to_string(localPort);
        case Column::RemotePort:
            return state == TcpState::Listen ? "n/a" : std::to_string(remotePort);
        case Column::ServiceType:
            return serviceText;
        case Column::Interface:
            return interfaceText;
        case Column::ConnectionState:
            return StateName();
        case Column::Count:
            break;
    }
    return {};
}

void CConnectionRecord::WriteCsv(std::ostream& out) const {
    out << TimeText(openTime) << ',' << TimeText(closeTime) << ',' << ipAddress << ',' << hostName
        << ',' << remotePort << ',' << interfaceText << ',' << localPort << ',' << serviceText;
}

std::string CConnectionRecord::CsvText() const {
    std::ostringstream out;
    WriteCsv(out);
    return out.str();
}

}  // namespace tarvik
