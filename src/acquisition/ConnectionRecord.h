#pragma once

#include <cstdint>
#include <ctime>
#include <iosfwd>
#include <string>
#include <string_view>

#include "acquisition/Address.h"
#include "base/CompactText.h"

namespace tarvik {

// Category codes of a connection; the numbers are stable because settings and peers use them.
// None: a record not classified yet.
enum class Category : int {
    None = 0,
    Listening = 2110,
    Inbound = 2111,
    Outbound = 2112,
    Unknown = 2113,
};

// MIB-II tcpConnState values (RFC 1213); the numbers are printed (the --list CSV) and
// must not change.
enum class TcpState : int {
    Closed = 1,
    Listen,
    SynSent,
    SynReceived,
    Established,
    FinWait1,
    FinWait2,
    CloseWait,
    LastAck,
    Closing,
    TimeWait,
    DeleteTcb,
};

// The transport of a socket. A byte: it sits in the padding at the end of the records.
enum class Protocol : std::uint8_t { Tcp, Udp };

// "tcp" or "udp", as every output writes it.
const char* ProtocolWord(Protocol protocol);
// "TCP" or "UDP", as the window shows it.
const char* ProtocolTitle(Protocol protocol);
// Payload bytes of a connection, both ways, as the kernel counted them; SYN and FIN are not data.
struct ByteCounts {
    std::uint64_t sent = 0;
    std::uint64_t received = 0;

    // Counters only grow: of two reads of one socket, the larger count is the later.
    void TakeLarger(const ByteCounts& other);
    bool operator==(const ByteCounts&) const = default;
};

// One TCP connection or listening port as the system knows it. A plain value: it is copied
// freely between threads and owned by whoever holds it.
struct CConnectionRecord {
    std::time_t closeTime = 0;
    std::time_t openTime = 0;
    // The texts are compact (see CompactText): a table of a hundred thousand connections holds
    // this record once per connection, and the tracker, the list and the logger copy it.
    CompactText serviceText;
    CompactText hostName;
    CompactText ipAddress;
    CompactText interfaceText;
    // The kernel's socket cookie: unique for the socket's life, so a new connection on the
    // address and ports of an old TIME_WAIT one is a different record. 0 where no kernel socket
    // stands behind the record (fixtures).
    std::uint64_t cookie = 0;
    // The socket's owner as the kernel reports it, and the process holding it where it could
    // be found (pid 0 and empty texts when not known). Never part of the log line.
    std::uint64_t inode = 0;
    ByteCounts bytes;     // live while it lasts, final once it ended where a notice told the end
    CompactText command;  // the owning process's command name
    CompactText user;     // the name of `uid`, or its number when it has no name
    std::uint32_t uid = 0;
    int pid = 0;
    Category category = Category::None;
    int id = 0;
    int remotePort = 0;
    int localPort = 0;
    TcpState state{};
    // The socket's own addresses; the texts above are made from them. IPv4-mapped IPv6
    // sockets and dual-stack listeners are IPv4 here as in the texts. The one-byte fields come
    // last so that a record extended by a flag or two (the tracker's live record) keeps its
    // size: the flags take the padding after them.
    AddressFamily family = AddressFamily::Ipv4;
    AddressBytes localAddress{};
    AddressBytes remoteAddress{};
    Protocol protocol = Protocol::Tcp;

    // "Established", "TimeWait"...; a value outside 1..12 gives "Unknown(<n>)". A UDP socket
    // has no handshake: "unconn" (bound, kept here as Listen) or "estab" (connected).
    std::string StateName() const;

    // The eight comma-separated fields of a log line, without a line end. Nothing is quoted:
    // the log format is fixed and readers depend on it.
    void WriteCsv(std::ostream& out) const;
    std::string CsvText() const;
    // The same fields appended to `line`, which may keep its capacity from line to line, with
    // the open and close times given as their TimeText: a writer of many lines keeps those. The
    // one place that knows the order of the fields.
    void AppendCsv(std::string& line, std::string_view openText, std::string_view closeText) const;

    bool operator==(const CConnectionRecord&) const = default;
};

std::string StateName(TcpState state);
std::string StateName(TcpState state, Protocol protocol);

// "%H:%M:%S %m/%d/%Y" in local time, e.g. "14:03:07 08/22/2003".
std::string TimeText(std::time_t time);

}  // namespace tarvik
