#include "BenchRigs.h"

#ifdef TARVIK_BENCH_GUI
#include <unistd.h>

#include <QApplication>
#include <atomic>
#include <filesystem>
#include <thread>

#include "settings/SettingsStore.h"
#include "ui/window/RowTableModel.h"
#include "ui/window/TarvikView.h"
#include "workers/WorkerHub.h"
#endif

namespace tarvik::bench {

#ifdef TARVIK_BENCH_GUI
namespace {

// The window's own update of a batch plus the layout and paint events it causes.
double TimedApply(CTarvikView& view, const std::vector<RowOp>& ops) {
    const auto start = Clock::now();
    view.Apply(ops);
    QApplication::processEvents();
    return Millis(Clock::now() - start);
}

// Changes the state of every hundredth shown row, as a snapshot where 1% of the connections
// moved on would.
std::vector<RowOp> UpdateBatch(const CRowTableModel& model, int round) {
    std::vector<RowOp> ops;
    for (int row = round % 100; row < model.rowCount(); row += 100) {
        CConnectionRecord record = model.Row(row).record;
        record.state =
            record.state == TcpState::Established ? TcpState::CloseWait : TcpState::Established;
        ops.push_back(RowOp{RowOp::Kind::Update, std::move(record)});
    }
    return ops;
}

double MedianOf(std::vector<double> values) {
    if (values.empty()) {
        return -1;
    }
    std::vector<Timing> timings;
    for (double value : values) {
        timings.push_back({value, value});
    }
    return Median(std::move(timings)).wall;
}

CConnectionRecord BacklogRecord(int id) {
    CConnectionRecord record;
    record.id = id;
    record.hostName = "host-" + std::to_string(id % 997) + ".example";
    record.ipAddress = "10.1." + std::to_string(id / 250 % 250) + "." + std::to_string(id % 250);
    record.localPort = 1024 + id % 40000;
    record.remotePort = 443;
    record.state = TcpState::Established;
    record.serviceText = "https";
    record.interfaceText = "10.1.0.1";
    return record;
}

}  // namespace

BacklogResult MeasureGuiBacklog(int rows, int batches, int busyMillis) {
    BacklogResult result;
    const auto dir =
        std::filesystem::temp_directory_path() / ("tarvik-backlog-" + std::to_string(getpid()));
    CWorkerHub hub;
    CSettingsStore settings(
        dir / "Tarvik.conf", [] { return std::vector<std::string>{}; }, dir);
    {
        CTarvikView view(settings, hub, {});
        view.resize(1000, 700);
        view.show();
        std::vector<RowOp> fill;
        for (int id = 1; id <= rows; ++id) {
            fill.push_back(RowOp{RowOp::Kind::Insert, BacklogRecord(id)});
        }
        view.Apply(fill);
        QApplication::processEvents();
        const double heapBefore = HeapInUse();
        std::atomic<bool> produced{false};
        // The tracker's side: every batch changes the state of 1% of the rows.
        const auto start = Clock::now();
        std::thread tracker([&] {
            for (int batch = 0; batch < batches; ++batch) {
                std::vector<RowOp> ops;
                for (int id = 1 + batch % 100; id <= rows; id += 100) {
                    CConnectionRecord record = BacklogRecord(id);
                    record.state = batch % 2 == 0 ? TcpState::TimeWait : TcpState::Established;
                    ops.push_back(RowOp{RowOp::Kind::Update, std::move(record)});
                }
                view.Apply(std::move(ops));
            }
            produced.store(true);
        });
        // A GUI thread that is busy between its looks at the event queue.
        double peak = 0;
        const int lastId = 1 + (batches - 1) % 100;
        const TcpState lastState =
            (batches - 1) % 2 == 0 ? TcpState::TimeWait : TcpState::Established;
        auto caughtUp = [&] {
            const CRowTableModel& model = view.Rows();
            for (int row = 0; row < model.rowCount(); ++row) {
                if (model.Row(row).record.id == lastId) {
                    return model.Row(row).record.state == lastState;
                }
            }
            return false;
        };
        while (!produced.load() || !caughtUp()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(busyMillis));
            peak = std::max(peak, HeapInUse() - heapBefore);
            QApplication::processEvents();
            ++result.looks;
        }
        result.catchUpMillis = Millis(Clock::now() - start);
        result.peakExtraMegabytes = peak / 1e6;
        tracker.join();
        view.StopWorkers();
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return result;
}

std::vector<std::vector<RowOp>> SyntheticChurn(int rows, int batches) {
    std::vector<std::vector<RowOp>> all(1);
    for (int id = 1; id <= rows; ++id) {
        all[0].push_back(RowOp{RowOp::Kind::Insert, BacklogRecord(id)});
    }
    int oldest = 1;
    int next = rows + 1;
    for (int batch = 0; batch < batches; ++batch) {
        std::vector<RowOp> ops;
        // The oldest go, spread over the list by their host names; as many new ones come.
        for (int i = 0; i < rows / 100; ++i) {
            CConnectionRecord gone;
            gone.id = oldest++;
            ops.push_back(RowOp{RowOp::Kind::Delete, gone});
            ops.push_back(RowOp{RowOp::Kind::Insert, BacklogRecord(next++)});
        }
        all.push_back(std::move(ops));
    }
    return all;
}

GuiResult MeasureGui(const std::vector<std::vector<RowOp>>& batches) {
    GuiResult result;
    if (batches.empty()) {
        return result;
    }
    const auto dir =
        std::filesystem::temp_directory_path() / ("tarvik-gui-" + std::to_string(getpid()));
    CWorkerHub hub;
    CSettingsStore settings(
        dir / "Tarvik.conf", [] { return std::vector<std::string>{}; }, dir);
    const double heapBefore = HeapInUse();
    {
        // No workers: the bench hands the window its batches itself.
        CTarvikView view(settings, hub, {});
        view.resize(1000, 700);
        view.show();
        QApplication::processEvents();
        const CRowTableModel& model = view.Rows();
        TimedApply(view, batches.front());
        if (model.rowCount() > 0) {
            result.bytesPerRow = (HeapInUse() - heapBefore) / model.rowCount();
        }
        std::vector<double> churn;
        for (std::size_t i = 1; i < batches.size(); ++i) {
            churn.push_back(TimedApply(view, batches[i]));
        }
        std::vector<double> updates;
        const int rounds = static_cast<int>(std::max<std::size_t>(batches.size(), 5));
        for (int round = 0; round < rounds; ++round) {
            updates.push_back(TimedApply(view, UpdateBatch(model, round)));
        }
        result.churnMillis = MedianOf(std::move(churn));
        result.updateMillis = MedianOf(std::move(updates));
        std::vector<double> searches;
        for (const char* text : {"host-12", "10.1.3", "zzz", "https", ""}) {
            const auto start = Clock::now();
            view.Rows().SetFilter(QString::fromLatin1(text));
            QApplication::processEvents();
            searches.push_back(Millis(Clock::now() - start));
        }
        result.searchMillis = MedianOf(std::move(searches));
        view.StopWorkers();
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return result;
}
#else
GuiResult MeasureGui(const std::vector<std::vector<RowOp>>&) {
    return {};
}
std::vector<std::vector<RowOp>> SyntheticChurn(int, int) {
    return {};
}
BacklogResult MeasureGuiBacklog(int, int, int) {
    return {};
}
#endif

}  // namespace tarvik::bench
