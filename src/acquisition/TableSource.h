#pragma once

#include <array>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <vector>

namespace tarvik {

using Ipv4Octets = std::array<std::uint8_t, 4>;  // network order: {127, 0, 0, 1}

// One row of the TCP connection table, already in MIB-II terms.
struct TcpRow {
    Ipv4Octets localAddress{};
    std::uint16_t localPort = 0;
    Ipv4Octets remoteAddress{};
    std::uint16_t remotePort = 0;
    int state = 0;  // MIB-II tcpConnState, 1..12
    // The kernel's socket cookie: one identity per socket for its whole life; 0 in fixtures.
    std::uint64_t cookie = 0;

    bool operator==(const TcpRow&) const = default;
};

// Where the agent's tables come from: the kernel in the programs, a fixture in tests. Each call
// returns a fresh, complete snapshot; nullopt when the source could not be read.
class ITableSource {
public:
    virtual ~ITableSource() = default;
    virtual std::optional<std::vector<TcpRow>> TcpRows() = 0;
    virtual std::optional<std::vector<Ipv4Octets>> LocalAddresses() = 0;
    // errno of the last read that failed; 0 when the source cannot tell.
    virtual int LastError() const { return 0; }
};

// Rows and addresses set by the test; counts the snapshots taken.
class CFixtureTableSource : public ITableSource {
public:
    CFixtureTableSource() = default;
    CFixtureTableSource(std::vector<TcpRow> rows, std::vector<Ipv4Octets> addresses)
        : rows_(std::move(rows)), addresses_(std::move(addresses)) {}

    std::optional<std::vector<TcpRow>> TcpRows() override {
        ++tcpSnapshots_;
        if (failing_) {
            return std::nullopt;
        }
        return rows_;
    }
    std::optional<std::vector<Ipv4Octets>> LocalAddresses() override {
        ++addressSnapshots_;
        if (failing_) {
            return std::nullopt;
        }
        return addresses_;
    }

    void SetRows(std::vector<TcpRow> rows) { rows_ = std::move(rows); }
    void SetAddresses(std::vector<Ipv4Octets> addresses) { addresses_ = std::move(addresses); }
    void SetFailing(bool failing, int error = EIO) {
        failing_ = failing;
        error_ = error;
    }
    int LastError() const override { return failing_ ? error_ : 0; }
    int TcpSnapshots() const { return tcpSnapshots_; }
    int AddressSnapshots() const { return addressSnapshots_; }

private:
    std::vector<TcpRow> rows_;
    std::vector<Ipv4Octets> addresses_;
    bool failing_ = false;
    int error_ = EIO;
    int tcpSnapshots_ = 0;
    int addressSnapshots_ = 0;
};

}  // namespace tarvik
