#include "AcquisitionModes.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include "ChurnTraffic.h"
#include "ScratchTarvikd.h"
#include "TableCell.h"

namespace tarvik::bench {
namespace {

constexpr double kPollPeriodMs = 750;

double CorePercent(long ticks, double seconds) {
    if (ticks < 0 || seconds <= 0) {
        return -1;
    }
    return 100.0 * static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds;
}

// The mode from tarvikd's "tarvikd: acquisition: MODE (...)" line.
std::string ModeInEffect(const std::string& errors) {
    const std::string marker = "acquisition: ";
    const auto at = errors.find(marker);
    if (at == std::string::npos) {
        return "?";
    }
    const auto begin = at + marker.size();
    const auto end = errors.find_first_of(" \n", begin);
    return errors.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

}  // namespace

IdleRun MeasureIdle(const std::string& program, const std::string& mode, const ModeWindow& window) {
    IdleRun run;
    run.mode = mode;
    ScratchTarvikd tarvikd(program, mode);
    std::this_thread::sleep_for(std::chrono::seconds(window.settleSeconds));
    const long before = ProcessTicks(tarvikd.Pid());
    const auto start = Clock::now();
    std::vector<double> samples;
    for (int second = 0; second < window.seconds; ++second) {
        samples.push_back(ResidentMegabytes(tarvikd.Pid()));
        std::this_thread::sleep_until(start + std::chrono::seconds(second + 1));
    }
    const long after = ProcessTicks(tarvikd.Pid());
    const double seconds = Millis(Clock::now() - start) / 1000.0;
    if (before >= 0 && after >= before) {
        run.corePercent = CorePercent(after - before, seconds);
    }
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    run.residentMiB = samples[samples.size() / 2];
    run.peakMiB = PeakResidentMegabytes(tarvikd.Pid());
    run.inEffect = ModeInEffect(tarvikd.Errors());
    return run;
}

ChurnRun MeasureChurn(const std::string& program, const std::string& mode, const ChurnLoad& load,
                      int settleSeconds) {
    ChurnRun run;
    run.mode = mode;
    ChurnTraffic traffic;
    if (!traffic.Ready()) {
        std::fprintf(stderr, "bench_pollpath: no loopback listener for the churn\n");
        return run;
    }
    ScratchTarvikd tarvikd(program, mode);
    std::this_thread::sleep_for(std::chrono::seconds(settleSeconds));
    const long before = ProcessTicks(tarvikd.Pid());
    const auto start = Clock::now();
    run.opened = traffic.Run(load.perSecond, load.seconds, load.lifeMillis);
    run.seconds = Millis(Clock::now() - start) / 1000.0;
    const long after = ProcessTicks(tarvikd.Pid());
    if (before >= 0 && after >= before) {
        run.corePercent = CorePercent(after - before, run.seconds);
    }
    // Two polls for the last notices, then the stop writes every queued line.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    run.inEffect = ModeInEffect(tarvikd.Errors());
    if (!tarvikd.Stop()) {
        std::fprintf(stderr, "bench_pollpath: tarvikd --acquisition=%s did not stop cleanly\n",
                     mode.c_str());
    }
    run.sidesLogged = traffic.SidesLogged(tarvikd.LogFolder());
    if (run.sidesLogged < 2 * run.opened) {
        std::fprintf(stderr, "bench_pollpath: %s logged %d of %d sides; tarvikd said:\n%s\n",
                     mode.c_str(), run.sidesLogged, 2 * run.opened, tarvikd.Errors().c_str());
    }
    return run;
}

std::string IdleTable(const std::vector<IdleRun>& runs, const std::vector<IdleRun>& empty) {
    std::ostringstream out;
    out << "| connections | rows | mode | tarvikd % of a core | bare dump ms cpu | bare dump per "
           "750 ms, % of a core | tarvikd / dump | tarvikd resident MiB | bytes per row above "
           "the empty table | peak MiB |\n|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const IdleRun& run : runs) {
        const auto base = std::find_if(empty.begin(), empty.end(),
                                       [&](const IdleRun& e) { return e.mode == run.mode; });
        double perRow = -1;
        if (base != empty.end() && run.rows > base->rows && run.residentMiB > 0 &&
            base->residentMiB > 0) {
            perRow = (run.residentMiB - base->residentMiB) * 1024 * 1024 /
                     static_cast<double>(run.rows - base->rows);
        }
        const double dumpPercent = run.dump.cpu >= 0 ? 100.0 * run.dump.cpu / kPollPeriodMs : -1;
        const double ratio =
            dumpPercent > 0 && run.corePercent >= 0 ? run.corePercent / dumpPercent : -1;
        const std::string mode =
            run.inEffect == run.mode ? run.mode : run.mode + " (ran as " + run.inEffect + ")";
        out << "| " << run.connections << " | " << run.rows << " | " << mode << " | "
            << Cell(run.corePercent, 3) << " | " << Cell(run.dump.cpu) << " | "
            << Cell(dumpPercent, 3) << " | " << Cell(ratio) << " | " << Cell(run.residentMiB, 1)
            << " | " << Cell(perRow, 0) << " | " << Cell(run.peakMiB, 1) << " |\n";
    }
    return out.str();
}

std::string ChurnTable(const std::vector<ChurnRun>& runs, const ChurnLoad& load) {
    std::ostringstream out;
    out << "\n| mode | connections opened (" << load.lifeMillis << " ms each) | per second | sides "
        << "opened | sides logged | logged % | tarvikd % of a core |\n"
        << "|---|---:|---:|---:|---:|---:|---:|\n";
    for (const ChurnRun& run : runs) {
        const int sides = 2 * run.opened;
        const std::string mode =
            run.inEffect == run.mode ? run.mode : run.mode + " (ran as " + run.inEffect + ")";
        out << "| " << mode << " | " << run.opened << " | "
            << Cell(run.seconds > 0 ? run.opened / run.seconds : -1, 0) << " | " << sides << " | "
            << run.sidesLogged << " | " << Cell(sides > 0 ? 100.0 * run.sidesLogged / sides : -1, 1)
            << " | " << Cell(run.corePercent, 3) << " |\n";
    }
    return out.str();
}

}  // namespace tarvik::bench
