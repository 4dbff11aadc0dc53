#include "ui/window/RowTableModel.h"

#include <QBrush>
#include <QColor>
#include <unordered_map>
#include <unordered_set>

#include "ui/model/RowRules.h"

namespace tarvik {
namespace {

constexpr int kColumns = static_cast<int>(Column::Count);

std::unordered_set<std::uint64_t> Serials(const std::vector<ShownRow>& rows) {
    std::unordered_set<std::uint64_t> serials;
    serials.reserve(rows.size());
    for (const ShownRow& row : rows) {
        serials.insert(row.serial);
    }
    return serials;
}

}  // namespace

CRowTableModel::CRowTableModel(std::vector<std::string> titles, QObject* parent)
    : QAbstractTableModel(parent), titles_(std::move(titles)) {}

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
    const CConnectionRecord& record = Row(index.row()).record;
    switch (role) {
        case Qt::DisplayRole:
            return QString::fromStdString(record.ColumnText(static_cast<Column>(index.column())));
        case Qt::ForegroundRole: {
            const Rgb colour = RowColour(record);
            return QBrush(QColor(colour.red, colour.green, colour.blue));
        }
        case Qt::TextAlignmentRole:
            return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
        default:
            return {};
    }
}

QVariant CRowTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kColumns) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    if (role == Qt::DisplayRole) {
        const auto index = static_cast<std::size_t>(section);
        return index < titles_.size() ? QString::fromStdString(titles_[index]) : QString();
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

void CRowTableModel::ClickHeading(int column) {
    rows_.ClickHeading(column);
    Publish();
}

void CRowTableModel::Publish() {
    std::vector<ShownRow> next = rows_.Rows();
    PublishRemovals(next);
    PublishInsertions(next);
    PublishOrder(std::move(next));
}

void CRowTableModel::PublishRemovals(const std::vector<ShownRow>& next) {
    const std::unordered_set<std::uint64_t> kept = Serials(next);
    // From the bottom, so that the rows above keep their numbers; runs go out as one removal.
    int row = static_cast<int>(shown_.size()) - 1;
    while (row >= 0) {
        if (kept.contains(shown_[static_cast<std::size_t>(row)].serial)) {
            --row;
            continue;
        }
        const int last = row;
        while (row > 0 && !kept.contains(shown_[static_cast<std::size_t>(row - 1)].serial)) {
            --row;
        }
        beginRemoveRows({}, row, last);
        shown_.erase(shown_.begin() + row, shown_.begin() + last + 1);
        endRemoveRows();
        --row;
    }
}

void CRowTableModel::PublishInsertions(const std::vector<ShownRow>& next) {
    const std::unordered_set<std::uint64_t> present = Serials(shown_);
    std::vector<ShownRow> added;
    for (const ShownRow& row : next) {
        if (!present.contains(row.serial)) {
            added.push_back(row);
        }
    }
    if (added.empty()) {
        return;
    }
    beginInsertRows({}, 0, static_cast<int>(added.size()) - 1);
    shown_.insert(shown_.begin(), added.begin(), added.end());
    endInsertRows();
}

void CRowTableModel::PublishOrder(std::vector<ShownRow> next) {
    bool reordered = false;
    bool changed = false;
    for (std::size_t i = 0; i < next.size(); ++i) {
        reordered = reordered || next[i].serial != shown_[i].serial;
        changed = changed || !(next[i].record == shown_[i].record);
    }
    if (reordered) {
        emit layoutAboutToBeChanged();
        std::unordered_map<std::uint64_t, int> newRow;
        for (std::size_t i = 0; i < next.size(); ++i) {
            newRow.emplace(next[i].serial, static_cast<int>(i));
        }
        const QModelIndexList from = persistentIndexList();
        QModelIndexList to;
        to.reserve(from.size());
        for (const QModelIndex& index : from) {
            const std::uint64_t serial = shown_[static_cast<std::size_t>(index.row())].serial;
            to.append(this->index(newRow.at(serial), index.column()));
        }
        changePersistentIndexList(from, to);
        shown_ = std::move(next);
        emit layoutChanged();
    } else {
        shown_ = std::move(next);
    }
    if (changed && !shown_.empty()) {
        emit dataChanged(index(0, 0), index(rowCount() - 1, kColumns - 1));
    }
}

}  // namespace tarvik
