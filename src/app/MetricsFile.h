#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "acquisition/ConnectionRecord.h"
#include "base/WaitSet.h"

namespace tarvik {

class CSettingsStore;

// Live connections by (category word, state name).
using ConnectionCounts = std::map<std::pair<std::string, std::string>, std::uint64_t>;
ConnectionCounts CountConnections(const std::vector<CConnectionRecord>& records);

// What the metrics file tells, at one moment.
struct MetricsSnapshot {
    // (category word, state name) -> live connections.
    ConnectionCounts connections;
    std::uint64_t endedConnections = 0;
    // Category word -> bytes the ended connections of that category moved.
    std::map<std::string, ByteCounts> endedBytes;
    std::uint64_t alerts = 0;
    std::uint64_t probes = 0;
    double lastDumpSeconds = 0;  // 0 until a dump's duration is known
    std::uint64_t eventsLost = 0;
    // Times the kernel's notices of connection changes were lost (each made up by a full read).
    std::uint64_t noticeLosses = 0;
    std::string backend = "poll";
};

// The monitor's counts, written by the tracker's list sink and the alert worker, read by the
// metrics writer; one lock for all.
class CMonitorCounters {
public:
    void AddEnded(const CConnectionRecord& ended);
    void AddAlert();
    // Alerts raised but held back from the event lines: they count all the same.
    void AddAlerts(std::uint64_t count);
    void AddProbe();
    void AddNoticeLoss();
    void SetLastDumpSeconds(double seconds);
    void SetBackend(std::string backend);

    MetricsSnapshot Snapshot() const;

private:
    mutable std::mutex mutex_;
    MetricsSnapshot totals_;  // every member but `connections`
};

// The text format that textfile collectors read: HELP and TYPE lines, then the samples.
std::string RenderMetrics(const MetricsSnapshot& snapshot);
// A label value with backslash, double quote and line feed escaped.
std::string EscapeLabelValue(std::string_view value);

// Replaces `path` with `text` in one step (WriteFileAtomically): a reader sees the old file or
// the new one whole, and the temporary file's hidden name is one a collector skips. False with
// the reason (and the errno text) in `error`; the old file is then left as it was.
bool WriteMetricsFile(const std::filesystem::path& path, std::string_view text, std::string* error);

// Writes the metrics file every period while the monitor runs, and once more at the stop. The
// file name is read from the settings at every write, so a reload applies; an empty name
// writes nothing. A failure is reported once until the file is written again.
class CMetricsWriter {
public:
    using Source = std::function<MetricsSnapshot()>;
    using PathSource = std::function<std::string()>;
    using Report = std::function<void(const std::string&)>;

    CMetricsWriter(PathSource path, Source source, Report report,
                   std::chrono::milliseconds period = std::chrono::seconds(15));
    ~CMetricsWriter();

    CMetricsWriter(const CMetricsWriter&) = delete;
    CMetricsWriter& operator=(const CMetricsWriter&) = delete;

    // Writes now, on the caller's thread.
    void WriteNow();

private:
    PathSource path_;
    Source source_;
    Report report_;
    std::chrono::milliseconds period_;
    std::mutex writeMutex_;
    std::string lastError_;  // under writeMutex_
    CWaitSet waits_;
    std::thread thread_;
};

}  // namespace tarvik
