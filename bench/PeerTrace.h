#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>

namespace tarvik::bench {

// A bpftrace run of a script of the bench beside tarvikd, its standard output in a scratch
// file: the cost of the same notices taken by the lightest reader there is.
class PeerTrace {
public:
    // Why the peer cannot run here (no root, bpftrace missing, no tracefs); empty when it can.
    static std::string Unavailable(const std::string& bpftrace);

    PeerTrace(const std::string& bpftrace, const std::filesystem::path& script);
    ~PeerTrace();
    PeerTrace(const PeerTrace&) = delete;
    PeerTrace& operator=(const PeerTrace&) = delete;

    pid_t Pid() const { return pid_; }
    // Until the script printed "ready" (its probes are attached) or `limit` passed.
    bool WaitReady(std::chrono::seconds limit);
    // Output lines of connections between `server` at `port` and `client`: another run on
    // the same addresses has another port.
    int LinesBetween(const std::string& server, int port, const std::string& client) const;
    std::string Errors() const;
    // SIGINT and wait; true on exit status 0.
    bool Stop();

private:
    std::filesystem::path dir_;
    pid_t pid_ = -1;
};

}  // namespace tarvik::bench
