#include "app/HeadlessMonitor.h"

#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "acquisition/KernelTableSource.h"
#include "acquisition/LocalInterfaces.h"
#include "acquisition/ServicesDatabase.h"
#include "app/ConsoleSinks.h"
#include "app/DaemonControl.h"
#include "app/EcsEvent.h"
#include "app/EventFile.h"
#include "app/EventStream.h"
#include "app/InstanceLock.h"
#include "app/ListCommand.h"
#include "app/MetricsFile.h"
#include "app/ProcessLimits.h"
#include "app/ServiceEvents.h"
#include "app/Ticker.h"
#include "app/WorkerSet.h"
#include "scan/ScanEvents.h"
#include "settings/LogFolders.h"
#include "settings/SettingsStore.h"
#include "tracking/Events.h"
#include "tracking/SettingsLink.h"
#include "workers/WorkerHub.h"

namespace tarvik {

namespace {

// Signals are taken synchronously by the main thread; every other thread inherits the mask.
sigset_t BlockHandledSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

int WaitForSignal(const sigset_t& signals) {
    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
    return received;
}

class CSettingsFile {
public:
    CSettingsFile(CSettingsStore& settings, CWorkerHub& hub, CConsoleWriter& errors)
        : settings_(settings), hub_(hub), errors_(errors), name_(settings.File().string()) {}

    // Reports what the load found; on a first start writes every value with its default.
    void ReportStart(bool firstStart) {
        if (firstStart) {
            // A sysadmin starts from a file that names every value and its default.
            std::string saveError;
            errors_.WriteLine(settings_.Save(&saveError)
                                  ? "tarvikd: created " + name_ + " with defaults"
                                  : "tarvikd: cannot create " + name_ + ": " + saveError);
        } else {
            ReportWarnings(settings_.LoadWarnings());
        }
    }

    // SIGHUP: the file as it is now, applied. The workers read most values at use; the scan
    // watcher is told, so that it reopens its bait ports.
    void Reload() {
        ReportWarnings(settings_.Reload());
        hub_.Publish(ScanSettingsChanged{});
        errors_.WriteLine("tarvikd: reloaded " + name_);
    }

    // At the stop. The store writes back only what changed in memory, merged into the file as
    // it is now, so an edit made while the monitor ran survives; it never replaces a file that
    // is not a regular one.
    void SaveAtStop() {
        std::string saveError;
        if (!settings_.Save(&saveError)) {
            errors_.WriteLine("tarvikd: settings not saved: " + saveError);
        }
    }

private:
    void ReportWarnings(const std::vector<std::string>& warnings) {
        for (const std::string& line : SettingsWarningLines(name_, warnings)) {
            errors_.WriteLine(line);
        }
    }

