#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "acquisition/NoSocketSource.h"
#include "scan/AlertRateLimiter.h"
#include "scan/HostBlocker.h"
#include "scan/OutboundScans.h"
#include "scan/ProbeSensor.h"
#include "scan/ScanAlert.h"
#include "scan/ScanCounter.h"
#include "scan/ScanEvents.h"
#include "scan/ScanListener.h"
#include "settings/SettingsStore.h"
#include "tracking/Events.h"
#include "workers/Worker.h"

namespace tarvik {

class CWorkerHub;

// The probe sensor has probes waiting: posted by the sensor to the scan watcher alone, never
// published.
struct ProbesWaiting {};

using ScanWatcherInbox = std::variant<NewInbound, ScanCheck, ScanSettingsChanged, ProbesWaiting>;

// Whether the watcher also counts the probes of scans that complete no connection.
enum class ProbeSensing { Off, On };
// Where probes are seen: the packet socket, or first the kernel's own verdict that no socket
// took a packet (every TCP flag set, UDP, reassembled fragments, and this host's refused
// connects), with the packet socket where that cannot load.
enum class ProbeSource { PacketSocket, KernelFirst };

// Counts the distinct local ports each remote host connects to (NewInbound), raises an
// alert for a host as soon as a new port takes it to the threshold, and again on each scan check
// (ScanCheck) for hosts at a threshold lowered since; each alert starts its host from zero. It owns
// the bait-port listener and restarts it when the scan settings change (ScanSettingsChanged) and at
// start. With probe sensing on, the probes the sensor sees count like new inbound connections;
// without the privilege for it the user is told once, and counting goes on from connections alone.
// After each alert it publishes a ScanAlertEvent, at most "eventalertsperminute" a minute bar hosts
// that completed a handshake; the hosts held back are told in one ScanAlertsSuppressed once their
// minute is over.
// Where the kernel's verdicts are read, it also counts this host's refused connects per process
// and names a process that scans others ("outbound").
class CScanWatcherThread : public CWorker<ScanWatcherInbox> {
public:
    explicit CScanWatcherThread(CSettingsStore& settings, CWorkerHub& hub);
    // For tests: another alerter, and the address the bait ports are bound to.
    CScanWatcherThread(CSettingsStore& settings, CWorkerHub& hub,
                       std::unique_ptr<IScanAlerter> alerter,
                       std::string listenAddress = CScanListener::kAnyAddress,
                       ProbeSensing sensing = ProbeSensing::Off);
    ~CScanWatcherThread() override;

    // From any thread: ends an alert's mail exchange in progress at once, and makes every later
    // one of this run fail at once, so that a quit posted next is handled without delay. The
    // program calls it just before it posts quit.
    void CancelPendingMail();

    // Adds every probe the sensor hands over to `counter` (for the metrics). Before Start.
    void CountProbesInto(std::shared_ptr<std::atomic<std::uint64_t>> counter);

    // Where probes are seen (the packet socket unless told). Before Start.
    void UseProbeSource(ProbeSource source) { probeSource_ = source; }

    // For tests: another way to reach nftables. Before Start.
    void UseNftRunner(std::unique_ptr<INftRunner> runner);

    // The counting state; read it only once the thread has ended (after Join).
    const CScanCounter& Counter() const { return counter_; }
    // True once the sensor reads probes (after Start); any thread.
    bool SensingProbes() const { return sensing_.load(); }
    // True once the kernel's verdicts are read (after Start); any thread.
    bool SensingInKernel() const { return sensingInKernel_.load(); }

protected:
    bool InitInstance() override;
    void OnQuit() override;

private:
    void Handle(ScanWatcherInbox& message) override;
    void Take(NewInbound& news);
    void Take(ScanCheck&) { OnScanCheck(); }
    void Take(ScanSettingsChanged&) { Reload(); }
    void Take(ProbesWaiting&) { OnProbesWaiting(); }
    void OnProbesWaiting();
    void OnScanCheck();
    void Reload();
    void StopListener();
    void StartSensor();
    bool StartKernelSensor();
    // Counts the probes unless scan watching is off; false when it is.
    bool CountProbes(const std::vector<Probe>& probes);
    void CountKernelVerdicts();
    void CheckOutbound();
    void StopSensor();
    void WakeForProbes();  // from the sensor's thread
    void ApplyLimits();
    void Alert(const ScanFinding& finding);
    void PublishAlert(const ScanFinding& finding);
    void PublishSuppressed();
    // The "ignorehosts" entries as ranges, parsed again only when the setting changed.
    const AddressRanges& IgnoredHosts();

    CSettingsStore& settings_;
    CWorkerHub& hub_;
    std::unique_ptr<IScanAlerter> alerter_;
    std::string listenAddress_;
    std::string mailHost_;
    CScanCounter counter_;
    std::unique_ptr<CScanListener> listener_;
    ProbeSensing sensingWanted_;
    std::unique_ptr<CProbeSensor> sensor_;
    std::atomic<bool> sensing_{false};
    ProbeSource probeSource_ = ProbeSource::PacketSocket;
    std::unique_ptr<INoSocketSource> kernelSensor_;
    std::atomic<bool> sensingInKernel_{false};
    COutboundScans outbound_;
    // Blocks alerting hosts when [ScanWatch] block asks for it; its table lives until the quit.
    std::unique_ptr<CHostBlocker> blocker_;
    std::shared_ptr<std::atomic<std::uint64_t>> probesCounted_;
    CAlertRateLimiter eventRate_;
    TextListPtr ignoreHostsText_;
    AddressRanges ignoreHosts_;
};

}  // namespace tarvik
