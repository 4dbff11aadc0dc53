#pragma once

#include <functional>

#include <QString>

class QWidget;

namespace tarvik {

// Message boxes and the folder browser go through these, so that tests can answer them without a
// modal window.
using MessageSink = std::function<void(QWidget* parent, const QString& text)>;
using FolderPicker =
    std::function<QString(QWidget* parent, const QString& title, const QString& startFolder)>;

// A warning box with an OK button.
MessageSink DefaultMessageSink();
// The platform's folder chooser; an empty text when the user cancels.
FolderPicker DefaultFolderPicker();

}  // namespace tarvik
