#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "acquisition/ConnectionRecord.h"

namespace tarvik {

// The seven list columns, in display order: the rows of the window and of --list.
enum class Column : int {
    HostName,
    IpAddress,
    LocalPort,
    RemotePort,
    ServiceType,
    Interface,
    ConnectionState,
    Count
};

// Text of one list column for a record.
std::string ColumnText(const CConnectionRecord& record, Column column);

// A byte count for people: "0 B", "999 B", "1.0 kB", "12.3 MB"... (powers of 1000, as
// network tools count).
std::string ByteText(std::uint64_t bytes);

// The column titles in column order: "Hostname", "IP Address", ...
const char* ColumnTitle(Column column);
std::vector<std::string> ColumnTitles();

}  // namespace tarvik
