#include "ui/window/TarvikView.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMenu>
#include <QThread>
#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "scan/ScanEvents.h"
#include "settings/LogFolders.h"
#include "settings/SettingsStore.h"
#include "tracking/Events.h"
#include "tracking/SettingsLink.h"
#include "ui/dialogs/LoggingOptionsDlg.h"
#include "ui/dialogs/OptionsCommon.h"
#include "ui/dialogs/ScanOptionsDlg.h"
#include "ui/model/RowRules.h"
#include "ui/window/AlertList.h"
#include "ui/window/DesktopNotifier.h"
#include "ui/window/RowDelegate.h"
#include "ui/window/RowTableModel.h"
#include "ui/window/SystemTray.h"
#include "workers/WorkerHub.h"

namespace tarvik {
namespace {

constexpr int kColumns = kListColumns;
const char* const kViewSection = "View";
const char* const kColumnWidthsName = "columnwidths";
const char* const kHiddenColumnsName = "hiddencolumns";
const char* const kSortColumnName = "sortcolumn";
const char* const kSortOrderName = "sortorder";
const char* const kAscending = "ascending";
const char* const kDescending = "descending";

// "1,4," for columns 1 and 4, the form of the other stored lists.
std::string FormatColumnList(const std::vector<int>& columns) {
    return FormatColumnWidths(columns);
}

std::vector<int> ParseColumnList(const std::string& text) {
    std::vector<int> columns;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const std::string field = text.substr(start, comma - start);
        char* end = nullptr;
        const long column = std::strtol(field.c_str(), &end, 10);
        if (!field.empty() && *end == '\0' && column >= 0 && column < kColumns) {
            columns.push_back(static_cast<int>(column));
        }
        start = comma + 1;
    }
    return columns;
}

}  // namespace

CTarvikView::CTarvikView(CSettingsStore& settings, CWorkerHub& hub, WorkersFactory workers,
                         TrayFactory tray, QWidget* parent)
    : QTableView(parent),
      settings_(settings),
      hub_(hub),
      workersFactory_(std::move(workers)),
      trayFactory_(std::move(tray)),
      rows_(new CRowTableModel(ColumnTitles(), this)),
      alerts_(new CAlertTableModel(CAlertTableModel::kCapacity, this)) {
    ConnectSettings(settings_, hub_);
    setModel(rows_);
    setItemDelegate(new CRowDelegate(this));
    // Every row is one line: no row is ever measured.
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    setSortingEnabled(false);  // the heading-click rule sorts, not QTableView
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setShowGrid(false);
    setWordWrap(false);
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    horizontalHeader()->setSectionsMovable(true);
    horizontalHeader()->setSectionsClickable(true);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    horizontalHeader()->setStretchLastSection(true);
    horizontalHeader()->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(horizontalHeader(), &QHeaderView::sectionClicked, this, &CTarvikView::OnHeadingClicked);
    connect(horizontalHeader(), &QHeaderView::customContextMenuRequested, this,
            [this](const QPoint& at) {
                CreateHeaderMenu()->exec(horizontalHeader()->viewport()->mapToGlobal(at));
            });
    RestoreColumnWidths();
    RestoreHiddenColumns();
    RestoreSortOrder();

    copyRowAction_ = new QAction(tr("Copy &row"), this);
    copyRowAction_->setShortcut(QKeySequence::Copy);
    copyRowAction_->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    copyRowAction_->setStatusTip(tr("Copy the selected row's cells, separated by tabs"));
    connect(copyRowAction_, &QAction::triggered, this, &CTarvikView::CopyRow);
    addAction(copyRowAction_);

    for (QTimer* timer : {&dataTimer_, &scanTimer_, &memoryTimer_}) {
        timer->setSingleShot(true);  // each tick arms its timer again
    }
    connect(&dataTimer_, &QTimer::timeout, this, &CTarvikView::TickData);
    connect(&scanTimer_, &QTimer::timeout, this, &CTarvikView::TickScan);
    connect(&memoryTimer_, &QTimer::timeout, this, &CTarvikView::TickMemory);
}

CTarvikView::~CTarvikView() {
    StopWorkers();
    DisconnectSettings(settings_);
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

void CTarvikView::LiveCount(std::size_t count) {
    const auto live = static_cast<long long>(count);
    if (liveCount_.exchange(live) != live) {
        // Queued with the view as context: a view that is gone drops the call.
        QMetaObject::invokeMethod(
            this, [this] { emit liveCountChanged(); }, Qt::QueuedConnection);
    }
}

void CTarvikView::TakePending() {
    const RowBatch batch = pending_.Take();
    if (batch.empty() || !accepting_.load()) {
        return;
    }
    rows_->Apply(batch);
    SizeColumnsToFirstRows();
}

void CTarvikView::SizeColumnsToFirstRows() {
    if (!sizeToFirstRows_ || rows_->rowCount() == 0) {
        return;
    }
    sizeToFirstRows_ = false;
    for (int column = 0; column < kColumns; ++column) {
        // Never narrower than the heading or the classic width.
        const int width =
            std::max(sizeHintForColumn(column) + 8,
                     std::max(horizontalHeader()->sectionSizeHint(column), kColumnWidth));
        setColumnWidth(column, width);
    }
}

void CTarvikView::OnHeadingClicked(int column) {
    rows_->ClickHeading(column);
    ShowSortIndicator();
}

void CTarvikView::ShowSortIndicator() {
    const int key = rows_->SortKey();
    horizontalHeader()->setSortIndicatorShown(key != 0);
    if (key != 0) {
        horizontalHeader()->setSortIndicator(std::abs(key) - 1,
                                             key > 0 ? Qt::AscendingOrder : Qt::DescendingOrder);
    }
}

void CTarvikView::showEvent(QShowEvent* event) {
    QTableView::showEvent(event);
    Start();
}

void CTarvikView::changeEvent(QEvent* event) {
    QTableView::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange) {
        rows_->SetPalette(palette());
    }
}

