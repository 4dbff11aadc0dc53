#pragma once

#include <cstdint>
#include <string>

namespace tarvik {

// How a host reached us: a completed connection, a probe of one TCP flag set, or a UDP
// datagram to a port nothing listens on. Window scans send the segments of ACK scans (they
// differ only in how the scanner reads the answer), so they are seen as ACK.
enum class ProbeKind : std::uint8_t { Connect, Syn, Fin, Null, Xmas, Ack, Maimon, Udp };

// The kinds seen from one host, one bit per ProbeKind.
class ScanKinds {
public:
    void Add(ProbeKind kind) { bits_ |= Bit(kind); }
    bool Has(ProbeKind kind) const { return (bits_ & Bit(kind)) != 0; }
    bool Empty() const { return bits_ == 0; }
    void Clear() { bits_ = 0; }

    // "connect", "SYN", "FIN", "NULL", "Xmas", "ACK", "Maimon", "UDP" or "mixed". SYNs from a host
    // that also completed connections are the handshakes of those connections, not a half-open
    // scan.
    std::string Text() const;

private:
    static std::uint8_t Bit(ProbeKind kind) {
        return static_cast<std::uint8_t>(1U << static_cast<unsigned>(kind));
    }
    std::uint8_t bits_ = 0;
};

}  // namespace tarvik
