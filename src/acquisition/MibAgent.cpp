#include "acquisition/MibAgent.h"

#include <algorithm>
#include <array>
#include <optional>
#include <span>

#include "acquisition/KernelTableSource.h"

namespace tarvik {

namespace {

constexpr std::size_t kTcpColumns = kTcpCookieColumn;

using Suffix = std::span<const std::uint32_t>;

bool SuffixLess(Suffix left, Suffix right) {
    return std::lexicographical_compare(left.begin(), left.end(), right.begin(), right.end());
}

// A table row's index components. Rows whose index repeats (Linux can hold a TIME_WAIT socket
// and a new connection with the same four-tuple) get an extra component 1, 2, ... in cookie
// order, so that each still has a name of its own and sorts right after the first.
struct IndexedRow {
    std::array<std::uint32_t, 11> index{};
    std::size_t length = 10;
    TcpRow row;

    Suffix Index() const { return {index.data(), length}; }
};

struct IndexedAddress {
    std::array<std::uint32_t, 4> index{};
    Ipv4Octets address{};

    Suffix Index() const { return index; }
};

std::array<std::uint32_t, 11> RowIndex(const TcpRow& row) {
    const auto& l = row.localAddress;
    const auto& r = row.remoteAddress;
    return {l[0], l[1], l[2], l[3], row.localPort, r[0], r[1], r[2], r[3], row.remotePort, 0};
}

std::uint64_t PackedEnd(const Ipv4Octets& address, std::uint16_t port) {
    std::uint64_t packed = 0;
    for (const std::uint8_t octet : address) {
        packed = packed << 8 | octet;
    }
    return packed << 16 | port;
}

Oid ColumnOid(std::size_t column) {
    Oid oid = TcpStateColumnOid();
    oid[kTcpColumnComponent] = static_cast<std::uint32_t>(column);
    return oid;
}

const std::array<Oid, kTcpColumns>& TcpColumnOids() {
    static const std::array<Oid, kTcpColumns> columns = {ColumnOid(1), ColumnOid(2), ColumnOid(3),
                                                         ColumnOid(4), ColumnOid(5), ColumnOid(6)};
    return columns;
}

// True when a GETNEXT from `name` may be answered from the address column.
bool ReachesAddresses(const Oid& name) {
    return name < IpAddrColumnOid() || name.StartsWith(IpAddrColumnOid());
}

// True when entries[hint] is named by `index`: a walk asks for the row it was just given,
// so the last answer saves most searches.
template <typename Entry>
bool HintMatches(const std::vector<Entry>& entries, std::size_t hint, Suffix index) {
    return hint < entries.size() && std::ranges::equal(entries[hint].Index(), index);
}

// Position of the first entry of the column at `base` whose name follows `name`.
template <typename Entry>
std::optional<std::size_t> NextInColumn(const std::vector<Entry>& entries, const Oid& base,
                                        const Oid& name, std::size_t& hint) {
    if (entries.empty()) {
        return std::nullopt;
    }
    if (!name.StartsWith(base)) {
        return name < base ? std::optional<std::size_t>(hint = 0) : std::nullopt;
    }
    const Suffix rest = name.Components().subspan(base.size());
    std::size_t next = 0;
    if (HintMatches(entries, hint, rest)) {
        next = hint + 1;
    } else {
        next = static_cast<std::size_t>(std::upper_bound(entries.begin(), entries.end(), rest,
                                                         [](Suffix key, const Entry& entry) {
                                                             return SuffixLess(key, entry.Index());
                                                         }) -
                                        entries.begin());
    }
    if (next == entries.size()) {
        return std::nullopt;
    }
    return hint = next;
}

// Position of the entry of the column at `base` named exactly `name`.
template <typename Entry>
std::optional<std::size_t> FindInColumn(const std::vector<Entry>& entries, const Oid& base,
                                        const Oid& name, std::size_t& hint) {
    if (!name.StartsWith(base)) {
        return std::nullopt;
    }
    const Suffix rest = name.Components().subspan(base.size());
    if (HintMatches(entries, hint, rest)) {
        return hint;
    }
    const auto found = std::lower_bound(
        entries.begin(), entries.end(), rest,
        [](const Entry& entry, Suffix key) { return SuffixLess(entry.Index(), key); });
    if (found == entries.end() || !std::ranges::equal(found->Index(), rest)) {
        return std::nullopt;
    }
    return hint = static_cast<std::size_t>(found - entries.begin());
}

MibValue ColumnValue(const TcpRow& row, std::size_t column) {
    switch (column) {
        case 1:
            return MibValue::Integer(row.state);
        case 2:
            return MibValue::IpAddress(row.localAddress);
        case 3:
            return MibValue::Integer(row.localPort);
        case 4:
            return MibValue::IpAddress(row.remoteAddress);
        case 5:
            return MibValue::Integer(row.remotePort);
        default:
            return MibValue::Counter64(row.cookie);
    }
}

Oid InstanceName(const Oid& base, Suffix index) {
    Oid name = base;
    name.Append(index);
    return name;
}

}  // namespace

struct CMibAgent::Snapshot {
    std::optional<std::vector<IndexedRow>> rows;
    std::optional<std::vector<IndexedAddress>> addresses;
    std::size_t rowHint = 0;
    std::size_t addressHint = 0;

