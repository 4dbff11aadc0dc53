#include "acquisition/ConnectionRecord.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <ostream>

namespace tarvik {

namespace {

constexpr std::array<const char*, 12> kStateNames = {
    "Closed",   "Listening", "SynSent", "SynReceived", "Established", "FinWait1",
    "FinWait2", "CloseWait", "LastAck", "Closing",     "TimeWait",    "DeleteTCB",
};

}  // namespace

std::string StateName(TcpState state) {
    const int number = static_cast<int>(state);
    if (number >= 1 && number <= static_cast<int>(kStateNames.size())) {
        return kStateNames[static_cast<std::size_t>(number - 1)];
    }
    return "Unknown(" + std::to_string(number) + ")";
}

std::string StateName(TcpState state, Protocol protocol) {
    if (protocol == Protocol::Udp) {
        return state == TcpState::Listen ? "unconn" : "estab";
    }
    return StateName(state);
}

const char* ProtocolWord(Protocol protocol) {
    return protocol == Protocol::Udp ? "udp" : "tcp";
}

const char* ProtocolTitle(Protocol protocol) {
    return protocol == Protocol::Udp ? "UDP" : "TCP";
}

namespace {

void AppendTimeText(std::string& out, std::time_t time) {
    std::tm local{};
    if (localtime_r(&time, &local) == nullptr) {
        return;
    }
    char text[64];
    out.append(text, std::strftime(text, sizeof text, "%H:%M:%S %m/%d/%Y", &local));
}

void AppendNumber(std::string& out, int number) {
    char text[16];
    out.append(text, std::to_chars(text, text + sizeof text, number).ptr);
}

}  // namespace

std::string TimeText(std::time_t time) {
    std::string text;
    AppendTimeText(text, time);
    return text;
}

void ByteCounts::TakeLarger(const ByteCounts& other) {
    sent = std::max(sent, other.sent);
    received = std::max(received, other.received);
}

std::string CConnectionRecord::StateName() const {
    return tarvik::StateName(state, protocol);
}

void CConnectionRecord::WriteCsv(std::ostream& out) const {
    out << CsvText();
}

std::string CConnectionRecord::CsvText() const {
    std::string line;
    AppendCsv(line, TimeText(openTime), TimeText(closeTime));
    return line;
}

void CConnectionRecord::AppendCsv(std::string& line, std::string_view openText,
                                  std::string_view closeText) const {
    ((line += openText) += ',') += closeText;
    ((line += ',') += ipAddress) += ',';
    (line += hostName) += ',';
    AppendNumber(line, remotePort);
    ((line += ',') += interfaceText) += ',';
    AppendNumber(line, localPort);
    (line += ',') += serviceText;
}

}  // namespace tarvik
