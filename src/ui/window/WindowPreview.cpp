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

#include "settings/SettingsStore.h"
#include "ui/window/InterfaceFilterBar.h"
#include "ui/window/MainFrame.h"
#include "ui/window/RowTableModel.h"
#include "ui/window/SystemTray.h"

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

CConnectionRecord Row(int id, const char* host, const char* ip, int local, int remote, int state,
                      int category, const char* service, const char* command, int pid) {
    CConnectionRecord record;
    record.id = id;
    record.visible = 1;
    record.hostName = host;
    record.ipAddress = ip;
    record.localPort = local;
    record.remotePort = remote;
    record.state = state;
    record.category = category;
    record.serviceText = service;
    record.interfaceText = state == kStateListen ? "0.0.0.0" : "192.0.2.2";
    record.command = command;
    record.pid = pid;
    return record;
}

std::vector<RowOp> SampleRows() {
    const std::vector<CConnectionRecord> rows = {
        Row(1, "", "0.0.0.0", 22, 0, kStateListen, kCategoryListening, "ssh", "sshd", 812),
        Row(2, "", "0.0.0.0", 631, 0, kStateListen, kCategoryListening, "ipp", "cupsd", 655),
        Row(3, "laptop.example.org", "198.51.100.23", 22, 50412, kStateEstablished,
            kCategoryInbound, "ssh", "sshd", 20411),
        Row(4, "mirror.example.net", "203.0.113.80", 41822, 443, kStateEstablished,
            kCategoryOutbound, "https", "apt", 3021),
        Row(5, "mail.example.com", "203.0.113.25", 39410, 993, kStateEstablished, kCategoryOutbound,
            "imaps", "thunderbird", 2210),
        Row(6, "", "198.51.100.7", 8080, 61002, 11, kCategoryInbound, "http-alt", "", 0),
        Row(7, "ntp.example.org", "192.0.2.123", 51234, 4460, kStateEstablished, kCategoryUnknown,
            "", "chronyd", 540),
        Row(8, "", "2001:db8::17", 443, 55120, kStateEstablished, kCategoryInbound, "https",
            "nginx", 977),
    };
    std::vector<RowOp> ops;
    for (const CConnectionRecord& record : rows) {
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
        CMainFrame frame(
            settings,
            [](CSettingsStore&, IConnectionList&) { return std::make_unique<CIdleWorkers>(); },
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