    void SetRows(std::vector<TcpRow> source) {
        // Sorted by the row index packed into two integers (its components are octets and
        // ports, so integer order is identifier order); the position keeps the sort stable.
        struct Key {
            std::uint64_t local;
            std::uint64_t remote;
            std::uint64_t cookie;
            std::size_t position;
            auto operator<=>(const Key&) const = default;
        };
        std::vector<Key> keys;
        keys.reserve(source.size());
        for (std::size_t i = 0; i < source.size(); ++i) {
            const TcpRow& row = source[i];
            keys.push_back(Key{PackedEnd(row.localAddress, row.localPort),
                               PackedEnd(row.remoteAddress, row.remotePort), row.cookie, i});
        }
        std::ranges::sort(keys);
        std::vector<IndexedRow> indexed;
        indexed.reserve(source.size());
        for (const Key& key : keys) {
            const TcpRow& row = source[key.position];
            indexed.push_back(IndexedRow{RowIndex(row), 10, row});
        }
        for (std::size_t i = 1; i < indexed.size(); ++i) {
            IndexedRow& previous = indexed[i - 1];
            if (std::equal(previous.index.begin(), previous.index.begin() + 10,
                           indexed[i].index.begin())) {
                indexed[i].index[10] = previous.length == 10 ? 1 : previous.index[10] + 1;
                indexed[i].length = 11;
            }
        }
        rows = std::move(indexed);
    }

