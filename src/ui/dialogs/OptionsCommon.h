#pragma once

#include <QStringList>

#include "settings/SettingsStore.h"
#include "ui/dialogs/DialogSeams.h"

class QDialog;
class QWidget;

namespace tarvik {

QStringList ToStringList(const TextListPtr& texts);
QStringList ToStringList(const PortListPtr& ports);
TextList ToTextList(const QStringList& entries);
// Each entry read as atoi reads it: a text without leading digits gives 0.
PortList ToPortList(const QStringList& entries);

// Writes the settings file now, so that a crash later loses nothing entered in a dialog, and
// tells the user when the file could not be written.
void SaveOrReport(CSettingsStore& settings, QWidget* parent, const MessageSink& showMessage);

// Shows an option dialog's values without letting them change: every input is read-only or
// disabled, OK is gone, Cancel reads "Close", and `note` above the pages says why.
void MakeReadOnly(QDialog& dialog, const QString& note);

}  // namespace tarvik
