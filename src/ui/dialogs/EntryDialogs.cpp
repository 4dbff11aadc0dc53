#include "ui/dialogs/EntryDialogs.h"

#include <optional>

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QShowEvent>
#include <QVBoxLayout>

#include "acquisition/Address.h"

namespace tarvik {
namespace {

void BuildEntryLayout(QDialog* dialog, const QString& title, const QString& prompt,
                      QLayout* valueRow) {
    dialog->setWindowTitle(title);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);

    auto* layout = new QVBoxLayout(dialog);
    layout->addWidget(new QLabel(prompt, dialog));
    layout->addLayout(valueRow);
    layout->addWidget(buttons);
}

bool IsOpening(const QShowEvent* event) {
    return !event->spontaneous();
}

}  // namespace

bool IsValidPortText(const QString& text) {
    if (text.isEmpty() || text.size() > 5) {
        return false;
    }
    for (QChar c : text) {
        if (c < u'0' || c > u'9') {
            return false;
        }
    }
    const int value = text.toInt();
    return value >= 1 && value <= 65535;
}

CPortEntryDlg::CPortEntryDlg(QWidget* parent) : CEntryDlg(parent), edit_(new QLineEdit(this)) {
    edit_->setObjectName(QStringLiteral("portEdit"));
    edit_->setMaxLength(5);
    auto* row = new QHBoxLayout;
    row->addWidget(edit_);
    BuildEntryLayout(this, tr("Port Entry"), tr("Enter a Port:"), row);
}

void CPortEntryDlg::showEvent(QShowEvent* event) {
    if (IsOpening(event)) {
        edit_->setText(text_);
        edit_->setFocus();
    }
    CEntryDlg::showEvent(event);
}

void CPortEntryDlg::accept() {
    text_ = edit_->text();
    if (!IsValidPortText(text_)) {
        showMessage_(this, tr("Please enter a number from 1 to 65535"));
        edit_->setFocus();
        return;
    }
    CEntryDlg::accept();
}

CIPAddressEntryDlg::CIPAddressEntryDlg(QWidget* parent)
    : CEntryDlg(parent), edit_(new QLineEdit(this)) {
    edit_->setObjectName(QStringLiteral("addressEdit"));
    edit_->setPlaceholderText(QStringLiteral("192.0.2.7, 2001:db8::7 or 10.0.0.0/8"));
    edit_->setMinimumWidth(edit_->fontMetrics().horizontalAdvance(u'x') * 32);
    auto* row = new QHBoxLayout;
    row->addWidget(edit_);
    BuildEntryLayout(this, tr("IP Address Entry"), tr("Enter an IP Address:"), row);
}

void CIPAddressEntryDlg::showEvent(QShowEvent* event) {
    if (IsOpening(event)) {
        edit_->clear();
        edit_->setFocus();
    }
    CEntryDlg::showEvent(event);
}

void CIPAddressEntryDlg::accept() {
    const std::optional<AddressRange> range = AddressRange::Parse(edit_->text().toStdString());
    if (!range) {
        showMessage_(this, tr("Please enter an IPv4 or IPv6 address, or a range such "
                              "as 192.168.0.0/16"));
        edit_->setFocus();
        return;
    }
    text_ = QString::fromStdString(range->Text());
    CEntryDlg::accept();
}

CEmailEntryDlg::CEmailEntryDlg(QWidget* parent) : CEntryDlg(parent), edit_(new QLineEdit(this)) {
    edit_->setObjectName(QStringLiteral("emailEdit"));
    edit_->setMinimumWidth(edit_->fontMetrics().horizontalAdvance(u'x') * 32);
    auto* row = new QHBoxLayout;
    row->addWidget(edit_);
    BuildEntryLayout(this, tr("Email Address Entry"), tr("Enter an email address:"), row);
}

void CEmailEntryDlg::showEvent(QShowEvent* event) {
    if (IsOpening(event)) {
        edit_->clear();
        edit_->setFocus();
    }
    CEntryDlg::showEvent(event);
}

void CEmailEntryDlg::accept() {
    text_ = edit_->text();
    CEntryDlg::accept();
}

}  // namespace tarvik
