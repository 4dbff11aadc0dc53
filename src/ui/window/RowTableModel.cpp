#include "ui/window/RowTableModel.h"

#include <QBrush>
#include <QColor>
#include <QCoreApplication>
#include <unordered_map>
#include <unordered_set>

#include "ui/model/RowRules.h"

namespace tarvik {
namespace {

constexpr int kColumns = kListColumns;

QBrush BrushOf(Rgb colour) {
    return QBrush(QColor(colour.red, colour.green, colour.blue));
}

Rgb RgbOf(const QColor& colour) {
    return Rgb{static_cast<std::uint8_t>(colour.red()), static_cast<std::uint8_t>(colour.green()),
               static_cast<std::uint8_t>(colour.blue())};
}
// The headings come from the core in English, as the logs and tarvikctl print them; the
// window shows them in the user's language. Listed here so that lupdate finds them.
[[maybe_unused]] constexpr const char* kHeadingTexts[] = {
    QT_TRANSLATE_NOOP("tarvik::Column", "Hostname"),
    QT_TRANSLATE_NOOP("tarvik::Column", "IP Address"),
    QT_TRANSLATE_NOOP("tarvik::Column", "Local Port"),
    QT_TRANSLATE_NOOP("tarvik::Column", "Remote Port"),
    QT_TRANSLATE_NOOP("tarvik::Column", "Service Type"),
    QT_TRANSLATE_NOOP("tarvik::Column", "Interface"),
    QT_TRANSLATE_NOOP("tarvik::Column", "Connection State"),
    QT_TRANSLATE_NOOP("tarvik::Column", "Process"),
    QT_TRANSLATE_NOOP("tarvik::Column", "Sent"),
    QT_TRANSLATE_NOOP("tarvik::Column", "Received"),
    QT_TRANSLATE_NOOP("tarvik::Column", "Rate"),
    QT_TRANSLATE_NOOP("tarvik::Column", "Protocol"),
};

// Up to this many separate runs of removed rows go out as they are.
constexpr std::size_t kSeparateRemovals = 8;

}  // namespace

CRowTableModel::CRowTableModel(std::vector<std::string> titles, QObject* parent)
    : QAbstractTableModel(parent), titles_(std::move(titles)) {
    if (titles_.size() < static_cast<std::size_t>(kListColumns)) {
        titles_.resize(static_cast<std::size_t>(kProcessColumn));
        for (const char* title :
             {kProcessTitle, kSentTitle, kReceivedTitle, kRateTitle, kProtocolTitle}) {
            titles_.emplace_back(title);
        }
    }
    SetPalette(QPalette());
}

void CRowTableModel::SetPalette(const QPalette& palette) {
    const RowPalette colours = ThemedRowPalette(RgbOf(palette.color(QPalette::Text)),
                                                RgbOf(palette.color(QPalette::Base)));
    listeningBrush_ = BrushOf(colours.listening);
    wellKnownBrush_ = BrushOf(colours.wellKnownPort);
    otherBrush_ = BrushOf(colours.other);
    if (!shown_.empty()) {
        emit dataChanged(index(0, 0), index(rowCount() - 1, kColumns - 1), {Qt::ForegroundRole});
    }
}

void CRowTableModel::SetFilter(const QString& text) {
    if (text == filter_) {
        return;
    }
    filter_ = text;
    // A new search takes the rows afresh in one pass; a live update never does.
    beginResetModel();
    rows_.SetFilter(text.toStdString());
    rows_.TakeChanges();  // the rows are taken afresh below
    rows_.TakeRevealed();
    shown_.clear();
    for (const ShownRow* row : rows_.RowRefs()) {
        shown_.push_back(*row);
    }
    shownSerials_ = rows_.NextSerial();
    endResetModel();
    emit countsChanged();
}

void CRowTableModel::SetSortKey(int sortKey) {
    rows_.SetSortKey(sortKey);
    Publish();
}

int CRowTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(shown_.size());
}

int CRowTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QVariant CRowTableModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return {};
    }
    const ShownRow& row = Row(index.row());
    const CConnectionRecord& record = row.record;
    const bool bytes = index.column() >= kSentColumn && index.column() <= kRateColumn;
    switch (role) {
        case Qt::DisplayRole:
            if (index.column() == kRateColumn) {
                return QString::fromStdString(RateText(row.rate));
            }
            return QString::fromStdString(ListCellText(record, index.column()));
        case Qt::ToolTipRole:
            return bytes ? QVariant(QString::fromStdString(
                               ExactByteText(record, index.column(), row.rate)))
                         : QVariant();
        case Qt::ForegroundRole:
            if (record.state == TcpState::Listen) {
                return listeningBrush_;
            }
            return record.localPort < 1024 ? wellKnownBrush_ : otherBrush_;
        case Qt::TextAlignmentRole:
            // Numbers line up on their units.
            return QVariant::fromValue((bytes ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
        default:
            return {};
    }
}

void CRowTableModel::RefreshRates(double seconds) {
    rows_.RefreshRates(seconds);
    Publish();
}

QVariant CRowTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kColumns) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    if (role == Qt::DisplayRole) {
        const auto index = static_cast<std::size_t>(section);
        return index < titles_.size()
                   ? QCoreApplication::translate("tarvik::Column", titles_[index].c_str())
                   : QString();
    }
    if (role == Qt::TextAlignmentRole) {
        return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    }
    return {};
}

void CRowTableModel::Apply(const std::vector<RowOp>& ops) {
    rows_.Apply(ops);
    Publish();
}

void CRowTableModel::Apply(const RowBatch& batch) {
    ApplyBatch(batch, rows_);
    Publish();
}

void CRowTableModel::ClickHeading(int column) {
    rows_.ClickHeading(column);
    Publish();
}

void CRowTableModel::Publish() {
    CConnectionRowModel::Changes changes = rows_.TakeChanges();
    Serials revealed = rows_.TakeRevealed();
    PublishRemovals(changes.removed);
    if (changes.reordered || !revealed.empty()) {
        // Only rows that are new or changed are copied.
        const RowRefs next = rows_.RowRefs();
        PublishInsertions(next, std::move(revealed));
        PublishOrder(next);
    } else {
        // Nothing moved: the new rows go on top and updated rows are rewritten where they are,
        // without walking the whole list.
        PublishInsertions(rows_.NewRows(shownSerials_), {});
        PublishUpdates(changes.updated);
    }
    shownSerials_ = rows_.NextSerial();
    emit countsChanged();
}

void CRowTableModel::PublishUpdates(const Serials& updated) {
    if (updated.empty()) {
        return;
    }
    int first = -1;
    int last = -1;
    for (std::size_t row = 0; row < shown_.size(); ++row) {
        ShownRow& shown = shown_[row];
        if (!updated.contains(shown.serial)) {
            continue;
        }
        const ShownRow* now = rows_.Find(shown.serial);
        if (now != nullptr && now->version != shown.version) {
            shown = *now;  // the record and the rate
            first = first < 0 ? static_cast<int>(row) : first;
            last = static_cast<int>(row);
        }
    }
    if (first >= 0) {
        emit dataChanged(index(first, 0), index(last, kColumns - 1));
    }
}

void CRowTableModel::PublishRemovals(const Serials& candidates) {
    if (candidates.empty()) {
        return;
    }
    std::vector<bool> removed(shown_.size());
    std::size_t count = 0;
    std::size_t runs = 0;
    for (std::size_t row = 0; row < shown_.size(); ++row) {
        removed[row] = candidates.contains(shown_[row].serial) && !rows_.Shows(shown_[row].serial);
        count += removed[row] ? 1 : 0;
        runs += removed[row] && (row == 0 || !removed[row - 1]) ? 1 : 0;
    }
    // The view does work in proportion to the whole list for every removal it hears of, so
    // scattered removals are first moved together at the bottom and then go out as one.
    if (runs > kSeparateRemovals) {
        RemoveAfterMovingDown(std::move(removed), count);
    } else if (runs > 0) {
        RemoveRuns();
    }
}

