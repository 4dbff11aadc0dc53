#include "acquisition/bpf/BpfTcpStates.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "base/ThreadName.h"
#include "base/WaitSet.h"
#include "tcp_states.skel.h"

namespace tarvik {

namespace {

// The queue the poller drains; a reader that gets this far ahead means a stalled poller,
// and the reconciliation dump is then the cheaper way back to an exact table.
constexpr std::size_t kMaxQueued = 262'144;
// After a read the thread lets samples gather this long before it waits again: the kernel
// wakes a reader only when the ring goes from empty to not, so a busy machine costs at most
// fifty wake-ups a second (of this thread and of each one the notices go on to) rather than
// one per state change, and a notice waits at most this long. 50 ms cost no less CPU at 1,000
// and 5,000 connections a second and doubled the wait. The ring holds far more.
constexpr std::chrono::milliseconds kGather{20};
constexpr char kNeeds[] = "needs CAP_BPF and CAP_PERFMON and a kernel with BTF";

std::string ErrorText(int error) {
    return std::strerror(error < 0 ? -error : error);
}

// libbpf prints through one process-wide callback; it goes to the trace of the open in
// progress, or nowhere.
std::mutex gPrintMutex;
const BpfTraceSink* gPrintSink = nullptr;

int PrintToSink(libbpf_print_level level, const char* format, va_list args) {
    if (level == LIBBPF_DEBUG) {
        return 0;
    }
    std::lock_guard lock(gPrintMutex);
    if (gPrintSink == nullptr || !*gPrintSink) {
        return 0;
    }
    char line[512];
    const int length = std::vsnprintf(line, sizeof line, format, args);
    if (length <= 0) {
        return 0;
    }
    std::string_view text(line, std::min(static_cast<std::size_t>(length), sizeof line - 1));
    while (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
    (*gPrintSink)(text);
    return length;
}

// Routes libbpf's prints to `sink` for as long as it lives.
class PrintScope {
public:
    explicit PrintScope(const BpfTraceSink& sink) {
        std::lock_guard lock(gPrintMutex);
        gPrintSink = &sink;
        libbpf_set_print(PrintToSink);
    }
    ~PrintScope() {
        std::lock_guard lock(gPrintMutex);
        gPrintSink = nullptr;
    }
    PrintScope(const PrintScope&) = delete;
    PrintScope& operator=(const PrintScope&) = delete;
};

using Skeleton = std::unique_ptr<tcp_states, decltype(&tcp_states__destroy)>;
using RingBuffer = std::unique_ptr<ring_buffer, decltype(&ring_buffer__free)>;

class CBpfTcpStates final : public IEventSource {
public:
    // `accepts` says how the program sees accepts, as the start line shows it.
    CBpfTcpStates(Skeleton skeleton, const char* accepts)
        : skeleton_(std::move(skeleton)), accepts_(accepts), offsetNs_(RealtimeOffsetNs()) {}
    ~CBpfTcpStates() override {
        waits_.Stop();
        if (reader_.joinable()) {
            reader_.join();
        }
    }
    CBpfTcpStates(const CBpfTcpStates&) = delete;
    CBpfTcpStates& operator=(const CBpfTcpStates&) = delete;

    // Creates the ring buffer reader and starts its thread; the reason on failure.
    bool Start(std::string& reason);

    AcquisitionMode Mode() const override { return AcquisitionMode::Events; }
    std::vector<TcpEvent> Drain() override;
    bool TakeLoss() override;
    bool NeedsDumpEveryTick() const override { return false; }
    void SetReadySignal(std::function<void()> ready) override { ready_.Set(std::move(ready)); }
    std::string Detail() const override { return std::string("accepting processes: ") + accepts_; }

private:
    static int OnSample(void* context, void* data, std::size_t size);
    void Run();
    void Publish();
    // Samples the program could not queue, over all CPUs; nullopt when unreadable.
    std::optional<std::uint64_t> KernelLosses() const;
    // State changes the kernel ran neither program for (the first is skipped when a change
    // comes in an interrupt while it runs on that CPU; the backup reports those, unless it
    // was itself interrupted). 0 where the kernel cannot tell.
    std::uint64_t SkippedRuns() const;

    Skeleton skeleton_;
    const char* const accepts_;
    RingBuffer ring_{nullptr, &ring_buffer__free};
    CWaitSet waits_;  // the ring and the stop
    const std::int64_t offsetNs_;
    std::vector<TcpEvent> pending_;  // the reader thread's alone
    COpeningProcesses openers_;      // the reader thread's alone

    CReadySignal ready_;
    std::mutex mutex_;
    std::vector<TcpEvent> queue_;
    bool lost_ = false;

    std::uint64_t kernelLossesSeen_ = 0;  // the draining thread's alone
    std::uint64_t skippedRunsSeen_ = 0;   // the draining thread's alone
    std::thread reader_;                  // stopped and joined before the rest goes
};

bool CBpfTcpStates::Start(std::string& reason) {
    ring_.reset(ring_buffer__new(bpf_map__fd(skeleton_->maps.samples), &CBpfTcpStates::OnSample,
                                 this, nullptr));
    if (!ring_) {
        reason = "cannot read the eBPF ring buffer: " + ErrorText(errno);
        return false;
    }
    if (!waits_.Valid()) {
        reason = "cannot wait for eBPF events: " + ErrorText(errno);
        return false;
    }
    // The ring's own epoll descriptor polls readable while any CPU's ring holds samples.
    waits_.Watch(ring_buffer__epoll_fd(ring_.get()), POLLIN);
    reader_ = std::thread([this] { Run(); });
    return true;
}

int CBpfTcpStates::OnSample(void* context, void* data, std::size_t size) {
    auto* self = static_cast<CBpfTcpStates*>(context);
    tarvik_tcp_sample sample;
    if (size < sizeof sample) {
        return 0;
    }
    std::memcpy(&sample, data, sizeof sample);
    self->openers_.Note(sample);
    if (auto event = TcpEventFromSample(sample, self->offsetNs_)) {
        self->openers_.Attach(*event);
        self->pending_.push_back(std::move(*event));
    }
    return 0;
}

void CBpfTcpStates::Run() {
    NameThisThread("eBPF reader");
    for (;;) {
        const CWaitSet::Result& woke = waits_.Wait();
        if (woke.stopped) {
            return;
        }
        if (woke.failed || ring_buffer__consume(ring_.get()) < 0) {
            // Nothing more will arrive: only full dumps can keep the table exact now.
            std::lock_guard lock(mutex_);
            lost_ = true;
            return;
        }
        Publish();
        if (waits_.PauseUnlessStopped(kGather)) {
            return;
        }
    }
}

void CBpfTcpStates::Publish() {
    if (pending_.empty()) {
        return;
    }
    std::unique_lock lock(mutex_);
    const std::size_t room = kMaxQueued - std::min(kMaxQueued, queue_.size());
    if (pending_.size() > room) {
        pending_.resize(room);
        lost_ = true;
    }
    queue_.insert(queue_.end(), std::make_move_iterator(pending_.begin()),
                  std::make_move_iterator(pending_.end()));
    pending_.clear();
    lock.unlock();
    ready_.Fire();
}

std::vector<TcpEvent> CBpfTcpStates::Drain() {
    std::vector<TcpEvent> events;
    {
        std::lock_guard lock(mutex_);
        events.swap(queue_);
    }
    NameAcceptedSockets(events);
    return events;
}

namespace {

// The sum over every CPU of a one-entry per-CPU counter map.
std::optional<std::uint64_t> SumOverCpus(const bpf_map* counter) {
    const int cpus = libbpf_num_possible_cpus();
    if (cpus <= 0) {
        return std::nullopt;
    }
    std::vector<std::uint64_t> perCpu(static_cast<std::size_t>(cpus));
    const std::uint32_t key = 0;
    if (bpf_map__lookup_elem(counter, &key, sizeof key, perCpu.data(),
                             perCpu.size() * sizeof(std::uint64_t), 0) != 0) {
        return std::nullopt;
    }
    std::uint64_t total = 0;
    for (const std::uint64_t count : perCpu) {
        total += count;
    }
    return total;
}

}  // namespace

std::optional<std::uint64_t> CBpfTcpStates::KernelLosses() const {
    return SumOverCpus(skeleton_->maps.lost);
}

std::uint64_t CBpfTcpStates::SkippedRuns() const {
    bpf_prog_info info{};
    std::uint32_t length = sizeof info;
    if (bpf_obj_get_info_by_fd(bpf_program__fd(skeleton_->progs.tcp_state_change), &info,
                               &length) != 0) {
        return 0;
    }
    // Read after the skips, so that the backup's report of the last skip is most likely in.
    const std::uint64_t covered = SumOverCpus(skeleton_->maps.covered).value_or(0);
    return info.recursion_misses > covered ? info.recursion_misses - covered : 0;
}

bool CBpfTcpStates::TakeLoss() {
    bool lost = false;
    {
        std::lock_guard lock(mutex_);
        lost = std::exchange(lost_, false);
    }
    if (const auto kernelLosses = KernelLosses(); kernelLosses > kernelLossesSeen_) {
        kernelLossesSeen_ = *kernelLosses;
        lost = true;
    }
    if (const std::uint64_t skipped = SkippedRuns(); skipped > skippedRunsSeen_) {
        skippedRunsSeen_ = skipped;
        lost = true;
    }
    return lost;
}

std::uint32_t NetworkNamespaceInode() {
    struct stat namespaceFile {};
    if (::stat("/proc/self/ns/net", &namespaceFile) != 0) {
        return 0;
    }
    return static_cast<std::uint32_t>(namespaceFile.st_ino);
}

std::string Failure(const char* step, int error) {
    return std::string("cannot ") + step + " the eBPF program: " + ErrorText(error) + " (" +
           kNeeds + ")";
}

// How the program sees which process accepted a socket, best first; Nothing leaves the
// accepted sockets' processes to /proc. A hook on the end of every system call is not among
// them: it would slow every system call of the machine.
enum class AcceptHook { FunctionExit, AcceptTracepoints, Nothing };

struct AcceptHookName {
    AcceptHook hook;
    const char* how;
};

constexpr std::array kAcceptHooks{
    AcceptHookName{AcceptHook::FunctionExit, "at the end of inet_accept"},
    AcceptHookName{AcceptHook::AcceptTracepoints, "at the accept system calls' exit tracepoints"},
    AcceptHookName{AcceptHook::Nothing, "not followed"},
};

// Where libbpf reads the ids of tracepoints, in its order.
constexpr std::array kTracefsMounts{"/sys/kernel/debug/tracing", "/sys/kernel/tracing"};

bool TracefsMounted() {
    for (const char* mount : kTracefsMounts) {
        if (::access((std::string(mount) + "/events").c_str(), F_OK) == 0) {
            return true;
        }
    }
    return false;
}

// Runs `work` on a thread of its own mount namespace with tracefs mounted where libbpf looks:
// the machine's mounts stay as they are and the namespace ends with the thread, while what
// `work` attached stays attached. Only the reason where this process may not make a namespace
// (it needs CAP_SYS_ADMIN) or the kernel has no tracefs.
void WithPrivateTracefs(const std::function<void()>& work, std::string& reason) {
    std::thread([&] {
        NameThisThread("eBPF attach");
        if (::unshare(CLONE_NEWNS) != 0) {
            reason = "cannot make a mount namespace for tracefs: " + ErrorText(errno);
            return;
        }
        // Private before mounting: under a shared root the mount would reach the machine.
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tracefs", kTracefsMounts.back(), "tracefs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                    nullptr) != 0) {
            reason = "cannot mount tracefs: " + ErrorText(errno);
            return;
        }
        work();
    }).join();
}

// Opens, loads and attaches the program with the accept hook given.
Skeleton LoadAndAttach(AcceptHook hook, std::string& reason) {
    Skeleton skeleton(tcp_states__open(), &tcp_states__destroy);
    if (!skeleton) {
        reason = Failure("open", errno);
        return skeleton;
    }
    // Other namespaces' sockets never show in this process's dumps: leave them out here too.
    skeleton->rodata->netns_inode = NetworkNamespaceInode();
    const bool tracepoints = hook == AcceptHook::AcceptTracepoints;
    bpf_program__set_autoload(skeleton->progs.accept_exit, hook == AcceptHook::FunctionExit);
    bpf_program__set_autoload(skeleton->progs.accept4_returned, tracepoints);
    bpf_program__set_autoload(skeleton->progs.accept_returned, tracepoints);
    if (const int error = tcp_states__load(skeleton.get()); error != 0) {
        reason = Failure("load", error);
        return Skeleton(nullptr, &tcp_states__destroy);
    }
    if (const int error = tcp_states__attach(skeleton.get()); error != 0) {
        reason = Failure("attach", error);
        return Skeleton(nullptr, &tcp_states__destroy);
    }
    return skeleton;
}

// LoadAndAttach, with tracefs mounted for it where the hook needs tracefs and it is not.
Skeleton LoadAndAttachWithTracefs(AcceptHook hook, std::string& reason) {
    if (hook != AcceptHook::AcceptTracepoints || TracefsMounted()) {
        return LoadAndAttach(hook, reason);
    }
    Skeleton skeleton(nullptr, &tcp_states__destroy);
    WithPrivateTracefs([&] { skeleton = LoadAndAttach(hook, reason); }, reason);
    return skeleton;
}

}  // namespace

std::unique_ptr<IEventSource> OpenBpfTcpStates(std::string& reason, const BpfTraceSink& trace) {
    const PrintScope print(trace);
    Skeleton skeleton(nullptr, &tcp_states__destroy);
    const char* accepts = nullptr;
    for (const auto& [hook, how] : kAcceptHooks) {
        // Some kernels refuse a hook on a function's end (a policy, or no trampolines), some
        // have no tracefs: the state changes still come without them.
        skeleton = LoadAndAttachWithTracefs(hook, reason);
        if (skeleton) {
            accepts = how;
            break;
        }
        if (trace && hook != AcceptHook::Nothing) {
            trace(std::string("accepting processes not followed ") + how + ": " + reason);
        }
    }
    if (!skeleton) {
        return nullptr;
    }
    auto source = std::make_unique<CBpfTcpStates>(std::move(skeleton), accepts);
    if (!source->Start(reason)) {
        return nullptr;
    }
    if (trace) {
        trace(source->Detail());
    }
    return source;
}

}  // namespace tarvik
