#pragma once

#include <QAbstractTableModel>
#include <QBrush>
#include <QPalette>
#include <deque>
#include <string>
#include <unordered_set>
#include <vector>

#include "ui/model/ConnectionRowModel.h"
#include "ui/model/RowOpBuffer.h"

namespace tarvik {

// Shows the row model in a QTableView. It keeps the rows the view last saw, so that each batch
// reaches the view as removals, insertions at the top and one layout change, which keeps the
// selection and the scroll position on the same connections. Removals scattered over many
// places are first gathered at the bottom by a layout change and then go out as one.
class CRowTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    // `titles` are the record's seven headings; the Process, Sent, Received and Rate columns
    // are added when missing.
    explicit CRowTableModel(std::vector<std::string> titles, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    void Apply(const std::vector<RowOp>& ops);
    void Apply(const RowBatch& batch);
    void ClickHeading(int column);
    // The rate column from the bytes each row moved in the last `seconds`.
    void RefreshRates(double seconds);
    int SortKey() const { return rows_.SortKey(); }
    void SetSortKey(int sortKey);

    // Shows only the rows with a cell that contains `text`, ignoring case ("" shows all).
    void SetFilter(const QString& text);
    QString Filter() const { return filter_; }
    // Every row the tracker gave, whether the search shows it or not.
    int TotalRows() const { return static_cast<int>(rows_.Size()); }

    // Text colours for the rows, derived from the theme's text and base colours.
    void SetPalette(const QPalette& palette);

    const ShownRow& Row(int row) const { return shown_.at(static_cast<std::size_t>(row)); }

signals:
    // The shown or the total number of rows may have changed.
    void countsChanged();

private:
    using RowRefs = std::vector<const ShownRow*>;

    using Serials = std::unordered_set<std::uint64_t>;

    void Publish();
    void PublishRemovals(const Serials& candidates);
    void RemoveRuns();
    void RemoveAfterMovingDown(std::vector<bool> removed, std::size_t count);
    void PublishInsertions(const RowRefs& next, Serials revealed);
    void PublishOrder(const RowRefs& next);
    void PublishUpdates(const Serials& updated);
    void Reorder(const RowRefs& next);

    std::vector<std::string> titles_;
    QString filter_;
    QBrush listeningBrush_;
    QBrush wellKnownBrush_;
    QBrush otherBrush_;
    CConnectionRowModel rows_;
    // New rows come at the top: a deque takes them without moving the others.
    std::deque<ShownRow> shown_;
    // Every row with a lower serial has been shown already (or was deleted before it could be).
    std::uint64_t shownSerials_ = 0;
};

}  // namespace tarvik
