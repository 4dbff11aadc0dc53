#include "ui/model/RowRules.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarvik {
namespace {

int Sign(int value) {
    return (value > 0) - (value < 0);
}

int CompareBytes(const std::string& a, const std::string& b) {
    // std::string::compare uses char_traits<char>::compare, which compares as unsigned char.
    return Sign(a.compare(b));
}

int ComparePorts(int a, int b) {
    return (a > b) - (a < b);
}

int ComparePrimary(const CConnectionRecord& a, const CConnectionRecord& b, int column) {
    switch (static_cast<Column>(column)) {
        case Column::HostName:
            return CompareBytes(a.hostName, b.hostName);
        case Column::IpAddress:
            return CompareBytes(a.ipAddress, b.ipAddress);
        case Column::LocalPort:
            return ComparePorts(a.localPort, b.localPort);
        case Column::RemotePort:
            return ComparePorts(a.remotePort, b.remotePort);
        case Column::ServiceType:
            return CompareBytes(a.serviceText, b.serviceText);
        case Column::Interface:
            return CompareBytes(a.interfaceText, b.interfaceText);
        case Column::ConnectionState:
            return CompareBytes(a.StateName(), b.StateName());
        case Column::Count:
            break;
    }
    return 0;
}

}  // namespace

Rgb RowColour(const CConnectionRecord& record) {
    if (record.state == kStateListen) {
        return kListeningColour;
    }
    if (record.localPort < 1024) {
        return kWellKnownPortColour;
    }
    return kOtherColour;
}

int NextSortKey(int sortKey, int clickedColumn) {
    const int key = clickedColumn + 1;
    return std::abs(key) == std::abs(sortKey) ? -sortKey : key;
}

int CompareRecords(const CConnectionRecord& a, const CConnectionRecord& b, int sortKey) {
    if (sortKey != 0) {
        const int column = std::abs(sortKey) - 1;
        const int primary =
            sortKey > 0 ? ComparePrimary(a, b, column) : ComparePrimary(b, a, column);
        if (primary != 0) {
            return primary;
        }
    }
    return sortKey > 0 ? CompareBytes(a.hostName, b.hostName)
                       : CompareBytes(b.hostName, a.hostName);
}

std::string FormatColumnWidths(const std::vector<int>& widths) {
    std::string text;
    for (int width : widths) {
        text += std::to_string(width);
        text += ',';
    }
    return text;
}

std::optional<int> StoredColumnWidth(std::string_view text, std::size_t index) {
    std::size_t start = 0;
    for (std::size_t field = 0; field < index; ++field) {
        const std::size_t comma = text.find(',', start);
        if (comma == std::string_view::npos) {
            return std::nullopt;
        }
        start = comma + 1;
    }
    if (start > text.size()) {
        return std::nullopt;
    }
    const std::string_view rest = text.substr(start);
    const std::string field(rest.substr(0, rest.find(',')));
    // Read as atoi does (leading digits only), without its overflow behaviour.
    const long width = std::strtol(field.c_str(), nullptr, 10);
    if (width <= 0 || width > 100000) {
        return std::nullopt;
    }
    return static_cast<int>(width);
}

std::string FormatPlacement(const WindowPlacement& p) {
    char text[160];
    std::snprintf(text, sizeof text, "%u,%u,%d,%d,%d,%d,%d,%d,%d,%d", p.flags, p.showCommand,
                  p.minX, p.minY, p.maxX, p.maxY, p.left, p.top, p.right, p.bottom);
    return text;
}

std::optional<WindowPlacement> ParsePlacement(const std::string& text) {
    WindowPlacement p;
    const int parsed =
        std::sscanf(text.c_str(), "%u,%u,%d,%d,%d,%d,%d,%d,%d,%d", &p.flags, &p.showCommand,
                    &p.minX, &p.minY, &p.maxX, &p.maxY, &p.left, &p.top, &p.right, &p.bottom);
    if (parsed != 10) {
        return std::nullopt;
    }
    return p;
}

std::string DocumentTitle(std::string hostName) {
    if (!hostName.empty()) {
        hostName[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(hostName[0])));
    }
    return hostName + "  ";
}

}  // namespace tarvik
