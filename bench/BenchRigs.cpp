#include "BenchRigs.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

#include "acquisition/ProcessTable.h"
#include "acquisition/ServicesDatabase.h"
#include "base/UniqueFd.h"
#include "settings/SettingsStore.h"
#include "tracking/DataThread.h"
#include "tracking/FilterThread.h"
#include "workers/WorkerHub.h"

namespace tarvik::bench {

double Millis(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

double CpuMillis(const rusage& usage) {
    const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

Timing Median(std::vector<Timing> timings) {
    if (timings.empty()) {
        return {};
    }
    const auto middle = timings.size() / 2;
    std::vector<double> wall;
    std::vector<double> cpu;
    for (const Timing& t : timings) {
        wall.push_back(t.wall);
        cpu.push_back(t.cpu);
    }
    std::nth_element(wall.begin(), wall.begin() + middle, wall.end());
    std::nth_element(cpu.begin(), cpu.begin() + middle, cpu.end());
    return {wall[middle], cpu[middle]};
}

long ProcessTicks(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    long utime = -1;
    long stime = -1;
    // Fields after the name start at the state (field 3); utime and stime are 14 and 15.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14) {
            utime = std::stol(field);
        } else if (index == 15) {
            stime = std::stol(field);
        }
    }
    return utime < 0 || stime < 0 ? -1 : utime + stime;
}

double HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd);
}

namespace {

double ThreadCpuMillis() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double ProcessCpuMillis() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return CpuMillis(usage);
}

constexpr const char* kSentinelAddress = "127.0.3.1";

// One connection whose server side names a remote address no other row has: a host name
// broadcast for it after a snapshot comes back as one list update once the tracker has merged
// the snapshot, which tells the rig that the cycle is over.
class SentinelConnection {
public:
    SentinelConnection() {
        listener_.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        client_.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address = Address("127.0.3.2");
        socklen_t length = sizeof address;
        sockaddr_in source = Address(kSentinelAddress);
        const linger reset{1, 0};
        ok_ = listener_ && client_ &&
              bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              listen(listener_.Get(), 1) == 0 &&
              getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
              bind(client_.Get(), reinterpret_cast<sockaddr*>(&source), sizeof source) == 0 &&
              connect(client_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (ok_) {
            server_.Reset(accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            setsockopt(client_.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            setsockopt(server_.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            ok_ = static_cast<bool>(server_);
        }
    }
    bool Ok() const { return ok_; }

private:
    static sockaddr_in Address(const char* text) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        inet_pton(AF_INET, text, &address.sin_addr);
        return address;
    }
    UniqueFd listener_;
    UniqueFd client_;
    UniqueFd server_;
    bool ok_ = false;
};

// A null list that keeps the batches when asked to and tells when the sentinel arrives.
class BenchList : public IConnectionList {
public:
    explicit BenchList(bool keep) : keep_(keep) {}

    void Apply(std::vector<RowOp> ops) override {
        std::lock_guard lock(mutex_);
        const bool sentinel = std::ranges::all_of(ops, [](const RowOp& op) {
            return op.kind == RowOp::Kind::Update && op.record.ipAddress == kSentinelAddress;
        });
        if (sentinel) {
            ++sentinels_;
            done_.notify_all();
        } else if (keep_) {
            batches_.push_back(ops);  // a copy holds no spare capacity, so its size is known
        }
    }

    // Waits (at most ten seconds) for the sentinel number `count`.
    bool WaitSentinel(int count) {
        std::unique_lock lock(mutex_);
        return done_.wait_for(lock, std::chrono::seconds(10), [&] { return sentinels_ >= count; });
    }

    std::vector<std::vector<RowOp>> TakeBatches() {
        std::lock_guard lock(mutex_);
        return std::move(batches_);
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool keep_;
    int sentinels_ = 0;
    std::vector<std::vector<RowOp>> batches_;
};

}  // namespace

class PollRig {
public:
    explicit PollRig(bool keep, int byteCountPeriod = 1)
        : dir_(std::filesystem::temp_directory_path() / ("tarvik-rig-" + std::to_string(getpid()))),
          settings_(
              dir_ / "Tarvik.conf", [] { return std::vector<std::string>{}; }, dir_),
          list_(keep),
          filter_(settings_, hub_, list_),
          poller_(settings_, hub_, OpenKernelTableSource(byteCountPeriod),
                  CServicesDatabase::Shared(), std::make_unique<CProcessTable>()) {
        filter_.Start();
        hub_.Register(&filter_);
    }

    ~PollRig() {
        hub_.Clear();
        filter_.Stop();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    bool Ready() const { return sentinel_.Ok(); }

    Timing Cycle() {
        const auto start = Clock::now();
        const double cpu = ProcessCpuMillis();
        poller_.Poll();
        // A new name each time: a name the row has already changes nothing and sends nothing.
        ++cycles_;
        hub_.Publish(HostResolved{kSentinelAddress, "sentinel" + std::to_string(cycles_)});
        if (!list_.WaitSentinel(cycles_)) {
            return {};
        }
        return {Millis(Clock::now() - start), ProcessCpuMillis() - cpu};
    }

    BenchList& List() { return list_; }

private:
    SentinelConnection sentinel_;
    std::filesystem::path dir_;
    CWorkerHub hub_;
    CSettingsStore settings_;
    BenchList list_;
    CFilterThread filter_;
    CDataThread poller_;
    int cycles_ = 0;
};

PollPath::PollPath(int byteCountPeriod) : rig_(std::make_unique<PollRig>(false, byteCountPeriod)) {}

PollPath::~PollPath() = default;

bool PollPath::Ready() const {
    return rig_->Ready();
}

Timing PollPath::Cycle() {
    return rig_->Cycle();
}

KernelFloor::KernelFloor(bool byteCounts) : source_(CKernelTableSource::Open()) {
    if (source_) {
        source_->SetByteCountPeriod(byteCounts ? 1 : 0);
    }
}

Timing KernelFloor::Dump(std::size_t& sockets) {
    if (!source_) {
        return {};
    }
    const auto start = Clock::now();
    const double cpu = ThreadCpuMillis();
    const auto dump = source_->DumpSockets();
    const Timing timing{Millis(Clock::now() - start), ThreadCpuMillis() - cpu};
    if (!dump) {
        return {};
    }
    sockets = dump->size();
    return timing;
}

CycleResult MeasureCycles(int runs, const std::function<bool()>& before) {
    CycleResult result;
    const double heapBefore = HeapInUse();
    std::vector<Timing> timings;
    PollRig rig(true);
    if (!rig.Ready()) {
        return result;
    }
    // The first cycle fills the tracker; the allocator settles over the next ones.
    for (int i = 0; i < 3; ++i) {
        rig.Cycle();
    }
    result.batches = rig.List().TakeBatches();
    // The kept batches are no part of the monitor: a copy of them tells their size.
    const double heapWithBatches = HeapInUse();
    double batchBytes = 0;
    {
        const auto copy = result.batches;
        batchBytes = HeapInUse() - heapWithBatches;
    }
    result.heapBytes = heapWithBatches - batchBytes - heapBefore;
    for (int i = 0; i < runs && before(); ++i) {
        timings.push_back(rig.Cycle());
    }
    for (auto& batch : rig.List().TakeBatches()) {
        result.batches.push_back(std::move(batch));
    }
    result.timing = Median(std::move(timings));
    return result;
}

}  // namespace tarvik::bench
