#include "app/ListFormats.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <ostream>

#include "acquisition/Classification.h"
#include "app/ListFilter.h"
#include "settings/MessageText.h"
#include "tracking/ConnectionColumns.h"

namespace tarvik {

namespace {

constexpr std::array kCsvHeadings = {
    "Hostname",   "IP Address",       "Local Port", "Remote Port", "Service Type",
    "Interface",  "Connection State", "Category",   "State",       "Process",
    "Bytes Sent", "Bytes Received",   "Protocol"};

// The poller's placeholder for a value a row does not have.
bool Missing(const std::string& text) {
    return text.empty() || text == "n/a";
}

std::string JsonOrNull(const std::string& text) {
    return Missing(text) ? "null" : JsonString(text);
}

std::string ProcessJson(const CConnectionRecord& record) {
    if (record.pid <= 0) {
        return "null";
    }
    return "{\"pid\": " + std::to_string(record.pid) +
           ", \"command\": " + JsonOrNull(record.command) +
           ", \"user\": " + JsonOrNull(record.user) + "}";
}

// The list columns, then sent, received, category, process and protocol.
constexpr std::size_t kTextColumns = static_cast<std::size_t>(Column::Count) + 5;
constexpr std::size_t kColumnGap = 2;
using Cells = std::array<std::string, kTextColumns>;

Cells HeadingCells() {
    Cells cells;
    for (std::size_t i = 0; i < static_cast<std::size_t>(Column::Count); ++i) {
        cells[i] = ColumnTitle(static_cast<Column>(i));
    }
    cells[kTextColumns - 5] = "Sent";
    cells[kTextColumns - 4] = "Received";
    cells[kTextColumns - 3] = "Category";
    cells[kTextColumns - 2] = "Process";
    cells[kTextColumns - 1] = "Protocol";
    return cells;
}

Cells RowCells(const CConnectionRecord& record) {
    Cells cells;
    for (std::size_t i = 0; i < static_cast<std::size_t>(Column::Count); ++i) {
        cells[i] = EscapeForMessage(ColumnText(record, static_cast<Column>(i)));
    }
    cells[kTextColumns - 5] = ByteText(record.bytes.sent);
    cells[kTextColumns - 4] = ByteText(record.bytes.received);
    cells[kTextColumns - 3] = CategoryWord(record.category);
    cells[kTextColumns - 2] = EscapeForMessage(ListProcessText(record));
    cells[kTextColumns - 1] = ProtocolWord(record.protocol);
    return cells;
}

void WriteAligned(const std::vector<Cells>& rows, std::ostream& out) {
    std::array<std::size_t, kTextColumns> widths{};
    for (const Cells& row : rows) {
        for (std::size_t i = 0; i < kTextColumns; ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    for (const Cells& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < kTextColumns; ++i) {
            line += row[i];
            if (i + 1 < kTextColumns) {
                line.append(widths[i] - row[i].size() + kColumnGap, ' ');
            }
        }
        // An empty last column leaves no trailing blanks.
        line.erase(line.find_last_not_of(' ') + 1);
        out << line << '\n';
    }
}

}  // namespace

std::string ListProcessText(const CConnectionRecord& record) {
    if (record.pid <= 0) {
        return {};
    }
    return record.command + " (" + std::to_string(record.pid) + ")";
}

std::string IsoTime(std::time_t time) {
    std::tm local{};
    if (localtime_r(&time, &local) == nullptr) {
        return {};
    }
    char text[40];
    if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local) == 0) {
        return {};
    }
    const long offset = local.tm_gmtoff;
    const long minutes = std::labs(offset) / 60;
    char zone[40];
    std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+', minutes / 60,
                  minutes % 60);
    return std::string(text) + zone;
}

std::string UtcIsoTime(std::chrono::system_clock::time_point time) {
    const auto milliseconds = std::chrono::floor<std::chrono::milliseconds>(time);
    const auto seconds = std::chrono::floor<std::chrono::seconds>(milliseconds);
    const std::time_t whole = std::chrono::system_clock::to_time_t(seconds);
    std::tm utc{};
    char text[40];
    if (gmtime_r(&whole, &utc) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc) == 0) {
        return {};
    }
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03dZ",
                  static_cast<int>((milliseconds - seconds).count()));
    return std::string(text) + fraction;
}

