// The window program: one instance per user, the settings store, the main frame and its close
// path on every way out (close box, tray exit, SIGTERM/SIGINT, end of the desktop session).
#include <syslog.h>

#include <QApplication>
#include <QIcon>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include "acquisition/MibAgent.h"
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

std::filesystem::path LockFile(const std::filesystem::path& config) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::filesystem::path folder = runtime != nullptr && *runtime != '\0'
                                       ? std::filesystem::path(runtime)
                                       : config.parent_path();
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return folder / "Tarvik.lock";
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::filesystem::path config = ConfigFile(argc, argv);
    // Another instance runs: end at once, without a word.
    const std::optional<CInstanceLock> lock = CInstanceLock::Acquire(LockFile(config));
    if (!lock) {
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
