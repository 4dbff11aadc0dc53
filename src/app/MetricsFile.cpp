#include "app/MetricsFile.h"

#include <sstream>

#include "acquisition/Classification.h"
#include "acquisition/ConnectionRecord.h"
#include "app/ListFilter.h"
#include "base/AtomicFile.h"
#include "base/ThreadName.h"

namespace tarvik {

namespace {

void Header(std::ostream& out, const char* name, const char* type, const char* help) {
    out << "# HELP " << name << ' ' << help << '\n' << "# TYPE " << name << ' ' << type << '\n';
}

void Single(std::ostream& out, const char* name, const char* type, const char* help,
            const std::string& value) {
    Header(out, name, type, help);
    out << name << ' ' << value << '\n';
}

std::string Number(double value) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << value;
    return text.str();
}

}  // namespace

ConnectionCounts CountConnections(const std::vector<CConnectionRecord>& records) {
    ConnectionCounts counts;
    for (const CConnectionRecord& record : records) {
        if (record.protocol != Protocol::Tcp) {
            continue;  // the gauge counts TCP connections; its meaning stays what it was
        }
        ++counts[{CategoryWord(record.category), ScriptStateName(record.state)}];
    }
    return counts;
}

void CMonitorCounters::AddEnded(const CConnectionRecord& ended) {
    std::string category = CategoryWord(ended.category);
    std::lock_guard lock(mutex_);
    ++totals_.endedConnections;
    ByteCounts& bytes = totals_.endedBytes[std::move(category)];
    bytes.sent += ended.bytes.sent;
    bytes.received += ended.bytes.received;
}

void CMonitorCounters::AddAlert() {
    std::lock_guard lock(mutex_);
    ++totals_.alerts;
}

void CMonitorCounters::AddAlerts(std::uint64_t count) {
    std::lock_guard lock(mutex_);
    totals_.alerts += count;
}

void CMonitorCounters::AddProbe() {
    std::lock_guard lock(mutex_);
    ++totals_.probes;
}

void CMonitorCounters::AddNoticeLoss() {
    std::lock_guard lock(mutex_);
    ++totals_.noticeLosses;
}

void CMonitorCounters::SetLastDumpSeconds(double seconds) {
    std::lock_guard lock(mutex_);
    totals_.lastDumpSeconds = seconds;
}

void CMonitorCounters::SetBackend(std::string backend) {
    std::lock_guard lock(mutex_);
    totals_.backend = std::move(backend);
}

MetricsSnapshot CMonitorCounters::Snapshot() const {
    std::lock_guard lock(mutex_);
    return totals_;
}

std::string EscapeLabelValue(std::string_view value) {
    std::string escaped;
    for (char c : value) {
        if (c == '\\') {
            escaped += "\\\\";
        } else if (c == '"') {
            escaped += "\\\"";
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string RenderMetrics(const MetricsSnapshot& snapshot) {
    std::ostringstream out;
    Header(out, "tarvik_connections", "gauge", "Live TCP connections by category and state.");
    for (const auto& [key, count] : snapshot.connections) {
        out << "tarvik_connections{category=\"" << EscapeLabelValue(key.first) << "\",state=\""
            << EscapeLabelValue(key.second) << "\"} " << count << '\n';
    }
    Single(out, "tarvik_connections_ended_total", "counter",
           "Connections seen to end since the start.", std::to_string(snapshot.endedConnections));
    Header(out, "tarvik_connections_ended_sent_bytes_total", "counter",
           "Payload bytes sent by the connections that ended since the start, by category.");
    for (const auto& [category, bytes] : snapshot.endedBytes) {
        out << "tarvik_connections_ended_sent_bytes_total{category=\"" << EscapeLabelValue(category)
            << "\"} " << bytes.sent << '\n';
    }
    Header(out, "tarvik_connections_ended_received_bytes_total", "counter",
           "Payload bytes received by the connections that ended since the start, by category.");
    for (const auto& [category, bytes] : snapshot.endedBytes) {
        out << "tarvik_connections_ended_received_bytes_total{category=\""
            << EscapeLabelValue(category) << "\"} " << bytes.received << '\n';
    }
    Single(out, "tarvik_alerts_total", "counter", "Scan alerts raised since the start.",
           std::to_string(snapshot.alerts));
    Single(out, "tarvik_probes_total", "counter",
           "Scan probes that never completed a handshake, since the start.",
           std::to_string(snapshot.probes));
    Single(out, "tarvik_last_dump_duration_seconds", "gauge",
           "Duration of the last read of the kernel's connection table; 0 until known.",
           Number(snapshot.lastDumpSeconds));
    Single(out, "tarvik_events_lost_total", "counter",
           "Event lines dropped because a reader of the event stream fell behind or the "
           "events file could not take them.",
           std::to_string(snapshot.eventsLost));
    Single(out, "tarvik_notice_losses_total", "counter",
           "Times the kernel's notices of connection changes were lost; a full read of the "
           "table followed each.",
           std::to_string(snapshot.noticeLosses));
    Header(out, "tarvik_backend_info", "gauge", "The acquisition back-end in use.");
    out << "tarvik_backend_info{backend=\"" << EscapeLabelValue(snapshot.backend) << "\"} 1\n";
    return out.str();
}

bool WriteMetricsFile(const std::filesystem::path& path, std::string_view text,
                      std::string* error) {
    // Readable to a collector that runs as another user; its folder is the collector's to make.
    AtomicWriteOptions options;
    options.newFileMode = 0644;
    options.createFolders = false;
    return WriteFileAtomically(path, text, error, options);
}

CMetricsWriter::CMetricsWriter(PathSource path, Source source, Report report,
                               std::chrono::milliseconds period)
    : path_(std::move(path)),
      source_(std::move(source)),
      report_(std::move(report)),
      period_(period) {
    thread_ = std::thread([this] {
        NameThisThread("metrics");
        do {
            WriteNow();
        } while (!waits_.PauseUnlessStopped(period_));
    });
}

CMetricsWriter::~CMetricsWriter() {
    waits_.Stop();
    thread_.join();
    WriteNow();  // the final counts
}

void CMetricsWriter::WriteNow() {
    std::lock_guard lock(writeMutex_);
    const std::string path = path_();
    if (path.empty()) {
        return;
    }
    std::string error;
    if (WriteMetricsFile(path, RenderMetrics(source_()), &error)) {
        lastError_.clear();
    } else if (error != lastError_) {
        lastError_ = error;
        report_("metrics file not written: " + error);
    }
}

}  // namespace tarvik
