#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "acquisition/NetlinkDiag.h"
#include "acquisition/TableSource.h"
#include "base/UniqueFd.h"

namespace tarvik {

// The kernel's TCP sockets through one sock_diag dump per snapshot, and its UDP sockets
// through one more per family (unless the kernel cannot dump them: then TCP alone).
// The netlink socket is opened once and kept across dumps, so that descriptors running out
// elsewhere in the process cannot blind the poller; it is reopened only after a socket error.
class CKernelTableSource : public ITableSource {
public:
    enum class Mode {
        BothFamilies,  // one request, one walk of the kernel's table; falls back if refused
        PerFamily,     // one request per address family
    };

    // Null when no sock_diag socket can be opened.
    static std::unique_ptr<CKernelTableSource> Open(Mode mode = Mode::BothFamilies);
    // Always a source: when the socket cannot be opened now, each read tries again (and fails
    // with the errno until it can).
    static std::unique_ptr<CKernelTableSource> Create(Mode mode = Mode::BothFamilies);

    std::optional<std::vector<TcpRow>> TcpRows() override;
    int LastError() const override { return lastError_; }

    // The bare dump: every TCP and UDP socket of both families, unconverted; UDP sockets are
    // marked by their `protocol`.
    std::optional<std::vector<DiagSocket>> DumpSockets();

    // Which dumps carry each socket's byte counts: every `dumps`-th from the next one on; 1
    // (the default) each, 0 none. The kernel fills each socket's tcp_info for them, about a
    // seventh of a dump's cost: a reader whose ends' counts come from notices need not pay that
    // at every poll for counts no one reads that often.
    void SetByteCountPeriod(int dumps);

    Mode CurrentMode() const { return mode_; }
    bool HasSocket() const { return socket_.Valid(); }
    int Descriptor() const { return socket_.Get(); }

private:
    CKernelTableSource(UniqueFd socket, Mode mode) : socket_(std::move(socket)), mode_(mode) {}

    struct DumpResult {
        bool ok = false;
        int error = 0;
        bool kernelRefused = false;  // the kernel answered with an error message
    };
    // Every socket of the dump goes to `sink` as it is read.
    DumpResult Dump(DiagRequest request, bool withCounts, const DiagSocketSink& sink);
    DumpResult Receive(std::uint32_t sequence, const DiagSocketSink& sink);
    // One whole dump, both families; false (lastError_ set) when it failed. A dump that fails
    // after some sockets were given leaves it to the caller to drop them.
    bool DumpAll(const DiagSocketSink& sink, const std::function<void()>& restart);
    // The UDP dumps after the TCP ones; a kernel's refusal turns them off for good.
    bool DumpUdp(const DiagSocketSink& sink);
    // Whether the dump about to be made carries the byte counts; counts it.
    bool NextDumpCounts();
    // Opens the socket when it is not open; false (lastError_ set) when it cannot be.
    bool EnsureSocket();
    // After a failed dump: a socket left mid-dump is replaced at once, while its descriptor
    // slot is still free; a kernel's refusal leaves the socket as it is.
    void AfterFailure(const DumpResult& result);

    UniqueFd socket_;
    Mode mode_;
    int lastError_ = 0;
    bool withUdp_ = true;
    int countPeriod_ = 1;
    int dumpsToCounts_ = 0;  // whole dumps before the next one with counts
    std::uint32_t sequence_ = 0;
    std::vector<std::byte> buffer_;
    // Rows of the last table: the next one is reserved at about that size, not grown by
    // doubling (which would hold the old and the new array at once).
    std::size_t lastRows_ = 0;
};

// The kernel source; when its socket cannot be opened yet, each read tries again. Byte counts
// ride on every `byteCountPeriod`-th dump (see SetByteCountPeriod).
std::unique_ptr<ITableSource> OpenKernelTableSource(int byteCountPeriod = 1);

}  // namespace tarvik
