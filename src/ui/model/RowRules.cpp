#include "ui/model/RowRules.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
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

int CompareCounts(std::uint64_t a, std::uint64_t b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

int ComparePrimary(const CConnectionRecord& a, const CConnectionRecord& b, int column) {
    if (column == kProtocolColumn) {
        return ComparePorts(static_cast<int>(a.protocol), static_cast<int>(b.protocol));
    }
    if (column == kSentColumn) {
        return CompareCounts(a.bytes.sent, b.bytes.sent);
    }
    if (column == kReceivedColumn) {
        return CompareCounts(a.bytes.received, b.bytes.received);
    }
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
            return CompareBytes(ProcessText(a), ProcessText(b));
    }
    return 0;
}

char LowerChar(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool ContainsLower(std::string_view haystack, std::string_view lowerNeedle) {
    if (lowerNeedle.size() > haystack.size()) {
        return false;
    }
    const auto found =
        std::search(haystack.begin(), haystack.end(), lowerNeedle.begin(), lowerNeedle.end(),
                    [](char h, char n) { return LowerChar(h) == n; });
    return found != haystack.end();
}

bool NumberContains(int value, std::string_view lowerNeedle) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return ContainsLower(std::string_view(digits, static_cast<std::size_t>(end - digits)),
                         lowerNeedle);
}

double Channel(std::uint8_t value) {
    const double c = value / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

Rgb Mix(Rgb from, Rgb to, double share) {
    const auto mix = [share](std::uint8_t a, std::uint8_t b) {
        return static_cast<std::uint8_t>(std::lround(a + (b - a) * share));
    };
    return Rgb{mix(from.red, to.red), mix(from.green, to.green), mix(from.blue, to.blue)};
}

}  // namespace

Rgb RowColour(const CConnectionRecord& record) {
    if (record.state == TcpState::Listen) {
        return kListeningColour;
    }
    if (record.localPort < 1024) {
        return kWellKnownPortColour;
    }
    return kOtherColour;
}

std::string ProcessText(const CConnectionRecord& record) {
    if (record.pid <= 0) {
        return record.command;
    }
    return record.command + " (" + std::to_string(record.pid) + ")";
}

std::string ListCellText(const CConnectionRecord& record, int column) {
    switch (column) {
        case kProcessColumn:
            return ProcessText(record);
        case kSentColumn:
            return ByteText(record.bytes.sent);
        case kReceivedColumn:
            return ByteText(record.bytes.received);
        case kRateColumn:
            return {};
        case kProtocolColumn:
            return ProtocolTitle(record.protocol);
        default:
            return ColumnText(record, static_cast<Column>(column));
    }
}

std::string RateText(std::uint64_t bytesPerSecond) {
    return ByteText(bytesPerSecond) + "/s";
}

namespace {

std::string WithThousands(std::uint64_t number) {
    std::string digits = std::to_string(number);
    for (std::size_t at = digits.size(); at > 3; at -= 3) {
        digits.insert(at - 3, 1, ',');
    }
    return digits;
}

}  // namespace

std::string ExactByteText(const CConnectionRecord& record, int column, std::uint64_t rate) {
    switch (column) {
        case kSentColumn:
            return WithThousands(record.bytes.sent) + " bytes";
        case kReceivedColumn:
            return WithThousands(record.bytes.received) + " bytes";
        case kRateColumn:
            return WithThousands(rate) + " bytes/s";
        default:
            return {};
    }
}

std::string LowerAscii(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), LowerChar);
    return lower;
}

bool RowMatches(const CConnectionRecord& r, std::string_view lowerNeedle) {
    if (lowerNeedle.empty()) {
        return true;
    }
    // The cells' own values, so a search over many rows formats nothing but the numbers.
    const bool listening = r.state == TcpState::Listen;
    return ContainsLower(r.hostName, lowerNeedle) || ContainsLower(r.ipAddress, lowerNeedle) ||
           NumberContains(r.localPort, lowerNeedle) ||
           (listening ? ContainsLower("n/a", lowerNeedle)
                      : NumberContains(r.remotePort, lowerNeedle)) ||
           ContainsLower(r.serviceText, lowerNeedle) ||
           ContainsLower(r.interfaceText, lowerNeedle) ||
           ContainsLower(r.StateName(), lowerNeedle) ||
           ContainsLower(ProtocolTitle(r.protocol), lowerNeedle) ||
           (r.pid > 0 ? ContainsLower(ProcessText(r), lowerNeedle)
                      : ContainsLower(r.command, lowerNeedle));
}

double RelativeLuminance(Rgb colour) {
    return 0.2126 * Channel(colour.red) + 0.7152 * Channel(colour.green) +
           0.0722 * Channel(colour.blue);
}

double ContrastRatio(Rgb a, Rgb b) {
    const double la = RelativeLuminance(a);
    const double lb = RelativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

Rgb Readable(Rgb colour, Rgb background, double minimum) {
    const bool darkBackground = RelativeLuminance(background) < 0.18;
    const Rgb extreme = darkBackground ? Rgb{255, 255, 255} : Rgb{0, 0, 0};
    constexpr int kSteps = 64;
    for (int step = 0; step < kSteps; ++step) {
        const Rgb candidate = Mix(colour, extreme, static_cast<double>(step) / kSteps);
        if (ContrastRatio(candidate, background) >= minimum) {
            return candidate;
        }
    }
    return extreme;
}

RowPalette ThemedRowPalette(Rgb text, Rgb background) {
    RowPalette palette;
    // Muted: part of the way to the background, then back out as far as legibility needs.
    palette.listening = Readable(Mix(text, background, 80.0 / 255.0), background);
    palette.wellKnownPort = Readable(kWellKnownPortColour, background);
    palette.other = Readable(kOtherColour, background);
    return palette;
}

Rgb RowColour(const CConnectionRecord& record, const RowPalette& palette) {
    if (record.state == TcpState::Listen) {
        return palette.listening;
    }
    if (record.localPort < 1024) {
        return palette.wellKnownPort;
    }
    return palette.other;
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
