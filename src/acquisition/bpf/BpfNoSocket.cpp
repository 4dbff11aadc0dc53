#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>

#include "NoSocketSample.h"
#include "acquisition/NoSocketSource.h"
#include "base/ThreadName.h"
#include "base/WaitSet.h"
#include "no_socket.skel.h"

namespace tarvik {

namespace {

// A scan at full speed fills this in a few seconds; an owner that far behind is stalled, and
// what comes past it is counted as lost.
constexpr std::size_t kMaxQueued = 65'536;
// Verdicts gather this long after a read, so a scan costs tens of wake-ups a second, not one
// per probe.
constexpr std::chrono::milliseconds kGather{20};
constexpr int kIpv4 = 2;
constexpr int kTcp = 6;

using Skeleton = std::unique_ptr<no_socket, decltype(&no_socket__destroy)>;
using RingBuffer = std::unique_ptr<ring_buffer, decltype(&ring_buffer__free)>;

std::string ErrorText(int error) {
    return std::strerror(error < 0 ? -error : error);
}

std::uint32_t NetworkNamespaceInode() {
    struct stat namespaceFile {};
    return ::stat("/proc/self/ns/net", &namespaceFile) == 0
               ? static_cast<std::uint32_t>(namespaceFile.st_ino)
               : 0;
}

// The first and last port of the ephemeral range; Linux's default where it cannot be read.
std::pair<std::uint16_t, std::uint16_t> EphemeralPorts() {
    std::ifstream file("/proc/sys/net/ipv4/ip_local_port_range");
    unsigned first = 0;
    unsigned last = 0;
    if (file >> first >> last && first <= last && last <= 65535) {
        return {static_cast<std::uint16_t>(first), static_cast<std::uint16_t>(last)};
    }
    return {32768, 60999};
}

AddressBytes BytesOf(const std::uint8_t (&address)[16]) {
    AddressBytes bytes{};
    std::copy(std::begin(address), std::end(address), bytes.begin());
    return bytes;
}

AddressFamily FamilyOf(const tarvik_no_socket_sample& sample) {
    return sample.family == kIpv4 ? AddressFamily::Ipv4 : AddressFamily::Ipv6;
}

class CBpfNoSocket final : public INoSocketSource {
public:
    explicit CBpfNoSocket(Skeleton skeleton) : skeleton_(std::move(skeleton)) {}
    ~CBpfNoSocket() override { Stop(); }
    CBpfNoSocket(const CBpfNoSocket&) = delete;
    CBpfNoSocket& operator=(const CBpfNoSocket&) = delete;

