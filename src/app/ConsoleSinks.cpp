#include "app/ConsoleSinks.h"

#include <syslog.h>

#include "settings/MessageText.h"

namespace tarvik {

void CConsoleWriter::WriteLine(const std::string& line) {
    std::lock_guard lock(mutex_);
    std::fputs(line.c_str(), stream_);
    std::fputc('\n', stream_);
    std::fflush(stream_);
}

void CConsoleWriter::WriteEscaped(std::string_view prefix, std::string_view text) {
    WriteLine(std::string(prefix) + EscapeForMessage(text));
}

CConsoleNotifier::CConsoleNotifier(CConsoleWriter& writer, SystemLog systemLog)
    : writer_(writer),
      systemLog_(systemLog ? std::move(systemLog) : SystemLog([](const std::string& text) {
          syslog(LOG_ERR, "%s", text.c_str());
      })) {}

void CConsoleNotifier::ShowMessage(const std::string& text) {
    // Messages quote paths and names from settings and the network.
    const std::string shown = EscapeForMessage(text);
    writer_.WriteLine("tarvikd: " + shown);
    systemLog_(shown);
}

bool CConsoleBalloon::ShowBalloon(const std::string& title, const std::string& text,
                                  int /*timeoutSeconds*/) {
    writer_.WriteEscaped("tarvikd: ", title + ": " + text);
    return true;
}

void CConsoleList::Apply(std::vector<RowOp> ops) {
    if (writer_ == nullptr) {
        return;
    }
    for (const RowOp& op : ops) {
        writer_->WriteLine(DescribeRowOp(op));
    }
}

std::string DescribeRowOp(const RowOp& op) {
    const CConnectionRecord& record = op.record;
    const char* verb = op.kind == RowOp::Kind::Insert   ? "insert"
                       : op.kind == RowOp::Kind::Update ? (op.visible ? "update" : "hide")
                                                        : "delete";
    return EscapeForMessage(std::string(verb) + " #" + std::to_string(record.id) + " " +
                            record.StateName() + " " + record.hostName + " (" + record.ipAddress +
                            "):" + ColumnText(record, Column::RemotePort) + " -> " +
                            record.interfaceText + ":" + std::to_string(record.localPort) + " " +
                            record.serviceText);
}

}  // namespace tarvik
