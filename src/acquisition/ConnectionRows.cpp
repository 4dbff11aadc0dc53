#include "acquisition/ConnectionRows.h"

#include <bit>

namespace tarvik {

namespace {

std::string InterfaceText(AddressFamily family, const AddressBytes& local) {
    std::string text = AddressText(family, local);
    // A socket bound to every address is reached through loopback as well as anything else.
    if (text == "0.0.0.0") {
        return "127.0.0.1";
    }
    if (text == "::") {
        return "::1";
    }
    return text;
}

}  // namespace

CConnectionRecord RecordFromRow(const TcpRow& row) {
    CConnectionRecord record;
    record.state = row.state;
    record.family = row.family;
    record.localAddress = row.localAddress;
    record.remoteAddress = row.remoteAddress;
    record.interfaceText = InterfaceText(row.family, row.localAddress);
    record.ipAddress = AddressText(row.family, row.remoteAddress);
    const bool loopback = record.ipAddress == "127.0.0.1" || record.ipAddress == "::1";
    record.hostName = loopback ? "localhost" : record.ipAddress;
    record.localPort = row.localPort;
    record.remotePort = row.remotePort;
    record.cookie = row.cookie;
    record.uid = row.uid;
    record.inode = row.inode;
    record.protocol = row.protocol;
    record.bytes = row.bytes;
    return record;
}

CListeningPorts ListeningPortsOf(const std::vector<TcpRow>& rows) {
    CListeningPorts listening;
    for (const TcpRow& row : rows) {
        if (row.state == TcpState::Listen) {
            listening.Add(row.localPort, row.protocol);
        }
    }
    return listening;
}

std::vector<CConnectionRecord> ClassifiedRecords(const std::vector<TcpRow>& rows,
                                                 const CServicesDatabase& services) {
    return ClassifiedRecords(rows, services, ListeningPortsOf(rows));
}

std::vector<CConnectionRecord> ClassifiedRecords(const std::vector<TcpRow>& rows,
                                                 const CServicesDatabase& services,
                                                 const CListeningPorts& listening) {
    std::vector<CConnectionRecord> records;
    records.reserve(rows.size());
    for (const TcpRow& row : rows) {
        records.push_back(RecordFromRow(row));
        ClassifyConnection(records.back(), services, listening);
    }
    return records;
}

namespace {

std::size_t CookieSlot(std::uint64_t cookie, std::size_t mask) {
    // Cookies count up: spread them over the table.
    return static_cast<std::size_t>((cookie * 0x9E3779B97F4A7C15ull) >> 32) & mask;
}

}  // namespace

std::size_t CSentRows::Find(std::uint64_t cookie) const {
    const std::size_t none = table_ ? table_->size() : 0;
    if (index_.empty() || cookie == 0) {
        return none;
    }
    const std::size_t mask = index_.size() - 1;
    for (std::size_t i = CookieSlot(cookie, mask);; i = (i + 1) & mask) {
        const std::uint32_t entry = index_[i];
        if (entry == 0) {
            return none;
        }
        if ((*table_)[entry - 1].cookie == cookie) {
            return entry - 1;
        }
    }
}

bool CSentRows::Unchanged(const TcpRow& row, bool settledNow) const {
    const std::size_t found = Find(row.cookie);
    return table_ && found < table_->size() && (settled_[found] || !settledNow) &&
           (*table_)[found] == row;
}

void CSentRows::Remember(std::shared_ptr<const std::vector<TcpRow>> rows,
                         std::vector<bool> settled) {
    index_ = {};
    table_ = std::move(rows);
    const std::vector<TcpRow>& table = *table_;
    settled_ = std::move(settled);
    settled_.resize(table.size(), false);
    // At most half full, so that probes stay short; never full, so that they end.
    index_.assign(std::bit_ceil(2 * table.size() + 2), 0);
    const std::size_t mask = index_.size() - 1;
    for (std::size_t position = 0; position < table.size(); ++position) {
        const std::uint64_t cookie = table[position].cookie;
        if (cookie == 0) {
            continue;
        }
        if (const std::size_t first = Find(cookie); first < table.size()) {
            // A cookie twice in one dump: both rows are sent whole next time.
            settled_[first] = false;
            settled_[position] = false;
            continue;
        }
        std::size_t i = CookieSlot(cookie, mask);
        while (index_[i] != 0) {
            i = (i + 1) & mask;
        }
        index_[i] = static_cast<std::uint32_t>(position + 1);
    }
}

void CSentRows::Clear() {
    table_ = {};
    settled_ = {};
    index_ = {};
}

}  // namespace tarvik