void CTarvikView::Start() {
    if (started_) {
        return;
    }
    started_ = true;
    // Before the logger tries them: one notice for every folder that cannot take the logs,
    // rather than one from each category at its first ended connection.
    const std::string folderNotice = LogFolderNotice(PrepareLogFolders(settings_));
    if (workersFactory_) {
        workers_ = WithAlertReceiver(workersFactory_(settings_, hub_, *this), hub_, alerts_);
        workers_->SetStatusListener([this] {
            QMetaObject::invokeMethod(
                this, [this] { emit backendChanged(); }, Qt::QueuedConnection);
        });
        emit workersStarted();
    }
    // A window attached to a daemon writes no logs: its folders are none of the user's concern.
    const bool attached = workers_ && !workers_->SettingsNote().empty();
    if (!folderNotice.empty() && !attached) {
        hub_.NotifyUser(folderNotice);
    }
    TickData();
    TickScan();
    TickMemory();
    CreateTray();
}

void CTarvikView::RefreshNow() {
    if (workers_ && workers_->RefreshNow()) {
        return;
    }
    hub_.Publish(Poll{});
}

std::string CTarvikView::BackendName() const {
    return workers_ ? workers_->BackendName() : std::string();
}

void CTarvikView::TickData() {
    hub_.Trace("tick, data refresh");
    hub_.Publish(Poll{});
    // The rows hold the counts of the last read: their rates are over the time between ticks.
    if (rateClock_.isValid()) {
        rows_->RefreshRates(static_cast<double>(rateClock_.restart()) / 1000);
    } else {
        rateClock_.start();
    }
    dataTimer_.start(settings_.GetRefreshPeriodMs());
}

void CTarvikView::TickScan() {
    hub_.Trace("tick, scan check");
    hub_.Publish(ScanCheck{});
    scanTimer_.start(kScanCheckMs);
}

void CTarvikView::TickMemory() {
    // Only the trace line is left of this tick: no worker has memory work to do.
    hub_.Trace("tick, mem check");
    memoryTimer_.start(kMemoryCheckMs);
}

void CTarvikView::CreateTray() {
    tray_ = trayFactory_ ? trayFactory_() : std::make_unique<CSystemTray>();
    QIcon icon = QApplication::windowIcon();
    if (!tray_->Create(QStringLiteral("Tarvik"), icon)) {
        tray_.reset();
        // No tray to carry the alerts' balloons: the desktop's notifications do.
        hub_.SetBalloonSink(std::make_shared<CDesktopNotifier>());
        return;
    }
    connect(tray_.get(), &CSystemTray::restoreRequested, this, &CTarvikView::restoreRequested);
    connect(tray_.get(), &CSystemTray::aboutRequested, this, &CTarvikView::aboutRequested);
    connect(tray_.get(), &CSystemTray::exitRequested, this, &CTarvikView::exitRequested);
    hub_.SetBalloonSink(tray_->BalloonSink());
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
    hub_.SetBalloonSink(nullptr);
    if (tray_) {
        tray_->RemoveIcon();
    }
    StoreColumnWidths();
}

void CTarvikView::RestoreColumnWidths() {
    const std::string stored = settings_.GetProfileString(kViewSection, kColumnWidthsName);
    sizeToFirstRows_ = stored.empty();
    QHeaderView* header = horizontalHeader();
    for (int column = 0; column < kColumns; ++column) {
        const std::optional<int> width =
            stored.empty() ? std::nullopt
                           : StoredColumnWidth(stored, static_cast<std::size_t>(column));
        // Without a stored width the heading decides, so that none is cut.
        const int content = std::max(header->sectionSizeHint(column), kColumnWidth);
        setColumnWidth(column, width.value_or(content));
    }
}

void CTarvikView::RestoreHiddenColumns() {
    for (int column :
         ParseColumnList(settings_.GetProfileString(kViewSection, kHiddenColumnsName))) {
        SetColumnShown(column, false);
    }
}

void CTarvikView::SetColumnShown(int column, bool shown) {
    hiddenWidths_.resize(static_cast<std::size_t>(kColumns), 0);
    if (!shown && !isColumnHidden(column)) {
        hiddenWidths_[static_cast<std::size_t>(column)] = columnWidth(column);
    }
    setColumnHidden(column, !shown);
}

