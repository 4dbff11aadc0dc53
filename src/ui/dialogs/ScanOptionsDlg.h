#pragma once

#include <QDialog>

#include "ui/dialogs/DialogSeams.h"

class QCheckBox;
class QDialogButtonBox;
class QLineEdit;
class QSpinBox;
class QTabWidget;

namespace tarvik {

class CListEditor;
class CSettingsStore;
class CWorkerHub;

// "Port Scan Detection Options": every scan-detection setting. Each opening reloads the controls
// from the settings; OK writes them all, tells the workers (9025) and saves the file; Cancel
// changes nothing.
class CScanOptionsDlg : public QDialog {
    Q_OBJECT
public:
    struct Controls {
        QCheckBox* enabled = nullptr;
        QTabWidget* tabs = nullptr;
        QWidget* detectionPage = nullptr;
        QWidget* notificationPage = nullptr;
        QSpinBox* threshold = nullptr;
        CListEditor* ignoreHosts = nullptr;
        QCheckBox* listen = nullptr;
        CListEditor* listenPorts = nullptr;
        QCheckBox* eventLog = nullptr;
        QCheckBox* emailAlert = nullptr;
        CListEditor* recipients = nullptr;
        QLineEdit* mailHost = nullptr;
        QDialogButtonBox* buttons = nullptr;
    };

    CScanOptionsDlg(CSettingsStore& settings, CWorkerHub& hub, QWidget* parent = nullptr);

    const Controls& Ui() const { return ui_; }
    void SetMessageSink(MessageSink sink) { showMessage_ = std::move(sink); }

public slots:
    void accept() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* BuildDetectionPage();
    QWidget* BuildNotificationPage();
    void Load();
    void Store();
    void ApplyMasterRule();
    void ApplyListenRule();
    void ApplyEmailRule();

    CSettingsStore& settings_;
    CWorkerHub& hub_;
    Controls ui_;
    MessageSink showMessage_ = DefaultMessageSink();
};

}  // namespace tarvik
