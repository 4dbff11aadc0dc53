#pragma once

#include <QDialog>
#include <QString>

#include "ui/dialogs/DialogSeams.h"

class QLineEdit;

namespace tarvik {

// A small modal dialog that asks for one value which an option page adds to one of its lists.
// The value is read with Text() after the dialog was accepted.
class CEntryDlg : public QDialog {
    Q_OBJECT
public:
    using QDialog::QDialog;

    virtual QString Text() const = 0;
    // Called by the owning list before every "Add".
    virtual void PrepareForAdd() {}
};

// True for 1 to 65535 written with the digits 0 to 9 only (no sign, no blanks).
bool IsValidPortText(const QString& text);

class CPortEntryDlg : public CEntryDlg {
    Q_OBJECT
public:
    explicit CPortEntryDlg(QWidget* parent = nullptr);

    QString Text() const override { return text_; }
    void SetText(const QString& text) { text_ = text; }
    void PrepareForAdd() override { text_.clear(); }

    void SetMessageSink(MessageSink sink) { showMessage_ = std::move(sink); }

public slots:
    // Closes only on a valid port; otherwise says why and stays open with the text as typed.
    void accept() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QLineEdit* edit_;
    QString text_;
    MessageSink showMessage_ = DefaultMessageSink();
};

// An IPv4 or IPv6 address, or a range of either ("10.0.0.0/8", "2001:db8::/32"), which the
// scan watcher counts alike. The text is kept in its short form ("2001:db8::7"). Empty at every
// opening.
class CIPAddressEntryDlg : public CEntryDlg {
    Q_OBJECT
public:
    explicit CIPAddressEntryDlg(QWidget* parent = nullptr);

    QString Text() const override { return text_; }

    void SetMessageSink(MessageSink sink) { showMessage_ = std::move(sink); }

public slots:
    // Closes only on an address or range; otherwise says why and stays open with the text.
    void accept() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QLineEdit* edit_;
    QString text_;
    MessageSink showMessage_ = DefaultMessageSink();
};

// Takes the text as typed; empty at every opening.
class CEmailEntryDlg : public CEntryDlg {
    Q_OBJECT
public:
    explicit CEmailEntryDlg(QWidget* parent = nullptr);

    QString Text() const override { return text_; }

public slots:
    void accept() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QLineEdit* edit_;
    QString text_;
};

}  // namespace tarvik