    bool Open(std::string& reason) {
        ring_.reset(ring_buffer__new(bpf_map__fd(skeleton_->maps.samples), &CBpfNoSocket::OnSample,
                                     this, nullptr));
        if (!ring_ || !waits_.Valid()) {
            reason = "cannot read the eBPF ring buffer: " + ErrorText(errno);
            return false;
        }
        waits_.Watch(ring_buffer__epoll_fd(ring_.get()), POLLIN);
        return true;
    }
    void Start(WakeFn wake) override {
        if (reader_.joinable()) {
            return;
        }
        wake_ = std::move(wake);
        reader_ = std::thread([this] { Run(); });
    }
    void Stop() override {
        waits_.Stop();
        if (reader_.joinable()) {
            reader_.join();
        }
    }
    NoSocketBatch Take() override {
        std::lock_guard lock(mutex_);
        return std::exchange(queue_, {});
    }
    std::uint64_t Lost() const override { return dropped_.load() + KernelLosses(); }

private:
    static int OnSample(void* context, void* data, std::size_t size) {
        tarvik_no_socket_sample sample;
        if (size >= sizeof sample) {
            std::memcpy(&sample, data, sizeof sample);
            static_cast<CBpfNoSocket*>(context)->Add(sample);
        }
        return 0;
    }
    void Add(const tarvik_no_socket_sample& sample) {
        if (sample.kind == TARVIK_NO_SOCKET_REFUSED) {
            const std::size_t length = strnlen(sample.comm, sizeof sample.comm);
            pending_.refused.push_back({FamilyOf(sample), BytesOf(sample.remote),
                                        sample.remote_port, sample.error, sample.tgid,
                                        std::string(sample.comm, length), sample.uid});
            return;
        }
        pending_.packets.push_back({FamilyOf(sample), BytesOf(sample.remote), sample.remote_port,
                                    sample.local_port,
                                    sample.protocol == kTcp ? Transport::Tcp : Transport::Udp,
                                    sample.tcp_flags, sample.tcp_header_length});
    }
    void Run() {
        NameThisThread("no-socket reader");
        for (;;) {
            const CWaitSet::Result& woke = waits_.Wait();
            if (woke.stopped || woke.failed || ring_buffer__consume(ring_.get()) < 0) {
                return;
            }
            Publish();
            if (waits_.PauseUnlessStopped(kGather)) {
                return;
            }
        }
    }
    void Publish() {
        if (pending_.Empty()) {
            return;
        }
        bool wasEmpty = false;
        {
            std::lock_guard lock(mutex_);
            wasEmpty = queue_.Empty();
            Append(queue_.packets, pending_.packets);
            Append(queue_.refused, pending_.refused);
        }
        if (wasEmpty && wake_) {
            wake_();
        }
    }
    template <typename T>
    void Append(std::vector<T>& to, std::vector<T>& from) {
        const std::size_t room = kMaxQueued - std::min(kMaxQueued, to.size());
        const std::size_t kept = std::min(room, from.size());
        dropped_ += from.size() - kept;
        to.insert(to.end(), std::make_move_iterator(from.begin()),
                  std::make_move_iterator(from.begin() + static_cast<std::ptrdiff_t>(kept)));
        from.clear();
    }
    std::uint64_t KernelLosses() const {
        const int cpus = libbpf_num_possible_cpus();
        if (cpus <= 0) {
            return 0;
        }
        std::vector<std::uint64_t> perCpu(static_cast<std::size_t>(cpus));
        const std::uint32_t key = 0;
        if (bpf_map__lookup_elem(skeleton_->maps.lost, &key, sizeof key, perCpu.data(),
                                 perCpu.size() * sizeof(std::uint64_t), 0) != 0) {
            return 0;
        }
        std::uint64_t total = 0;
        for (const std::uint64_t count : perCpu) {
            total += count;
        }
        return total;
    }

    Skeleton skeleton_;
    RingBuffer ring_{nullptr, &ring_buffer__free};
    CWaitSet waits_;
    WakeFn wake_;
    NoSocketBatch pending_;  // the reader thread's alone
    std::mutex mutex_;
    NoSocketBatch queue_;  // under mutex_
    std::atomic<std::uint64_t> dropped_{0};
    std::thread reader_;  // stopped and joined before the rest goes
};

}  // namespace

std::unique_ptr<INoSocketSource> OpenNoSocketSource(std::string& reason) {
    Skeleton skeleton(no_socket__open(), &no_socket__destroy);
    if (!skeleton) {
        reason = "cannot open the eBPF program: " + ErrorText(errno);
        return nullptr;
    }
    // Probes of other namespaces are theirs to report.
    skeleton->rodata->netns_inode = NetworkNamespaceInode();
    std::tie(skeleton->rodata->ephemeral_first, skeleton->rodata->ephemeral_last) =
        EphemeralPorts();
    if (const int error = no_socket__load(skeleton.get()); error != 0) {
        reason = "cannot load the eBPF program: " + ErrorText(error) +
                 " (needs CAP_BPF and CAP_PERFMON and a kernel with BTF)";
        return nullptr;
    }
    if (const int error = no_socket__attach(skeleton.get()); error != 0) {
        reason = "cannot attach the eBPF program: " + ErrorText(error);
        return nullptr;
    }
    auto source = std::make_unique<CBpfNoSocket>(std::move(skeleton));
    if (!source->Open(reason)) {
        return nullptr;
    }
    return source;
}

}  // namespace tarvik
