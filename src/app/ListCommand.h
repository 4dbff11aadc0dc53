#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "acquisition/ConnectionRecord.h"

namespace tarvik {

class CProcessTable;
class CServicesDatabase;
class ITableSource;

// Text: aligned columns for a terminal. Csv and Json: for scripts, with the category word and
// the state number after the seven columns.
enum class ListFormat { Text, Csv, Json };

struct ConnectionListing {
    std::vector<CConnectionRecord> records;  // in table order
    bool complete = false;                   // false when the table could not be read whole
};

// One classified read of the connection table, with the owning processes when `processes` is
// given.
ConnectionListing CollectConnections(ITableSource& source, const CServicesDatabase& services,
                                     CProcessTable* processes = nullptr);

// The seven list columns and the category (and, for scripts, the state number).
void WriteConnectionList(const std::vector<CConnectionRecord>& records, ListFormat format,
                         std::ostream& out);

// Prints the connection table once. Returns 0, or 1 (with the reason on `err`) when the
// table could not be read.
int RunListCommand(ITableSource& source, const CServicesDatabase& services, std::ostream& out,
                   std::ostream& err, ListFormat format = ListFormat::Text,
                   CProcessTable* processes = nullptr);

}  // namespace tarvik
