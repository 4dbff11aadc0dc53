#include "app/HeadlessMonitor.h"

#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "acquisition/MibAgent.h"
#include "app/ConsoleSinks.h"
#include "app/InstanceLock.h"
#include "app/Ticker.h"
#include "app/WorkerSet.h"
#include "settings/SettingsStore.h"

namespace tarvik {

namespace {

// Signals are taken synchronously by the main thread; every other thread inherits the mask.
sigset_t BlockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

int WaitForStopSignal(const sigset_t& signals) {
    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
    return received;
}

std::vector<CTicker::Tick> MonitorTicks(CSettingsStore& settings) {
    using std::chrono::milliseconds;
    auto tick = [&settings](const char* label, int number) {
        return [&settings, label, number] {
            settings.Trace(label);
            settings.Broadcast(number);
        };
    };
    return {
        {milliseconds(settings.GetRefreshPeriodMs()), tick("tick, data refresh", kMsgPoll)},
        {milliseconds(30000), tick("tick, scan check", kMsgScanCheck)},
        {milliseconds(60000), tick("tick, mem check", kMsgMemoryCheck)},
    };
}

}  // namespace

int RunHeadlessMonitor(const HeadlessOptions& options) {
    const sigset_t stopSignals = BlockStopSignals();
    CConsoleWriter errors(stderr);
    CConsoleWriter output(stdout);

    std::string lockError;
    auto lock = CInstanceLock::AcquireForSettings(options.configFile, &lockError);
    if (!lock) {
        errors.WriteLine("tarvikd: not starting: " + lockError);
        return 1;
    }

    openlog("Tarvik", LOG_PID, LOG_DAEMON);
    const bool firstStart = !std::filesystem::exists(options.configFile);
    CSettingsStore settings(options.configFile, ListKernelInterfaceAddresses);
    if (firstStart) {
        // A sysadmin starts from a file that names every value and its default.
        std::string saveError;
        errors.WriteLine(settings.Save(&saveError)
                             ? "tarvikd: created " + options.configFile.string() + " with defaults"
                             : "tarvikd: cannot create " + options.configFile.string() + ": " +
                                   saveError);
    } else {
        for (const std::string& warning : settings.LoadWarnings()) {
            errors.WriteLine("tarvikd: " + options.configFile.string() + ": " + warning);
        }
    }
    if (options.trace) {
        settings.Registry().SetTraceSink(
            [&errors](std::string_view text) { errors.WriteLine("trace: " + std::string(text)); });
    }
    settings.SetUserNotifier(std::make_shared<CConsoleNotifier>(errors));
    settings.SetBalloonSink(std::make_shared<CConsoleBalloon>(errors));

    CConsoleList list(options.showRows ? &output : nullptr);
    int stopSignal = 0;
    {
        CWorkerSet workers(settings, list);
        CTicker ticker(MonitorTicks(settings));
        ticker.Start();
        errors.WriteLine("tarvikd: started (pid " + std::to_string(getpid()) + ", settings " +
                         options.configFile.string() + ")");

        stopSignal = WaitForStopSignal(stopSignals);

        ticker.Stop();
        workers.Quit();
        workers.Join();
    }
    std::string saveError;
    if (!settings.Save(&saveError)) {
        errors.WriteLine("tarvikd: settings not saved: " + saveError);
    }
    errors.WriteLine(std::string("tarvikd: stopped (") + strsignal(stopSignal) + ")");
    closelog();
    return 0;
}

}  // namespace tarvik
