#include <gtest/gtest.h>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include "DialogTestSupport.h"
#include "ui/dialogs/ListEditor.h"
#include "ui/dialogs/LoggingOptionsDlg.h"

namespace tarvik {
namespace {

std::vector<QWidget*> ControlsBesideTheSwitch(const CLoggingPage::Controls& ui) {
    return {ui.modes[0],
            ui.modes[1],
            ui.modes[2],
            ui.folder,
            ui.browse,
            ui.rotation,
            ui.ports->List(),
            ui.ports->AddButton(),
            ui.ports->RemoveButton()};
}

class LoggingOptionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dialog.SetMessageSink(messages.Sink());
        dialog.SetFolderPicker([this](QWidget*, const QString& title, const QString& start) {
            pickerCalls.push_back({title, start});
            return pickedFolder;
        });
    }

    const CLoggingPage::Controls& Ui(LogCategory category) const {
        return dialog.Page(category)->Ui();
    }

    test::TempSettings settings;
    test::MessageRecorder messages;
    CLoggingOptionsDlg dialog{settings.Store()};
    std::vector<std::pair<QString, QString>> pickerCalls;
    QString pickedFolder;
};

TEST_F(LoggingOptionsTest, OpensWithTheDefaults) {
    dialog.show();
    const QString logs = QString::fromStdString((settings.Folder() / "logs").string());
    EXPECT_EQ(dialog.Tabs()->currentIndex(), 0);
    EXPECT_EQ(dialog.Tabs()->tabText(1), QStringLiteral("Outbound"));
    EXPECT_EQ(Ui(LogCategory::Outbound).enabled->text(),
              QStringLiteral("Log Outbound Connections"));
    for (LogCategory category :
         {LogCategory::Inbound, LogCategory::Outbound, LogCategory::Unknown}) {
        const CLoggingPage::Controls& ui = Ui(category);
        EXPECT_EQ(ui.enabled->isChecked(), category != LogCategory::Outbound);
        EXPECT_TRUE(ui.modes[0]->isChecked());
        EXPECT_EQ(ui.modes[0]->text(), QStringLiteral("Log All Connections"));
        EXPECT_EQ(ui.rotation->currentText(), QStringLiteral("Daily"));
        EXPECT_EQ(ui.folder->text(), logs);
        EXPECT_TRUE(ui.folder->isReadOnly());
        EXPECT_EQ(ui.ports->List()->count(), 0);
        EXPECT_FALSE(ui.ports->List()->isEnabled());
    }
}

TEST_F(LoggingOptionsTest, ModeAndSwitchGovernTheOtherControls) {
    dialog.show();
    const CLoggingPage::Controls& ui = Ui(LogCategory::Inbound);
    ui.modes[2]->click();
    EXPECT_TRUE(ui.ports->List()->isEnabled());
    EXPECT_TRUE(ui.ports->AddButton()->isEnabled());
    ui.modes[0]->click();
    EXPECT_FALSE(ui.ports->AddButton()->isEnabled());
    ui.modes[1]->click();
    EXPECT_TRUE(ui.ports->RemoveButton()->isEnabled());

    ui.enabled->click();
    for (QWidget* control : ControlsBesideTheSwitch(ui)) {
        EXPECT_FALSE(control->isEnabled()) << control->metaObject()->className();
    }
    ui.enabled->click();
    for (QWidget* control : ControlsBesideTheSwitch(ui)) {
        EXPECT_TRUE(control->isEnabled()) << control->metaObject()->className();
    }
}

TEST_F(LoggingOptionsTest, PortsShowInTextOrderAndAreStoredSo) {
    dialog.show();
    const CLoggingPage::Controls& ui = Ui(LogCategory::Inbound);
    ui.modes[2]->click();
    for (const char* port : {"21", "80", "1080"}) {
        ui.ports->AddEntry(QString::fromLatin1(port));
    }
    EXPECT_EQ(ui.ports->Entries(),
              QStringList({QStringLiteral("1080"), QStringLiteral("21"), QStringLiteral("80")}));
    dialog.accept();

    std::unique_ptr<CSettingsStore> reloaded = settings.Open();
    for (CSettingsStore* store : {&settings.Store(), reloaded.get()}) {
        EXPECT_EQ(*store->GetLogPorts(LogCategory::Inbound), (PortList{1080, 21, 80}));
        EXPECT_EQ(store->GetLogType(LogCategory::Inbound), 3);
    }
    EXPECT_TRUE(messages.messages.empty());
}

