#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "acquisition/ConnectionRecord.h"
#include "logging/ConnectionLogger.h"
#include "settings/SettingsStore.h"
#include "workers/WorkerHub.h"

namespace tarvik {
namespace {

namespace fs = std::filesystem;

// A scratch folder for the settings and the log, removed at the end.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = fs::temp_directory_path() / "tarvik-bench-log-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~ScratchFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& Path() const { return path_; }

private:
    fs::path path_;
};

CConnectionRecord Ended(long n) {
    CConnectionRecord record;
    record.category = Category::Inbound;
    record.openTime = 1'700'000'000 + n % 60;
    record.closeTime = record.openTime + 3;
    record.ipAddress = "192.0.2." + std::to_string(n % 250);
    record.hostName = "host-" + std::to_string(n % 250) + ".example.net";
    record.interfaceText = "192.168.1.5";
    record.localPort = 443;
    record.remotePort = 1024 + static_cast<int>(n % 60000);
    record.serviceText = "inbound https";
    return record;
}

// A logger for inbound lines in `folder`; `toFile` false discards the bytes (the logger's own
// cost), true writes them to a file.
struct LoggerRig {
    LoggerRig(const fs::path& folder, bool toFile)
        : settings(
              folder / "Tarvik.conf", [] { return std::vector<std::string>{}; }, folder),
          logger(settings, hub, Hooks(toFile)) {
        settings.SetLogEnabled(LogCategory::Inbound, 1);
        settings.SetLogFolder(LogCategory::Inbound, folder.string());
        for (long i = 0; i < 256; ++i) {
            records.push_back(Ended(i));
        }
    }
    static LoggerHooks Hooks(bool toFile) {
        LoggerHooks hooks;
        if (!toFile) {
            hooks.write = [](int, const void*, std::size_t size) { return ssize_t(size); };
        }
        return hooks;
    }
    const CConnectionRecord& Record(long n) const {
        return records[static_cast<std::size_t>(n % 256)];
    }

    CSettingsStore settings;
    CWorkerHub hub;
    CConnectionLogger logger;
    std::vector<CConnectionRecord> records;
};

// Lines per second through the logger, each written on its own: the settings read, the filter,
// the line and its write. Argument 0 discards the bytes, 1 writes them to a file.
void BM_LogEndedConnection(benchmark::State& state) {
    ScratchFolder folder;
    LoggerRig rig(folder.Path(), state.range(0) != 0);
    long n = 0;
    for (auto _ : state) {
        rig.logger.Log(rig.Record(n++));
    }
    rig.logger.Finish();
    state.SetItemsProcessed(static_cast<std::int64_t>(n));
}
BENCHMARK(BM_LogEndedConnection)->Arg(0)->Arg(1);

// Lines per second when the logging worker takes many records in one go: the lines of a drain
// of range(1) records are gathered and written together. Argument 0 as above.
void BM_LogDrain(benchmark::State& state) {
    ScratchFolder folder;
    LoggerRig rig(folder.Path(), state.range(0) != 0);
    const long drain = state.range(1);
    long n = 0;
    for (auto _ : state) {
        for (long i = 0; i < drain; ++i) {
            rig.logger.Gather(rig.Record(n++));
        }
        rig.logger.Flush();
    }
    rig.logger.Finish();
    state.SetItemsProcessed(static_cast<std::int64_t>(n));
}
BENCHMARK(BM_LogDrain)->ArgsProduct({{0, 1}, {1, 16, 256}});

}  // namespace
}  // namespace tarvik

BENCHMARK_MAIN();
