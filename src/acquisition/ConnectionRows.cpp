#include "acquisition/ConnectionRows.h"

#include "acquisition/Classification.h"

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
    return record;
}

std::vector<CConnectionRecord> ClassifiedRecords(const std::vector<TcpRow>& rows,
                                                 const CServicesDatabase& services) {
    CListeningPorts listening;
    for (const TcpRow& row : rows) {
        if (row.state == TcpState::Listen) {
            listening.Add(row.localPort);
        }
    }
    std::vector<CConnectionRecord> records;
    records.reserve(rows.size());
    for (const TcpRow& row : rows) {
        records.push_back(RecordFromRow(row));
        ClassifyConnection(records.back(), services, listening);
    }
    return records;
}

}  // namespace tarvik