TEST_F(LoggingOptionsTest, APortThatIsAPrefixOfAListedOneCanBeAdded) {
    settings.Store().SetLogPorts(LogCategory::Unknown, {8080});
    dialog.show();
    CListEditor* ports = Ui(LogCategory::Unknown).ports;
    EXPECT_TRUE(ports->AddEntry(QStringLiteral("80")));
    EXPECT_FALSE(ports->AddEntry(QStringLiteral("8080")));
    EXPECT_EQ(ports->Entries(), QStringList({QStringLiteral("80"), QStringLiteral("8080")}));
}

TEST_F(LoggingOptionsTest, OkStoresEveryValueOfEveryPage) {
    dialog.show();
    const CLoggingPage::Controls& out = Ui(LogCategory::Outbound);
    out.enabled->click();
    out.modes[1]->click();
    out.ports->AddEntry(QStringLiteral("25"));
    out.rotation->setCurrentIndex(2);
    pickedFolder = QStringLiteral("/var/log/tarvik");
    out.browse->click();
    const CLoggingPage::Controls& unknown = Ui(LogCategory::Unknown);
    unknown.enabled->click();
    unknown.rotation->setCurrentIndex(1);
    dialog.accept();

    ASSERT_EQ(pickerCalls.size(), 1u);
    EXPECT_EQ(pickerCalls[0].first,
              QStringLiteral("Select a folder in which to store the logfiles:"));
    EXPECT_EQ(pickerCalls[0].second, QString::fromStdString((settings.Folder() / "logs").string()));

    std::unique_ptr<CSettingsStore> reloaded = settings.Open();
    for (CSettingsStore* store : {&settings.Store(), reloaded.get()}) {
        EXPECT_EQ(store->GetLogEnabled(LogCategory::Inbound), 1);
        EXPECT_EQ(store->GetLogEnabled(LogCategory::Outbound), 1);
        EXPECT_EQ(store->GetLogType(LogCategory::Outbound), 2);
        EXPECT_EQ(*store->GetLogPorts(LogCategory::Outbound), (PortList{25}));
        EXPECT_EQ(store->GetLogRotation(LogCategory::Outbound), 2);
        EXPECT_EQ(store->GetLogFolder(LogCategory::Outbound), "/var/log/tarvik");
        EXPECT_EQ(store->GetLogEnabled(LogCategory::Unknown), 0);
        EXPECT_EQ(store->GetLogRotation(LogCategory::Unknown), 1);
        EXPECT_EQ(store->GetLogFolder(LogCategory::Unknown), (settings.Folder() / "logs").string());
    }
}

TEST_F(LoggingOptionsTest, CancelledBrowseKeepsTheFolder) {
    dialog.show();
    const CLoggingPage::Controls& ui = Ui(LogCategory::Inbound);
    const QString before = ui.folder->text();
    ui.browse->click();
    EXPECT_EQ(ui.folder->text(), before);
}

TEST_F(LoggingOptionsTest, CancelStoresNothingAndReopeningReloads) {
    settings.Store().SetLogType(LogCategory::Inbound, 3);
    settings.Store().SetLogPorts(LogCategory::Inbound, {443});
    dialog.show();
    const CLoggingPage::Controls& ui = Ui(LogCategory::Inbound);
    ui.ports->AddEntry(QStringLiteral("22"));
    ui.modes[0]->click();
    ui.enabled->click();
    dialog.Tabs()->setCurrentIndex(2);
    dialog.reject();

    EXPECT_EQ(settings.Store().GetLogEnabled(LogCategory::Inbound), 1);
    EXPECT_EQ(settings.Store().GetLogType(LogCategory::Inbound), 3);
    EXPECT_EQ(*settings.Store().GetLogPorts(LogCategory::Inbound), (PortList{443}));

    dialog.show();
    EXPECT_EQ(dialog.Tabs()->currentIndex(), 0);
    EXPECT_TRUE(ui.enabled->isChecked());
    EXPECT_TRUE(ui.modes[2]->isChecked());
    EXPECT_EQ(ui.ports->Entries(), QStringList({QStringLiteral("443")}));
    EXPECT_TRUE(ui.ports->List()->isEnabled());
}

TEST_F(LoggingOptionsTest, KeyboardTabChangeShowsThePageOfTheSelectedTab) {
    dialog.show();
    QTabBar* bar = dialog.Tabs()->tabBar();
    bar->setFocus();
    QTest::keyClick(bar, Qt::Key_Right);
    EXPECT_EQ(dialog.Tabs()->currentIndex(), 1);
    EXPECT_TRUE(dialog.Page(LogCategory::Outbound)->isVisible());
    EXPECT_FALSE(dialog.Page(LogCategory::Inbound)->isVisible());
}

}  // namespace
}  // namespace tarvik
