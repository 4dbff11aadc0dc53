#pragma once

#include <cerrno>
#include <cstdint>
#include <optional>
#include <vector>

#include "acquisition/Address.h"
#include "acquisition/ConnectionRecord.h"

namespace tarvik {

// One TCP socket of the kernel's table. IPv4-mapped IPv6 sockets and dual-stack listeners
// arrive as IPv4 rows, so that a server is seen the same whichever way it bound.
struct TcpRow {
    // The kernel's socket cookie: one identity per socket for its whole life; 0 in fixtures.
    std::uint64_t cookie = 0;
    std::uint64_t inode = 0;  // 0 for sockets no process holds (TIME_WAIT)
    ByteCounts bytes;         // zero where the kernel gave no counts (TIME_WAIT, listeners)
    AddressBytes localAddress{};
    AddressBytes remoteAddress{};
    std::uint32_t uid = 0;  // the socket's owner
    TcpState state{};       // MIB-II tcpConnState, 1..12
    std::uint16_t localPort = 0;
    std::uint16_t remotePort = 0;
    // Largest fields first: 80 bytes a row rather than 88, and a dump holds one per socket.
    AddressFamily family = AddressFamily::Ipv4;
    // A UDP socket's state is Listen when it is bound alone, Established when connected.
    Protocol protocol = Protocol::Tcp;

    bool operator==(const TcpRow&) const = default;
};

// Where the rows come from: the kernel in the programs, a fixture in tests. Each call returns
// a fresh, complete snapshot; nullopt when the source could not be read.
class ITableSource {
public:
    virtual ~ITableSource() = default;
    virtual std::optional<std::vector<TcpRow>> TcpRows() = 0;
    // errno of the last read that failed; 0 when the source cannot tell.
    virtual int LastError() const { return 0; }
};

// Rows set by the test; counts the snapshots taken.
class CFixtureTableSource : public ITableSource {
public:
    CFixtureTableSource() = default;
    explicit CFixtureTableSource(std::vector<TcpRow> rows) : rows_(std::move(rows)) {}

    std::optional<std::vector<TcpRow>> TcpRows() override {
        ++tcpSnapshots_;
        if (failing_) {
            return std::nullopt;
        }
        return rows_;
    }

    void SetRows(std::vector<TcpRow> rows) { rows_ = std::move(rows); }
    void SetFailing(bool failing, int error = EIO) {
        failing_ = failing;
        error_ = error;
    }
    int LastError() const override { return failing_ ? error_ : 0; }
    int TcpSnapshots() const { return tcpSnapshots_; }

private:
    std::vector<TcpRow> rows_;
    bool failing_ = false;
    int error_ = EIO;
    int tcpSnapshots_ = 0;
};

}  // namespace tarvik
