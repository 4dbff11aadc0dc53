// Shows the main window over a throw-away settings file with a fixed set of rows, for
// screenshots and manual checks of the themes:
//   tarvik_window_preview light|dark [--search TEXT] [--save FILE.png]
// With --save the window is drawn into the file once shown, and the program ends.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <QApplication>
#include <QLineEdit>
#include <QPalette>
#include <QPixmap>
#include <QStyleFactory>
#include <QTimer>

#include "acquisition/Address.h"
#include "acquisition/ConnectionRows.h"
#include "acquisition/ServicesDatabase.h"
#include "acquisition/TableSource.h"
#include "settings/SettingsStore.h"
#include "ui/window/InterfaceFilterBar.h"
#include "ui/window/MainFrame.h"
#include "ui/window/RowTableModel.h"
#include "ui/window/SystemTray.h"
#include "ui/window/Translations.h"
#include "workers/WorkerHub.h"

namespace {

using namespace tarvik;

std::filesystem::path MakeScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvik-preview-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) {
        return {};
    }
    return pattern;
}

// No workers run; the status bar still names the back-end as the program's would.
class CIdleWorkers : public IWorkers {
public:
    void Quit() override {}
    void Join() override {}
};

QPalette DarkPalette() {
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(45, 45, 48));
    palette.setColor(QPalette::WindowText, QColor(230, 230, 230));
    palette.setColor(QPalette::Base, QColor(30, 30, 32));
    palette.setColor(QPalette::AlternateBase, QColor(45, 45, 48));
    palette.setColor(QPalette::Text, QColor(230, 230, 230));
    palette.setColor(QPalette::Button, QColor(53, 53, 56));
    palette.setColor(QPalette::ButtonText, QColor(230, 230, 230));
    palette.setColor(QPalette::Highlight, QColor(42, 110, 200));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::PlaceholderText, QColor(150, 150, 150));
    return palette;
}

// One socket as the kernel would report it.
TcpRow Socket(const char* local, int localPort, const char* remote, int remotePort,
              TcpState state) {
    TcpRow row;
    AddressFamily remoteFamily = AddressFamily::Ipv4;
    ParseAddress(local, row.family, row.localAddress);
    ParseAddress(remote, remoteFamily, row.remoteAddress);
    row.localPort = static_cast<std::uint16_t>(localPort);
    row.remotePort = static_cast<std::uint16_t>(remotePort);
    row.state = state;
    return row;
}

// Sample sockets classified and named as the program does it, with the names and owners the
// reverse lookup and the process table would add.
std::vector<RowOp> SampleRows() {
    const std::vector<TcpRow> sockets = {
        Socket("0.0.0.0", 22, "0.0.0.0", 0, TcpState::Listen),
        Socket("0.0.0.0", 631, "0.0.0.0", 0, TcpState::Listen),
        Socket("::", 443, "::", 0, TcpState::Listen),
        Socket("192.0.2.2", 22, "198.51.100.23", 50412, TcpState::Established),
        Socket("192.0.2.2", 41822, "203.0.113.80", 443, TcpState::Established),
        Socket("192.0.2.2", 39410, "203.0.113.25", 993, TcpState::Established),
        Socket("192.0.2.2", 8080, "198.51.100.7", 61002, TcpState::TimeWait),
        Socket("192.0.2.2", 51234, "192.0.2.123", 44600, TcpState::Established),
        Socket("2001:db8::2", 443, "2001:db8::17", 55120, TcpState::Established),
    };
    const CServicesDatabase services = CServicesDatabase::FromText(
        "ssh 22/tcp\nhttps 443/tcp\nimaps 993/tcp\nipp 631/tcp\nhttp-alt 8080/tcp\n");
    std::vector<CConnectionRecord> records = ClassifiedRecords(sockets, services);
    const struct {
        const char* host;
        const char* command;
        int pid;
    } extras[] = {{"", "sshd", 812},
                  {"", "cupsd", 655},
                  {"", "nginx", 977},
                  {"laptop.example.org", "sshd", 20411},
                  {"mirror.example.net", "apt", 3021},
                  {"mail.example.com", "thunderbird", 2210},
                  {"", "", 0},
                  {"", "syncthing", 1540},
                  {"", "nginx", 977}};
    std::vector<RowOp> ops;
    for (std::size_t i = 0; i < records.size(); ++i) {
        CConnectionRecord& record = records[i];
        record.id = static_cast<int>(i) + 1;
        if (*extras[i].host != '\0') {
            record.hostName = extras[i].host;
        }
        record.command = extras[i].command;
        record.pid = extras[i].pid;
        ops.push_back(RowOp{RowOp::Kind::Insert, record});
    }
    return ops;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string theme = argc > 1 ? argv[1] : "";
    if (theme != "light" && theme != "dark") {
        std::fprintf(stderr, "usage: %s light|dark [--search TEXT] [--save FILE.png]\n", argv[0]);
        return 2;
    }
    QString search;
    QString save;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        (option == "--search" ? search : save) = QString::fromLocal8Bit(argv[i + 1]);
    }
    QApplication app(argc, argv);
    tarvik::InstallTranslations(app);  // LANGUAGE=de shows the German texts, as the window does
    if (theme == "dark") {
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        QApplication::setPalette(DarkPalette());
    }
    const std::filesystem::path scratch = MakeScratchFolder();
    if (scratch.empty()) {
        std::perror("mkdtemp");
        return 1;
    }
    int result = 0;
    {
        CSettingsStore settings(
            scratch / "Tarvik.conf", [] { return std::vector<std::string>{"192.0.2.2"}; }, scratch);
        CWorkerHub hub;
        CMainFrame frame(
            settings, hub,
            [](CSettingsStore&, CWorkerHub&, IConnectionList&) {
                return std::make_unique<CIdleWorkers>();
            },
            [] { return std::make_unique<CSystemTray>(nullptr, [] { return false; }); });
        frame.View()->Apply(SampleRows());
        frame.View()->Rows().ClickHeading(6);
        frame.setGeometry(0, 0, 1060, 400);
        frame.show();
        frame.FilterBar()->Search()->setText(search);
        if (!search.isEmpty()) {
            frame.FilterBar()->Search()->setFocus();
        }
        if (!save.isEmpty()) {
            QTimer::singleShot(500, &frame, [&frame, &save, &result] {
                if (!frame.grab().save(save)) {
                    std::fprintf(stderr, "cannot write %s\n", save.toLocal8Bit().constData());
                    result = 1;
                }
                QCoreApplication::quit();
            });
        }
        const int status = app.exec();
        result = result != 0 ? result : status;
    }
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    return result;
}
