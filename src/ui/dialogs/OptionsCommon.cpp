#include "ui/dialogs/OptionsCommon.h"

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
    showMessage(parent, QStringLiteral("The settings could not be saved to %1: %2")
                            .arg(QString::fromStdString(settings.File().string()),
                                 QString::fromStdString(error)));
}

}  // namespace tarvik
