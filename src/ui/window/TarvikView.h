#pragma once

#include <QElapsedTimer>
#include <QTableView>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

#include "acquisition/ConnectionRecord.h"
#include "tracking/ConnectionList.h"
#include "ui/model/RowOpBuffer.h"

class QMenu;
class QAction;
class QDialog;

namespace tarvik {

class CSettingsStore;
class CWorkerHub;
class CRowTableModel;
class CAlertTableModel;
class CSystemTray;

// The running workers as the view sees them: the five workers in the program, a fake in tests.
class IWorkers {
public:
    virtual ~IWorkers() = default;
    // Quits the workers and empties the hub's list.
    virtual void Quit() = 0;
    // Waits until every worker has ended.
    virtual void Join() = 0;
    // The way connections are read, for the status bar.
    virtual std::string BackendName() const { return "poll"; }
    // `changed` runs, on any thread, each time BackendName changes other than at the start.
    virtual void SetStatusListener(std::function<void()> /*changed*/) {}
    // Not empty while the workers follow settings that are not the window's: the option
    // dialogs then show theirs read-only, with this note.
    virtual std::string SettingsNote() const { return {}; }
    // True when the workers refresh on their own at the user's asking (a daemon's list asked
    // for again); false when the view is to ask for a poll.
    virtual bool RefreshNow() { return false; }
};

using WorkersFactory =
    std::function<std::unique_ptr<IWorkers>(CSettingsStore&, CWorkerHub&, IConnectionList&)>;
using TrayFactory = std::function<std::unique_ptr<CSystemTray>()>;

// The connection list. It is the tracker's IConnectionList, starts the workers and the three
// ticks at its first display, and carries the View, Options and context menus.
class CTarvikView : public QTableView, public IConnectionList {
    Q_OBJECT
public:
    static constexpr int kColumnWidth = 100;
    static constexpr int kScanCheckMs = 30000;
    static constexpr int kMemoryCheckMs = 60000;

    // Wires `settings` to `hub` (ConnectSettings) until it is destroyed.
    CTarvikView(CSettingsStore& settings, CWorkerHub& hub, WorkersFactory workers,
                TrayFactory tray = {}, QWidget* parent = nullptr);
    ~CTarvikView() override;

    // Merges the batch into the pending rows and wakes the GUI thread once; never waits for
    // it, so a window that falls behind costs one pending entry per id, not one batch per poll.
    // On the GUI thread the rows are brought up to date at once. Does nothing once the workers
    // were told to quit.
    void Apply(std::vector<RowOp> ops) override;
    // The number of live connections, shown or not, after each snapshot; any thread.
    void LiveCount(std::size_t count) override;
    // The last such number; -1 before the first snapshot.
    long long LiveConnections() const { return liveCount_.load(); }

    // The first display: workers, the three ticks at once, the tray icon. Runs once.
    void Start();
    bool Started() const { return started_; }
    // Stops the ticks and the row updates, and quits the workers.
    void QuitWorkers();
    // Waits at most `bound` for the workers to end. False when they did not: they are left to
    // a thread of their own, which keeps them alive until they end or the process does.
    bool WaitForWorkers(std::chrono::milliseconds bound);
    // Both, waiting as long as it takes.
    void StopWorkers();
    // Removes the tray icon, then stores the column widths, hidden columns and sort order.
    void CloseStep();
    void StoreColumnWidths();
    // Publishes a poll now, between the ticks.
    void RefreshNow();
    // The back-end of the running workers ("" before they start).
    std::string BackendName() const;

    QMenu* CreateViewMenu(QWidget* parent);
    QMenu* CreateOptionsMenu(QWidget* parent);
    std::unique_ptr<QMenu> CreateContextMenu();
    // The header's menu: one check item per column, unchecked hides it.
    std::unique_ptr<QMenu> CreateHeaderMenu();
    QAction* CopyRowAction() const { return copyRowAction_; }
    QAction* LoggingOptionsAction() const { return loggingAction_; }
    QAction* ScanOptionsAction() const { return scanAction_; }

    // Copies the cell of the first selected row (an empty text with no selection).
    void CopyCell(Column column);
    // Copies every cell of the first selected row, separated by tabs (nothing with no selection).
    void CopyRow();

    CRowTableModel& Rows() const { return *rows_; }
    // The session's scan alerts, newest first.
    CAlertTableModel& Alerts() const { return *alerts_; }
    CSystemTray* Tray() const { return tray_.get(); }

signals:
    void workersStarted();
    // BackendName() changed; delivered on the GUI thread.
    void backendChanged();
    void restoreRequested();
    void aboutRequested();
    void exitRequested();
    // LiveConnections() changed; delivered on the GUI thread.
    void liveCountChanged();

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    std::atomic<long long> liveCount_{-1};
    void TakePending();
    void SizeColumnsToFirstRows();
    void OnHeadingClicked(int column);
    void RestoreColumnWidths();
    void RestoreHiddenColumns();
    void RestoreSortOrder();
    void ShowSortIndicator();
    int FirstSelectedRow() const;
    void SetColumnShown(int column, bool shown);
    // Runs an option dialog, read-only when the workers follow other settings.
    void ShowOptions(QDialog& dialog);
    void CreateTray();
    void TickData();
    void TickScan();
    void TickMemory();
    QAction* AddToggle(QMenu* menu, const QString& text, const QString& prompt,
                       std::function<int()> get, std::function<void(int)> set);

    CSettingsStore& settings_;
    CWorkerHub& hub_;
    WorkersFactory workersFactory_;
    TrayFactory trayFactory_;
    CRowTableModel* rows_;      // child of the view
    CAlertTableModel* alerts_;  // child of the view
    CRowOpBuffer pending_;
    std::unique_ptr<IWorkers> workers_;
    std::unique_ptr<CSystemTray> tray_;
    std::atomic<bool> accepting_{true};
    bool started_ = false;
    // Widths of hidden columns as they were when shown (a hidden section reports 0).
    std::vector<int> hiddenWidths_;
    // No widths were stored: the first rows size the columns to their content.
    bool sizeToFirstRows_ = false;
    QTimer dataTimer_;
    QTimer scanTimer_;
    QTimer memoryTimer_;
    QElapsedTimer rateClock_;  // since the rates' last refresh
    QAction* loggingAction_ = nullptr;
    QAction* scanAction_ = nullptr;
    QAction* copyRowAction_ = nullptr;  // child of the view
};

}  // namespace tarvik
