#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/UniqueFd.h"

namespace tarvik::bench {

// A tarvikd of its own, on a settings file in a scratch folder that logs every category there
// (reverse lookup off: no name server is asked); the folder goes with the object, after the
// process was stopped. An empty `acquisition` leaves the program's own choice. With `events` it
// runs with --events, its standard output a pipe the caller reads from EventsFd(); `extra`
// arguments (e.g. --socket PATH) follow the others; `settings` is appended to the settings file
// (sections of its own, e.g. "[ScanWatch]\nthreshold=7\n").
class ScratchTarvikd {
public:
    explicit ScratchTarvikd(const std::string& program, const std::string& acquisition = {},
                            bool events = false, const std::vector<std::string>& extra = {},
                            const std::string& settings = {});
    ~ScratchTarvikd();
    ScratchTarvikd(const ScratchTarvikd&) = delete;
    ScratchTarvikd& operator=(const ScratchTarvikd&) = delete;

    pid_t Pid() const { return pid_; }
    int EventsFd() const { return events_.Get(); }
    const std::filesystem::path& LogFolder() const { return logs_; }
    // What it wrote on standard error so far.
    std::string Errors() const;
    // SIGTERM and wait: the logger writes every queued line first. True on exit status 0.
    bool Stop();

private:
    std::filesystem::path dir_;
    std::filesystem::path logs_;
    pid_t pid_ = -1;
    UniqueFd events_;
};

// The resident set of a process in MiB (VmRSS), or -1.
double ResidentMegabytes(pid_t pid);
// The largest resident set the process had so far in MiB (VmHWM), or -1.
double PeakResidentMegabytes(pid_t pid);

// CPU share of one core used by a running tarvikd over `seconds`, after a 5 s warm-up.
double TarvikdCpuPercent(const std::string& program, int seconds);

}  // namespace tarvik::bench