    void SetAddresses(std::vector<Ipv4Octets> source) {
        std::vector<IndexedAddress> indexed;
        indexed.reserve(source.size());
        for (const Ipv4Octets& a : source) {
            indexed.push_back(IndexedAddress{{a[0], a[1], a[2], a[3]}, a});
        }
        std::ranges::sort(indexed, {}, [](const IndexedAddress& a) { return a.index; });
        // std::unique: clang 14 cannot compile the subrange that std::ranges::unique returns.
        const auto duplicates = std::unique(
            indexed.begin(), indexed.end(),
            [](const IndexedAddress& a, const IndexedAddress& b) { return a.index == b.index; });
        indexed.erase(duplicates, indexed.end());
        addresses = std::move(indexed);
    }
};

const Oid& TcpConnTableOid() {
    static const Oid oid{1, 3, 6, 1, 2, 1, 6, 13};
    return oid;
}

const Oid& TcpStateColumnOid() {
    static const Oid oid{1, 3, 6, 1, 2, 1, 6, 13, 1, 1};
    return oid;
}

const Oid& IpAddrColumnOid() {
    static const Oid oid{1, 3, 6, 1, 2, 1, 4, 20, 1, 1};
    return oid;
}

MibValue MibValue::Integer(std::int64_t value) {
    MibValue result;
    result.type = kAsnInteger;
    result.integer = value;
    return result;
}

MibValue MibValue::Counter64(std::uint64_t value) {
    MibValue result;
    result.type = kAsnCounter64;
    result.counter64 = value;
    return result;
}

MibValue MibValue::IpAddress(const Ipv4Octets& address) {
    MibValue result;
    result.type = kAsnIpAddress;
    result.octets = address;
    result.octetCount = address.size();
    return result;
}

void ReleaseVariable(MibVariable& variable) {
    variable = MibVariable{};
}

CMibAgent::CMibAgent(std::unique_ptr<ITableSource> source)
    : source_(std::move(source)), snapshot_(std::make_unique<Snapshot>()) {}

CMibAgent::~CMibAgent() = default;

bool CMibAgent::Init() {
    return Loaded();
}

void CMibAgent::Unload() {
    source_.reset();
    snapshot_ = std::make_unique<Snapshot>();
}

bool CMibAgent::Query(int requestType, std::vector<MibVariable>& variables, int& errorStatus,
                      int& errorIndex) {
    if (!Loaded()) {
        return false;
    }
    errorStatus = kErrorNoError;
    errorIndex = 0;
    if (requestType != kSnmpGet && requestType != kSnmpGetNext) {
        errorStatus = kErrorGeneric;
        return true;
    }
    for (std::size_t i = 0; i < variables.size(); ++i) {
        MibVariable& variable = variables[i];
        if (requestType == kSnmpGetNext) {
            // A GETNEXT at or above a table's first row starts a walk of it.
            const bool startsTcp = variable.name.IsPrefixOf(TcpStateColumnOid());
            const bool startsAddresses = variable.name.IsPrefixOf(IpAddrColumnOid());
            if ((startsTcp || startsAddresses) && !Refresh(startsTcp, startsAddresses)) {
                return false;
            }
        }
        const Answer answer = requestType == kSnmpGetNext ? GetNext(variable) : Get(variable);
        if (answer == Answer::Unreadable) {
            return false;
        }
        if (answer == Answer::Missing) {
            errorStatus = kErrorNoSuchName;
            errorIndex = static_cast<int>(i + 1);
            return true;
        }
    }
    return true;
}

bool CMibAgent::Refresh(bool tcp, bool addresses) {
    if (tcp) {
        auto rows = source_->TcpRows();
        if (!rows) {
            snapshot_->rows.reset();
            lastError_ = source_->LastError();
            return false;
        }
        snapshot_->SetRows(std::move(*rows));
        lastError_ = 0;
    }
    if (addresses) {
        auto list = source_->LocalAddresses();
        if (!list) {
            snapshot_->addresses.reset();
            lastError_ = source_->LastError();
            return false;
        }
        snapshot_->SetAddresses(std::move(*list));
    }
    return true;
}

bool CMibAgent::EnsureRows() {
    return snapshot_->rows || Refresh(true, false);
}

bool CMibAgent::EnsureAddresses() {
    return snapshot_->addresses || Refresh(false, true);
}

CMibAgent::Answer CMibAgent::GetNext(MibVariable& variable) {
    if (ReachesAddresses(variable.name)) {
        if (!EnsureAddresses()) {
            return Answer::Unreadable;
        }
        const auto& addresses = *snapshot_->addresses;
        if (const auto next =
                NextInColumn(addresses, IpAddrColumnOid(), variable.name, snapshot_->addressHint)) {
            const IndexedAddress& entry = addresses[*next];
            variable.name = InstanceName(IpAddrColumnOid(), entry.Index());
            variable.value = MibValue::IpAddress(entry.address);
            return Answer::Found;
        }
    }
    if (!EnsureRows()) {
        return Answer::Unreadable;
    }
    const auto& rows = *snapshot_->rows;
    for (std::size_t column = 1; column <= kTcpColumns; ++column) {
        const Oid& base = TcpColumnOids()[column - 1];
        if (const auto next = NextInColumn(rows, base, variable.name, snapshot_->rowHint)) {
            variable.name = InstanceName(base, rows[*next].Index());
            variable.value = ColumnValue(rows[*next].row, column);
            return Answer::Found;
        }
    }
    return Answer::Missing;
}

CMibAgent::Answer CMibAgent::Get(MibVariable& variable) {
    if (variable.name.StartsWith(IpAddrColumnOid())) {
        if (!EnsureAddresses()) {
            return Answer::Unreadable;
        }
        const auto found = FindInColumn(*snapshot_->addresses, IpAddrColumnOid(), variable.name,
                                        snapshot_->addressHint);
        if (!found) {
            return Answer::Missing;
        }
        variable.value = MibValue::IpAddress((*snapshot_->addresses)[*found].address);
        return Answer::Found;
    }
    // Only the column the name itself gives can hold it.
    const std::size_t column =
        variable.name.size() > kTcpColumnComponent ? variable.name[kTcpColumnComponent] : 0;
    if (column < 1 || column > kTcpColumns) {
        return Answer::Missing;
    }
    if (!EnsureRows()) {
        return Answer::Unreadable;
    }
    const auto& rows = *snapshot_->rows;
    if (const auto found =
            FindInColumn(rows, TcpColumnOids()[column - 1], variable.name, snapshot_->rowHint)) {
        variable.value = ColumnValue(rows[*found].row, column);
        return Answer::Found;
    }
    return Answer::Missing;
}

std::unique_ptr<CMibAgent> LoadKernelAgent() {
    return std::make_unique<CMibAgent>(OpenKernelTableSource());
}

std::string DottedText(const Ipv4Octets& address) {
    // Called twice for every row of every poll: formatted by hand rather than by snprintf.
    // At most 15 characters; the masks only tell the compiler so.
    std::array<char, 16> text{};
    std::size_t length = 0;
    for (std::size_t i = 0; i < address.size(); ++i) {
        if (i > 0) {
            text[length++ & 15] = '.';
        }
        const std::uint8_t octet = address[i];
        if (octet >= 100) {
            text[length++ & 15] = static_cast<char>('0' + octet / 100);
        }
        if (octet >= 10) {
            text[length++ & 15] = static_cast<char>('0' + octet / 10 % 10);
        }
        text[length++ & 15] = static_cast<char>('0' + octet % 10);
    }
    return std::string(text.data(), length);
}

std::vector<std::string> BuildInterfaceAddressList(CMibAgent& agent) {
    std::vector<std::string> list;
    std::vector<MibVariable> variables(1);
    variables[0].name = IpAddrColumnOid();
    int errorStatus = 0;
    int errorIndex = 0;
    // An error status ends the walk too: the name it leaves behind is the one just asked.
    while (agent.Query(kSnmpGetNext, variables, errorStatus, errorIndex) &&
           errorStatus == kErrorNoError && variables[0].name.StartsWith(IpAddrColumnOid())) {
        const MibValue& value = variables[0].value;
        if (value.octetCount < 4) {
            continue;
        }
        const std::string text = DottedText(value.octets);
        if (text != "0.0.0.0") {
            list.push_back(text);
        }
    }
    ReleaseVariable(variables[0]);
    return list;
}

std::vector<std::string> ListKernelInterfaceAddresses() {
    CMibAgent agent(std::make_unique<CLocalAddressSource>());
    agent.Init();
    return BuildInterfaceAddressList(agent);
}

}  // namespace tarvik
