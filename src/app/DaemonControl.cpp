#include "app/DaemonControl.h"

#include "acquisition/KernelTableSource.h"
#include "acquisition/ProcessTable.h"
#include "acquisition/ServicesDatabase.h"
#include "app/ListCommand.h"

namespace tarvik {

namespace {

// The scan watcher's notice when its packet socket cannot be opened.
constexpr std::string_view kProbeFailure = "Scan detection counts completed connections only";

}  // namespace

void CProbeNoticeRecorder::ShowMessage(const std::string& text) {
    if (text.rfind(kProbeFailure, 0) == 0) {
        std::lock_guard lock(mutex_);
        failure_ = text;
    }
    if (inner_) {
        inner_->ShowMessage(text);
    }
}

std::optional<std::string> CProbeNoticeRecorder::Failure() const {
    std::lock_guard lock(mutex_);
    return failure_;
}

std::unique_ptr<CDaemonControl> CDaemonControl::Open(
    const std::string& asked, DaemonFacts facts,
    const std::function<void(const std::string&)>& report) {
    ControlListener listener;
    std::string where;
    if (UniqueFd inherited = InheritedControlListener()) {
        listener.fd = std::move(inherited);
        where = "the socket the service manager handed over";
    } else {
        const auto path = ControlSocketPathFor(asked);
        if (!path) {
            if (asked == "default") {
                report("no control socket: no XDG_RUNTIME_DIR to put it in (use --socket PATH)");
            }
            return nullptr;
        }
        std::string error;
        listener = BindControlSocket(*path, LocalAccessPolicy().readerGroup, &error);
        if (!listener.fd) {
            report("no control socket: " + error);
            return nullptr;
        }
        where = path->string();
    }
    return std::unique_ptr<CDaemonControl>(
        new CDaemonControl(std::move(listener), std::move(where), std::move(facts)));
}

CDaemonControl::CDaemonControl(ControlListener listener, std::string where, DaemonFacts facts)
    : listener_(std::move(listener)),
      where_(std::move(where)),
      facts_(std::move(facts)),
      started_(std::chrono::steady_clock::now()) {
    const AccessPolicy policy = LocalAccessPolicy();
    server_ = std::make_unique<CControlServer>(
        UniqueFd(listener_.fd.Release()), *this,
        [policy](const PeerCredentials& peer) { return DecideAccess(peer, policy); });
}

CDaemonControl::~CDaemonControl() {
    server_.reset();
    RemoveControlSocket(listener_);
}

std::vector<CConnectionRecord> CDaemonControl::Rows() {
    const auto source = OpenKernelTableSource();
    if (!source) {
        return {};
    }
    constexpr std::size_t kAll = CProcessTable::kUnbounded;
    CProcessTable processes("/proc", kAll, kAll);
    return CollectConnections(*source, *CServicesDatabase::Shared(), &processes).records;
}

ControlStatus CDaemonControl::Status() {
    ControlStatus status;
    status.acquisition = facts_.acquisition;
    status.acquisitionReason = facts_.acquisitionReason;
    const auto failure = facts_.probeNotices ? facts_.probeNotices->Failure() : std::nullopt;
    const bool wanted = facts_.probeSensingWanted && facts_.probeSensingWanted();
    status.probeSensing = wanted && !failure;
    status.probeReason = failure  ? *failure
                         : wanted ? "the packet socket is open"
                                  : "turned off in the settings";
    const auto source = OpenKernelTableSource();
    if (source) {
        for (const auto& [key, count] :
             CountConnections(CollectConnections(*source, *CServicesDatabase::Shared()).records)) {
            const std::string& category = key.first;
            (category == "listening"  ? status.listening
             : category == "inbound"  ? status.inbound
             : category == "outbound" ? status.outbound
                                      : status.unknown) += count;
        }
    }
    status.alerts = facts_.counters ? facts_.counters->Snapshot().alerts : 0;
    status.uptime = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - started_);
    return status;
}

std::optional<std::string> CDaemonControl::Reload() {
    return facts_.reload ? facts_.reload() : std::optional<std::string>("no reload here");
}

}  // namespace tarvik
