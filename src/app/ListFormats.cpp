#include "app/ListFormats.h"

#include <array>
#include <cstdio>
#include <ostream>

#include "acquisition/Classification.h"

namespace tarvik {

namespace {

constexpr std::array kCsvHeadings = {"Hostname",         "IP Address",   "Local Port",
                                     "Remote Port",      "Service Type", "Interface",
                                     "Connection State", "Category",     "State"};

// Length of the valid UTF-8 sequence starting at text[i], or 0 when it is not one.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    unsigned minimum = 0;
    unsigned codePoint = 0;
    if (byte >= 0xC2 && byte <= 0xDF) {
        length = 2, minimum = 0x80, codePoint = byte & 0x1Fu;
    } else if (byte >= 0xE0 && byte <= 0xEF) {
        length = 3, minimum = 0x800, codePoint = byte & 0x0Fu;
    } else if (byte >= 0xF0 && byte <= 0xF4) {
        length = 4, minimum = 0x10000, codePoint = byte & 0x07u;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0u) != 0x80u) {
            return 0;
        }
        codePoint = (codePoint << 6) | (next & 0x3Fu);
    }
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    return codePoint >= minimum && codePoint <= 0x10FFFF && !surrogate ? length : 0;
}

std::string UnicodeEscape(unsigned codePoint) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", codePoint);
    return escape;
}

}  // namespace

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

std::string JsonString(std::string_view text) {
    std::string json = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '"' || byte == '\\') {
            json += '\\';
            json += static_cast<char>(byte);
        } else if (byte < 0x20 || byte == 0x7F) {
            json += UnicodeEscape(byte);
        } else if (byte < 0x80) {
            json += static_cast<char>(byte);
        } else if (const std::size_t length = Utf8SequenceLength(text, i); length > 0) {
            json.append(text.substr(i, length));
            i += length - 1;
        } else {
            json += UnicodeEscape(byte);
        }
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
            out << (column ? "," : "") << CsvField(record.ColumnText(static_cast<Column>(column)));
        }
        out << ',' << CsvField(CategoryWord(record.category)) << ',' << record.state << '\n';
    }
}

void WriteJsonList(const std::vector<CConnectionRecord>& records, std::ostream& out) {
    out << "[";
    const char* separator = "\n";
    for (const CConnectionRecord& record : records) {
        const bool listening = record.state == kStateListen;
        out << separator << "  {\"hostname\": " << JsonString(record.hostName)
            << ", \"ipAddress\": " << JsonString(record.ipAddress)
            << ", \"localPort\": " << record.localPort << ", \"remotePort\": "
            << (listening ? std::string("null") : std::to_string(record.remotePort))
            << ", \"serviceType\": " << JsonString(record.serviceText)
            << ", \"interface\": " << JsonString(record.interfaceText)
            << ", \"connectionState\": " << JsonString(record.StateName())
            << ", \"category\": " << JsonString(CategoryWord(record.category))
            << ", \"state\": " << record.state << "}";
        separator = ",\n";
    }
    out << (records.empty() ? "]\n" : "\n]\n");
}

}  // namespace tarvik
