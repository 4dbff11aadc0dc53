#pragma once

#include <memory>

#include <QStringList>
#include <QWidget>

class QListWidget;
class QPushButton;

namespace tarvik {

class CEntryDlg;

// The number at the start of a text as atoi reads it (leading blanks, an optional sign, digits);
// 0 when there is none. Out-of-range values are clamped to int.
int LeadingInteger(const QString& text);

// When two entries count as the same, so that a list never holds one twice.
enum class DuplicateRule {
    SameNumber,            // ports: "80" and "080" are one port, "80" and "8080" are not
    SameText,              // host addresses
    SameTextIgnoringCase,  // e-mail addresses
};

enum class ListOrder { AsAdded, SortedAsText };

// A list with "Add" and "Remove" beside it. "Add" opens the entry dialog (owned by this widget)
// and appends what it returns unless the list already holds the same entry.
class CListEditor : public QWidget {
    Q_OBJECT
public:
    CListEditor(std::unique_ptr<CEntryDlg> entry, DuplicateRule rule, ListOrder order,
                QWidget* parent = nullptr);

    void SetEntries(const QStringList& entries);
    QStringList Entries() const;

    // Adds the text unless it is empty or a duplicate; returns whether it was added.
    bool AddEntry(const QString& text);
    // Removes the selected entry; nothing without a selection.
    void RemoveSelected();

    QListWidget* List() const { return list_; }
    QPushButton* AddButton() const { return add_; }
    QPushButton* RemoveButton() const { return remove_; }
    CEntryDlg* EntryDialog() const { return entry_; }

private:
    void OpenEntryDialog();
    bool Contains(const QString& text) const;
    int InsertRow(const QString& text) const;

    CEntryDlg* entry_;  // owned as a child window
    DuplicateRule rule_;
    ListOrder order_;
    QListWidget* list_;
    QPushButton* add_;
    QPushButton* remove_;
};

}  // namespace tarvik
