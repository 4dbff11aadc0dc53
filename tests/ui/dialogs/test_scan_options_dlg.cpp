#include <fstream>

#include <gtest/gtest.h>
#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include "DialogTestSupport.h"
#include "ui/dialogs/ListEditor.h"
#include "ui/dialogs/ScanOptionsDlg.h"
#include "workers/WorkerHub.h"

namespace tarvik {
namespace {

std::vector<QWidget*> ListControls(const CListEditor* editor) {
    return {editor->List(), editor->AddButton(), editor->RemoveButton()};
}

std::vector<QWidget*> PageControls(const CScanOptionsDlg::Controls& ui) {
    std::vector<QWidget*> controls = {ui.threshold, ui.listen, ui.eventLog, ui.emailAlert,
                                      ui.mailHost};
    for (const CListEditor* editor : {ui.ignoreHosts, ui.listenPorts, ui.recipients}) {
        for (QWidget* control : ListControls(editor)) {
            controls.push_back(control);
        }
    }
    return controls;
}

class ScanOptionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dialog.SetMessageSink(messages.Sink());
        hub.Register(&worker);
        worker.Start();
    }
    void TearDown() override { hub.Clear(); }

    const CScanOptionsDlg::Controls& ui() const { return dialog.Ui(); }

    CWorkerHub hub;
    test::TempSettings settings;
    test::RecordingWorker worker;
    test::MessageRecorder messages;
    CScanOptionsDlg dialog{settings.Store(), hub};
};

TEST_F(ScanOptionsTest, OpensWithTheStoredValues) {
    settings.Store().SetThreshold(7);
    settings.Store().SetIgnoreHosts({"10.0.0.15", " 127.0.0.1"});
    settings.Store().SetListenEnabled(1);
    settings.Store().SetListenPorts({31337, 21});
    settings.Store().SetEventLog(0);
    settings.Store().SetEmailAlert(1);
    settings.Store().SetMailHost("mail.example.org");
    settings.Store().SetNotificationAddresses({"ops@example.org"});
    dialog.show();

    EXPECT_TRUE(ui().enabled->isChecked());
    EXPECT_EQ(ui().threshold->value(), 7);
    EXPECT_EQ(ui().ignoreHosts->Entries(),
              QStringList({QStringLiteral("10.0.0.15"), QStringLiteral(" 127.0.0.1")}));
    EXPECT_TRUE(ui().listen->isChecked());
    EXPECT_EQ(ui().listenPorts->Entries(),
              QStringList({QStringLiteral("31337"), QStringLiteral("21")}));
    EXPECT_FALSE(ui().eventLog->isChecked());
    EXPECT_TRUE(ui().emailAlert->isChecked());
    EXPECT_EQ(ui().mailHost->text(), QStringLiteral("mail.example.org"));
    EXPECT_EQ(ui().recipients->Entries(), QStringList({QStringLiteral("ops@example.org")}));
    EXPECT_EQ(ui().tabs->currentWidget(), ui().detectionPage);
}

// The notification page speaks of this system's log, and of no other system.
TEST_F(ScanOptionsTest, NotificationPageNamesTheSystemLog) {
    EXPECT_EQ(ui().eventLog->text(), "Log to the system log");
    QStringList texts;
    for (const QLabel* label : ui().eventLog->parentWidget()->findChildren<QLabel*>()) {
        texts << label->text();
    }
    EXPECT_TRUE(texts.contains(
        "When selected, Tarvik will log all suspected scan attempts to the system log."))
        << texts.join('|').toStdString();
    for (const QWidget* widget : dialog.findChildren<QWidget*>()) {
        const auto* label = qobject_cast<const QLabel*>(widget);
        const auto* box = qobject_cast<const QCheckBox*>(widget);
        const QString text = label ? label->text() : box ? box->text() : QString();
        EXPECT_FALSE(text.contains("Windows") || text.contains("Event Log") ||
                     text.contains("Application Log"))
            << text.toStdString();
    }
}

TEST_F(ScanOptionsTest, MasterBoxGreysAndThenEnablesEveryPageControl) {
    settings.Store().SetScanEnabled(0);
    dialog.show();
    EXPECT_FALSE(ui().tabs->isEnabled());
    for (QWidget* control : PageControls(ui())) {
        EXPECT_FALSE(control->isEnabled()) << control->metaObject()->className();
    }

    ASSERT_FALSE(ui().listen->isChecked());
    ASSERT_FALSE(ui().emailAlert->isChecked());
    ui().enabled->click();
    EXPECT_TRUE(ui().tabs->isEnabled());
    for (QWidget* control : PageControls(ui())) {
        EXPECT_TRUE(control->isEnabled()) << control->metaObject()->className();
    }
}

