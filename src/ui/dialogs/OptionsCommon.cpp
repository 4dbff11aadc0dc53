#include "ui/dialogs/OptionsCommon.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QBoxLayout>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>

#include "ui/dialogs/ListEditor.h"

namespace tarvik {

QStringList ToStringList(const TextListPtr& texts) {
    QStringList entries;
    if (texts) {
        for (const std::string& text : *texts) {
            entries << QString::fromStdString(text);
        }
    }
    return entries;
}

QStringList ToStringList(const PortListPtr& ports) {
    QStringList entries;
    if (ports) {
        for (int port : *ports) {
            entries << QString::number(port);
        }
    }
    return entries;
}

TextList ToTextList(const QStringList& entries) {
    TextList texts;
    texts.reserve(static_cast<std::size_t>(entries.size()));
    for (const QString& entry : entries) {
        texts.push_back(entry.toStdString());
    }
    return texts;
}

PortList ToPortList(const QStringList& entries) {
    PortList ports;
    ports.reserve(static_cast<std::size_t>(entries.size()));
    for (const QString& entry : entries) {
        ports.push_back(LeadingInteger(entry));
    }
    return ports;
}

void SaveOrReport(CSettingsStore& settings, QWidget* parent, const MessageSink& showMessage) {
    std::string error;
    if (settings.Save(&error)) {
        return;
    }
    showMessage(parent, QCoreApplication::translate("tarvik::OptionsCommon",
                                                    "The settings could not be saved to %1: %2")
                            .arg(QString::fromStdString(settings.File().string()),
                                 QString::fromStdString(error)));
}

namespace {

bool Within(const QWidget* widget, const QWidget* ancestor) {
    return ancestor != nullptr && ancestor->isAncestorOf(widget);
}

template <class Kind>
bool Is(QWidget* widget) {
    return qobject_cast<Kind*>(widget) != nullptr;
}

}  // namespace

void MakeReadOnly(QDialog& dialog, const QString& note) {
    auto* buttons = dialog.findChild<QDialogButtonBox*>();
    if (buttons != nullptr) {
        if (QPushButton* ok = buttons->button(QDialogButtonBox::Ok)) {
            ok->hide();
            ok->setEnabled(false);
        }
        if (QPushButton* cancel = buttons->button(QDialogButtonBox::Cancel)) {
            cancel->setText(QObject::tr("Close"));
            cancel->setDefault(true);
        }
    }
    for (QWidget* widget : dialog.findChildren<QWidget*>()) {
        if (Within(widget, buttons) || qobject_cast<QTabBar*>(widget->parentWidget()) != nullptr) {
            continue;  // the way out, and the tabs' own scroll buttons, stay usable
        }
        if (auto* line = qobject_cast<QLineEdit*>(widget)) {
            line->setReadOnly(true);
        } else if (Is<QAbstractButton>(widget) || Is<QComboBox>(widget) ||
                   Is<QAbstractSpinBox>(widget) || Is<QAbstractItemView>(widget)) {
            widget->setEnabled(false);
        }
    }
    auto* label = new QLabel(note, &dialog);
    label->setObjectName(QStringLiteral("readOnlyNote"));
    label->setWordWrap(true);
    if (auto* layout = qobject_cast<QBoxLayout*>(dialog.layout())) {
        layout->insertWidget(0, label);
    }
}

}  // namespace tarvik
