#pragma once

#include <linux/filter.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace tarvik::test {

// What the kernel's ancillary loads see of a packet besides its bytes.
struct BpfPacketInfo {
    std::uint32_t pktType = 0;   // PACKET_HOST, PACKET_OUTGOING, ...
    std::uint32_t protocol = 0;  // the link layer's protocol, host byte order (ETH_P_IP)
};

// Runs a classic BPF socket filter over `packet` the way the kernel does: the number of bytes
// kept (0: dropped; a load past the end drops too). Nothing for an instruction this runner
// does not know or a program that runs off its end, so that a test cannot pass by accident.
inline std::optional<std::uint32_t> RunClassicBpf(std::span<const sock_filter> program,
                                                  std::span<const std::uint8_t> packet,
                                                  BpfPacketInfo info) {
    std::uint32_t a = 0;
    std::uint32_t x = 0;
    std::array<std::uint32_t, BPF_MEMWORDS> memory{};
    // A packet load; false past the end of the packet.
    auto load = [&](std::uint32_t size, std::uint32_t at, std::uint32_t& into) {
        if (at >= static_cast<std::uint32_t>(SKF_AD_OFF)) {
            if (size != BPF_W) {
                return false;
            }
            switch (at - static_cast<std::uint32_t>(SKF_AD_OFF)) {
                case SKF_AD_PROTOCOL:
                    into = info.protocol;
                    return true;
                case SKF_AD_PKTTYPE:
                    into = info.pktType;
                    return true;
                default:
                    return false;
            }
        }
        const std::uint32_t bytes = size == BPF_W ? 4 : size == BPF_H ? 2 : 1;
        if (at > packet.size() || packet.size() - at < bytes) {
            return false;
        }
        into = 0;
        for (std::uint32_t i = 0; i < bytes; ++i) {
            into = (into << 8) | packet[at + i];
        }
        return true;
    };
    for (std::size_t pc = 0; pc < program.size(); ++pc) {
        const sock_filter& op = program[pc];
        const std::uint32_t source = BPF_SRC(op.code) == BPF_X ? x : op.k;
        switch (BPF_CLASS(op.code)) {
            case BPF_LD:
                if (BPF_MODE(op.code) == BPF_IMM) {
                    a = op.k;
                } else if (BPF_MODE(op.code) == BPF_MEM && op.k < BPF_MEMWORDS) {
                    a = memory[op.k];
                } else if (BPF_MODE(op.code) == BPF_LEN) {
                    a = static_cast<std::uint32_t>(packet.size());
                } else if (BPF_MODE(op.code) == BPF_ABS || BPF_MODE(op.code) == BPF_IND) {
                    const std::uint32_t at = op.k + (BPF_MODE(op.code) == BPF_IND ? x : 0);
                    if (!load(BPF_SIZE(op.code), at, a)) {
                        return 0;
                    }
                } else {
                    return std::nullopt;
                }
                break;
            case BPF_LDX:
                if (BPF_MODE(op.code) == BPF_IMM) {
                    x = op.k;
                } else if (BPF_MODE(op.code) == BPF_MSH) {
                    if (!load(BPF_B, op.k, x)) {
                        return 0;
                    }
                    x = (x & 0xf) * 4;
                } else {
                    return std::nullopt;
                }
                break;
            case BPF_ST:
            case BPF_STX:
                if (op.k >= BPF_MEMWORDS) {
                    return std::nullopt;
                }
                memory[op.k] = BPF_CLASS(op.code) == BPF_ST ? a : x;
                break;
            case BPF_JMP: {
                bool taken = false;
                switch (BPF_OP(op.code)) {
                    case BPF_JA:
                        pc += op.k;
                        continue;
                    case BPF_JEQ:
                        taken = a == source;
                        break;
                    case BPF_JGT:
                        taken = a > source;
                        break;
                    case BPF_JGE:
                        taken = a >= source;
                        break;
                    case BPF_JSET:
                        taken = (a & source) != 0;
                        break;
                    default:
                        return std::nullopt;
                }
                pc += taken ? op.jt : op.jf;
                break;
            }
            case BPF_RET:
                return BPF_RVAL(op.code) == BPF_A ? a : op.k;
            case BPF_MISC:
                if (BPF_MISCOP(op.code) == BPF_TAX) {
                    x = a;
                } else {
                    a = x;
                }
                break;
            default:  // arithmetic: no filter of ours uses it
                return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace tarvik::test