void CRowTableModel::RemoveRuns() {
    const auto kept = [this](int row) {
        return rows_.Shows(shown_[static_cast<std::size_t>(row)].serial);
    };
    // From the bottom, so that the rows above keep their numbers; runs go out as one removal.
    int row = static_cast<int>(shown_.size()) - 1;
    while (row >= 0) {
        if (kept(row)) {
            --row;
            continue;
        }
        const int last = row;
        while (row > 0 && !kept(row - 1)) {
            --row;
        }
        beginRemoveRows({}, row, last);
        shown_.erase(shown_.begin() + row, shown_.begin() + last + 1);
        endRemoveRows();
        --row;
    }
}

void CRowTableModel::RemoveAfterMovingDown(std::vector<bool> removed, std::size_t count) {
    const std::size_t keptCount = shown_.size() - count;
    std::vector<int> newRow(shown_.size());
    std::deque<ShownRow> arranged(shown_.size());
    std::size_t keptAt = 0;
    std::size_t removedAt = keptCount;
    for (std::size_t row = 0; row < shown_.size(); ++row) {
        const std::size_t to = removed[row] ? removedAt++ : keptAt++;
        newRow[row] = static_cast<int>(to);
        arranged[to] = std::move(shown_[row]);
    }
    emit layoutAboutToBeChanged();
    const QModelIndexList from = persistentIndexList();
    QModelIndexList to;
    to.reserve(from.size());
    for (const QModelIndex& index : from) {
        to.append(this->index(newRow[static_cast<std::size_t>(index.row())], index.column()));
    }
    changePersistentIndexList(from, to);
    shown_ = std::move(arranged);
    emit layoutChanged();
    beginRemoveRows({}, static_cast<int>(keptCount), static_cast<int>(shown_.size()) - 1);
    shown_.resize(keptCount);
    endRemoveRows();
}

void CRowTableModel::PublishInsertions(const RowRefs& next, Serials revealed) {
    // Rows an update let through the search are new to the view unless it shows them still.
    if (!revealed.empty()) {
        for (const ShownRow& row : shown_) {
            revealed.erase(row.serial);
        }
    }
    std::vector<ShownRow> added;
    for (const ShownRow* row : next) {
        if (row->serial >= shownSerials_ || revealed.contains(row->serial)) {
            added.push_back(*row);
        }
    }
    if (added.empty()) {
        return;
    }
    beginInsertRows({}, 0, static_cast<int>(added.size()) - 1);
    shown_.insert(shown_.begin(), std::make_move_iterator(added.begin()),
                  std::make_move_iterator(added.end()));
    endInsertRows();
}

void CRowTableModel::PublishOrder(const RowRefs& next) {
    bool reordered = false;
    bool changed = false;
    for (std::size_t i = 0; i < next.size(); ++i) {
        ShownRow& shown = shown_[i];
        reordered = reordered || next[i]->serial != shown.serial;
        if (next[i]->version != shown.version) {
            changed = true;
            if (!reordered) {
                shown.record = next[i]->record;
                shown.version = next[i]->version;
            }
        }
    }
    if (reordered) {
        Reorder(next);
    }
    if (changed && !shown_.empty()) {
        emit dataChanged(index(0, 0), index(rowCount() - 1, kColumns - 1));
    }
}

void CRowTableModel::Reorder(const RowRefs& next) {
    emit layoutAboutToBeChanged();
    // Only the rows that persistent indexes (selection, current row) point at need a new place.
    const QModelIndexList from = persistentIndexList();
    std::unordered_map<std::uint64_t, int> newRow;
    for (const QModelIndex& index : from) {
        newRow.emplace(shown_[static_cast<std::size_t>(index.row())].serial, -1);
    }
    if (!newRow.empty()) {
        for (std::size_t i = 0; i < next.size(); ++i) {
            if (const auto found = newRow.find(next[i]->serial); found != newRow.end()) {
                found->second = static_cast<int>(i);
            }
        }
    }
    QModelIndexList to;
    to.reserve(from.size());
    for (const QModelIndex& index : from) {
        const std::uint64_t serial = shown_[static_cast<std::size_t>(index.row())].serial;
        to.append(this->index(newRow.at(serial), index.column()));
    }
    changePersistentIndexList(from, to);
    std::deque<ShownRow> rows;
    for (const ShownRow* row : next) {
        rows.push_back(*row);
    }
    shown_ = std::move(rows);
    emit layoutChanged();
}

}  // namespace tarvik
