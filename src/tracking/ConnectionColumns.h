#pragma once

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

// The column titles in column order: "Hostname", "IP Address", ...
const char* ColumnTitle(Column column);
std::vector<std::string> ColumnTitles();

}  // namespace tarvik