    CSettingsStore& settings_;
    CWorkerHub& hub_;
    CConsoleWriter& errors_;
    std::string name_;
};

std::vector<CTicker::Tick> MonitorTicks(const CSettingsStore& settings, CWorkerHub& hub) {
    using std::chrono::milliseconds;
    auto tick = [&hub]<class Event>(const char* label, Event) {
        return [&hub, label] {
            hub.Trace(label);
            hub.Publish(Event{});
        };
    };
    return {
        {milliseconds(settings.GetRefreshPeriodMs()), tick("tick, data refresh", Poll{})},
        {milliseconds(30000), tick("tick, scan check", ScanCheck{})},
        // Only the trace line is left of this tick: no worker has memory work to do.
        {milliseconds(60000), [&hub] { hub.Trace("tick, mem check"); }},
    };
}

// Lines a slow reader of --events may leave waiting before new ones are dropped.
constexpr std::size_t kEventQueueLines = 4096;
// Lines the events file may leave waiting: a disk stalls for longer than a pipe reader.
constexpr std::size_t kEventFileQueueLines = 65536;
// With destroy notices, which carry every end's final counts, the live counts that only `list`
// and attached windows read refresh every fourth dump (3 s at the default refresh): the
// kernel's filling of each socket's tcp_info is most of what counts cost a poll.
constexpr int kDestroyModeByteCountPeriod = 4;

// The event objects' rewrite for --events and the events file; none for the native format.
CEventStream::LineFormat EventLineFormat(const HeadlessOptions& options,
                                         const CSettingsStore& settings) {
    const EventFormat format = options.eventFormat.value_or(
        ParseEventFormat(settings.GetEventFormat()).value_or(EventFormat::Tarvik));
    if (format == EventFormat::Tarvik) {
        return {};
    }
    return [host = LocalHostName()](std::string_view line) { return EcsEventLine(line, host); };
}

void ReopenEventFile(CEventFile& file, const CSettingsStore& settings) {
    constexpr std::uint64_t kMiB = 1024 * 1024;
    file.Reopen(settings.GetEventsFile(),
                static_cast<std::uint64_t>(settings.GetEventsFileSize()) * kMiB);
}

}  // namespace

std::vector<std::string> SettingsWarningLines(const std::filesystem::path& file,
                                              const std::vector<std::string>& warnings) {
    std::vector<std::string> lines;
    for (const std::string& warning : warnings) {
        lines.push_back("tarvikd: " + file.string() + ": " + warning);
    }
    return lines;
}

int RunHeadlessMonitor(const HeadlessOptions& options) {
    const sigset_t handledSignals = BlockHandledSignals();
    CConsoleWriter errors(stderr);
    CConsoleWriter output(stdout);

    std::string lockError;
    auto lock = CInstanceLock::AcquireForSettings(options.configFile, &lockError);
    if (!lock) {
        errors.WriteLine("tarvikd: not starting: " + lockError);
        return 1;
    }

    openlog("Tarvik", LOG_PID, LOG_DAEMON);
    std::string limitError;
    if (!RaiseDescriptorLimit(&limitError)) {
        errors.WriteLine("tarvikd: " + limitError);
    }
    const bool firstStart = !std::filesystem::exists(options.configFile);
    CWorkerHub hub;
    CSettingsStore settings(options.configFile, ListKernelInterfaceAddresses);
    ConnectSettings(settings, hub);
    CSettingsFile settingsFile(settings, hub, errors);
    settingsFile.ReportStart(firstStart);
    // A user's own monitor logs under a state folder that may not exist yet.
    for (const LogFolderProblem& problem : PrepareLogFolders(settings)) {
        errors.WriteEscaped("tarvikd: ", LogFolderProblemLine(problem));
    }
    if (options.trace) {
        hub.SetTraceSink(
            // Traces quote addresses, paths and mail server replies.
            [&errors](std::string_view text) { errors.WriteEscaped("trace: ", text); });
    }
    auto notices =
        std::make_shared<CProbeNoticeRecorder>(std::make_shared<CConsoleNotifier>(errors));
    hub.SetUserNotifier(notices);
    hub.SetBalloonSink(std::make_shared<CConsoleBalloon>(errors));

    CConsoleList list(options.showRows ? &output : nullptr);
    CMonitorCounters counters;
    const CEventStream::LineFormat lineFormat = EventLineFormat(options, settings);
    std::unique_ptr<CEventStream> events;
    if (options.events) {
        events = std::make_unique<CEventStream>(STDOUT_FILENO, kEventQueueLines,
                                                std::chrono::seconds(2), lineFormat);
    }
    CEventFile eventFile(kEventFileQueueLines, lineFormat, [&errors](const std::string& text) {
        errors.WriteEscaped("tarvikd: ", text);
    });
    ReopenEventFile(eventFile, settings);
    AcquisitionChoice acquisition = ChooseAcquisition(settings, options.acquisition);
    if (acquisition.mode == AcquisitionMode::Destroy) {
        acquisition.byteCountPeriod = kDestroyModeByteCountPeriod;
    }
    const std::string acquisitionLine = acquisition.Summary();
    std::mutex reloadMutex;  // a reload asked on the socket and a SIGHUP, one at a time
    const auto control = CDaemonControl::Open(
        options.socket.value_or(settings.GetControlSocket()),
        DaemonFacts{
            std::string(AcquisitionModeName(acquisition.mode)), acquisitionLine,
            [] { return true; }, notices.get(), &counters,
            [&settingsFile, &reloadMutex, &eventFile, &settings]() -> std::optional<std::string> {
                std::lock_guard lock(reloadMutex);
                settingsFile.Reload();
                ReopenEventFile(eventFile, settings);
                return std::nullopt;
            }},
        [&errors](const std::string& text) { errors.WriteEscaped("tarvikd: ", text); });
    if (control) {
        errors.WriteEscaped("tarvikd: control socket: ", control->Where());
    }
    const CEventOutlets outlets(events.get(), control ? &control->Server() : nullptr, &eventFile);
    CServiceListTap tap(list, counters, outlets);
    auto probesCounted = std::make_shared<std::atomic<std::uint64_t>>(0);
    CMetricsWriter metrics(
        [&settings] { return settings.GetMetricsFile(); },
        [&counters, &events, &eventFile, probesCounted,
         source = std::shared_ptr<ITableSource>(OpenKernelTableSource(0))] {
            MetricsSnapshot snapshot = counters.Snapshot();
            snapshot.probes = probesCounted->load(std::memory_order_relaxed);
            snapshot.eventsLost = (events ? events->Lost() : 0) + eventFile.Lost();
            // A dump of its own: the tracker reports only the rows the view filters show.
            if (source) {
                const auto start = std::chrono::steady_clock::now();
                const ConnectionListing listing =
                    CollectConnections(*source, *CServicesDatabase::Shared());
                snapshot.lastDumpSeconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                snapshot.connections = CountConnections(listing.records);
            }
            return snapshot;
        },
        [&errors](const std::string& text) { errors.WriteEscaped("tarvikd: ", text); });
    CAlertEventWorker alertWorker(counters, outlets);
    alertWorker.Start();
    int stopSignal = 0;
    {
        // Beside the start line: standard error is the journal under the service manager.
        errors.WriteLine("tarvikd: " + acquisitionLine);
        counters.SetBackend(std::string(AcquisitionModeName(acquisition.mode)));
        CWorkerSet workers(settings, hub, tap, probesCounted, std::move(acquisition));
        hub.Register(&alertWorker);
        CTicker ticker(MonitorTicks(settings, hub));
        ticker.Start();
        errors.WriteLine("tarvikd: started (pid " + std::to_string(getpid()) + ", settings " +
                         options.configFile.string() + ")");

        while ((stopSignal = WaitForSignal(handledSignals)) == SIGHUP) {
            std::lock_guard lock(reloadMutex);
            settingsFile.Reload();
            // After a log rotation, or to a file the settings now name.
            ReopenEventFile(eventFile, settings);
        }

        ticker.Stop();
        workers.Quit();
        workers.Join();  // also empties the hub's list
    }
    alertWorker.PostQuit();
    alertWorker.Join();
    settingsFile.SaveAtStop();
    errors.WriteLine(std::string("tarvikd: stopped (") + strsignal(stopSignal) + ")");
    closelog();
    return 0;
}

}  // namespace tarvik