TEST_F(ScanOptionsTest, ListenAndEmailBoxesGovernTheirControlsWhenClicked) {
    dialog.show();
    ui().listen->click();
    ui().listen->click();
    for (QWidget* control : ListControls(ui().listenPorts)) {
        EXPECT_FALSE(control->isEnabled());
    }
    ui().listen->click();
    for (QWidget* control : ListControls(ui().listenPorts)) {
        EXPECT_TRUE(control->isEnabled());
    }

    ui().emailAlert->click();
    ui().emailAlert->click();
    EXPECT_FALSE(ui().mailHost->isEnabled());
    for (QWidget* control : ListControls(ui().recipients)) {
        EXPECT_FALSE(control->isEnabled());
    }
    for (QWidget* control : ListControls(ui().ignoreHosts)) {
        EXPECT_TRUE(control->isEnabled());
    }
}

TEST_F(ScanOptionsTest, OkWithoutChangesPublishesOnceAndKeepsTheValues) {
    dialog.show();
    dialog.accept();
    EXPECT_EQ(worker.Count(hub), 1);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);

    CSettingsStore& store = settings.Store();
    EXPECT_EQ(store.GetScanEnabled(), 1);
    EXPECT_EQ(store.GetThreshold(), 3);
    EXPECT_EQ(*store.GetIgnoreHosts(), (TextList{"0.0.0.0", "127.0.0.1", "::1"}));
    EXPECT_EQ(store.GetListenPorts()->size(), 25u);
    EXPECT_EQ(store.GetListenPorts()->back(), 54320);
    EXPECT_EQ(store.GetEventLog(), 1);
    EXPECT_EQ(store.GetEmailAlert(), 0);
    EXPECT_TRUE(messages.messages.empty());
}

TEST_F(ScanOptionsTest, OkWritesEveryValueAndSavesTheFile) {
    dialog.show();
    ui().threshold->setValue(12);
    ui().ignoreHosts->List()->setCurrentRow(0);
    ui().ignoreHosts->RemoveButton()->click();
    ui().ignoreHosts->AddEntry(QStringLiteral("192.168.1.9"));
    ui().listen->click();
    ui().listenPorts->SetEntries({QStringLiteral("8080"), QStringLiteral("12x")});
    ui().eventLog->click();
    ui().emailAlert->click();
    ui().recipients->AddEntry(QStringLiteral("ops@example.org"));
    ui().recipients->AddEntry(QStringLiteral("sec@example.org"));
    ui().mailHost->setText(QStringLiteral("smtp.example.org"));
    ui().enabled->click();
    dialog.accept();

    std::unique_ptr<CSettingsStore> reloaded = settings.Open();
    for (CSettingsStore* store : {&settings.Store(), reloaded.get()}) {
        EXPECT_EQ(store->GetScanEnabled(), 0);
        EXPECT_EQ(store->GetThreshold(), 12);
        EXPECT_EQ(*store->GetIgnoreHosts(), (TextList{"127.0.0.1", "::1", "192.168.1.9"}));
        EXPECT_EQ(store->GetListenEnabled(), 1);
        EXPECT_EQ(*store->GetListenPorts(), (PortList{8080, 12}));
        EXPECT_EQ(store->GetEventLog(), 0);
        EXPECT_EQ(store->GetEmailAlert(), 1);
        EXPECT_EQ(*store->GetNotificationAddresses(),
                  (TextList{"ops@example.org", "sec@example.org"}));
        EXPECT_EQ(store->GetMailHost(), "smtp.example.org");
    }
    EXPECT_EQ(worker.Count(hub), 1);
}

TEST_F(ScanOptionsTest, EmptiedThresholdKeepsItsValueAndTheRestIsStillSaved) {
    dialog.show();
    auto* edit = ui().threshold->findChild<QLineEdit*>();
    ASSERT_NE(edit, nullptr);
    ui().threshold->setValue(9);
    edit->clear();
    ui().mailHost->setText(QStringLiteral("smtp.example.org"));
    dialog.accept();

    ASSERT_EQ(messages.messages.size(), 1u);
    EXPECT_EQ(messages.messages[0], QStringLiteral("Please enter an integer."));
    EXPECT_EQ(settings.Store().GetThreshold(), 3);
    EXPECT_EQ(settings.Store().GetMailHost(), "smtp.example.org");
    EXPECT_EQ(worker.Count(hub), 1);
}

// As a user empties it: the spin box's own correction must not hide that from OK.
TEST_F(ScanOptionsTest, AThresholdTheUserEmptiedIsReportedWhetherOkComesByEnterOrByLeaving) {
    for (const bool byEnter : {true, false}) {
        SCOPED_TRACE(byEnter ? "Enter in the field" : "the field left, then OK");
        messages.messages.clear();
        dialog.show();
        QApplication::setActiveWindow(&dialog);
        ui().threshold->setValue(9);
        ui().threshold->setFocus();
        auto* edit = ui().threshold->findChild<QLineEdit*>();
        ASSERT_NE(edit, nullptr);
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Backspace);
        if (byEnter) {
            QTest::keyClick(ui().threshold, Qt::Key_Return);
        } else {
            ui().mailHost->setFocus();
            ASSERT_FALSE(ui().threshold->hasFocus());
            dialog.accept();
        }
        EXPECT_FALSE(dialog.isVisible());
        ASSERT_EQ(messages.messages.size(), 1u);
        EXPECT_EQ(messages.messages[0], QStringLiteral("Please enter an integer."));
        EXPECT_EQ(settings.Store().GetThreshold(), 3);
    }
}

