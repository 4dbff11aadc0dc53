#include "ui/dialogs/EntryDialogs.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QShowEvent>
#include <QVBoxLayout>
#include <QValidator>

namespace tarvik {
namespace {

// Digits only, at most three, value at most 255; empty is allowed (it counts as 0).
class OctetValidator : public QValidator {
public:
    using QValidator::QValidator;

    State validate(QString& input, int& /*pos*/) const override {
        if (input.size() > 3) {
            return Invalid;
        }
        for (QChar c : input) {
            if (c < u'0' || c > u'9') {
                return Invalid;
            }
        }
        return input.isEmpty() || input.toInt() <= 255 ? Acceptable : Invalid;
    }
};

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
    BuildEntryLayout(this, QStringLiteral("Port Entry"), QStringLiteral("Enter a Port:"), row);
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
        showMessage_(this, QStringLiteral("Please enter a number from 1 to 65535"));
        edit_->setFocus();
        return;
    }
    CEntryDlg::accept();
}

CIPAddressEntryDlg::CIPAddressEntryDlg(QWidget* parent) : CEntryDlg(parent) {
    auto* row = new QHBoxLayout;
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        auto* field = new QLineEdit(this);
        field->setObjectName(QStringLiteral("octet%1").arg(i));
        field->setValidator(new OctetValidator(field));
        field->setMaxLength(3);
        field->setMaximumWidth(field->fontMetrics().horizontalAdvance(QStringLiteral("0000")) + 12);
        field->setAlignment(Qt::AlignCenter);
        field->installEventFilter(this);
        if (i > 0) {
            row->addWidget(new QLabel(QStringLiteral("."), this));
        }
        row->addWidget(field);
        fields_[i] = field;
    }
    // A full field moves on to the next one, as in the usual address control.
    for (std::size_t i = 0; i + 1 < fields_.size(); ++i) {
        connect(fields_[i], &QLineEdit::textEdited, this, [this, i](const QString& text) {
            if (text.size() == 3) {
                FocusField(static_cast<int>(i) + 1);
            }
        });
    }
    BuildEntryLayout(this, QStringLiteral("IP Address Entry"),
                     QStringLiteral("Enter an IP Address:"), row);
}

void CIPAddressEntryDlg::FocusField(int index) {
    fields_[static_cast<std::size_t>(index)]->setFocus();
    fields_[static_cast<std::size_t>(index)]->selectAll();
}

bool CIPAddressEntryDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool dot = key->key() == Qt::Key_Period;
        for (std::size_t i = 0; dot && i + 1 < fields_.size(); ++i) {
            if (watched == fields_[i]) {
                FocusField(static_cast<int>(i) + 1);
                return true;
            }
        }
    }
    return CEntryDlg::eventFilter(watched, event);
}

void CIPAddressEntryDlg::showEvent(QShowEvent* event) {
    if (IsOpening(event)) {
        for (QLineEdit* field : fields_) {
            field->clear();
        }
        fields_[0]->setFocus();
    }
    CEntryDlg::showEvent(event);
}

void CIPAddressEntryDlg::accept() {
    QStringList parts;
    for (const QLineEdit* field : fields_) {
        parts << QString::number(field->text().isEmpty() ? 0 : field->text().toInt());
    }
    text_ = parts.join(u'.');
    CEntryDlg::accept();
}

CEmailEntryDlg::CEmailEntryDlg(QWidget* parent) : CEntryDlg(parent), edit_(new QLineEdit(this)) {
    edit_->setObjectName(QStringLiteral("emailEdit"));
    edit_->setMinimumWidth(edit_->fontMetrics().horizontalAdvance(u'x') * 32);
    auto* row = new QHBoxLayout;
    row->addWidget(edit_);
    BuildEntryLayout(this, QStringLiteral("Email Address Entry"),
                     QStringLiteral("Enter an email address:"), row);
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
