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
#include "tracking/WorkerHub.h"
#include "ui/window/ActivationChannel.h"
#include "ui/window/MainFrame.h"
#include "ui/window/SystemTray.h"
#include "ui/window/TerminationSignals.h"

namespace {

using namespace tarvik;

class CRunningWorkers : public IWorkers {
public:
    CRunningWorkers(CSettingsStore& settings, CWorkerHub& hub, IConnectionList& list)
        : workers_(settings, hub, list) {}
    void Quit() override { workers_.Quit(); }
    void Join() override { workers_.Join(); }

private:
    CWorkerSet workers_;
};

const char kUsage[] =
    "Usage: tarvik [--config FILE]\n"
    "Shows the machine's TCP connections and listening ports, logs the connections that end\n"
    "and warns of port scans.\n"
    "\n"
    "  --config FILE   read and keep the settings in FILE\n"
    "  --help          show this help and exit\n"
    "  --version       show the version and exit\n"
    "\n"
    "A second start with the same settings file raises the running window.\n";

// --help and --version, answered before anything needs a display. Returns an exit status when
// the program is to end, nothing when it is to start.
std::optional<int> AnswerWithoutWindow(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("tarvik %s\n", TARVIK_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--config") == 0) {
            if (i + 1 >= argc) {
                std::fputs("tarvik: --config needs a file name\n", stderr);
                return 2;
            }
            ++i;
        }
    }
    return std::nullopt;
}

// The socket a refused start asks through: beside the settings lock, in the same folder.
std::optional<QString> ActivationPath(const std::filesystem::path& config) {
    const std::optional<std::filesystem::path> folder =
        ChooseLockFolder(LockFolderPlacesFromEnvironment());
    if (!folder) {
        return std::nullopt;
    }
    return QString::fromStdString((*folder / (SettingsLockName(config) + ".activate")).string());
}

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
    if (const std::optional<int> status = AnswerWithoutWindow(argc, argv)) {
        return *status;
    }
    const std::filesystem::path config = ConfigFile(argc, argv);
    const std::optional<QString> activation = ActivationPath(config);
    // The same lock as tarvikd's: one monitor per settings file, whichever program it is.
    std::string lockError;
    const std::optional<CInstanceLock> lock = CInstanceLock::AcquireForSettings(config, &lockError);
    if (!lock) {
        // The holder may be a window that raises itself, or tarvikd, which does not listen.
        if (activation && RequestActivation(*activation, std::chrono::seconds(2))) {
            return 0;
        }
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

    CWorkerHub hub;
    CSettingsStore settings(config, ListKernelInterfaceAddresses);
    CMainFrame frame(settings, hub,
                     [](CSettingsStore& store, CWorkerHub& workerHub, IConnectionList& list) {
                         return std::make_unique<CRunningWorkers>(store, workerHub, list);
                     });
    hub.SetUserNotifier(std::make_shared<CMessageBoxNotifier>(&frame));

    CTerminationSignals termination;
    QObject::connect(&termination, &CTerminationSignals::terminationRequested, &frame,
                     &QWidget::close);
    // The session asks to keep its data, but the user may still cancel the logout: save only.
    // The session's real end quits the application, and aboutToQuit runs the close path.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &frame,
                     [&frame](QSessionManager&) { frame.SaveState(); });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &frame,
                     [&frame] { frame.RunClosePath(); });

    CActivationServer activationServer;
    QObject::connect(&activationServer, &CActivationServer::activationRequested, &frame,
                     &CMainFrame::RestoreFromTray);
    if (activation && !activationServer.Listen(*activation)) {
        std::fprintf(stderr, "tarvik: a second start cannot raise this window: %s\n",
                     activationServer.ErrorText().toLocal8Bit().constData());
    }

    frame.ShowWithPlacement();
    const int status = QApplication::exec();
    closelog();
    return status;
}
