// Shows one option dialog over a throw-away settings file:
//   tarvik_dialog_preview scan|logging [tab index] [FILE.png]
// With a file the dialog is drawn into it once shown, and the program ends.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <QApplication>
#include <QDialog>
#include <QPixmap>
#include <QTabWidget>
#include <QTimer>

#include "settings/SettingsStore.h"
#include "ui/dialogs/LoggingOptionsDlg.h"
#include "ui/dialogs/ScanOptionsDlg.h"
#include "ui/window/Translations.h"
#include "workers/WorkerHub.h"

namespace {

std::filesystem::path MakeScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvik-preview-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) {
        return {};
    }
    return pattern;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string which = argc > 1 ? argv[1] : "";
    if (which != "scan" && which != "logging") {
        std::fprintf(stderr, "usage: %s scan|logging [tab index]\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    tarvik::InstallTranslations(app);  // LANGUAGE=de shows the German texts, as the window does
    const std::filesystem::path scratch = MakeScratchFolder();
    if (scratch.empty()) {
        std::perror("mkdtemp");
        return 1;
    }
    int result = 0;
    {
        tarvik::CWorkerHub hub;
        tarvik::CSettingsStore settings(
            scratch / "Tarvik.conf", [] { return std::vector<std::string>{}; }, scratch);
        std::unique_ptr<QDialog> dialog;
        if (which == "scan") {
            dialog = std::make_unique<tarvik::CScanOptionsDlg>(settings, hub);
        } else {
            dialog = std::make_unique<tarvik::CLoggingOptionsDlg>(settings);
        }
        dialog->move(0, 0);
        dialog->show();
        if (argc > 2) {
            if (auto* tabs = dialog->findChild<QTabWidget*>()) {
                tabs->setCurrentIndex(std::atoi(argv[2]));
            }
        }
        QObject::connect(dialog.get(), &QDialog::finished, &app, &QApplication::quit);
        const QString save = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString();
        if (!save.isEmpty()) {
            QTimer::singleShot(500, dialog.get(), [&dialog, &save, &result] {
                if (!dialog->grab().save(save)) {
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
