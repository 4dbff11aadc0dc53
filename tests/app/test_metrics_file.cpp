#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "app/MetricsFile.h"
#include "base/UniqueFd.h"

namespace tarvik {
namespace {

namespace fs = std::filesystem;

struct TempFolder {
    fs::path path;
    TempFolder() {
        char pattern[] = "/tmp/tarvik-metrics-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~TempFolder() { fs::remove_all(path); }
};

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(MetricsFileTest, RendersTheTextFormatExactly) {
    MetricsSnapshot snapshot;
    snapshot.connections[{"inbound", "established"}] = 3;
    snapshot.connections[{"listening", "listening"}] = 2;
    snapshot.endedConnections = 17;
    snapshot.endedBytes["inbound"] = {100000, 7000};
    snapshot.endedBytes["outbound"] = {5, 0};
    snapshot.alerts = 1;
    snapshot.lastDumpSeconds = 0.25;
    snapshot.eventsLost = 4;
    snapshot.noticeLosses = 2;
    EXPECT_EQ(RenderMetrics(snapshot),
              "# HELP tarvik_connections Live TCP connections by category and state.\n"
              "# TYPE tarvik_connections gauge\n"
              "tarvik_connections{category=\"inbound\",state=\"established\"} 3\n"
              "tarvik_connections{category=\"listening\",state=\"listening\"} 2\n"
              "# HELP tarvik_connections_ended_total Connections seen to end since the start.\n"
              "# TYPE tarvik_connections_ended_total counter\n"
              "tarvik_connections_ended_total 17\n"
              "# HELP tarvik_connections_ended_sent_bytes_total Payload bytes sent by the "
              "connections that ended since the start, by category.\n"
              "# TYPE tarvik_connections_ended_sent_bytes_total counter\n"
              "tarvik_connections_ended_sent_bytes_total{category=\"inbound\"} 100000\n"
              "tarvik_connections_ended_sent_bytes_total{category=\"outbound\"} 5\n"
              "# HELP tarvik_connections_ended_received_bytes_total Payload bytes received by the "
              "connections that ended since the start, by category.\n"
              "# TYPE tarvik_connections_ended_received_bytes_total counter\n"
              "tarvik_connections_ended_received_bytes_total{category=\"inbound\"} 7000\n"
              "tarvik_connections_ended_received_bytes_total{category=\"outbound\"} 0\n"
              "# HELP tarvik_alerts_total Scan alerts raised since the start.\n"
              "# TYPE tarvik_alerts_total counter\n"
              "tarvik_alerts_total 1\n"
              "# HELP tarvik_probes_total Scan probes that never completed a handshake, since "
              "the start.\n"
              "# TYPE tarvik_probes_total counter\n"
              "tarvik_probes_total 0\n"
              "# HELP tarvik_last_dump_duration_seconds Duration of the last read of the "
              "kernel's connection table; 0 until known.\n"
              "# TYPE tarvik_last_dump_duration_seconds gauge\n"
              "tarvik_last_dump_duration_seconds 0.25\n"
              "# HELP tarvik_events_lost_total Event lines dropped because a reader of the "
              "event stream fell behind or the events file could not take them.\n"
              "# TYPE tarvik_events_lost_total counter\n"
              "tarvik_events_lost_total 4\n"
              "# HELP tarvik_notice_losses_total Times the kernel's notices of connection "
              "changes were lost; a full read of the table followed each.\n"
              "# TYPE tarvik_notice_losses_total counter\n"
              "tarvik_notice_losses_total 2\n"
              "# HELP tarvik_backend_info The acquisition back-end in use.\n"
              "# TYPE tarvik_backend_info gauge\n"
              "tarvik_backend_info{backend=\"poll\"} 1\n");
}

TEST(MetricsFileTest, LabelValuesAreEscaped) {
    EXPECT_EQ(EscapeLabelValue("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
    MetricsSnapshot snapshot;
    snapshot.backend = "odd\"name";
    EXPECT_NE(RenderMetrics(snapshot).find("tarvik_backend_info{backend=\"odd\\\"name\"} 1\n"),
              std::string::npos);
}

TEST(MetricsFileTest, CountsConnectionsByCategoryAndStateName) {
    std::vector<CConnectionRecord> records(3);
    records[0].category = Category::Listening;
    records[0].state = TcpState::Listen;
    records[1].category = records[2].category = Category::Outbound;
    records[1].state = records[2].state = TcpState::TimeWait;
    const ConnectionCounts counts = CountConnections(records);
    ASSERT_EQ(counts.size(), 2u);
    EXPECT_EQ(counts.at({"listening", "listening"}), 1u);
    EXPECT_EQ(counts.at({"outbound", "time-wait"}), 2u);
}

// Prometheus' own linter on a written file, names and escapes included.
TEST(MetricsFileTest, PromtoolFindsNoFaultInTheFile) {
    if (std::system("command -v promtool >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
    }
    MetricsSnapshot snapshot;
    snapshot.connections[{"inbound", "established"}] = 3;
    snapshot.connections[{"unknown", "time-wait"}] = 1;
    snapshot.lastDumpSeconds = 0.0125;
    snapshot.backend = "odd\"back\\end\n";
    TempFolder folder;
    const fs::path file = folder.path / "tarvik.prom";
    std::string error;
    ASSERT_TRUE(WriteMetricsFile(file, RenderMetrics(snapshot), &error)) << error;
    const fs::path report = folder.path / "promtool.txt";
    const int status = std::system(
        ("promtool check metrics < " + file.string() + " > " + report.string() + " 2>&1").c_str());
    EXPECT_EQ(status, 0) << ReadAll(report);
}

TEST(MetricsFileTest, ReplacesTheFileInOneStep) {
    TempFolder folder;
    const fs::path file = folder.path / "tarvik.prom";
    std::string error;
    ASSERT_TRUE(WriteMetricsFile(file, "old\n", &error)) << error;
    std::ifstream oldReader(file);  // a collector in the middle of reading the old file
    ASSERT_TRUE(WriteMetricsFile(file, "new\n", &error)) << error;
    std::string seen;
    std::getline(oldReader, seen);
    EXPECT_EQ(seen, "old");  // the reader keeps a whole old file, never a mix
    EXPECT_EQ(ReadAll(file), "new\n");
    // Nothing else is left in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path), fs::directory_iterator()), 1);
}

TEST(MetricsFileTest, AFailedWriteSaysWhyAndLeavesTheOldFile) {
    TempFolder folder;
    std::string error;
    EXPECT_FALSE(WriteMetricsFile(folder.path / "missing" / "tarvik.prom", "x", &error));
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;

    // A folder in place of the file: refused, and no temporary file is made.
    const fs::path file = folder.path / "tarvik.prom";
    fs::create_directory(file);
    fs::create_directory(file / "keep");
    EXPECT_FALSE(WriteMetricsFile(file, "x", &error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    EXPECT_TRUE(fs::exists(file / "keep"));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path), fs::directory_iterator()), 1);
}

// What another user can make ahead at the name the temporary file once had (pid-based).
enum class Planted { Fifo, File, Link };

TEST(MetricsFileTest, NothingPlantedBesideTheFileIsWrittenOrWaitedOn) {
    for (const Planted planted : {Planted::Fifo, Planted::File, Planted::Link}) {
        SCOPED_TRACE(static_cast<int>(planted));
        TempFolder folder;
        const fs::path file = folder.path / "tarvik.prom";
        const fs::path trap = folder.path / (".tarvik.prom." + std::to_string(getpid()) + ".tmp");
        const fs::path aim = folder.path / "aim";
        std::ofstream(aim) << "aim\n";
        if (planted == Planted::Fifo) {
            ASSERT_EQ(mkfifo(trap.c_str(), 0666), 0);
        } else if (planted == Planted::File) {
            std::ofstream(trap) << "planted\n";
        } else {
            fs::create_symlink(aim, trap);
        }
        std::string error;
        auto write =
            std::async(std::launch::async, [&] { return WriteMetricsFile(file, "new\n", &error); });
        if (write.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            // A reader lets a write stuck in open(2) on the FIFO go: report, never hang.
            const UniqueFd reader(open(trap.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
            write.wait();
            ADD_FAILURE() << "the write waited on the planted FIFO";
        }
        EXPECT_TRUE(write.get()) << error;
        EXPECT_EQ(ReadAll(file), "new\n");
        const bool untouched = planted == Planted::Fifo   ? fs::is_fifo(fs::symlink_status(trap))
                               : planted == Planted::File ? ReadAll(trap) == "planted\n"
                                                          : fs::is_symlink(trap);
        EXPECT_TRUE(untouched);
        EXPECT_EQ(ReadAll(aim), "aim\n");
        EXPECT_EQ(std::distance(fs::directory_iterator(folder.path), fs::directory_iterator()), 3);
    }
}

TEST(MetricsFileTest, WriterFollowsTheSettingAndReportsAFailureOnce) {
    TempFolder folder;
    std::mutex mutex;
    std::string path;  // under mutex
    std::vector<std::string> reports;
    auto currentPath = [&] {
        std::lock_guard lock(mutex);
        return path;
    };
    {
        CMetricsWriter writer(
            currentPath, [] { return MetricsSnapshot{}; },
            [&](const std::string& text) {
                std::lock_guard lock(mutex);
                reports.push_back(text);
            },
            std::chrono::milliseconds(20));
        writer.WriteNow();  // empty setting: nothing written
        EXPECT_EQ(std::distance(fs::directory_iterator(folder.path), fs::directory_iterator()), 0);
        {
            std::lock_guard lock(mutex);
            path = (folder.path / "none" / "m.prom").string();
        }
        writer.WriteNow();
        writer.WriteNow();
        {
            std::lock_guard lock(mutex);
            path = (folder.path / "m.prom").string();
        }
        writer.WriteNow();
        EXPECT_NE(ReadAll(folder.path / "m.prom").find("tarvik_alerts_total 0\n"),
                  std::string::npos);
        {
            std::lock_guard lock(mutex);
            path = (folder.path / "none" / "m.prom").string();
        }
        writer.WriteNow();  // the same failure again, after a success: news again
    }
    std::lock_guard lock(mutex);
    // The periodic writes repeated each failure silently.
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(reports[0].find("metrics file not written"), std::string::npos);
    EXPECT_EQ(reports[1], reports[0]);
}

}  // namespace
}  // namespace tarvik