void CTarvikView::RestoreSortOrder() {
    const std::string column = settings_.GetProfileString(kViewSection, kSortColumnName);
    char* end = nullptr;
    const long index = std::strtol(column.c_str(), &end, 10);
    if (column.empty() || *end != '\0' || index < 0 || index >= kColumns) {
        return;
    }
    const bool descending = settings_.GetProfileString(kViewSection, kSortOrderName) == kDescending;
    const int key = static_cast<int>(index) + 1;
    rows_->SetSortKey(descending ? -key : key);
    ShowSortIndicator();
}

void CTarvikView::StoreColumnWidths() {
    std::vector<int> widths;
    std::vector<int> hidden;
    for (int column = 0; column < kColumns; ++column) {
        // A hidden column keeps the width it had when shown.
        const auto index = static_cast<std::size_t>(column);
        const bool hiddenWidth =
            isColumnHidden(column) && index < hiddenWidths_.size() && hiddenWidths_[index] > 0;
        widths.push_back(hiddenWidth ? hiddenWidths_[index] : columnWidth(column));
        if (isColumnHidden(column)) {
            hidden.push_back(column);
        }
    }
    settings_.WriteProfileString(kViewSection, kColumnWidthsName, FormatColumnWidths(widths));
    settings_.WriteProfileString(kViewSection, kHiddenColumnsName, FormatColumnList(hidden));
    const int key = rows_->SortKey();
    settings_.WriteProfileString(kViewSection, kSortColumnName,
                                 key == 0 ? std::string() : std::to_string(std::abs(key) - 1));
    settings_.WriteProfileString(kViewSection, kSortOrderName,
                                 key == 0 ? std::string() : (key > 0 ? kAscending : kDescending));
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
    // Both open a dialog, so their texts end with an ellipsis.
    loggingAction_ = menu->addAction(tr("&Logging\u2026"));
    scanAction_ = menu->addAction(tr("Port &Scan Detection\u2026"));
    // Each opening builds the dialog afresh from the settings, so nothing cancelled survives.
    connect(loggingAction_, &QAction::triggered, this, [this] {
        CLoggingOptionsDlg dialog(settings_, this);
        ShowOptions(dialog);
    });
    connect(scanAction_, &QAction::triggered, this, [this] {
        CScanOptionsDlg dialog(settings_, hub_, this);
        ShowOptions(dialog);
    });
    return menu;
}

void CTarvikView::ShowOptions(QDialog& dialog) {
    const std::string note = workers_ ? workers_->SettingsNote() : std::string();
    if (!note.empty()) {
        MakeReadOnly(dialog, tr(note.c_str()));
    }
    dialog.exec();
}

std::unique_ptr<QMenu> CTarvikView::CreateContextMenu() {
    auto menu = std::make_unique<QMenu>(this);
    menu->addAction(tr("Copy &Hostname"))->setData(static_cast<int>(Column::HostName));
    menu->addAction(tr("Copy IP &Address"))->setData(static_cast<int>(Column::IpAddress));
    menu->addAction(copyRowAction_);
    return menu;
}

std::unique_ptr<QMenu> CTarvikView::CreateHeaderMenu() {
    auto menu = std::make_unique<QMenu>(this);
    for (int column = 0; column < kColumns; ++column) {
        QAction* action = menu->addAction(rows_->headerData(column, Qt::Horizontal).toString());
        action->setCheckable(true);
        action->setChecked(!isColumnHidden(column));
        connect(action, &QAction::toggled, this, [this, column](bool shown) {
            // One column always stays, or the header could never be reached again.
            const int visible =
                horizontalHeader()->count() - horizontalHeader()->hiddenSectionCount();
            if (!shown && visible <= 1) {
                return;
            }
            SetColumnShown(column, shown);
        });
    }
    return menu;
}

void CTarvikView::contextMenuEvent(QContextMenuEvent* event) {
    const std::unique_ptr<QMenu> menu = CreateContextMenu();
    const QAction* chosen = menu->exec(event->globalPos());
    if (chosen == nullptr || chosen == copyRowAction_) {
        return;  // the row's own action has run already
    }
    CopyCell(static_cast<Column>(chosen->data().toInt()));
}

int CTarvikView::FirstSelectedRow() const {
    int first = -1;
    if (selectionModel() != nullptr) {
        for (const QModelIndex& index : selectionModel()->selectedRows()) {
            if (first < 0 || index.row() < first) {
                first = index.row();
            }
        }
    }
    return first;
}

void CTarvikView::CopyCell(Column column) {
    QString text;
    const int first = FirstSelectedRow();
    if (first >= 0) {
        text = rows_->index(first, static_cast<int>(column)).data().toString();
    }
    QApplication::clipboard()->setText(text);
}

void CTarvikView::CopyRow() {
    const int first = FirstSelectedRow();
    if (first < 0) {
        return;
    }
    QStringList cells;
    for (int column = 0; column < kColumns; ++column) {
        cells.append(rows_->index(first, column).data().toString());
    }
    QApplication::clipboard()->setText(cells.join(QLatin1Char('\t')));
}

}  // namespace tarvik
