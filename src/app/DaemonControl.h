#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/ControlServer.h"
#include "app/ControlSocket.h"
#include "app/MetricsFile.h"
#include "workers/WorkerHub.h"

namespace tarvik {

// Passes notices on, and keeps the one that says probes will not be seen, for the status.
class CProbeNoticeRecorder : public IUserNotifier {
public:
    explicit CProbeNoticeRecorder(std::shared_ptr<IUserNotifier> inner)
        : inner_(std::move(inner)) {}
    void ShowMessage(const std::string& text) override;
    // Why probe sensing is off, or nothing while no such notice came.
    std::optional<std::string> Failure() const;

private:
    std::shared_ptr<IUserNotifier> inner_;
    mutable std::mutex mutex_;
    std::optional<std::string> failure_;
};

// What the running monitor tells its control socket.
struct DaemonFacts {
    std::string acquisition;        // the mode's name
    std::string acquisitionReason;  // the acquisition summary
    std::function<bool()> probeSensingWanted;
    const CProbeNoticeRecorder* probeNotices = nullptr;
    const CMonitorCounters* counters = nullptr;
    std::function<std::optional<std::string>()> reload;
};

// The monitor's control socket: the one the service manager handed over, or one made at the
// path asked for. Removes the socket it made when it ends.
class CDaemonControl : public IControlSource {
public:
    // Null when the socket is off or cannot be made; `report` tells why in the latter case.
    static std::unique_ptr<CDaemonControl> Open(
        const std::string& asked, DaemonFacts facts,
        const std::function<void(const std::string&)>& report);
    ~CDaemonControl() override;

    CControlServer& Server() { return *server_; }
    const std::string& Where() const { return where_; }

    std::vector<CConnectionRecord> Rows() override;
    ControlStatus Status() override;
    std::optional<std::string> Reload() override;

private:
    CDaemonControl(ControlListener listener, std::string where, DaemonFacts facts);

    ControlListener listener_;
    std::string where_;
    DaemonFacts facts_;
    std::chrono::steady_clock::time_point started_;
    std::unique_ptr<CControlServer> server_;  // last: stops first
};

}  // namespace tarvik
