#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>

#include <QAction>
#include <QClipboard>
#include <QHeaderView>
#include <QMenu>
#include <atomic>
#include <thread>

#include "scan/ScanEvents.h"
#include "support/RecordingWorker.h"
#include "support/WindowTestSupport.h"
#include "tracking/Events.h"
#include "ui/model/RowRules.h"
#include "ui/window/RowTableModel.h"
#include "ui/window/SystemTray.h"
#include "ui/window/TarvikView.h"
#include "workers/WorkerHub.h"

namespace tarvik {
namespace {

using test::FakeFactory;
using test::FakeWorkersLog;
using test::TempSettings;

CConnectionRecord Record(int id, std::string host) {
    CConnectionRecord record;
    record.id = id;
    record.hostName = std::move(host);
    record.ipAddress = "127.0.0." + std::to_string(id);
    record.localPort = 5000 + id;
    record.state = TcpState::Established;
    return record;
}

std::vector<QString> ActionTexts(const QMenu& menu) {
    std::vector<QString> texts;
    for (const QAction* action : menu.actions()) {
        texts.push_back(action->isSeparator() ? QStringLiteral("-") : action->text());
    }
    return texts;
}

class TarvikViewTest : public ::testing::Test {
protected:
    void SetUp() override { test::TestApp(); }

    // A view that never starts real workers and never finds a tray.
    std::unique_ptr<CTarvikView> MakeView() {
        return std::make_unique<CTarvikView>(settings.Store(), hub, FakeFactory(log), [] {
            return std::make_unique<CSystemTray>(nullptr, [] { return false; });
        });
    }