std::string ConnectionJsonFields(const CConnectionRecord& record) {
    const bool listening = record.state == TcpState::Listen;
    const bool kernelSocket = record.cookie != 0;
    const std::string openTime = record.openTime != 0 ? IsoTime(record.openTime) : std::string();
    std::string json;
    json += "\"family\": ";
    json += FamilyOf(record) == AddressFamily::Ipv6 ? "6" : "4";
    json += ", \"protocol\": " + JsonString(ProtocolWord(record.protocol));
    json += ", \"state\": " + JsonString(ScriptStateName(record.state, record.protocol));
    json += ", \"connectionState\": " + JsonString(record.StateName());
    json += ", \"category\": " + JsonString(CategoryWord(record.category));
    json += ", \"localAddress\": " + JsonOrNull(record.interfaceText);
    json += ", \"localPort\": " + std::to_string(record.localPort);
    json += ", \"remoteAddress\": " + (listening ? "null" : JsonOrNull(record.ipAddress));
    json += ", \"remotePort\": " + (listening ? "null" : std::to_string(record.remotePort));
    json += ", \"hostname\": " + (listening ? "null" : JsonOrNull(record.hostName));
    json += ", \"service\": " + JsonOrNull(record.serviceText);
    json += ", \"process\": " + ProcessJson(record);
    json += ", \"bytesSent\": " + std::to_string(record.bytes.sent);
    json += ", \"bytesReceived\": " + std::to_string(record.bytes.received);
    json += ", \"openTime\": " + JsonOrNull(openTime);
    json += ", \"uid\": " + (kernelSocket ? std::to_string(record.uid) : std::string("null"));
    // A string: cookies pass 2^53, past which many JSON readers round numbers.
    json += ", \"cookie\": " +
            (kernelSocket ? "\"" + std::to_string(record.cookie) + "\"" : std::string("null"));
    return json;
}

std::string CsvField(std::string_view text) {
    const bool needsQuotes = text.find_first_of(",\"\r\n") != std::string_view::npos ||
                             (!text.empty() && (text.front() == ' ' || text.back() == ' '));
    if (!needsQuotes) {
        return std::string(text);
    }
    std::string field = "\"";
    for (char c : text) {
        field += c;
        if (c == '"') {
            field += '"';
        }
    }
    return field + '"';
}

std::string CsvCell(std::string_view text) {
    std::string shown = EscapeForMessage(text);
    // A spreadsheet would run a cell that starts like a formula.
    if (!shown.empty() && std::string_view("=+-@").find(shown.front()) != std::string_view::npos) {
        shown.insert(0, 1, '\'');
    }
    return CsvField(shown);
}

std::string JsonString(std::string_view text) {
    std::string json = "\"";
    for (const char c : EscapeForMessage(text)) {
        if (c == '"' || c == '\\') {
            json += '\\';
        }
        json += c;
    }
    return json + '"';
}

void WriteCsvList(const std::vector<CConnectionRecord>& records, std::ostream& out) {
    for (std::size_t i = 0; i < kCsvHeadings.size(); ++i) {
        out << (i ? "," : "") << kCsvHeadings[i];
    }
    out << '\n';
    for (const CConnectionRecord& record : records) {
        for (int column = 0; column < static_cast<int>(Column::Count); ++column) {
            out << (column ? "," : "") << CsvCell(ColumnText(record, static_cast<Column>(column)));
        }
        out << ',' << CsvCell(CategoryWord(record.category)) << ','
            << static_cast<int>(record.state) << ',' << CsvCell(ListProcessText(record)) << ','
            << record.bytes.sent << ',' << record.bytes.received << ','
            << ProtocolWord(record.protocol) << '\n';
    }
}

void WriteTextList(const std::vector<CConnectionRecord>& records, std::ostream& out) {
    std::vector<Cells> rows;
    rows.reserve(records.size() + 1);
    rows.push_back(HeadingCells());
    for (const CConnectionRecord& record : records) {
        rows.push_back(RowCells(record));
    }
    WriteAligned(rows, out);
}

void WriteJsonList(const std::vector<CConnectionRecord>& records, std::ostream& out) {
    out << "{\"version\": " << kJsonFormatVersion << ", \"connections\": [";
    const char* separator = "\n";
    for (const CConnectionRecord& record : records) {
        out << separator << "  {" << ConnectionJsonFields(record) << "}";
        separator = ",\n";
    }
    out << (records.empty() ? "]}\n" : "\n]}\n");
}

}  // namespace tarvik
