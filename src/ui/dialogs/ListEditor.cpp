#include "ui/dialogs/ListEditor.h"

#include <climits>
#include <cstdlib>
#include <memory>

#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/dialogs/EntryDialogs.h"

namespace tarvik {

int LeadingInteger(const QString& text) {
    const QByteArray bytes = text.toLatin1();
    const long value = std::strtol(bytes.constData(), nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

CListEditor::CListEditor(std::unique_ptr<CEntryDlg> entry, DuplicateRule rule, ListOrder order,
                         QWidget* parent)
    : QWidget(parent),
      entry_(entry.release()),
      rule_(rule),
      order_(order),
      list_(new QListWidget(this)),
      add_(new QPushButton(tr("Add"), this)),
      remove_(new QPushButton(tr("Remove"), this)) {
    entry_->setParent(this, entry_->windowFlags());
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    // Room for about seven entries; longer lists scroll.
    list_->setMaximumHeight(list_->fontMetrics().lineSpacing() * 7 + 2 * list_->frameWidth() + 4);

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(add_);
    buttons->addWidget(remove_);
    buttons->addStretch();
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(list_, 1);
    layout->addLayout(buttons);

    connect(add_, &QPushButton::clicked, this, &CListEditor::OpenEntryDialog);
    connect(remove_, &QPushButton::clicked, this, &CListEditor::RemoveSelected);
    connect(entry_, &QDialog::accepted, this, [this] { AddEntry(entry_->Text()); });
}

void CListEditor::SetEntries(const QStringList& entries) {
    list_->clear();
    for (const QString& entry : entries) {
        list_->insertItem(InsertRow(entry), entry);
    }
}

QStringList CListEditor::Entries() const {
    QStringList entries;
    for (int row = 0; row < list_->count(); ++row) {
        entries << list_->item(row)->text();
    }
    return entries;
}

bool CListEditor::AddEntry(const QString& text) {
    if (text.isEmpty() || Contains(text)) {
        return false;
    }
    const int row = InsertRow(text);
    list_->insertItem(row, text);
    list_->setCurrentRow(row);
    return true;
}

void CListEditor::RemoveSelected() {
    const QList<QListWidgetItem*> selected = list_->selectedItems();
    if (selected.isEmpty()) {
        return;
    }
    delete list_->takeItem(list_->row(selected.front()));
}

void CListEditor::OpenEntryDialog() {
    entry_->PrepareForAdd();
    entry_->open();
}

bool CListEditor::Contains(const QString& text) const {
    for (int row = 0; row < list_->count(); ++row) {
        const QString existing = list_->item(row)->text();
        switch (rule_) {
            case DuplicateRule::SameNumber:
                if (LeadingInteger(existing) == LeadingInteger(text)) {
                    return true;
                }
                break;
            case DuplicateRule::SameText:
                if (existing == text) {
                    return true;
                }
                break;
            case DuplicateRule::SameTextIgnoringCase:
                if (existing.compare(text, Qt::CaseInsensitive) == 0) {
                    return true;
                }
                break;
        }
    }
    return false;
}

int CListEditor::InsertRow(const QString& text) const {
    if (order_ == ListOrder::AsAdded) {
        return list_->count();
    }
    // Text order, so "1080" stands before "21", as the stored lists have always been kept.
    int row = 0;
    while (row < list_->count() &&
           list_->item(row)->text().compare(text, Qt::CaseInsensitive) <= 0) {
        ++row;
    }
    return row;
}

}  // namespace tarvik
