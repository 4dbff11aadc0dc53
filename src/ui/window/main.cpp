// The window program: one instance per settings file, the settings store, the main frame and its
// close path on every way out (close box, tray exit, SIGTERM/SIGINT/SIGHUP, end of the desktop
// session).
#include <syslog.h>

#include <QApplication>
#include <QIcon>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/LocalInterfaces.h"
#include "app/CommandLine.h"
#include "app/InstanceLock.h"
#include "base/Allocator.h"
#include "settings/SettingsStore.h"
#include "ui/window/ActivationChannel.h"
#include "ui/window/MainFrame.h"
#include "ui/window/MonitorChoice.h"
#include "ui/window/SystemTray.h"
#include "ui/window/TerminationSignals.h"
#include "ui/window/Translations.h"
#include "workers/WorkerHub.h"

namespace {

using namespace tarvik;

const char kUsage[] =
    "Usage: tarvik [-c FILE] [--acquisition=auto|events|destroy|poll]\n"
    "              [--local | -s PATH]\n"
    "Shows the machine's TCP connections and listening ports, logs the connections that end\n"
    "and warns of port scans.\n"
    "\n"
    "  -c, --config FILE  read and keep the settings in FILE\n"
    "  --acquisition MODE\n"
    "                  how connections are followed: auto (default), events, destroy\n"
    "                  or poll; overrides the settings file\n"
    "  --local         monitor by this window even when tarvikd runs\n"
    "  -s, --socket PATH  show the tarvikd that serves PATH (default: the first of\n"
    "                  /run/tarvik/tarvikd.sock and $XDG_RUNTIME_DIR/tarvik/tarvikd.sock\n"
    "                  where tarvikd answers; when none does, or with --socket none,\n"
    "                  the window monitors by itself)\n"
    "  -h, --help      show this help and exit\n"
    "  -V, --version   show the version and exit\n"
    "\n"
    "A second start with the same settings file raises the running window. While it shows\n"
    "tarvikd, the window reads no kernel table and logs nothing of its own.\n";

// "--acquisition=MODE" or "--acquisition MODE" at `index` (moved past a separate value);
// nullopt when the mode is missing or unknown.
std::optional<AcquisitionMode> AcquisitionOption(int argc, char* argv[], int& index) {
    const std::string_view arg = argv[index];
    if (arg.starts_with("--acquisition=")) {
        return ParseAcquisitionMode(arg.substr(14));
    }
    if (arg == "--acquisition" && index + 1 < argc) {
        return ParseAcquisitionMode(argv[++index]);
    }
    return std::nullopt;
}

// The mode the command line asks for; none when it does not (a bad one was refused before).
std::optional<AcquisitionMode> RequestedAcquisition(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--acquisition", 13) == 0) {
            return AcquisitionOption(argc, argv, i);
        }
    }
    return std::nullopt;
}

constexpr ShortOption kShortOptions[] = {
    {'h', "--help"}, {'V', "--version"}, {'c', "--config", true}, {'s', "--socket", true}};

// Qt's own options, which QApplication takes in either spelling ("-style" or "--style").
bool IsQtOption(std::string_view arg) {
    static constexpr std::string_view kQtOptions[] = {"platform",      "platformpluginpath",
                                                      "platformtheme", "plugin",
                                                      "qmljsdebugger", "qwindowgeometry",
                                                      "qwindowicon",   "qwindowtitle",
                                                      "reverse",       "session",
                                                      "style",         "stylesheet",
                                                      "widgetcount",   "display",
                                                      "geometry",      "name",
                                                      "title",         "visual",
                                                      "sync",          "nograb",
                                                      "dograb"};
    arg.remove_prefix(arg.starts_with("--") ? 2 : 1);
    arg = arg.substr(0, arg.find('='));
    return std::find(std::begin(kQtOptions), std::end(kQtOptions), arg) != std::end(kQtOptions);
}

bool IsOwnOption(std::string_view arg) {
    for (std::string_view name : {"--config", "--acquisition", "--local", "--socket"}) {
        if (arg == name || (arg.starts_with(name) && arg[name.size()] == '=')) {
            return true;
        }
    }
    return false;
}

// An option neither this program nor Qt knows: the first one, if any. Values of our options
// are passed over; Qt's take theirs in ways that vary, so only dashed arguments are judged.
std::optional<std::string_view> UnknownOption(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--config" || arg == "--socket" || arg == "--acquisition") {
            ++i;
        } else if (arg.starts_with("-") && arg.size() > 1 && !IsOwnOption(arg) &&
                   !IsQtOption(arg)) {
            return arg;
        }
    }
    return std::nullopt;
}

// --help and --version, answered before anything needs a display. Returns an exit status when
// the program is to end, nothing when it is to start.
std::optional<int> AnswerWithoutWindow(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("tarvik %s\n", TARVIK_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--config=") == 0) {
            std::fputs("tarvik: --config needs a file name (see tarvik --help)\n", stderr);
            return 2;
        }
        if (std::strcmp(argv[i], "--config") == 0) {
            if (i + 1 >= argc) {
                std::fputs("tarvik: --config needs a file name (see tarvik --help)\n", stderr);
                return 2;
            }
            ++i;
        }
        const bool socketJoined = std::strncmp(argv[i], "--socket=", 9) == 0;
        if ((socketJoined && argv[i][9] == '\0') ||
            (std::strcmp(argv[i], "--socket") == 0 && (i + 1 >= argc || argv[++i][0] == '\0'))) {
            std::fputs("tarvik: --socket needs a path (see tarvik --help)\n", stderr);
            return 2;
        }
        if (std::strncmp(argv[i], "--acquisition", 13) == 0 && !AcquisitionOption(argc, argv, i)) {
            std::fputs(
                "tarvik: --acquisition must be auto, events, destroy or poll (see tarvik --help)\n",
                stderr);
            return 2;
        }
    }
    if (const std::optional<std::string_view> unknown = UnknownOption(argc, argv)) {
        std::fprintf(stderr, "tarvik: unknown option '%.*s' (see tarvik --help)\n",
                     static_cast<int>(unknown->size()), unknown->data());
        return 2;
    }
    return std::nullopt;
}

