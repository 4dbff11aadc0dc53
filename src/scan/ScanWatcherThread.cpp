#include "scan/ScanWatcherThread.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <optional>
#include <utility>

#include "settings/SettingsStore.h"
#include "workers/WorkerHub.h"

namespace tarvik {

CScanWatcherThread::CScanWatcherThread(CSettingsStore& settings, CWorkerHub& hub)
    : CScanWatcherThread(settings, hub,
                         std::make_unique<CScanAlert>(settings, hub, MakeSystemLog()),
                         CScanListener::kAnyAddress, ProbeSensing::On) {}

CScanWatcherThread::CScanWatcherThread(CSettingsStore& settings, CWorkerHub& hub,
                                       std::unique_ptr<IScanAlerter> alerter,
                                       std::string listenAddress, ProbeSensing sensing)
    : CWorker("scan watcher"),
      settings_(settings),
      hub_(hub),
      alerter_(std::move(alerter)),
      listenAddress_(std::move(listenAddress)),
      listener_(std::make_unique<CScanListener>(settings_, hub_, listenAddress_)),
      sensingWanted_(sensing),
      blocker_(
          std::make_unique<CHostBlocker>(MakeSystemNftRunner(), [this](const std::string& text) {
              hub_.Trace(text);
              hub_.NotifyUser(text);
          })) {
    Subscribe<NewInbound>();
    Subscribe<ScanCheck>();
    Subscribe<ScanSettingsChanged>();
    // The sensor asks again whenever its queue was empty; one request waiting is enough.
    Coalesce<ProbesWaiting>();
    DropAtQuit<ProbesWaiting>();
}

void CScanWatcherThread::Handle(ScanWatcherInbox& message) {
    std::visit([this](auto& value) { Take(value); }, message);
}

CScanWatcherThread::~CScanWatcherThread() {
    // The sensor posts to this worker, and the handlers use the members below: end both first.
    StopSensor();
    Stop();
    StopListener();
}

bool CScanWatcherThread::InitInstance() {
    Reload();
    StartSensor();
    return true;
}

void CScanWatcherThread::OnQuit() {
    StopSensor();
    StopListener();
    blocker_->Stop();
}

void CScanWatcherThread::CountProbesInto(std::shared_ptr<std::atomic<std::uint64_t>> counter) {
    probesCounted_ = std::move(counter);
}

void CScanWatcherThread::UseNftRunner(std::unique_ptr<INftRunner> runner) {
    blocker_ = std::make_unique<CHostBlocker>(std::move(runner), [this](const std::string& text) {
        hub_.Trace(text);
        hub_.NotifyUser(text);
    });
}

bool CScanWatcherThread::StartKernelSensor() {
    std::string reason;
    kernelSensor_ = OpenNoSocketSource(reason);
    if (!kernelSensor_) {
        hub_.Trace("probes: the kernel's no-socket verdicts are not read (" + reason +
                   "); the packet socket sees SYN, FIN, NULL and Xmas probes");
        return false;
    }
    kernelSensor_->Start([this] { WakeForProbes(); });
    hub_.Trace("probes: read from the kernel's no-socket verdicts");
    sensingInKernel_ = true;
    sensing_ = true;
    return true;
}

void CScanWatcherThread::StartSensor() {
    if (sensingWanted_ != ProbeSensing::On) {
        return;
    }
    if (probeSource_ == ProbeSource::KernelFirst && StartKernelSensor()) {
        return;
    }
    auto sensor = std::make_unique<CProbeSensor>();
    const std::string failure = sensor->Open();
    if (!failure.empty()) {
        const std::string text =
            "Scan detection counts completed connections only; half-open and stealth scans "
            "are not seen: " +
            failure;
        hub_.Trace(text);
        hub_.NotifyUser(text);
        return;
    }
    sensor_ = std::move(sensor);
    sensor_->Start([this] { WakeForProbes(); });
    sensing_ = true;
}

// GCC 12 takes the batch vector of the message's other alternative for uninitialized when it
// destroys the moved-from wake-up, a false positive of its variant analysis.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
void CScanWatcherThread::WakeForProbes() {
    Post(ProbesWaiting{});
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

void CScanWatcherThread::StopSensor() {
    if (sensor_) {
        sensor_->Stop();
    }
    if (kernelSensor_) {
        kernelSensor_->Stop();
    }
    sensing_ = false;
    sensingInKernel_ = false;
}

void CScanWatcherThread::ApplyLimits() {
    const int window = settings_.GetScanWindow();
    // A host at the threshold alerts whatever it adds, so the cap never needs to be lower.
    const int maxPorts = std::max(settings_.GetScanMaxPorts(), settings_.GetThreshold());
    counter_.SetLimits({static_cast<std::size_t>(std::max(1, settings_.GetScanMaxHosts())),
                        static_cast<std::size_t>(std::max(1, maxPorts)),
                        std::chrono::seconds(std::max(0, window))});
    // Below 1, hosts with nothing counted would alert at every check.
    counter_.AlertOnReach(std::max(1, settings_.GetThreshold()),
                          [this](const ScanFinding& finding) { Alert(finding); });
}

void CScanWatcherThread::Alert(const ScanFinding& finding) {
    if (!alerter_) {
        return;
    }
    const BlockPolicy policy{IgnoredHosts(), settings_.GetScanBlockProbes() != 0,
                             settings_.GetScanBlockTimeout()};
    alerter_->Raise(finding, mailHost_);
    blocker_->OnAlert(finding, policy);
    PublishAlert(finding);
}

void CScanWatcherThread::PublishAlert(const ScanFinding& finding) {
    const auto now = CAlertRateLimiter::Clock::now();
    PublishSuppressed();
    if (eventRate_.Admit(finding.host, settings_.GetEventAlertsPerMinute(), now,
                         finding.completedHandshake)) {
        hub_.Publish(ScanAlertEvent{finding.host, finding.ports, finding.kind, std::time(nullptr)});
    }
}

void CScanWatcherThread::PublishSuppressed() {
    std::optional<CAlertRateLimiter::HeldBack> held =
        eventRate_.TakeHeldBack(CAlertRateLimiter::Clock::now());
    if (held) {
        hub_.Publish(ScanAlertsSuppressed{held->hosts, std::move(held->named), std::time(nullptr)});
    }
}

void CScanWatcherThread::CountKernelVerdicts() {
    NoSocketBatch batch = kernelSensor_->Take();
    if (probesCounted_) {
        probesCounted_->fetch_add(batch.packets.size(), std::memory_order_relaxed);
    }
    std::vector<Probe> probes;
    probes.reserve(batch.packets.size());
    for (const UnansweredPacket& packet : batch.packets) {
        if (std::optional<Probe> probe = ProbeOf(packet)) {
            probes.push_back(std::move(*probe));
        }
    }
    if (!CountProbes(probes) || settings_.GetScanOutbound() == 0) {
        return;
    }
    const CScanCounter::Clock::time_point now = CScanCounter::Clock::now();
    for (const RefusedConnect& refused : batch.refused) {
        outbound_.Count(refused, now);
    }
}

bool CScanWatcherThread::CountProbes(const std::vector<Probe>& probes) {
    if (settings_.GetScanEnabled() == 0) {
        return false;
    }
    ApplyLimits();
    PortListPtr ignorePorts = settings_.GetIgnorePorts();
    const AddressRanges& ignoreHosts = IgnoredHosts();
    const CScanCounter::Clock::time_point now = CScanCounter::Clock::now();
    for (const Probe& probe : probes) {
        counter_.Count(probe, ignorePorts ? *ignorePorts : PortList{}, ignoreHosts, now);
    }
    return true;
}

void CScanWatcherThread::CheckOutbound() {
    // Without a window of its own, an hour keeps a slow scanner counting while the failures a
    // busy client gathers over days do not add up.
    constexpr std::chrono::seconds kOutboundWindow{3600};
    const int window = settings_.GetScanWindow();
    outbound_.Check(settings_.GetScanOutboundThreshold(),
                    window > 0 ? std::chrono::seconds(window) : kOutboundWindow,
                    [this](const OutboundFinding& finding) {
                        hub_.Trace(finding.text);
                        hub_.NotifyUser(finding.text);
                        alerter_->RaiseOutbound(finding);
                    });
}

void CScanWatcherThread::OnProbesWaiting() {
    if (kernelSensor_) {
        CountKernelVerdicts();
        return;
    }
    if (!sensor_) {
        return;
    }
    std::vector<Probe> probes = sensor_->Take();
    if (probesCounted_) {
        probesCounted_->fetch_add(probes.size(), std::memory_order_relaxed);
    }
    CountProbes(probes);
}

void CScanWatcherThread::CancelPendingMail() {
    // alerter_ is set at construction and never replaced, so reading it here needs no lock.
    if (alerter_) {
        alerter_->CancelPendingMail();
    }
}

void CScanWatcherThread::Take(NewInbound& news) {
    if (settings_.GetScanEnabled() == 0) {
        return;
    }
    ApplyLimits();
    PortListPtr ignorePorts = settings_.GetIgnorePorts();
    const AddressRanges& ignoreHosts = IgnoredHosts();
    const CScanCounter::Clock::time_point now = CScanCounter::Clock::now();
    for (const InboundConnection& connection : news.connections) {
        counter_.Count(connection, ignorePorts ? *ignorePorts : PortList{}, ignoreHosts, now);
    }
}

const AddressRanges& CScanWatcherThread::IgnoredHosts() {
    TextListPtr texts = settings_.GetIgnoreHosts();
    if (texts == ignoreHostsText_) {
        return ignoreHosts_;
    }
    std::vector<std::string> rejected;
    ignoreHosts_ = ParseAddressRanges(texts ? *texts : TextList{}, &rejected);
    ignoreHostsText_ = std::move(texts);
    for (const std::string& text : rejected) {
        const std::string warning =
            "ignorehosts: \"" + text + "\" is no address or address range; it is left out";
        hub_.Trace(warning);
        hub_.NotifyUser(warning);
    }
    return ignoreHosts_;
}

void CScanWatcherThread::OnScanCheck() {
    // Bait ports that were busy at the last try may have been freed since.
    if (listener_) {
        listener_->RetryUnbound();
    }
    if (settings_.GetScanEnabled() == 0 || !alerter_) {
        return;
    }
    ApplyLimits();
    if (settings_.GetScanOutbound() != 0) {
        CheckOutbound();
    }
    alerter_->Flush(mailHost_);
    blocker_->Flush();
    PublishSuppressed();
    // A threshold lowered since the hosts were counted; below 1, hosts with nothing counted
    // would alert at every check.
    counter_.Check(std::max(1, settings_.GetThreshold()),
                   [this](const ScanFinding& finding) { Alert(finding); });
}

void CScanWatcherThread::Reload() {
    mailHost_ = settings_.GetMailHost();
    blocker_->Configure(static_cast<BlockMode>(settings_.GetScanBlock()));
    StopListener();
    listener_ = std::make_unique<CScanListener>(settings_, hub_, listenAddress_);
    if (settings_.GetListenEnabled() != 0) {
        listener_->Start();
    }
}

void CScanWatcherThread::StopListener() {
    if (listener_) {
        listener_->Stop();
        listener_->Wait();
    }
}

}  // namespace tarvik
