#include "ui/window/MonitorChoice.h"

#include <syslog.h>

#include <QtGlobal>
#include <cstdlib>

#include "app/DaemonFeed.h"
#include "app/DaemonViewer.h"
#include "app/WorkerSet.h"

namespace tarvik {

namespace {

// The window's own five workers over the kernel.
class CRunningWorkers : public IWorkers {
public:
    CRunningWorkers(CSettingsStore& settings, CWorkerHub& hub, IConnectionList& list,
                    std::optional<AcquisitionMode> acquisition,
                    const AcquisitionFactories& factories)
        : workers_(settings, hub, list, nullptr, Choose(settings, acquisition, factories)) {}
    void Quit() override { workers_.Quit(); }
    void Join() override { workers_.Join(); }
    std::string BackendName() const override {
        return std::string(AcquisitionModeName(workers_.Acquisition()));
    }

private:
    static AcquisitionChoice Choose(CSettingsStore& settings,
                                    std::optional<AcquisitionMode> acquisition,
                                    const AcquisitionFactories& factories) {
        AcquisitionChoice choice = ChooseAcquisition(settings, acquisition, factories);
        syslog(LOG_INFO, "%s", choice.Summary().c_str());
        return choice;
    }

    CWorkerSet workers_;
};

// A running tarvikd's connections, through its socket.
class CAttachedWorkers : public IWorkers {
public:
    CAttachedWorkers(CSettingsStore& settings, CWorkerHub& hub, IConnectionList& list,
                     std::filesystem::path socket)
        : viewer_(settings, hub, list, std::move(socket)) {}
    void Quit() override { viewer_.Quit(); }
    void Join() override { viewer_.Join(); }
    std::string BackendName() const override { return viewer_.StatusText(); }
    void SetStatusListener(std::function<void()> changed) override {
        viewer_.SetStatusListener(std::move(changed));
    }
    std::string SettingsNote() const override { return kAttachedSettingsNote; }
    bool RefreshNow() override {
        viewer_.Relist();
        return true;
    }

private:
    CDaemonViewer viewer_;
};

}  // namespace

const char* const kAttachedSettingsNote = QT_TRANSLATE_NOOP(
    "tarvik::CTarvikView",
    "This window shows the connections of tarvikd, which logs and watches for scans with its "
    "own settings. To change them, root edits tarvikd's settings file and runs "
    "\"tarvikctl reload\". The values below are this window's own, unused while it is attached.");

std::vector<std::filesystem::path> DefaultDaemonSockets() {
    std::vector<std::filesystem::path> sockets = {"/run/tarvik/tarvikd.sock"};
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        sockets.push_back(std::filesystem::path(runtime) / "tarvik" / "tarvikd.sock");
    }
    return sockets;
}

std::optional<std::filesystem::path> ChooseDaemon(
    bool local, const std::optional<std::filesystem::path>& socket,
    const std::vector<std::filesystem::path>& candidates, const DaemonProbe& answers) {
    if (local) {
        return std::nullopt;
    }
    if (socket) {
        return socket;
    }
    for (const std::filesystem::path& candidate : candidates) {
        std::error_code error;
        if (std::filesystem::is_socket(candidate, error) && answers(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

DaemonProbe StatusProbe(std::chrono::milliseconds timeout) {
    return [timeout](const std::filesystem::path& socket) {
        return ProbeDaemon(socket, timeout).has_value();
    };
}

WorkersFactory MakeWindowWorkers(WindowMonitor monitor) {
    return [monitor = std::move(monitor)](CSettingsStore& settings, CWorkerHub& hub,
                                          IConnectionList& list) -> std::unique_ptr<IWorkers> {
        if (monitor.daemon) {
            return std::make_unique<CAttachedWorkers>(settings, hub, list, *monitor.daemon);
        }
        return std::make_unique<CRunningWorkers>(settings, hub, list, monitor.acquisition,
                                                 monitor.factories);
    };
}

}  // namespace tarvik
