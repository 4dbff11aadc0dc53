#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <vector>

#include "acquisition/Classification.h"
#include "acquisition/ServicesDatabase.h"
#include "acquisition/TableSource.h"

namespace tarvik {

// The rows of a snapshot that are exactly as the poller sent them last time, with their owner
// settled: the tracker carries their records over by cookie instead of receiving new ones. The
// rows come along so that a tracker that does not know a cookie (it missed that snapshot) can
// still make the record, classified as the poller would have. The table is the one the poller
// keeps for the next snapshot, shared rather than copied.
struct SnapshotKept {
    std::shared_ptr<const std::vector<TcpRow>> table;
    std::vector<std::uint32_t> positions;  // of the kept rows in `table`, in table order
    std::shared_ptr<const CServicesDatabase> services;
    std::shared_ptr<const CListeningPorts> listening;
    // When the kernel's table was read: the open time of its new rows and the close time of
    // the connections it no longer holds. The new rows' records carry it as their open time.
    std::time_t readTime = 0;
};

}  // namespace tarvik
