#include "PeerTrace.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace tarvik::bench {
namespace {

std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return ::access(name.c_str(), X_OK) == 0 ? name : std::string();
    }
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = folder + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

std::string ReadAll(const std::filesystem::path& file) {
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

std::string PeerTrace::Unavailable(const std::string& bpftrace) {
    if (::geteuid() != 0) {
        return "needs root";
    }
    if (FindProgram(bpftrace).empty()) {
        return "bpftrace is not installed (apt-get install -y bpftrace)";
    }
    if (::access("/sys/kernel/tracing/events", F_OK) != 0 &&
        ::access("/sys/kernel/debug/tracing/events", F_OK) != 0) {
        return "no tracefs (mount -t tracefs nodev /sys/kernel/tracing)";
    }
    return {};
}

PeerTrace::PeerTrace(const std::string& bpftrace, const std::filesystem::path& script)
    : dir_(std::filesystem::temp_directory_path() /
           ("tarvik-bench-peer-" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(dir_);
    const std::string out = (dir_ / "stdout").string();
    const std::string errors = (dir_ / "stderr").string();
    const std::string program = FindProgram(bpftrace);
    pid_ = ::fork();
    if (pid_ == 0) {
        std::freopen(out.c_str(), "w", stdout);
        std::freopen(errors.c_str(), "w", stderr);
        ::execl(program.c_str(), program.c_str(), script.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
}

PeerTrace::~PeerTrace() {
    Stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

bool PeerTrace::WaitReady(std::chrono::seconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (pid_ <= 0) {
            return false;
        }
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;  // it ended: the reason is in Errors()
            return false;
        }
        if (ReadAll(dir_ / "stdout").find("ready\n") != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

int PeerTrace::LinesBetween(const std::string& server, int port, const std::string& client) const {
    std::ifstream in(dir_ / "stdout");
    const std::string serverEnd = " " + server + " " + std::to_string(port) + " ";
    const std::string clientEnd = " " + client + " ";
    int count = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.find(serverEnd) != std::string::npos &&
            line.find(clientEnd) != std::string::npos) {
            ++count;
        }
    }
    return count;
}

std::string PeerTrace::Errors() const {
    return ReadAll(dir_ / "stderr");
}

bool PeerTrace::Stop() {
    if (pid_ <= 0) {
        return false;
    }
    ::kill(pid_, SIGINT);
    int status = 0;
    const bool waited = ::waitpid(pid_, &status, 0) == pid_;
    pid_ = -1;
    return waited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace tarvik::bench
