// The window program: one instance per settings file, the settings store, the main frame and its
// close path on every way out (close box, tray exit, SIGTERM/SIGINT/SIGHUP, end of the desktop
// session).
#include <syslog.h>

#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "acquisition/LocalInterfaces.h"
#include "app/InstanceLock.h"
#include "app/WorkerSet.h"
#include "settings/SettingsStore.h"
#include "ui/window/MainFrame.h"
#include "ui/window/SystemTray.h"
#include "ui/window/TerminationSignals.h"

namespace {

using namespace tarvik;

class CRunningWorkers : public IWorkers {
public:
    CRunningWorkers(CSettingsStore& settings, IConnectionList& list) : workers_(settings, list) {}
    void Quit() override { workers_.Quit(); }
    void Join() override { workers_.Join(); }

private:
    CWorkerSet workers_;
};

std::filesystem::path ConfigFile(int argc, char* argv[]) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--config") == 0) {
            return argv[i + 1];
        }
    }
    return CSettingsStore::DefaultFile();
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::filesystem::path config = ConfigFile(argc, argv);
    // The same lock as tarvikd's: one monitor per settings file, whichever program it is.
    std::string lockError;
    const std::optional<CInstanceLock> lock = CInstanceLock::AcquireForSettings(config, &lockError);
    if (!lock) {
        std::fprintf(stderr, "tarvik: not starting: %s\n", lockError.c_str());
        return 0;
    }

    // One connection to the system log for the whole run; the scan alerts write through it.
    openlog("Tarvik", LOG_PID, LOG_USER);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarvik"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/tarvik/tarvik.png")));
    // Hidden to the tray is not closed: the program ends only through the close path.
    QApplication::setQuitOnLastWindowClosed(false);

    CSettingsStore settings(config, ListKernelInterfaceAddresses);
    CMainFrame frame(settings, [](CSettingsStore& store, IConnectionList& list) {
        return std::make_unique<CRunningWorkers>(store, list);
    });
    settings.SetUserNotifier(std::make_shared<CMessageBoxNotifier>(&frame));

    CTerminationSignals termination;
    QObject::connect(&termination, &CTerminationSignals::terminationRequested, &frame,
                     &QWidget::close);
    // The session asks to keep its data, but the user may still cancel the logout: save only.
    // The session's real end quits the application, and aboutToQuit runs the close path.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &frame,
                     [&frame](QSessionManager&) { frame.SaveState(); });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &frame,
                     [&frame] { frame.RunClosePath(); });

    frame.ShowWithPlacement();
    const int status = QApplication::exec();
    closelog();
    return status;
}
