#include "acquisition/ConnectionTableWalk.h"

#include <exception>
#include <string>
#include <vector>

namespace tarvik {

namespace {

constexpr int kFirstUnprivilegedPort = 1024;
constexpr std::size_t kRowColumns = kTcpCookieColumn;
constexpr int kPortCount = 65536;

bool IsListening(const CConnectionRecord& record) {
    return record.state == kStateListen;
}

std::string NameOr(std::optional<std::string_view> name, std::string_view prefix,
                   std::string_view suffix, std::string_view unknown) {
    if (!name) {
        return std::string(unknown);
    }
    std::string text(prefix);
    text += *name;
    text += suffix;
    return text;
}

std::vector<MibVariable> RowColumns(const Oid& rowName) {
    std::vector<MibVariable> columns(kRowColumns);
    for (std::size_t i = 0; i < kRowColumns; ++i) {
        columns[i].name = rowName;
        columns[i].name[kTcpColumnComponent] = static_cast<std::uint32_t>(i + 1);
    }
    return columns;
}

// GETNEXT over the state column, one GET per row. False when a query failed; `dropped` is set
// when a row was lost to an exception.
bool WalkRows(CMibAgent& agent, const CServicesDatabase& services,
              std::vector<CConnectionRecord>& records, bool& dropped, const TraceFunction& trace) {
    std::vector<MibVariable> cursor(1);
    cursor[0].name = TcpConnTableOid();
    bool complete = false;
    for (;;) {
        int errorStatus = 0;
        int errorIndex = 0;
        bool answered = false;
        try {
            answered = agent.Query(kSnmpGetNext, cursor, errorStatus, errorIndex);
        } catch (const std::exception&) {
            // The cursor cannot move on: end the walk rather than ask again forever.
            trace("CDataThread: caught exception");
            break;
        }
        if (!answered) {
            break;
        }
        if (errorStatus == kErrorNoSuchName) {
            trace("DataThread, SNMP_ERRORSTATUS_NOSUCHNAME");
            complete = true;
            break;
        }
        if (errorStatus != kErrorNoError) {
            trace("DataThread, != SNMP_ERRORSTATUS_NOERROR");
            break;
        }
        // Column 2 (an address) or anything past the table means every row has been seen.
        if (cursor[0].value.type == kAsnIpAddress ||
            !cursor[0].name.StartsWith(TcpStateColumnOid())) {
            complete = true;
            break;
        }
        try {
            auto record = ParseConnectionTableEntry(agent, cursor[0], services, trace);
            if (!record) {
                break;
            }
            records.push_back(std::move(*record));
        } catch (const std::exception&) {
            trace("CDataThread: caught exception");
            dropped = true;
        }
    }
    ReleaseVariable(cursor[0]);
    return complete;
}

}  // namespace

void CListeningPorts::Add(int port) {
    if (port >= 0 && port < kPortCount) {
        ports_.set(static_cast<std::size_t>(port));
    }
}

bool CListeningPorts::Contains(int port) const {
    return port >= 0 && port < kPortCount && ports_.test(static_cast<std::size_t>(port));
}

void ClassifyConnection(CConnectionRecord& record, const CServicesDatabase& services) {
    static const CListeningPorts none;
    ClassifyConnection(record, services, none);
}

void ClassifyConnection(CConnectionRecord& record, const CServicesDatabase& services,
                        const CListeningPorts& listening) {
    const auto localName = services.Lookup(record.localPort);
    if (IsListening(record)) {
        record.category = kCategoryListening;
        record.ipAddress = "n/a";
        record.hostName = "n/a";
        record.serviceText = NameOr(localName, "", " server", "unknown server");
        return;
    }
    const auto remoteName = services.Lookup(record.remotePort);
    if (record.localPort < kFirstUnprivilegedPort) {
        record.category = kCategoryInbound;
        record.serviceText = NameOr(localName, "inbound ", "", "unknown");
    } else if (record.remotePort < kFirstUnprivilegedPort) {
        record.category = kCategoryOutbound;
        record.serviceText = NameOr(remoteName, "outbound ", "", "unknown");
    } else if (listening.Contains(record.localPort)) {
        // Someone connected to a server of this machine, whatever its port is called.
        record.category = kCategoryInbound;
        record.serviceText = NameOr(localName, "", "", "unknown");
    } else if (localName) {
        record.category = kCategoryInbound;
        record.serviceText = std::string(*localName);
    } else if (remoteName) {
        record.category = kCategoryOutbound;
        record.serviceText = std::string(*remoteName);
    } else {
        record.category = kCategoryUnknown;
        record.serviceText = "unknown";
    }
}

const char* CategoryWord(int category) {
    switch (category) {
        case kCategoryListening:
            return "listening";
        case kCategoryInbound:
            return "inbound";
        case kCategoryOutbound:
            return "outbound";
        default:
            return "unknown";
    }
}

std::optional<CConnectionRecord> ParseConnectionTableEntry(CMibAgent& agent, const MibVariable& row,
                                                           const CServicesDatabase& services,
                                                           const TraceFunction& trace) {
    if (row.name.size() <= kTcpColumnComponent) {
        return std::nullopt;
    }
    std::vector<MibVariable> columns = RowColumns(row.name);
    int errorStatus = 0;
    int errorIndex = 0;
    if (!agent.Query(kSnmpGet, columns, errorStatus, errorIndex)) {
        trace("DataThread, snmp query failed");
        return std::nullopt;
    }
    if (errorStatus != kErrorNoError) {
        trace("DataThread, snmp error");
        return std::nullopt;
    }
    const MibValue& localAddress = columns[1].value;
    const MibValue& remoteAddress = columns[3].value;
    if (!localAddress.HasOctets() || !remoteAddress.HasOctets()) {
        return std::nullopt;
    }

    CConnectionRecord record;
    record.state = static_cast<int>(columns[0].value.integer);
    record.interfaceText = DottedText(localAddress.octets);
    if (record.interfaceText == "0.0.0.0") {
        record.interfaceText = "127.0.0.1";
    }
    record.ipAddress = DottedText(remoteAddress.octets);
    record.hostName = record.ipAddress == "127.0.0.1" ? "localhost" : record.ipAddress;
    record.localPort = static_cast<int>(columns[2].value.integer);
    record.remotePort = static_cast<int>(columns[4].value.integer);
    record.cookie = columns[5].value.type == kAsnCounter64 ? columns[5].value.counter64 : 0;
    ClassifyConnection(record, services);
    // The columns are given back when `columns` goes: nothing in them is held elsewhere.
    trace("ParseConnectionTableEntry exiting");
    return record;
}

WalkEnd WalkConnectionTable(CMibAgent& agent, const CServicesDatabase& services,
                            const std::function<void(CConnectionRecord)>& onRecord,
                            const TraceFunction& trace) {
    std::vector<CConnectionRecord> records;
    bool dropped = false;
    const bool walked = WalkRows(agent, services, records, dropped, trace);
    CListeningPorts listening;
    for (const CConnectionRecord& record : records) {
        if (IsListening(record)) {
            listening.Add(record.localPort);
        }
    }
    for (CConnectionRecord& record : records) {
        if (!IsListening(record) && listening.Contains(record.localPort)) {
            ClassifyConnection(record, services, listening);
        }
        try {
            onRecord(std::move(record));
        } catch (const std::exception&) {
            trace("CDataThread: caught exception");
            dropped = true;
        }
    }
    return walked && !dropped ? WalkEnd::Complete : WalkEnd::Failed;
}

}  // namespace tarvik
