#include "ui/window/TarvikView.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMenu>
#include <QThread>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "settings/SettingsStore.h"
#include "tracking/Message.h"
#include "ui/dialogs/LoggingOptionsDlg.h"
#include "ui/dialogs/ScanOptionsDlg.h"
#include "ui/model/RowRules.h"
#include "ui/window/RowTableModel.h"
#include "ui/window/SystemTray.h"

namespace tarvik {
namespace {

constexpr int kColumns = static_cast<int>(Column::Count);
const char* const kViewSection = "View";
const char* const kColumnWidthsName = "columnwidths";

}  // namespace

CTarvikView::CTarvikView(CSettingsStore& settings, WorkersFactory workers, TrayFactory tray,
                         QWidget* parent)
    : QTableView(parent),
      settings_(settings),
      workersFactory_(std::move(workers)),
      trayFactory_(std::move(tray)),
      rows_(new CRowTableModel(settings.ColumnTitles(), this)) {
    setModel(rows_);
    setSortingEnabled(false);  // the heading-click rule sorts, not QTableView
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setShowGrid(false);
    setWordWrap(false);
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    horizontalHeader()->setSectionsMovable(true);
    horizontalHeader()->setSectionsClickable(true);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    horizontalHeader()->setStretchLastSection(false);
    connect(horizontalHeader(), &QHeaderView::sectionClicked, this, &CTarvikView::OnHeadingClicked);
    RestoreColumnWidths();

    for (QTimer* timer : {&dataTimer_, &scanTimer_, &memoryTimer_}) {
        timer->setSingleShot(true);  // each tick arms its timer again
    }
    connect(&dataTimer_, &QTimer::timeout, this, &CTarvikView::TickData);
    connect(&scanTimer_, &QTimer::timeout, this, &CTarvikView::TickScan);
    connect(&memoryTimer_, &QTimer::timeout, this, &CTarvikView::TickMemory);
}

CTarvikView::~CTarvikView() {
    StopWorkers();
}

void CTarvikView::Apply(std::vector<RowOp> ops) {
    if (!accepting_.load()) {
        return;
    }
    const bool wake = pending_.Add(ops);
    if (QThread::currentThread() == thread()) {
        TakePending();
        return;
    }
    if (wake) {
        // Queued with the view as context: a view that is gone drops the call.
        QMetaObject::invokeMethod(this, &CTarvikView::TakePending, Qt::QueuedConnection);
    }
}

void CTarvikView::TakePending() {
    const RowBatch batch = pending_.Take();
    if (batch.empty() || !accepting_.load()) {
        return;
    }
    rows_->Apply(batch);
}

void CTarvikView::OnHeadingClicked(int column) {
    rows_->ClickHeading(column);
    const int key = rows_->SortKey();
    horizontalHeader()->setSortIndicatorShown(true);
    horizontalHeader()->setSortIndicator(column,
                                         key > 0 ? Qt::AscendingOrder : Qt::DescendingOrder);
}

void CTarvikView::showEvent(QShowEvent* event) {
    QTableView::showEvent(event);
    Start();
}

void CTarvikView::Start() {
    if (started_) {
        return;
    }
    started_ = true;
    if (workersFactory_) {
        workers_ = workersFactory_(settings_, *this);
    }
    TickData();
    TickScan();
    TickMemory();
    CreateTray();
}

void CTarvikView::TickData() {
    settings_.Trace("tick, data refresh");
    settings_.Broadcast(kMsgPoll);
    dataTimer_.start(settings_.GetRefreshPeriodMs());
}

void CTarvikView::TickScan() {
    settings_.Trace("tick, scan check");
    settings_.Broadcast(kMsgScanCheck);
    scanTimer_.start(kScanCheckMs);
}

void CTarvikView::TickMemory() {
    settings_.Trace("tick, mem check");
    settings_.Broadcast(kMsgMemoryCheck);
    memoryTimer_.start(kMemoryCheckMs);
}

void CTarvikView::CreateTray() {
    tray_ = trayFactory_ ? trayFactory_() : std::make_unique<CSystemTray>();
    QIcon icon = QApplication::windowIcon();
    if (!tray_->Create(QStringLiteral("Tarvik"), icon)) {
        tray_.reset();
        return;
    }
    connect(tray_.get(), &CSystemTray::restoreRequested, this, &CTarvikView::restoreRequested);
    connect(tray_.get(), &CSystemTray::aboutRequested, this, &CTarvikView::aboutRequested);
    connect(tray_.get(), &CSystemTray::exitRequested, this, &CTarvikView::exitRequested);
    settings_.SetBalloonSink(tray_->BalloonSink());
}

void CTarvikView::QuitWorkers() {
    dataTimer_.stop();
    scanTimer_.stop();
    memoryTimer_.stop();
    // From here on nothing shows the rows: batches still coming from the tracker are dropped
    // rather than held, so the buffer cannot grow while the close path waits.
    accepting_.store(false);
    pending_.Take();
    if (workers_) {
        workers_->Quit();
    }
}

bool CTarvikView::WaitForWorkers(std::chrono::milliseconds bound) {
    if (!workers_) {
        return true;
    }
    // Nothing a worker does waits for this thread (row batches are merged, messages and
    // balloons are queued), so a plain wait cannot deadlock.
    struct JoinState {
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
    };
    auto state = std::make_shared<JoinState>();
    std::shared_ptr<IWorkers> workers(std::move(workers_));
    std::thread joiner([workers, state] {
        workers->Join();
        std::lock_guard lock(state->mutex);
        state->done = true;
        state->ended.notify_all();
    });
    bool done = false;
    {
        std::unique_lock lock(state->mutex);
        done = state->ended.wait_for(lock, bound, [&state] { return state->done; });
    }
    if (done) {
        joiner.join();
    } else {
        joiner.detach();  // owns the workers now; ends with them or with the process
    }
    return done;
}

void CTarvikView::StopWorkers() {
    QuitWorkers();
    WaitForWorkers(std::chrono::hours(24 * 365));
}

void CTarvikView::CloseStep() {
    if (tray_) {
        settings_.SetBalloonSink(nullptr);
        tray_->RemoveIcon();
    }
    StoreColumnWidths();
}

void CTarvikView::RestoreColumnWidths() {
    const std::string stored = settings_.GetProfileString(kViewSection, kColumnWidthsName);
    for (int column = 0; column < kColumns; ++column) {
        const std::optional<int> width =
            stored.empty() ? std::nullopt
                           : StoredColumnWidth(stored, static_cast<std::size_t>(column));
        setColumnWidth(column, width.value_or(kColumnWidth));
    }
}

void CTarvikView::StoreColumnWidths() {
    std::vector<int> widths;
    for (int column = 0; column < kColumns; ++column) {
        widths.push_back(columnWidth(column));
    }
    settings_.WriteProfileString(kViewSection, kColumnWidthsName, FormatColumnWidths(widths));
}

QAction* CTarvikView::AddToggle(QMenu* menu, const QString& text, const QString& prompt,
                                std::function<int()> get, std::function<void(int)> set) {
    QAction* action = menu->addAction(text);
    action->setCheckable(true);
    action->setStatusTip(prompt);
    connect(action, &QAction::triggered, this, [get, set] { set(get() ? 0 : 1); });
    connect(menu, &QMenu::aboutToShow, action, [action, get] { action->setChecked(get() != 0); });
    action->setChecked(get() != 0);
    return action;
}

QMenu* CTarvikView::CreateViewMenu(QWidget* parent) {
    auto* menu = new QMenu(tr("&View"), parent);
    CSettingsStore& s = settings_;
    AddToggle(
        menu, tr("&DNS Lookups Enabled"), tr("Enable Reverse DNS Lookup of Hostnames"),
        [&s] { return s.GetReverseLookup(); }, [&s](int v) { s.SetReverseLookup(v); });
    menu->addSeparator();
    AddToggle(
        menu, tr("Show &Listening Ports"), tr("Show ports listening for connections"),
        [&s] { return s.GetShowListening(); }, [&s](int v) { s.SetShowListening(v); });
    menu->addSeparator();
    AddToggle(
        menu, tr("Show &Inbound Connections"), tr("Show inbound connections to this computer"),
        [&s] { return s.GetShowInbound(); }, [&s](int v) { s.SetShowInbound(v); });
    AddToggle(
        menu, tr("Show &Outbound Connections"), tr("Show outbound connections from this computer"),
        [&s] { return s.GetShowOutbound(); }, [&s](int v) { s.SetShowOutbound(v); });
    AddToggle(
        menu, tr("Show &Unknown Connections"), tr("Show connections that were not recognized"),
        [&s] { return s.GetShowUnknown(); }, [&s](int v) { s.SetShowUnknown(v); });
    return menu;
}

QMenu* CTarvikView::CreateOptionsMenu(QWidget* parent) {
    auto* menu = new QMenu(tr("&Options"), parent);
    loggingAction_ = menu->addAction(tr("&Logging"));
    scanAction_ = menu->addAction(tr("Port &Scan Detection"));
    // Each opening builds the dialog afresh from the settings, so nothing cancelled survives.
    connect(loggingAction_, &QAction::triggered, this, [this] {
        CLoggingOptionsDlg dialog(settings_, this);
        dialog.exec();
    });
    connect(scanAction_, &QAction::triggered, this, [this] {
        CScanOptionsDlg dialog(settings_, this);
        dialog.exec();
    });
    return menu;
}

std::unique_ptr<QMenu> CTarvikView::CreateContextMenu() {
    auto menu = std::make_unique<QMenu>(this);
    menu->addAction(tr("Copy &Hostname"))->setData(static_cast<int>(Column::HostName));
    menu->addAction(tr("Copy IP &Address"))->setData(static_cast<int>(Column::IpAddress));
    return menu;
}

void CTarvikView::contextMenuEvent(QContextMenuEvent* event) {
    const std::unique_ptr<QMenu> menu = CreateContextMenu();
    const QAction* chosen = menu->exec(event->globalPos());
    if (chosen == nullptr) {
        return;
    }
    CopyCell(static_cast<Column>(chosen->data().toInt()));
}

void CTarvikView::CopyCell(Column column) {
    QString text;
    if (selectionModel() != nullptr) {
        const QModelIndexList selected = selectionModel()->selectedRows();
        int first = -1;
        for (const QModelIndex& index : selected) {
            if (first < 0 || index.row() < first) {
                first = index.row();
            }
        }
        if (first >= 0) {
            text = rows_->index(first, static_cast<int>(column)).data().toString();
        }
    }
    QApplication::clipboard()->setText(text);
}

}  // namespace tarvik
