#include <gtest/gtest.h>

#include <QDockWidget>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QTableView>
#include <algorithm>
#include <csignal>
#include <fstream>
#include <thread>

#include "support/RecordingNotifier.h"
#include "support/WindowTestSupport.h"
#include "ui/model/RowRules.h"
#include "ui/window/AlertList.h"
#include "ui/window/InterfaceFilterBar.h"
#include "ui/window/MainFrame.h"
#include "ui/window/SystemTray.h"
#include "ui/window/TerminationSignals.h"
#include "workers/WorkerHub.h"

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
        return std::make_unique<CMainFrame>(
            settings.Store(), hub, FakeFactory(log), [trayAvailable] {
                return std::make_unique<CSystemTray>(nullptr,
                                                     [trayAvailable] { return trayAvailable; });
            });
    }

    CWorkerHub hub;
    TempSettings settings;
    std::shared_ptr<FakeWorkersLog> log = std::make_shared<FakeWorkersLog>();
};

TEST_F(MainFrameTest, MenusTitleAndAboutBox) {
    auto frame = MakeFrame(false);
    QStringList menus;
    for (const QAction* action : frame->menuBar()->actions()) {
        menus << action->text();
    }
    EXPECT_EQ(menus, (QStringList{"&File", "&Edit", "&View", "&Options", "&Help"}));
    const QMenu* help = frame->menuBar()->actions()[4]->menu();
    ASSERT_EQ(help->actions().size(), 1);
    EXPECT_EQ(help->actions()[0]->text(), QStringLiteral("&About Tarvik\u2026"));
    EXPECT_EQ(frame->QuitAction()->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
    EXPECT_EQ(frame->FindAction()->shortcut(), QKeySequence(QStringLiteral("Ctrl+F")));
    EXPECT_EQ(frame->RefreshAction()->shortcut(), QKeySequence(Qt::Key_F5));
    EXPECT_EQ(frame->View()->CopyRowAction()->shortcut(), QKeySequence::Copy);
    EXPECT_TRUE(frame->windowTitle().endsWith(" - Tarvik"));
    EXPECT_TRUE(frame->windowTitle().startsWith(
        QString::fromStdString(DocumentTitle(CSettingsStore::LocalHostName()))));

    const std::unique_ptr<QMessageBox> about = CMainFrame::CreateAboutBox(frame.get());
    EXPECT_EQ(about->text(), "Tarvik v2.0");
    EXPECT_TRUE(about->informativeText().contains("GPL-3.0-or-later"));
    EXPECT_TRUE(about->informativeText().contains("https://github.com/corvane/tarvik"));
    ASSERT_EQ(about->buttons().size(), 1);
    EXPECT_EQ(about->buttons()[0]->text(), "OK");
}

// What the close path has done by the time it waits for the workers.
struct AtJoin {
    bool seen = false;
    bool visible = true;
    bool trayShown = true;
    int listening = -1;
    std::string widths;
    std::string placement;
};

TEST_F(MainFrameTest, ClosePathStoresEverythingAndHidesTheWindowBeforeItWaits) {
    auto frame = MakeFrame(true);
    const int listening = settings.Store().GetShowListening();
    bool savedBeforeQuit = true;
    log->onQuit = [&] { savedBeforeQuit = settings.ReadBack()->GetShowListening() != listening; };
    AtJoin atJoin;
    // Runs on the thread that waits for the workers, while the GUI thread waits for it.
    log->onJoin = [&] {
        const auto stored = settings.ReadBack();
        atJoin = {true,
                  frame->isVisible(),
                  frame->View()->Tray()->Shown(),
                  stored->GetShowListening(),
                  stored->GetProfileString("View", "columnwidths"),
                  stored->GetProfileString("Settings", "MainWndPos")};
    };
    int ended = 0;
    frame->SetStopBound(std::chrono::seconds(5), [&ended] { ++ended; });
    frame->ShowWithPlacement();
    ASSERT_NE(frame->View()->Tray(), nullptr);
    EXPECT_TRUE(frame->View()->Tray()->Shown());
    settings.Store().SetShowListening(listening ? 0 : 1);
    frame->View()->setColumnWidth(0, 140);

    frame->close();

    EXPECT_TRUE(frame->Closed());
    EXPECT_FALSE(savedBeforeQuit);  // quit goes out first
    EXPECT_EQ(log->calls, (std::vector<std::string>{"quit", "join"}));
    ASSERT_TRUE(atJoin.seen);
    EXPECT_FALSE(atJoin.visible);
    EXPECT_FALSE(atJoin.trayShown);
    EXPECT_EQ(atJoin.listening, listening ? 0 : 1);
    EXPECT_EQ(atJoin.widths.substr(0, 4), "140,");
    EXPECT_EQ(std::count(atJoin.widths.begin(), atJoin.widths.end(), ','), 12) << atJoin.widths;
    EXPECT_TRUE(ParsePlacement(atJoin.placement).has_value()) << atJoin.placement;
    EXPECT_EQ(ended, 0);  // the workers ended in time

    frame->RunClosePath();  // a second way out changes nothing
    EXPECT_EQ(log->calls.size(), 2u);
}

TEST_F(MainFrameTest, StuckWorkerCannotHoldTheClosePathPastItsBound) {
    auto frame = MakeFrame(true);
    auto gate = std::make_shared<test::Gate>();
    log->onJoin = [gate] { gate->WaitOpen(std::chrono::seconds(20)); };
    int ended = 0;
    constexpr auto kBound = std::chrono::milliseconds(300);
    frame->SetStopBound(kBound, [&ended] { ++ended; });
    frame->ShowWithPlacement();
    const int outbound = settings.Store().GetShowOutbound();
    settings.Store().SetShowOutbound(outbound ? 0 : 1);

    const auto start = std::chrono::steady_clock::now();
    frame->close();
    const auto took = std::chrono::steady_clock::now() - start;

    EXPECT_LT(took, kBound + std::chrono::seconds(4));
    EXPECT_EQ(ended, 1);
    EXPECT_TRUE(frame->Closed());
    EXPECT_FALSE(frame->isVisible());
    EXPECT_FALSE(frame->View()->Tray()->Shown());
    const auto stored = settings.ReadBack();
    EXPECT_EQ(stored->GetShowOutbound(), outbound ? 0 : 1);
    EXPECT_FALSE(stored->GetProfileString("Settings", "MainWndPos").empty());

    // The stuck worker ends later on its own thread; the frame may be gone by then.
    frame.reset();
    gate->Open();
    EXPECT_TRUE(WaitFor([&] { return log->joined.load(); }));
}

TEST_F(MainFrameTest, SavingForTheSessionLeavesTheWorkersRunning) {
    auto frame = MakeFrame(true);
    frame->ShowWithPlacement();
    const int inbound = settings.Store().GetShowInbound();
    settings.Store().SetShowInbound(inbound ? 0 : 1);
    frame->View()->setColumnWidth(2, 130);

    frame->SaveState();

    EXPECT_TRUE(log->calls.empty());
    EXPECT_FALSE(frame->Closed());
    EXPECT_TRUE(frame->isVisible());
    EXPECT_TRUE(frame->View()->Tray()->Shown());
    const auto stored = settings.ReadBack();
    EXPECT_EQ(stored->GetShowInbound(), inbound ? 0 : 1);
    const std::string widths = stored->GetProfileString("View", "columnwidths");
    EXPECT_EQ(StoredColumnWidth(widths, 2), 130) << widths;
    EXPECT_EQ(StoredColumnWidth(widths, 1), frame->View()->columnWidth(1)) << widths;
    EXPECT_FALSE(stored->GetProfileString("Settings", "MainWndPos").empty());

    // The logout was cancelled: the program goes on, and closes fully later.
    frame->close();
    EXPECT_EQ(log->calls, (std::vector<std::string>{"quit", "join"}));
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

TEST_F(MainFrameTest, TerminationSignalsRunTheClosePath) {
    // SIGHUP: the terminal the window was started from has closed.
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        auto frame = MakeFrame(false);
        frame->ShowWithPlacement();
        CTerminationSignals termination;
        ASSERT_TRUE(termination.Installed());
        QObject::connect(&termination, &CTerminationSignals::terminationRequested, frame.get(),
                         &QWidget::close);
        const int inbound = settings.Store().GetShowInbound();
        settings.Store().SetShowInbound(inbound ? 0 : 1);
        std::raise(number);
        ASSERT_TRUE(WaitFor([&] { return frame->Closed(); })) << number;
        EXPECT_EQ(settings.ReadBack()->GetShowInbound(), inbound ? 0 : 1) << number;
    }
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
    EXPECT_EQ(ignored->normalGeometry().size(), ignored->DefaultSize());
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
    EXPECT_EQ(placement->right - placement->left, frame->DefaultSize().width());
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

TEST_F(MainFrameTest, StatusBarCountsShownRowsAndNamesTheBackEnd) {
    auto frame = MakeFrame(false);
    frame->ShowWithPlacement();
    EXPECT_EQ(frame->BackendLabel()->text(), "poll");
    EXPECT_EQ(frame->CountLabel()->text(), "0 connections");
    CConnectionRecord a;
    a.id = 1;
    a.hostName = "alpha";
    CConnectionRecord b = a;
    b.id = 2;
    b.hostName = "beta";
    frame->View()->Apply({RowOp{RowOp::Kind::Insert, a}, RowOp{RowOp::Kind::Insert, b}});
    EXPECT_EQ(frame->CountLabel()->text(), "2 connections");

    QApplication::setActiveWindow(frame.get());
    frame->View()->setFocus();
    frame->FindAction()->trigger();
    EXPECT_TRUE(frame->FilterBar()->Search()->hasFocus());
    frame->FilterBar()->Search()->setText("ALP");
    EXPECT_EQ(frame->View()->model()->rowCount(), 1);
    EXPECT_EQ(frame->CountLabel()->text(), "1 connection of 2");

    // Connections the category filters keep from the list count in "of M" too; the tracker
    // tells the number from its own thread.
    std::thread([&frame] { frame->View()->LiveCount(5); }).join();
    QCoreApplication::processEvents();
    EXPECT_EQ(frame->CountLabel()->text(), "1 connection of 5");
    frame->FilterBar()->Search()->clear();
    EXPECT_EQ(frame->CountLabel()->text(), "2 connections of 5");

    // A menu prompt still reaches the status bar beside the counts.
    frame->statusBar()->showMessage("Show ports listening for connections");
    EXPECT_EQ(frame->statusBar()->currentMessage(), "Show ports listening for connections");
    EXPECT_TRUE(frame->CountLabel()->isVisible());
    frame->RunClosePath();
}

TEST_F(MainFrameTest, DefaultSizeShowsEveryColumn) {
    auto frame = MakeFrame(false);
    const QHeaderView* header = frame->View()->horizontalHeader();
    int columns = frame->View()->verticalScrollBar()->sizeHint().width();
    for (int column = 0; column < header->count(); ++column) {
        // The width each column opens with, never cut below its heading.
        columns += header->isSectionHidden(column)
                       ? 0
                       : std::max(header->sectionSize(column), header->sectionSizeHint(column));
    }
    const int screen = QGuiApplication::primaryScreen()->availableGeometry().width();
    EXPECT_GE(frame->DefaultSize().width(), std::min(columns, screen));
    EXPECT_LE(frame->DefaultSize().width(), screen);
    frame->RunClosePath();
}

TEST(AlertTableModel, NewestFirstAndBoundedWithTheDroppedCounted) {
    test::TestApp();
    CAlertTableModel alerts(3);
    for (int i = 1; i <= 5; ++i) {
        alerts.Add({"192.0.2." + std::to_string(i), {22, 80 + i}, i % 2 ? "SYN" : "connect", i});
    }
    ASSERT_EQ(alerts.rowCount(), 3);
    EXPECT_EQ(alerts.Dropped(), 2u);
    EXPECT_EQ(alerts.Total(), 5u);
    const QStringList headers{"Time", "Host", "Ports", "Kind"};
    for (int column = 0; column < alerts.columnCount(); ++column) {
        EXPECT_EQ(alerts.headerData(column, Qt::Horizontal, Qt::DisplayRole), headers[column]);
    }
    struct Row {
        const char* host;
        const char* ports;
        const char* kind;
    };
    const Row expected[] = {{"192.0.2.5", "22, 85", "SYN"},
                            {"192.0.2.4", "22, 84", "connect"},
                            {"192.0.2.3", "22, 83", "SYN"}};
    for (int row = 0; row < 3; ++row) {
        auto text = [&](int column) { return alerts.index(row, column).data().toString(); };
        EXPECT_EQ(text(CAlertTableModel::kTimeColumn), QString::fromStdString(TimeText(5 - row)));
        EXPECT_EQ(text(CAlertTableModel::kHostColumn), expected[row].host);
        EXPECT_EQ(text(CAlertTableModel::kPortsColumn), expected[row].ports);
        EXPECT_EQ(text(CAlertTableModel::kKindColumn), expected[row].kind);
    }
}

TEST_F(MainFrameTest, AlertsFromTheScanWatcherReachTheAlertList) {
    auto frame = MakeFrame(false);
    frame->ShowWithPlacement();
    const QMenu* viewMenu = frame->menuBar()->actions()[2]->menu();
    EXPECT_TRUE(viewMenu->actions().contains(frame->AlertsAction()));
    EXPECT_EQ(frame->AlertsAction()->text(), "Scan &Alerts");
    EXPECT_FALSE(frame->AlertDock()->isVisible());
    EXPECT_FALSE(frame->AlertCountLabel()->isVisible());

    // Published as the scan watcher does, from a thread of its own.
    std::thread([this] {
        hub.Publish(ScanAlertEvent{"198.51.100.7", {21, 22, 23}, "SYN", 1});
    }).join();
    std::thread([this] {
        hub.Publish(ScanAlertEvent{"2001:db8::9", {25, 80, 443}, "FIN", 2});
    }).join();
    const CAlertTableModel& alerts = frame->View()->Alerts();
    ASSERT_TRUE(WaitFor([&] { return alerts.rowCount() == 2; }));
    EXPECT_EQ(alerts.At(0).remoteAddress, "2001:db8::9");
    EXPECT_TRUE(frame->AlertCountLabel()->isVisible());
    EXPECT_TRUE(frame->AlertCountLabel()->text().contains("2 scan alerts"));

    emit frame->AlertCountLabel()->linkActivated(QStringLiteral("alerts"));
    EXPECT_TRUE(frame->AlertDock()->isVisible());
    frame->RunClosePath();
    EXPECT_EQ(hub.Registry().Size(), 0u);  // the receiver is gone from the hub's list
}

// The visible message boxes whose text holds `part`.
std::vector<QMessageBox*> BoxesWith(const QString& part) {
    std::vector<QMessageBox*> boxes;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box != nullptr && box->isVisible() && box->text().contains(part)) {
            boxes.push_back(box);
        }
    }
    return boxes;
}

