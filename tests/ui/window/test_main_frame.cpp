#include <gtest/gtest.h>

#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <csignal>
#include <thread>

#include "support/WindowTestSupport.h"
#include "ui/model/RowRules.h"
#include "ui/window/MainFrame.h"
#include "ui/window/SystemTray.h"
#include "ui/window/TerminationSignals.h"

namespace tarvik {
namespace {

using test::FakeFactory;
using test::FakeWorkersLog;
using test::TempSettings;
using test::WaitFor;

QIcon TestIcon() {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::darkBlue);
    return QIcon(pixmap);
}

class MainFrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::TestApp();
        QApplication::setWindowIcon(TestIcon());
    }

    std::unique_ptr<CMainFrame> MakeFrame(bool trayAvailable) {
        return std::make_unique<CMainFrame>(settings.Store(), FakeFactory(log), [trayAvailable] {
            return std::make_unique<CSystemTray>(nullptr,
                                                 [trayAvailable] { return trayAvailable; });
        });
    }

    TempSettings settings;
    std::shared_ptr<FakeWorkersLog> log = std::make_shared<FakeWorkersLog>();
};

TEST_F(MainFrameTest, MenusTitleAndAboutBox) {
    auto frame = MakeFrame(false);
    QStringList menus;
    for (const QAction* action : frame->menuBar()->actions()) {
        menus << action->text();
    }
    EXPECT_EQ(menus, (QStringList{"&View", "&Options", "&Help"}));
    const QMenu* help = frame->menuBar()->actions()[2]->menu();
    ASSERT_EQ(help->actions().size(), 1);
    EXPECT_EQ(help->actions()[0]->text(), "&About Tarvik");
    EXPECT_TRUE(frame->windowTitle().endsWith(" - Tarvik"));
    EXPECT_TRUE(frame->windowTitle().startsWith(
        QString::fromStdString(DocumentTitle(CSettingsStore::LocalHostName()))));

    const std::unique_ptr<QMessageBox> about = CMainFrame::CreateAboutBox(frame.get());
    EXPECT_EQ(about->text(), "Tarvik v2.0");
    ASSERT_EQ(about->buttons().size(), 1);
    EXPECT_EQ(about->buttons()[0]->text(), "OK");
}

TEST_F(MainFrameTest, ClosePathQuitsWorkersBeforeSavingThenStoresWidthsAndPlacement) {
    auto frame = MakeFrame(true);
    const int listening = settings.Store().GetShowListening();
    bool savedBeforeQuit = true;
    log->onQuit = [&] { savedBeforeQuit = settings.ReadBack()->GetShowListening() != listening; };
    frame->ShowWithPlacement();
    ASSERT_NE(frame->View()->Tray(), nullptr);
    EXPECT_TRUE(frame->View()->Tray()->Shown());
    settings.Store().SetShowListening(listening ? 0 : 1);
    frame->View()->setColumnWidth(0, 140);

    frame->close();

    EXPECT_TRUE(frame->Closed());
    EXPECT_FALSE(savedBeforeQuit);
    EXPECT_EQ(log->calls, (std::vector<std::string>{"quit", "join"}));
    EXPECT_FALSE(frame->View()->Tray()->Shown());
    const auto stored = settings.ReadBack();
    EXPECT_EQ(stored->GetShowListening(), listening ? 0 : 1);
    EXPECT_EQ(stored->GetProfileString("View", "columnwidths"), "140,100,100,100,100,100,100,");
    EXPECT_TRUE(ParsePlacement(stored->GetProfileString("Settings", "MainWndPos")).has_value());

    frame->RunClosePath();  // a second way out changes nothing
    EXPECT_EQ(log->calls.size(), 2u);
}

TEST_F(MainFrameTest, TrayExitRunsTheFullClosePath) {
    auto frame = MakeFrame(true);
    frame->ShowWithPlacement();
    const int unknown = settings.Store().GetShowUnknown();
    settings.Store().SetShowUnknown(unknown ? 0 : 1);
    emit frame->View()->Tray()->exitRequested();

    EXPECT_TRUE(frame->Closed());
    EXPECT_EQ(log->calls, (std::vector<std::string>{"quit", "join"}));
    const auto stored = settings.ReadBack();
    EXPECT_EQ(stored->GetShowUnknown(), unknown ? 0 : 1);
    EXPECT_FALSE(stored->GetProfileString("Settings", "MainWndPos").empty());
    EXPECT_FALSE(stored->GetProfileString("View", "columnwidths").empty());
}