bool IsSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
}

bool PlatformUsable(std::string_view name) {
    if (name == "xcb") {
        return IsSet("DISPLAY");
    }
    if (name.starts_with("wayland")) {
        return IsSet("WAYLAND_DISPLAY");
    }
    return !name.empty();
}

// Whether Qt can open a window: it aborts without a display, so this is asked first. A platform
// chosen by the user (QT_QPA_PLATFORM, or Qt's -platform argument, which wins) that is neither
// X11 nor Wayland needs no display variable; "offscreen" runs anywhere.
bool DisplayAvailable(int argc, char* argv[]) {
    const char* chosen = std::getenv("QT_QPA_PLATFORM");
    std::string platforms = chosen != nullptr ? chosen : "";
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0) {
            platforms = argv[i + 1];
        }
    }
    if (platforms.empty()) {
        return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY");
    }
    // A list of fallbacks ("wayland;xcb"), each with options after a colon.
    std::string_view rest = platforms;
    while (!rest.empty()) {
        const std::string_view entry = rest.substr(0, rest.find(';'));
        rest.remove_prefix(std::min(rest.size(), entry.size() + 1));
        const std::string_view name = entry.substr(0, entry.find(':'));
        if (PlatformUsable(name)) {
            return true;
        }
    }
    return false;
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
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--config") == 0 && i + 1 < argc) {
            return argv[i + 1];
        }
        if (std::strncmp(argv[i], "--config=", 9) == 0) {
            return argv[i] + 9;
        }
    }
    return CSettingsStore::DefaultFile();
}

// --local, --socket PATH: which daemon to show, if any (probing the default sockets).
std::optional<std::filesystem::path> DaemonToShow(int argc, char* argv[]) {
    bool local = false;
    std::optional<std::filesystem::path> socket;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--local") == 0) {
            local = true;
        } else if (std::strcmp(argv[i], "--socket") == 0 && i + 1 < argc) {
            socket = argv[++i];
        } else if (std::strncmp(argv[i], "--socket=", 9) == 0) {
            socket = argv[i] + 9;
        }
    }
    if (socket && *socket == "none") {  // as tarvikd's --socket none: no socket
        local = true;
    }
    return ChooseDaemon(local, socket, DefaultDaemonSockets(),
                        StatusProbe(std::chrono::milliseconds(1000)));
}

}  // namespace

int main(int givenCount, char* given[]) {
    KeepLargeBlocksMapped();
    // Short options as their long forms; QApplication keeps argc and argv for the whole run.
    std::vector<std::string> arguments = ExpandShortOptions(
        std::vector<std::string>(given + 1, given + givenCount), kShortOptions, IsQtOption);
    arguments.insert(arguments.begin(), given[0]);
    std::vector<char*> argvStore;
    for (std::string& argument : arguments) {
        argvStore.push_back(argument.data());
    }
    argvStore.push_back(nullptr);
    int argc = static_cast<int>(arguments.size());
    char** argv = argvStore.data();
    if (const std::optional<int> status = AnswerWithoutWindow(argc, argv)) {
        return *status;
    }
    if (!DisplayAvailable(argc, argv)) {
        std::fputs("tarvik: no display found; tarvikd runs headless\n", stderr);
        return 1;
    }
    const std::filesystem::path config = ConfigFile(argc, argv);
    const std::optional<QString> activation = ActivationPath(config);
    WindowMonitor monitor;
    monitor.acquisition = RequestedAcquisition(argc, argv);
    monitor.daemon = DaemonToShow(argc, argv);
    // The same lock as tarvikd's: one monitor per settings file, whichever program it is.
    std::string lockError;
    const std::optional<CInstanceLock> lock = CInstanceLock::AcquireForSettings(config, &lockError);
    if (!lock) {
        // The holder may be a window that raises itself, or tarvikd, which does not listen.
        if (activation && RequestActivation(*activation, std::chrono::seconds(2))) {
            return 0;
        }
        // Held by tarvikd, which a user runs over the same settings: a window that only shows
        // a daemon is no second monitor, and writes back only the values changed in it.
        if (!monitor.daemon) {
            std::fprintf(stderr, "tarvik: not starting: %s\n", lockError.c_str());
            return 1;
        }
    }

    // One connection to the system log for the whole run; the scan alerts write through it.
    openlog("Tarvik", LOG_PID, LOG_USER);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarvik"));
    InstallTranslations(app);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/tarvik/tarvik.png")));
    // Hidden to the tray is not closed: the program ends only through the close path.
    QApplication::setQuitOnLastWindowClosed(false);

    CWorkerHub hub;
    CSettingsStore settings(config, ListKernelInterfaceAddresses);
    CMainFrame frame(settings, hub, MakeWindowWorkers(std::move(monitor)));
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
