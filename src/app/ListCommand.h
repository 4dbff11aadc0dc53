#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "acquisition/ConnectionRecord.h"
#include "app/ListFilter.h"

namespace tarvik {

class CMibAgent;
class CServicesDatabase;

// Text: aligned columns for a terminal. Csv and Json: for scripts (ListFormats.h).
enum class ListFormat { Text, Csv, Json };

struct ConnectionListing {
    std::vector<CConnectionRecord> records;  // in table order
    bool complete = false;                   // false when the table could not be read whole
};

// One classified walk of the connection table.
ConnectionListing CollectConnections(CMibAgent& agent, const CServicesDatabase& services);

// The seven list columns, the category and the process (and, for scripts, more).
void WriteConnectionList(const std::vector<CConnectionRecord>& records, ListFormat format,
                         std::ostream& out);

// Prints the rows of the connection table that the filter lets through, once. Returns 0, or 1
// (with a reason on `err`) when the table could not be read whole.
int RunListCommand(CMibAgent& agent, const CServicesDatabase& services, std::ostream& out,
                   std::ostream& err, ListFormat format = ListFormat::Text,
                   const ListFilter& filter = {});

}  // namespace tarvik