TEST_F(MainFrameTest, TerminationSignalRunsTheClosePath) {
    auto frame = MakeFrame(false);
    frame->ShowWithPlacement();
    CTerminationSignals termination;
    ASSERT_TRUE(termination.Installed());
    QObject::connect(&termination, &CTerminationSignals::terminationRequested, frame.get(),
                     &QWidget::close);
    const int inbound = settings.Store().GetShowInbound();
    settings.Store().SetShowInbound(inbound ? 0 : 1);
    std::raise(SIGTERM);
    ASSERT_TRUE(WaitFor([&] { return frame->Closed(); }));
    EXPECT_EQ(settings.ReadBack()->GetShowInbound(), inbound ? 0 : 1);
}

TEST_F(MainFrameTest, MinimiseHidesToTheTrayAndTheTrayBringsItBack) {
    auto frame = MakeFrame(true);
    frame->ShowWithPlacement();
    frame->showMinimized();
    ASSERT_TRUE(WaitFor([&] { return !frame->isVisible(); }));
    emit frame->View()->Tray()->restoreRequested();
    EXPECT_TRUE(frame->isVisible());
    EXPECT_FALSE(frame->isMinimized());
    frame->RunClosePath();
}

TEST_F(MainFrameTest, WithoutTrayMinimiseKeepsTheWindow) {
    auto frame = MakeFrame(false);
    frame->ShowWithPlacement();
    ASSERT_EQ(frame->View()->Tray(), nullptr);
    frame->showMinimized();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_TRUE(frame->isVisible());
    EXPECT_TRUE(frame->isMinimized());
    frame->RunClosePath();
}

TEST_F(MainFrameTest, PlacementNeedsTenNumbers) {
    settings.Store().WriteProfileString("Settings", "MainWndPos", "0,1,-1,-1,-1,-1,30,40,630");
    auto ignored = MakeFrame(false);
    ignored->ShowWithPlacement();
    EXPECT_EQ(ignored->normalGeometry().size(), QSize(760, 420));
    ignored->RunClosePath();

    settings.Store().WriteProfileString("Settings", "MainWndPos", "2,3,-1,-1,-1,-1,30,40,630,440");
    auto restored = MakeFrame(false);
    restored->ShowWithPlacement();
    EXPECT_FALSE(restored->isMaximized());  // opens in its normal rectangle
    EXPECT_EQ(restored->normalGeometry().size(), QSize(600, 400));
    restored->RunClosePath();
}

TEST_F(MainFrameTest, MaximisedWindowIsStoredWithTheRestoreToMaximisedFlag) {
    auto frame = MakeFrame(false);
    frame->ShowWithPlacement();
    frame->showMaximized();
    ASSERT_TRUE(WaitFor([&] { return frame->isMaximized(); }));
    frame->RunClosePath();
    const auto placement =
        ParsePlacement(settings.ReadBack()->GetProfileString("Settings", "MainWndPos"));
    ASSERT_TRUE(placement.has_value());
    EXPECT_EQ(placement->flags, kRestoreToMaximized);
    EXPECT_EQ(placement->right - placement->left, 760);
}

TEST(SystemTray, TipIsCutTo63Characters) {
    test::TestApp();
    CSystemTray tray(nullptr, [] { return true; });
    ASSERT_TRUE(tray.Create(QString(80, QChar('x')), TestIcon()));
    EXPECT_EQ(tray.ToolTip(), QString(63, QChar('x')));
    tray.RemoveIcon();
    EXPECT_FALSE(tray.Shown());

    CSystemTray missing(nullptr, [] { return false; });
    EXPECT_FALSE(missing.Create("Tarvik", TestIcon()));
    EXPECT_FALSE(missing.Shown());
}

TEST(SystemTray, BalloonFromAWorkerAfterTheTrayIsGoneIsDropped) {
    test::TestApp();
    auto tray = std::make_unique<CSystemTray>(nullptr, [] { return true; });
    ASSERT_TRUE(tray->Create("Tarvik", TestIcon()));
    const std::shared_ptr<IBalloonSink> sink = tray->BalloonSink();
    bool queued = false;
    std::thread worker([&] { queued = sink->ShowBalloon("Tarvik: Scan Alert", "text", 10); });
    worker.join();
    EXPECT_TRUE(queued);
    tray.reset();
    QCoreApplication::processEvents();  // runs the queued call against a tray that is gone
}

TEST(MessageBoxNotifier, MessageFromAWorkerAppearsOnTheGuiThread) {
    test::TestApp();
    CMessageBoxNotifier notifier(nullptr);
    std::thread worker([&] { notifier.ShowMessage("cannot open /nonexistent/inbound.log"); });
    worker.join();
    QMessageBox* shown = nullptr;
    ASSERT_TRUE(WaitFor([&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            if (box != nullptr && box->isVisible() &&
                box->text() == "cannot open /nonexistent/inbound.log") {
                shown = box;
            }
        }
        return shown != nullptr;
    }));
    shown->close();
}

}  // namespace
}  // namespace tarvik
