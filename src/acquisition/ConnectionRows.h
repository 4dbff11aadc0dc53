#pragma once

#include <vector>

#include "acquisition/ConnectionRecord.h"
#include "acquisition/ServicesDatabase.h"
#include "acquisition/TableSource.h"

namespace tarvik {

// The record of one row with its address texts, not yet classified: the interface is the
// local address ("0.0.0.0" shown as "127.0.0.1", "::" as "::1"), the IP address and host name
// the remote one ("localhost" for 127.0.0.1 and ::1).
CConnectionRecord RecordFromRow(const TcpRow& row);

// The classified records of one snapshot, in row order. The listening-port rule sees every
// listener of the snapshot, wherever it stands in the table. O(n) in the rows.
std::vector<CConnectionRecord> ClassifiedRecords(const std::vector<TcpRow>& rows,
                                                 const CServicesDatabase& services);

}  // namespace tarvik