    CWorkerHub hub;
    TempSettings settings;
    std::shared_ptr<FakeWorkersLog> log = std::make_shared<FakeWorkersLog>();
};

TEST_F(TarvikViewTest, SevenHeadingsFromTheSettingsThenProcessAndNoBuiltInSorting) {
    auto view = MakeView();
    const std::vector<std::string> titles = ColumnTitles();
    ASSERT_EQ(view->model()->columnCount(), 12);
    const QFontMetrics metrics(view->horizontalHeader()->font());
    for (int column = 0; column < 7; ++column) {
        const QString title = view->model()->headerData(column, Qt::Horizontal).toString();
        EXPECT_EQ(title.toStdString(), titles[static_cast<std::size_t>(column)]);
        // Without stored widths no heading is cut, "Connection State" included.
        EXPECT_GE(view->columnWidth(column), std::max(100, metrics.horizontalAdvance(title)));
    }
    EXPECT_EQ(view->model()->headerData(7, Qt::Horizontal).toString(), "Process");
    EXPECT_EQ(view->model()->headerData(11, Qt::Horizontal).toString(), "Protocol");
    EXPECT_TRUE(view->horizontalHeader()->stretchLastSection());
    EXPECT_EQ(titles.front(), "Hostname");
    EXPECT_FALSE(view->isSortingEnabled());
    EXPECT_TRUE(view->horizontalHeader()->sectionsMovable());
    EXPECT_EQ(view->selectionBehavior(), QAbstractItemView::SelectRows);
}

TEST_F(TarvikViewTest, HeadingClicksFollowTheSortKeyRule) {
    auto view = MakeView();
    view->Apply({RowOp{RowOp::Kind::Insert, Record(1, "b")},
                 RowOp{RowOp::Kind::Insert, Record(2, "a")},
                 RowOp{RowOp::Kind::Insert, Record(3, "c")}});
    auto hosts = [&] {
        QStringList list;
        for (int row = 0; row < view->model()->rowCount(); ++row) {
            list << view->model()->index(row, 0).data().toString();
        }
        return list.join(',');
    };
    emit view->horizontalHeader()->sectionClicked(0);
    EXPECT_EQ(view->Rows().SortKey(), 1);
    EXPECT_EQ(hosts(), "a,b,c");
    emit view->horizontalHeader()->sectionClicked(0);
    EXPECT_EQ(hosts(), "c,b,a");
    emit view->horizontalHeader()->sectionClicked(1);
    EXPECT_EQ(view->Rows().SortKey(), 2);
    EXPECT_EQ(hosts(), "b,a,c");
}

TEST_F(TarvikViewTest, ViewMenuTextsPromptsAndCheckMarksFromTheSettings) {
    auto view = MakeView();
    std::unique_ptr<QMenu> menu(view->CreateViewMenu(nullptr));
    EXPECT_EQ(menu->title(), "&View");
    EXPECT_EQ(ActionTexts(*menu),
              (std::vector<QString>{"&DNS Lookups Enabled", "-", "Show &Listening Ports", "-",
                                    "Show &Inbound Connections", "Show &Outbound Connections",
                                    "Show &Unknown Connections"}));
    const QList<QAction*> actions = menu->actions();
    EXPECT_EQ(actions[0]->statusTip(), "Enable Reverse DNS Lookup of Hostnames");
    EXPECT_EQ(actions[2]->statusTip(), "Show ports listening for connections");
    EXPECT_EQ(actions[4]->statusTip(), "Show inbound connections to this computer");
    EXPECT_EQ(actions[5]->statusTip(), "Show outbound connections from this computer");
    EXPECT_EQ(actions[6]->statusTip(), "Show connections that were not recognized");

    // Changed elsewhere (the store): the marks follow when the menu is shown next.
    CSettingsStore& store = settings.Store();
    store.SetShowListening(1);
    store.SetShowInbound(0);
    emit menu->aboutToShow();
    EXPECT_TRUE(actions[2]->isChecked());
    EXPECT_FALSE(actions[4]->isChecked());
    EXPECT_EQ(actions[0]->isChecked(), store.GetReverseLookup() != 0);

    std::unique_ptr<QMenu> options(view->CreateOptionsMenu(nullptr));
    EXPECT_EQ(options->title(), "&Options");
    // Both open dialogs, so both end with an ellipsis.
    EXPECT_EQ(ActionTexts(*options),
              (std::vector<QString>{QStringLiteral("&Logging\u2026"),
                                    QStringLiteral("Port &Scan Detection\u2026")}));
}

TEST_F(TarvikViewTest, OptionsCommandsOpenTheirDialogs) {
    auto view = MakeView();
    std::unique_ptr<QMenu> options(view->CreateOptionsMenu(nullptr));
    for (auto [action, title] :
         {std::pair{view->LoggingOptionsAction(), "Logging Options"},
          std::pair{view->ScanOptionsAction(), "Port Scan Detection Options"}}) {
        ASSERT_TRUE(action->isEnabled());
        QString shown;
        QTimer::singleShot(0, [&shown] {
            if (QWidget* dialog = QApplication::activeModalWidget()) {
                shown = dialog->windowTitle();
                dialog->close();
            }
        });
        action->trigger();
        EXPECT_EQ(shown, title);
    }
}

TEST_F(TarvikViewTest, TogglesChangeOnlyTheSettings) {
    auto view = MakeView();
    view->Apply({RowOp{RowOp::Kind::Insert, Record(1, "kept")}});

    std::unique_ptr<QMenu> menu(view->CreateViewMenu(nullptr));
    const QList<QAction*> actions = menu->actions();
    CSettingsStore& store = settings.Store();
    store.SetReverseLookup(1);
    const int listening = store.GetShowListening();
    const int unknown = store.GetShowUnknown();

    actions[0]->trigger();  // on -> off
    EXPECT_EQ(store.GetReverseLookup(), 0);
    actions[0]->trigger();  // off -> on
    EXPECT_EQ(store.GetReverseLookup(), 1);
    actions[2]->trigger();
    actions[6]->trigger();
    EXPECT_EQ(store.GetShowListening(), listening ? 0 : 1);
    EXPECT_EQ(store.GetShowUnknown(), unknown ? 0 : 1);
    EXPECT_EQ(view->model()->rowCount(), 1);
}

TEST_F(TarvikViewTest, ContextMenuCopiesTheFirstSelectedRowsCell) {
    auto view = MakeView();
    std::unique_ptr<QMenu> menu = view->CreateContextMenu();
    EXPECT_EQ(ActionTexts(*menu),
              (std::vector<QString>{"Copy &Hostname", "Copy IP &Address", "Copy &row"}));

    view->Apply({RowOp{RowOp::Kind::Insert, Record(1, "one.example")},
                 RowOp{RowOp::Kind::Insert, Record(2, "two.example")},
                 RowOp{RowOp::Kind::Insert, Record(3, "three.example")}});
    QClipboard* clipboard = QApplication::clipboard();

    clipboard->setText("before");
    view->CopyCell(Column::HostName);
    EXPECT_EQ(clipboard->text(), "");  // no selection: an empty text

    view->selectRow(2);
    view->selectionModel()->select(view->model()->index(1, 0),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    view->CopyCell(Column::HostName);
    EXPECT_EQ(clipboard->text(), "two.example");
    view->CopyCell(Column::IpAddress);
    EXPECT_EQ(clipboard->text(), "127.0.0.2");
}

TEST_F(TarvikViewTest, ColumnWidthsRestoreOnlyPositiveFieldsAndStoreAll) {
    settings.Store().WriteProfileString("View", "columnwidths", "120,,abc,0,-5");
    auto view = MakeView();
    EXPECT_EQ(view->columnWidth(0), 120);
    for (int column = 1; column < 6; ++column) {
        EXPECT_EQ(view->columnWidth(column), 100) << column;
    }
    EXPECT_GE(view->columnWidth(6), 100);  // its heading's width when wider
    view->setColumnWidth(6, 150);
    view->setColumnWidth(7, 90);
    view->CloseStep();
    EXPECT_EQ(settings.ReadBack()->GetProfileString("View", "columnwidths"),
              "120,100,100,100,100,100,150,90,100,100,100,100,");
}

TEST_F(TarvikViewTest, SevenStoredWidthsStillApplyAndTheProcessColumnGetsItsOwn) {
    settings.Store().WriteProfileString("View", "columnwidths", "90,91,92,93,94,95,96,");
    auto view = MakeView();
    for (int column = 0; column < 7; ++column) {
        EXPECT_EQ(view->columnWidth(column), 90 + column);
    }
    EXPECT_GE(view->columnWidth(7), 100);
}

TEST_F(TarvikViewTest, HiddenColumnsAndSortOrderAreStoredAndRestored) {
    {
        auto view = MakeView();
        view->setColumnWidth(4, 133);
        std::unique_ptr<QMenu> header = view->CreateHeaderMenu();
        ASSERT_EQ(header->actions().size(), 12);
        EXPECT_EQ(header->actions()[7]->text(), "Process");
        header->actions()[4]->setChecked(false);  // hide "Service Type"
        header->actions()[7]->setChecked(false);
        EXPECT_TRUE(view->isColumnHidden(4));
        view->Rows().ClickHeading(2);
        view->Rows().ClickHeading(2);  // local port, descending
        view->CloseStep();
    }
    const auto stored = settings.ReadBack();
    EXPECT_EQ(stored->GetProfileString("View", "hiddencolumns"), "4,7,");
    // A hidden column keeps its width for when it is shown again.
    EXPECT_EQ(StoredColumnWidth(stored->GetProfileString("View", "columnwidths"), 4), 133);
    EXPECT_EQ(stored->GetProfileString("View", "sortcolumn"), "2");
    EXPECT_EQ(stored->GetProfileString("View", "sortorder"), "descending");

    settings.Reopen();
    auto view = MakeView();
    EXPECT_TRUE(view->isColumnHidden(4));
    EXPECT_TRUE(view->isColumnHidden(7));
    EXPECT_FALSE(view->isColumnHidden(0));
    view->CreateHeaderMenu()->actions()[4]->setChecked(true);
    EXPECT_EQ(view->columnWidth(4), 133);
    EXPECT_EQ(view->Rows().SortKey(), -3);
    EXPECT_EQ(view->horizontalHeader()->sortIndicatorSection(), 2);
    view->Apply(
        {RowOp{RowOp::Kind::Insert, Record(1, "a")}, RowOp{RowOp::Kind::Insert, Record(2, "b")}});
    view->Rows().SetSortKey(view->Rows().SortKey());
    EXPECT_EQ(view->model()->index(0, 2).data().toString(), "5002");
}

TEST_F(TarvikViewTest, HeaderMenuKeepsOneColumnAndBadStoredListsAreIgnored) {
    settings.Store().WriteProfileString("View", "hiddencolumns", "x,-1,99,,3");
    settings.Store().WriteProfileString("View", "sortcolumn", "12");
    auto view = MakeView();
    EXPECT_TRUE(view->isColumnHidden(3));
    EXPECT_EQ(view->Rows().SortKey(), 0);
    std::unique_ptr<QMenu> header = view->CreateHeaderMenu();
    for (QAction* action : header->actions()) {
        action->setChecked(false);
    }
    int shown = 0;
    for (int column = 0; column < view->model()->columnCount(); ++column) {
        shown += view->isColumnHidden(column) ? 0 : 1;
    }
    EXPECT_EQ(shown, 1);
}

TEST_F(TarvikViewTest, CopyRowGivesTheCellsSeparatedByTabs) {
    auto view = MakeView();
    CConnectionRecord record = Record(1, "one.example");
    record.command = "sshd";
    record.pid = 812;
    view->Apply({RowOp{RowOp::Kind::Insert, record}});
    QClipboard* clipboard = QApplication::clipboard();
    clipboard->setText("before");
    view->CopyRow();
    EXPECT_EQ(clipboard->text(), "before");  // nothing selected: nothing copied
    view->selectRow(0);
    view->CopyRowAction()->trigger();
    EXPECT_EQ(clipboard->text(),
              "one.example\t127.0.0.1\t5001\t0\t\t\tEstablished\tsshd (812)\t0 B\t0 B\t0 B/s\tTCP");
}

TEST_F(TarvikViewTest, RefreshNowPublishesAPoll) {
    auto view = MakeView();
    test::Recorder<Poll> worker;
    worker.Start();
    hub.Register(&worker);
    view->RefreshNow();
    EXPECT_TRUE(worker.WaitFor(1, std::chrono::seconds(3)));
    hub.Clear();
    worker.PostQuit();
    worker.Join();
    EXPECT_EQ(worker.Count(), 1u);
}

TEST_F(TarvikViewTest, FirstDisplayStartsWorkersOnceAndTicksAtOnce) {
    test::Recorder<Poll, ScanCheck> worker;
    worker.Start();
    hub.Register(&worker);
    std::vector<std::string> traces;
    hub.Registry().SetTraceSink([&traces](std::string_view text) { traces.emplace_back(text); });

    auto view = MakeView();
    view->show();
    view->show();
    EXPECT_TRUE(view->Started());
    EXPECT_EQ(log->created, 1);
    EXPECT_EQ(log->list, view.get());
    ASSERT_TRUE(worker.WaitFor(2, std::chrono::seconds(5)));
    // The memory tick is a trace line alone: no worker has work for it.
    EXPECT_EQ(traces, (std::vector<std::string>{"tick, data refresh", "tick, scan check",
                                                "tick, mem check"}));
    EXPECT_EQ(view->Tray(), nullptr);  // no notification area here

    // The poll tick arms itself again.
    EXPECT_TRUE(test::WaitFor([&] { return worker.Count() >= 3; }));
    const auto seen = worker.Take();
    ASSERT_GE(seen.size(), 3u);
    EXPECT_TRUE(std::holds_alternative<Poll>(seen[0]));
    EXPECT_TRUE(std::holds_alternative<ScanCheck>(seen[1]));
    EXPECT_TRUE(std::holds_alternative<Poll>(seen[2]));

    view->StopWorkers();
    EXPECT_EQ(log->calls, (std::vector<std::string>{"quit", "join"}));
    hub.Registry().SetTraceSink({});
    hub.Clear();
}

// The tracker applies batches from its own thread; stopping the workers must finish while it
// keeps sending them, and what arrives after the stop is dropped.
TEST_F(TarvikViewTest, BatchesFromAnotherThreadAndStopWithoutDeadlock) {
    std::atomic<bool> stop{false};
    std::atomic<int> applied{0};
    std::thread tracker;
    struct TrackerWorkers : IWorkers {
        std::atomic<bool>* stop;
        std::thread* tracker;
        void Quit() override { stop->store(true); }
        void Join() override { tracker->join(); }
    };
    CTarvikView view(
        settings.Store(), hub,
        [&](CSettingsStore&, CWorkerHub&, IConnectionList& list) {
            tracker = std::thread([&stop, &applied, &list] {
                for (int id = 1; id <= 100000 && !stop.load(); ++id) {
                    list.Apply({RowOp{RowOp::Kind::Insert, Record(id, "h")},
                                RowOp{RowOp::Kind::Delete, Record(id - 5, "")}});
                    applied.store(id);
                }
            });
            auto workers = std::make_unique<TrackerWorkers>();
            workers->stop = &stop;
            workers->tracker = &tracker;
            return workers;
        },
        [] { return std::make_unique<CSystemTray>(nullptr, [] { return false; }); });
    view.Start();
    ASSERT_TRUE(
        test::WaitFor([&] { return applied.load() >= 50 && view.model()->rowCount() == 5; }));
    view.StopWorkers();
    EXPECT_FALSE(tracker.joinable());
    QCoreApplication::processEvents();
    EXPECT_EQ(view.model()->rowCount(), 5);  // whole batches only

    view.Apply({RowOp{RowOp::Kind::Insert, Record(999999, "late")}});
    EXPECT_EQ(view.model()->rowCount(), 5);  // refused after the stop
}

// A GUI thread that does not look at its events for a while must not hold up the tracker; when
// it looks again, it shows the newest state.
TEST_F(TarvikViewTest, TrackerNeverWaitsForABusyWindow) {
    auto view = MakeView();
    view->Apply({RowOp{RowOp::Kind::Insert, Record(1, "one")},
                 RowOp{RowOp::Kind::Insert, Record(2, "two")}});
    std::atomic<bool> done{false};
    std::thread tracker([&] {
        for (int round = 0; round < 500; ++round) {
            CConnectionRecord record = Record(1, "one-" + std::to_string(round));
            view->Apply({RowOp{RowOp::Kind::Update, record},
                         RowOp{RowOp::Kind::Insert, Record(100 + round, "brief")},
                         RowOp{RowOp::Kind::Delete, Record(100 + round, "")}});
        }
        view->Apply({RowOp{RowOp::Kind::Delete, Record(2, "")}});
        done.store(true);
    });
    // No events are processed here: a tracker that waited for this thread would not finish.
    for (int i = 0; i < 500 && !done.load(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const bool finishedAlone = done.load();
    ASSERT_TRUE(test::WaitFor([&] { return done.load(); }));  // lets a blocked one finish
    tracker.join();
    EXPECT_TRUE(finishedAlone);
    ASSERT_TRUE(test::WaitFor([&] { return view->model()->rowCount() == 1; }));
    EXPECT_EQ(view->model()->index(0, 0).data().toString(), "one-499");
}

}  // namespace
}  // namespace tarvik
