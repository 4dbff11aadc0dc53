#pragma once

#include <bitset>
#include <functional>
#include <optional>
#include <string_view>

#include "acquisition/ConnectionRecord.h"
#include "acquisition/MibAgent.h"
#include "acquisition/ServicesDatabase.h"

namespace tarvik {

using TraceFunction = std::function<void(std::string_view)>;

// The local ports that have a listening socket on this machine.
class CListeningPorts {
public:
    void Add(int port);
    bool Contains(int port) const;

private:
    std::bitset<65536> ports_;
};

// Sets category, service text and (for a listener) the "n/a" address texts from the record's
// state and ports. The first matching rule wins: listening; local port below 1024; remote port
// below 1024; a local port with a listener (inbound, named by the local port); a named local
// port; a named remote port; unknown.
void ClassifyConnection(CConnectionRecord& record, const CServicesDatabase& services,
                        const CListeningPorts& listening);
void ClassifyConnection(CConnectionRecord& record, const CServicesDatabase& services);

// "listening", "inbound", "outbound" or "unknown".
const char* CategoryWord(int category);

// Builds the classified record of the row whose state variable is `row` with one GET of its
// columns (the cookie included); nullopt when the GET fails or an address column holds no
// address. The listening-port rule is left to the walk, which knows every listener.
std::optional<CConnectionRecord> ParseConnectionTableEntry(CMibAgent& agent, const MibVariable& row,
                                                           const CServicesDatabase& services,
                                                           const TraceFunction& trace);

enum class WalkEnd {
    Complete,  // every row was seen and handed over
    Failed,    // a query failed or a row was dropped: the rows handed over are only part
};

// Walks the TCP connection table in identifier order, classifies each row knowing the table's
// listening ports, and hands each row's record to `onRecord` once the walk is over. An
// exception while one row is parsed or handed over drops that row only (the walk then counts
// as failed).
WalkEnd WalkConnectionTable(CMibAgent& agent, const CServicesDatabase& services,
                            const std::function<void(CConnectionRecord)>& onRecord,
                            const TraceFunction& trace);

}  // namespace tarvik
