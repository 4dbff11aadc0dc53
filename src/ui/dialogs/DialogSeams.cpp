#include "ui/dialogs/DialogSeams.h"

#include <QFileDialog>
#include <QMessageBox>

namespace tarvik {

MessageSink DefaultMessageSink() {
    return [](QWidget* parent, const QString& text) {
        QMessageBox::warning(parent, QStringLiteral("Tarvik"), text, QMessageBox::Ok);
    };
}

FolderPicker DefaultFolderPicker() {
    return [](QWidget* parent, const QString& title, const QString& startFolder) {
        return QFileDialog::getExistingDirectory(parent, title, startFolder,
                                                 QFileDialog::ShowDirsOnly);
    };
}

}  // namespace tarvik
