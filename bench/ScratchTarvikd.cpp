#include "ScratchTarvikd.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "BenchRigs.h"

namespace tarvik::bench {

namespace {

// One folder per instance: a process may hold more than one at a time.
std::filesystem::path ScratchFolder() {
    static int serial = 0;
    return std::filesystem::temp_directory_path() /
           ("tarvik-bench-" + std::to_string(getpid()) + "-" + std::to_string(++serial));
}

}  // namespace

ScratchTarvikd::ScratchTarvikd(const std::string& program, const std::string& acquisition,
                               bool events, const std::vector<std::string>& extra,
                               const std::string& settings)
    : dir_(ScratchFolder()), logs_(dir_ / "logs") {
    std::filesystem::create_directories(logs_);
    const auto config = dir_ / "Tarvik.conf";
    {
        std::ofstream file(config);
        file << "[View]\nreverselookup=0\n[Logging]\n";
        for (const char* category : {"inbound", "outbound", "unknown"}) {
            file << category << "=1\n" << category << "folder=" << logs_.string() << "\n";
        }
        file << settings;
    }
    std::vector<std::string> args{program, "--config", config.string()};
    if (!acquisition.empty()) {
        args.push_back("--acquisition=" + acquisition);
    }
    int pipeEnds[2] = {-1, -1};
    if (events) {
        args.emplace_back("--events");
        if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
            return;
        }
        events_.Reset(pipeEnds[0]);
    }
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const std::string errors = (dir_ / "stderr").string();
    pid_ = fork();
    if (pid_ == 0) {
        if (events) {
            ::dup2(pipeEnds[1], STDOUT_FILENO);
        } else {
            std::freopen("/dev/null", "w", stdout);
        }
        std::freopen(errors.c_str(), "w", stderr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    if (events) {
        ::close(pipeEnds[1]);
    }
}

std::string ScratchTarvikd::Errors() const {
    std::ifstream in(dir_ / "stderr");
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool ScratchTarvikd::Stop() {
    if (pid_ <= 0) {
        return false;
    }
    kill(pid_, SIGTERM);
    int status = 0;
    const bool waited = waitpid(pid_, &status, 0) == pid_;
    pid_ = -1;
    return waited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

ScratchTarvikd::~ScratchTarvikd() {
    Stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

namespace {

double StatusMegabytes(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field, 0) == 0) {
            return std::stod(line.substr(field.size())) / 1024.0;
        }
    }
    return -1;
}

}  // namespace

double ResidentMegabytes(pid_t pid) {
    return StatusMegabytes(pid, "VmRSS:");
}

double PeakResidentMegabytes(pid_t pid) {
    return StatusMegabytes(pid, "VmHWM:");
}

double TarvikdCpuPercent(const std::string& program, int seconds) {
    ScratchTarvikd tarvikd(program);
    const pid_t child = tarvikd.Pid();
    double percent = -1;
    if (child > 0) {
        std::this_thread::sleep_for(std::chrono::seconds(5));
        const long before = ProcessTicks(child);
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const long after = ProcessTicks(child);
        if (before >= 0 && after >= before) {
            percent = 100.0 * static_cast<double>(after - before) /
                      static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds;
        }
    }
    return percent;
}

}  // namespace tarvik::bench
