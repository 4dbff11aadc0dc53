#pragma once

#include <QAbstractTableModel>
#include <QPointer>
#include <QWidget>
#include <cstddef>
#include <deque>
#include <memory>
#include <variant>

#include "scan/ScanEvents.h"
#include "ui/window/TarvikView.h"
#include "workers/Worker.h"

class QLabel;
class QTableView;

namespace tarvik {

// The session's scan alerts, newest first: time, host, ports, kind. Holds at most `capacity`
// alerts; older ones are dropped and counted, so a long scan cannot grow the window's memory.
// GUI thread only.
class CAlertTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr std::size_t kCapacity = 1000;
    enum AlertColumn { kTimeColumn, kHostColumn, kPortsColumn, kKindColumn, kAlertColumns };

    explicit CAlertTableModel(std::size_t capacity = kCapacity, QObject* parent = nullptr);

    void Add(ScanAlertEvent alert);
    // Every alert of the session, shown or dropped.
    std::size_t Total() const { return alerts_.size() + dropped_; }
    std::size_t Dropped() const { return dropped_; }
    const ScanAlertEvent& At(int row) const { return alerts_[static_cast<std::size_t>(row)]; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    static QString PortsText(const ScanAlertEvent& alert);

signals:
    void alertAdded();

private:
    std::size_t capacity_;
    std::deque<ScanAlertEvent> alerts_;  // newest first
    std::size_t dropped_ = 0;
};

// The worker that hears of scan alerts for the window and hands each to the alert list on the
// GUI thread. An alert that arrives after the list is gone is dropped.
class CAlertReceiver : public CWorker<std::variant<ScanAlertEvent>> {
public:
    explicit CAlertReceiver(CAlertTableModel* alerts);
    ~CAlertReceiver() override;

private:
    void Handle(std::variant<ScanAlertEvent>& message) override;

    QPointer<CAlertTableModel> alerts_;
};

// The view's workers with an alert receiver registered behind them, so that the scan watcher's
// alerts reach it; the receiver stops after them, once nothing can publish to it.
std::unique_ptr<IWorkers> WithAlertReceiver(std::unique_ptr<IWorkers> workers, CWorkerHub& hub,
                                            CAlertTableModel* alerts);

// The alert list as the window shows it: how many were dropped above the table.
class CAlertPanel : public QWidget {
    Q_OBJECT
public:
    CAlertPanel(CAlertTableModel* alerts, QWidget* parent = nullptr);
    QTableView* Table() const { return table_; }
    QLabel* DroppedLabel() const { return dropped_; }

private:
    void UpdateDropped();

    CAlertTableModel* alerts_;
    QLabel* dropped_;
    QTableView* table_;
};

}  // namespace tarvik
