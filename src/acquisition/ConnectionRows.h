#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "acquisition/Classification.h"
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
// The same for some rows of a snapshot whose listeners are given.
std::vector<CConnectionRecord> ClassifiedRecords(const std::vector<TcpRow>& rows,
                                                 const CServicesDatabase& services,
                                                 const CListeningPorts& listening);
CListeningPorts ListeningPortsOf(const std::vector<TcpRow>& rows);

// The rows of the last snapshot sent, found by cookie, and whether each one's owner was settled
// then (found, or given up). A row that comes again unchanged needs no new record: the receiver
// has it, and a record of an owner still looked for would only repeat it. Rows without a cookie
// (fixtures) are never unchanged. O(n) per Remember.
class CSentRows {
public:
    // True when a row with this cookie was sent last time exactly so, and its record would say
    // nothing new of the owner: settled then, or still not settled now.
    bool Unchanged(const TcpRow& row, bool settledNow) const;
    // The rows now sent, with `settled[i]` for rows[i]; replaces the last ones.
    void Remember(std::shared_ptr<const std::vector<TcpRow>> rows, std::vector<bool> settled);
    void Clear();

private:
    std::size_t Find(std::uint64_t cookie) const;

    std::shared_ptr<const std::vector<TcpRow>> table_;
    std::vector<bool> settled_;
    std::vector<std::uint32_t> index_;  // open addressing by cookie: position + 1, 0 when empty
};

}  // namespace tarvik
