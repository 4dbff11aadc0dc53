#pragma once

#include <array>

#include <QDialog>

#include "settings/SettingsStore.h"
#include "ui/dialogs/DialogSeams.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;

namespace tarvik {

class CListEditor;

// One category's logging settings: the switch, the port filter mode and its ports, the folder
// and the rotation.
class CLoggingPage : public QWidget {
    Q_OBJECT
public:
    // Port filter modes as stored: 1 log all, 2 all except the ports, 3 only the ports.
    static constexpr int kModeAll = 1;

    struct Controls {
        QCheckBox* enabled = nullptr;
        std::array<QRadioButton*, 3> modes{};
        CListEditor* ports = nullptr;
        QLineEdit* folder = nullptr;
        QPushButton* browse = nullptr;
        QComboBox* rotation = nullptr;
    };

    CLoggingPage(const QString& switchText, QWidget* parent = nullptr);

    void Load(const CSettingsStore& settings, LogCategory category);
    void Store(CSettingsStore& settings, LogCategory category) const;

    // The checked mode (1 to 3), or -1 when none is checked.
    int Mode() const;
    void SetMode(int mode);

    const Controls& Ui() const { return ui_; }
    void SetFolderPicker(FolderPicker picker) { pickFolder_ = std::move(picker); }

private:
    void ApplyEnablingRule();
    void Browse();

    Controls ui_;
    QButtonGroup* modeGroup_;
    FolderPicker pickFolder_ = DefaultFolderPicker();
};

// "Logging Options": a page per logged category. Each opening reloads the pages from the
// settings; OK stores every page and saves the file; Cancel stores nothing.
class CLoggingOptionsDlg : public QDialog {
    Q_OBJECT
public:
    explicit CLoggingOptionsDlg(CSettingsStore& settings, QWidget* parent = nullptr);

    QTabWidget* Tabs() const { return tabs_; }
    CLoggingPage* Page(LogCategory category) const;

    void SetMessageSink(MessageSink sink) { showMessage_ = std::move(sink); }
    void SetFolderPicker(const FolderPicker& picker);

public slots:
    void accept() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    CSettingsStore& settings_;
    QTabWidget* tabs_;
    std::array<CLoggingPage*, 3> pages_{};
    MessageSink showMessage_ = DefaultMessageSink();
};

}  // namespace tarvik