TEST_F(ScanOptionsTest, CancelChangesNothingAndTheNextOpeningShowsTheStoredLists) {
    dialog.show();
    ui().ignoreHosts->AddEntry(QStringLiteral("10.0.0.1"));
    ui().listenPorts->List()->setCurrentRow(0);
    ui().listenPorts->RemoveButton()->click();
    ui().recipients->AddEntry(QStringLiteral("ops@example.org"));
    ui().enabled->click();
    dialog.reject();

    EXPECT_EQ(*settings.Store().GetIgnoreHosts(), (TextList{"0.0.0.0", "127.0.0.1", "::1"}));
    EXPECT_EQ(settings.Store().GetListenPorts()->size(), 25u);
    EXPECT_TRUE(settings.Store().GetNotificationAddresses()->empty());
    EXPECT_EQ(settings.Store().GetScanEnabled(), 1);
    EXPECT_EQ(worker.Count(hub), 0);
    EXPECT_FALSE(std::filesystem::exists(settings.File()));

    dialog.show();
    EXPECT_EQ(ui().ignoreHosts->Entries(),
              QStringList(
                  {QStringLiteral("0.0.0.0"), QStringLiteral("127.0.0.1"), QStringLiteral("::1")}));
    EXPECT_EQ(ui().listenPorts->Entries().size(), 25);
    EXPECT_EQ(ui().listenPorts->Entries().front(), QStringLiteral("1"));
    EXPECT_TRUE(ui().recipients->Entries().isEmpty());
    EXPECT_TRUE(ui().enabled->isChecked());
}

TEST_F(ScanOptionsTest, AddressesThatAreAPrefixOfAListedOneCanBeAdded) {
    dialog.show();
    ui().ignoreHosts->SetEntries({QStringLiteral("10.0.0.15")});
    EXPECT_TRUE(ui().ignoreHosts->AddEntry(QStringLiteral("10.0.0.1")));
    EXPECT_FALSE(ui().ignoreHosts->AddEntry(QStringLiteral("10.0.0.15")));
    ui().listenPorts->SetEntries({QStringLiteral("8080")});
    EXPECT_TRUE(ui().listenPorts->AddEntry(QStringLiteral("80")));
    EXPECT_FALSE(ui().listenPorts->AddEntry(QStringLiteral("8080")));
    EXPECT_EQ(ui().ignoreHosts->Entries(),
              QStringList({QStringLiteral("10.0.0.15"), QStringLiteral("10.0.0.1")}));
    EXPECT_EQ(ui().listenPorts->Entries(),
              QStringList({QStringLiteral("8080"), QStringLiteral("80")}));
}

TEST_F(ScanOptionsTest, EnterAndEscapeInsideAPageReachTheDialog) {
    dialog.show();
    ui().threshold->setValue(5);
    QTest::keyClick(ui().threshold, Qt::Key_Return);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(settings.Store().GetThreshold(), 5);

    dialog.show();
    ui().mailHost->setText(QStringLiteral("never.example.org"));
    QTest::keyClick(ui().mailHost, Qt::Key_Escape);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_EQ(settings.Store().GetMailHost(), "");
    EXPECT_EQ(worker.Count(hub), 1);
}

TEST_F(ScanOptionsTest, KeyboardTabChangeShowsThePageOfTheSelectedTab) {
    dialog.show();
    QTabBar* bar = ui().tabs->tabBar();
    bar->setFocus();
    QTest::keyClick(bar, Qt::Key_Right);
    EXPECT_EQ(ui().tabs->currentIndex(), 1);
    EXPECT_TRUE(ui().notificationPage->isVisible());
    EXPECT_FALSE(ui().detectionPage->isVisible());

    QTest::keyClick(bar, Qt::Key_Left);
    EXPECT_TRUE(ui().detectionPage->isVisible());
    EXPECT_FALSE(ui().notificationPage->isVisible());
}

TEST(ScanOptionsSaveTest, AFailedSaveIsReportedAfterTheValuesAreSet) {
    test::TempSettings settings;
    // A plain file where the settings folder should be: the file cannot be written.
    std::filesystem::path blocker = settings.Folder() / "blocker";
    { std::ofstream(blocker) << "x"; }
    CWorkerHub hub;
    CSettingsStore store(
        blocker / "Tarvik.conf", [] { return std::vector<std::string>{}; }, settings.Folder());
    test::MessageRecorder messages;
    CScanOptionsDlg dialog(store, hub);
    dialog.SetMessageSink(messages.Sink());
    dialog.show();
    dialog.Ui().threshold->setValue(4);
    dialog.accept();

    EXPECT_EQ(store.GetThreshold(), 4);
    ASSERT_EQ(messages.messages.size(), 1u);
    EXPECT_TRUE(messages.messages[0].startsWith(QStringLiteral("The settings could not be saved")))
        << messages.messages[0].toStdString();
}

}  // namespace
}  // namespace tarvik
