#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/Oid.h"
#include "acquisition/TableSource.h"

namespace tarvik {

// Request types, value types and error statuses of the agent interface.
inline constexpr int kSnmpGet = 160;
inline constexpr int kSnmpGetNext = 161;
inline constexpr int kAsnInteger = 2;
inline constexpr int kAsnNull = 5;
inline constexpr int kAsnIpAddress = 64;
inline constexpr int kAsnCounter64 = 70;
inline constexpr int kErrorNoError = 0;
inline constexpr int kErrorNoSuchName = 2;
inline constexpr int kErrorGeneric = 5;

// Component (counting from 0) of a connection entry's identifier that holds its column number.
inline constexpr std::size_t kTcpColumnComponent = 9;
// Components of a connection entry's identifier: entry column plus the 10-component row index.
inline constexpr std::size_t kTcpEntryComponents = 20;
// Columns 1 to 5 are the standard ones (state, local address and port, remote address and
// port); column 6 is this agent's own: the kernel's socket cookie, a Counter64.
inline constexpr std::size_t kTcpStandardColumns = 5;
inline constexpr std::size_t kTcpCookieColumn = 6;

const Oid& TcpConnTableOid();    // 1.3.6.1.2.1.6.13
const Oid& TcpStateColumnOid();  // 1.3.6.1.2.1.6.13.1.1
const Oid& IpAddrColumnOid();    // 1.3.6.1.2.1.4.20.1.1

struct MibValue {
    int type = kAsnNull;
    std::int64_t integer = 0;
    std::uint64_t counter64 = 0;
    Ipv4Octets octets{};
    std::size_t octetCount = 0;

    static MibValue Integer(std::int64_t value);
    static MibValue Counter64(std::uint64_t value);
    static MibValue IpAddress(const Ipv4Octets& address);
    bool HasOctets() const { return octetCount > 0; }
};

struct MibVariable {
    Oid name;
    MibValue value;
};

// Gives back what the agent filled in; the variable is empty and NULL afterwards.
void ReleaseVariable(MibVariable& variable);

// The agent: answers GET and GETNEXT over the TCP connection table and the address column of
// the IP address table. A walk sees one snapshot of the source: the snapshot is taken when a
// GETNEXT starts at (or above) the first row of a table and kept until the next such start.
class CMibAgent {
public:
    // A null source is an agent that could not be loaded: every Query returns false.
    explicit CMibAgent(std::unique_ptr<ITableSource> source);
    virtual ~CMibAgent();

    CMibAgent(const CMibAgent&) = delete;
    CMibAgent& operator=(const CMibAgent&) = delete;

    bool Loaded() const { return source_ != nullptr; }
    // errno of the last failed read of the source (0 when none failed or it cannot tell).
    int LastError() const { return lastError_; }
    // True when loaded. Call once before the first Query.
    bool Init();
    // False when the agent is not loaded or its source cannot be read. True when the request
    // was carried out; `errorStatus` then tells whether it succeeded and `errorIndex` (from 1)
    // which variable failed. Variables are replaced in place.
    virtual bool Query(int requestType, std::vector<MibVariable>& variables, int& errorStatus,
                       int& errorIndex);
    void Unload();

private:
    struct Snapshot;

    enum class Answer { Found, Missing, Unreadable };

    Answer GetNext(MibVariable& variable);
    Answer Get(MibVariable& variable);
    bool Refresh(bool tcp, bool addresses);
    // Each table is read only when a request needs it, so a walk of one table never fails
    // because the other cannot be read.
    bool EnsureRows();
    bool EnsureAddresses();

    std::unique_ptr<ITableSource> source_;
    std::unique_ptr<Snapshot> snapshot_;
    int lastError_ = 0;
};

// The agent over the kernel's tables. Its reads fail (with the errno) while the kernel cannot
// be asked, and succeed again once it can.
std::unique_ptr<CMibAgent> LoadKernelAgent();

// Local addresses in dotted decimal, in the agent's order, without 0.0.0.0.
std::vector<std::string> BuildInterfaceAddressList(CMibAgent& agent);
// The same over a kernel agent made for the purpose.
std::vector<std::string> ListKernelInterfaceAddresses();

// "%d.%d.%d.%d" of the first four octets.
std::string DottedText(const Ipv4Octets& address);

}  // namespace tarvik