TEST(MessageBoxNotifier, MessagesWhileItsBoxIsOpenJoinThatBox) {
    test::TestApp();
    CMessageBoxNotifier notifier(nullptr);
    const int count = CMessageBoxNotifier::kMaxShown + 2;
    std::thread worker([&] {
        for (int i = 0; i < count; ++i) {
            notifier.ShowMessage("cannot open /ro/category" + std::to_string(i));
        }
    });
    worker.join();
    ASSERT_TRUE(WaitFor([] { return !BoxesWith("/ro/category0").empty(); }));
    QCoreApplication::processEvents();
    const std::vector<QMessageBox*> boxes = BoxesWith("/ro/category");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0]->text().contains("/ro/category19"));
    EXPECT_FALSE(boxes[0]->text().contains("/ro/category20"));
    EXPECT_EQ(boxes[0]->informativeText(), "2 more messages not shown.");
    boxes[0]->close();

    notifier.ShowMessage("later <b>fault</b>");  // a box of its own once the first is closed
    ASSERT_TRUE(WaitFor([] { return !BoxesWith("later").empty(); }));
    EXPECT_EQ(BoxesWith("later")[0]->textFormat(), Qt::PlainText);
    BoxesWith("later")[0]->close();
}

TEST_F(MainFrameTest, UnusableLogFoldersAreOneNoticeAtStart) {
    auto notifier = std::make_shared<test::RecordingNotifier>();
    hub.SetUserNotifier(notifier);
    const std::filesystem::path plain = settings.File().parent_path() / "plain";
    std::ofstream(plain) << "x";
    for (const LogCategory category : {LogCategory::Inbound, LogCategory::Unknown}) {
        settings.Store().SetLogEnabled(category, 1);
        settings.Store().SetLogFolder(category, (plain / "logs").string());
    }
    settings.Store().SetLogEnabled(LogCategory::Outbound, 0);
    auto frame = MakeFrame(false);
    frame->ShowWithPlacement();
    ASSERT_EQ(notifier->Messages().size(), 1u);
    EXPECT_EQ(notifier->Messages()[0], "Connection logs cannot be written:\n" +
                                           (plain / "logs").string() +
                                           " (inbound, unknown): cannot be made: Not a directory\n"
                                           "Choose other folders in Options > Logging.");
    frame->RunClosePath();
}

}  // namespace
}  // namespace tarvik
