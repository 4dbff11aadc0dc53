#pragma once

#include <memory>
#include <vector>

#include "acquisition/Classification.h"
#include "acquisition/ServicesDatabase.h"
#include "acquisition/TableSource.h"

namespace tarvik {

// The rows of a snapshot that are exactly as the poller sent them last time, with their owner
// settled: the tracker carries their records over by cookie instead of receiving new ones. The
// rows come along so that a tracker that does not know a cookie (it missed that snapshot) can
// still make the record, classified as the poller would have.
struct SnapshotKept {
    std::vector<TcpRow> rows;
    std::shared_ptr<const CServicesDatabase> services;
    std::shared_ptr<const CListeningPorts> listening;
};

}  // namespace tarvik
