#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "BenchRigs.h"

namespace tarvik::bench {

// How long a scratch tarvikd runs before and while it is measured.
struct ModeWindow {
    int settleSeconds = 10;
    int seconds = 30;
};

// A tarvikd of one acquisition mode over an idle table.
struct IdleRun {
    std::string mode;
    std::string inEffect;  // the mode tarvikd said it took, or "?"
    int connections = 0;
    std::size_t rows = 0;
    Timing dump;              // the bare dump at this size, median, same run
    double corePercent = -1;  // utime + stime over the window, % of one core
    double residentMiB = -1;  // median of one VmRSS sample a second over the window
    double peakMiB = -1;      // VmHWM at the end
};

IdleRun MeasureIdle(const std::string& program, const std::string& mode, const ModeWindow& window);

// Short loopback connections to a listener of the bench while a tarvikd of one mode runs.
struct ChurnRun {
    std::string mode;
    std::string inEffect;
    int opened = 0;
    double seconds = 0;       // the loop's own length
    int sidesLogged = 0;      // of 2 * opened
    double corePercent = -1;  // over the loop
};

struct ChurnLoad {
    int perSecond = 1000;
    int seconds = 10;
    int lifeMillis = 30;
};

ChurnRun MeasureChurn(const std::string& program, const std::string& mode, const ChurnLoad& load,
                      int settleSeconds);

// The idle runs, each with its mode's run over the table without the pool (`empty`) for the
// resident set per row above it.
std::string IdleTable(const std::vector<IdleRun>& runs, const std::vector<IdleRun>& empty);
std::string ChurnTable(const std::vector<ChurnRun>& runs, const ChurnLoad& load);

}  // namespace tarvik::bench
