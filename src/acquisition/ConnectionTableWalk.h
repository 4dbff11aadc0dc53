#pragma once

#include <functional>
#include <optional>
#include <string_view>

#include "acquisition/ConnectionRecord.h"
#include "acquisition/MibAgent.h"
#include "acquisition/ServicesDatabase.h"

namespace tarvik {

using TraceFunction = std::function<void(std::string_view)>;

// Sets category, service text and (for a listener) the "n/a" address texts from the record's
// state and ports. The first matching rule wins: listening; local port below 1024; remote port
// below 1024; a named local port; a named remote port; unknown.
void ClassifyConnection(CConnectionRecord& record, const CServicesDatabase& services);

// "listening", "inbound", "outbound" or "unknown".
const char* CategoryWord(int category);

// Builds the classified record of the row whose state variable is `row` with one GET of its
// five columns; nullopt when the GET fails or an address column holds no address.
std::optional<CConnectionRecord> ParseConnectionTableEntry(CMibAgent& agent, const MibVariable& row,
                                                           const CServicesDatabase& services,
                                                           const TraceFunction& trace);

enum class WalkEnd {
    Complete,  // every row was seen
    Failed,    // a query failed: the rows handed over are only part of the table
};

// Walks the TCP connection table in identifier order and hands each row's record to
// `onRecord`. An exception while one row is parsed or handed over drops that row only.
WalkEnd WalkConnectionTable(CMibAgent& agent, const CServicesDatabase& services,
                            const std::function<void(CConnectionRecord)>& onRecord,
                            const TraceFunction& trace);

}  // namespace tarvik
