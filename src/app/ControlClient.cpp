#include "app/ControlClient.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <ostream>

#include "app/CommandLine.h"
#include "app/ControlSocket.h"
#include "app/ListCommand.h"
#include "app/ListFilter.h"
#include "base/LineBuffer.h"

namespace tarvik {

namespace {

using Json = nlohmann::json;

// The daemon's texts are escaped as the terminal shows them (\xNN, \\); the record holds them
// as they were, and the list writers escape them again.
std::string Unescape(const std::string& text) {
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            plain += '\\';
            ++i;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            plain += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            plain += text[i];
        }
    }
    return plain;
}

std::string Text(const Json& object, const char* name) {
    const auto it = object.find(name);
    return it != object.end() && it->is_string() ? Unescape(it->get<std::string>()) : "";
}

int Number(const Json& object, const char* name) {
    const auto it = object.find(name);
    return it != object.end() && it->is_number_integer() ? it->get<int>() : 0;
}

// A byte count; 0 when missing, negative or not a whole number.
std::uint64_t Count(const Json& object, const char* name) {
    const auto it = object.find(name);
    return it != object.end() && it->is_number_unsigned() ? it->get<std::uint64_t>() : 0;
}

std::time_t ParseIsoTime(const std::string& text) {
    std::tm fields{};
    char sign = '+';
    int zoneHours = 0;
    int zoneMinutes = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%2d:%2d", &fields.tm_year,
                    &fields.tm_mon, &fields.tm_mday, &fields.tm_hour, &fields.tm_min,
                    &fields.tm_sec, &sign, &zoneHours, &zoneMinutes) != 9) {
        return 0;
    }
    fields.tm_year -= 1900;
    fields.tm_mon -= 1;
    const long offset = (zoneHours * 3600L + zoneMinutes * 60L) * (sign == '-' ? -1 : 1);
    return timegm(&fields) - offset;
}

std::optional<CConnectionRecord> RecordFrom(const Json& object) {
    if (!object.is_object() || !object.contains("localPort") || !object.contains("state")) {
        return std::nullopt;
    }
    CConnectionRecord record;
    record.family = Number(object, "family") == 6 ? AddressFamily::Ipv6 : AddressFamily::Ipv4;
    record.protocol = ParseProtocolWord(Text(object, "protocol")).value_or(Protocol::Tcp);
    record.state = ParseStateName(Text(object, "state"), record.protocol).value_or(TcpState{});
    record.category = ParseCategoryWord(Text(object, "category")).value_or(Category::Unknown);
    record.interfaceText = Text(object, "localAddress");
    record.localPort = Number(object, "localPort");
    record.ipAddress = Text(object, "remoteAddress");
    record.remotePort = Number(object, "remotePort");
    record.hostName = Text(object, "hostname");
    record.serviceText = Text(object, "service");
    record.openTime = ParseIsoTime(Text(object, "openTime"));
    record.closeTime = ParseIsoTime(Text(object, "closeTime"));
    record.uid = static_cast<std::uint32_t>(Number(object, "uid"));
    const std::string cookie = Text(object, "cookie");
    record.cookie = cookie.empty() ? 0 : std::strtoull(cookie.c_str(), nullptr, 10);
    record.bytes = {Count(object, "bytesSent"), Count(object, "bytesReceived")};
    if (const auto process = object.find("process");
        process != object.end() && process->is_object()) {
        record.pid = Number(*process, "pid");
        record.command = Text(*process, "command");
        record.user = Text(*process, "user");
    }
    return record;
}

struct Request {
    std::string command;
    std::filesystem::path socket;
    std::optional<std::string> format;
    ListFilter filter;
    bool filtered = false;
};

constexpr const char* kUsage =
    "Usage: tarvikctl [-s PATH] status [-f text|json]\n"
    "       tarvikctl [-s PATH] list [-f text|csv|json] [--state NAME] [-p N] [-4|-6]\n"
    "                 [--category listening|inbound|outbound|unknown]\n"
    "       tarvikctl [-s PATH] follow [-f json|text]\n"
    "       tarvikctl [-s PATH] reload\n"
    "       tarvikctl -h | -V\n"
    "\n"
    "Talks to the running tarvikd through its control socket.\n"
    "\n"
    "  -s, --socket PATH  the socket (default: $XDG_RUNTIME_DIR/tarvik/tarvikd.sock when\n"
    "                  it exists, else /run/tarvik/tarvikd.sock)\n"
    "  -f, --format FMT  the answer's form\n"
    "  --state NAME, -p/--port N, -4/-6/--family 4|6, --category CAT\n"
    "                  list: only the rows that match, as tarvikd --list takes them\n"
    "  -h, --help      show this help\n"
    "  -V, --version   show the version\n"
    "\n"
    "Exit codes: 0 done, 1 failed, 2 usage, 3 tarvikd not running, 4 no permission.\n";

constexpr ShortOption kShortOptions[] = {
    {'h', "--help"},
    {'V', "--version"},
    {'s', "--socket", true},
    {'f', "--format", true},
    {'p', "--port", true},
    {'4', "--family", false, "4"},
    {'6', "--family", false, "6"},
};

std::filesystem::path DefaultClientSocket() {
    if (const auto own = DefaultControlSocketPath(); own && std::filesystem::exists(*own)) {
        return *own;
    }
    return "/run/tarvik/tarvikd.sock";
}

std::optional<Request> ParseRequest(const std::vector<std::string>& args, std::string* error) {
    Request request;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        bool matched = false;
        if (arg.rfind("--socket", 0) == 0) {
            const auto value = OptionValue(args, i, "--socket");
            if (!value || value->empty()) {
                *error = "--socket needs a path";
                return std::nullopt;
            }
            request.socket = *value;
        } else if (arg.rfind("--format", 0) == 0) {
            request.format = OptionValue(args, i, "--format").value_or("");
        } else if (arg.rfind("-", 0) == 0) {
            if (!ParseFilterOption(args, i, request.filter, matched, error)) {
                return std::nullopt;
            }
            if (!matched) {
                *error = "unknown option '" + arg + "'";
                return std::nullopt;
            }
            request.filtered = true;
        } else if (request.command.empty()) {
            request.command = arg;
        } else {
            *error = "unexpected '" + arg + "'";
            return std::nullopt;
        }
    }
    const std::string& command = request.command;
    if (command != "status" && command != "list" && command != "follow" && command != "reload") {
        *error = command.empty() ? "a command is needed" : "unknown command '" + command + "'";
        return std::nullopt;
    }
    if (request.filtered && command != "list") {
        *error = "--state, --port, --family and --category apply to list only";
        return std::nullopt;
    }
    const std::string format = request.format.value_or(command == "follow" ? "json" : "text");
    const bool known = command == "list"     ? ParseListFormat(format).has_value()
                       : command == "reload" ? !request.format
                                             : format == "text" || format == "json";
    if (!known) {
        *error = "--format " + format + " does not apply to " + command;
        return std::nullopt;
    }
    request.format = format;
    if (request.socket.empty()) {
        request.socket = DefaultClientSocket();
    }
    return request;
}

// Whole lines from the socket, waiting for them.
class CLineReader {
public:
    explicit CLineReader(int fd) : fd_(fd) {}
    std::optional<std::string> Next() {
        std::string line;
        while (lines_.Next(line, std::string::npos) != CLineBuffer::Take::Line) {
            if (!lines_.Fill(fd_)) {
                return std::nullopt;
            }
        }
        return line;
    }

private:
    int fd_;
    CLineBuffer lines_;
};

std::string Duration(long long seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%lldd %02lld:%02lld:%02lld", seconds / 86400,
                  seconds / 3600 % 24, seconds / 60 % 60, seconds % 60);
    return text;
}

std::string Shown(const Json& value) {
    return value.is_string() ? value.get<std::string>() : value.is_null() ? "-" : value.dump();
}

void WriteStatusText(const Json& status, std::ostream& out) {
    const Json none = Json::object();
    const Json& acquisition = status.contains("acquisition") ? status["acquisition"] : none;
    const Json& probes = status.contains("probeSensing") ? status["probeSensing"] : none;
    const Json& counts = status.contains("connections") ? status["connections"] : none;
    out << "tarvikd " << Shown(status.value("version", Json())) << " (pid "
        << Shown(status.value("pid", Json())) << "), up " << Duration(status.value("uptime", 0LL))
        << '\n'
        << "acquisition: " << Shown(acquisition.value("mode", Json())) << " ("
        << Shown(acquisition.value("reason", Json())) << ")\n"
        << "probe sensing: " << (probes.value("on", false) ? "on" : "off") << " ("
        << Shown(probes.value("reason", Json())) << ")\n"
        << "connections: " << counts.value("listening", 0) << " listening, "
        << counts.value("inbound", 0) << " inbound, " << counts.value("outbound", 0)
        << " outbound, " << counts.value("unknown", 0) << " unknown\n"
        << "alerts: " << status.value("alerts", 0) << '\n';
}

int Fail(std::ostream& err, ControlExit code, const std::string& text) {
    err << "tarvikctl: " << text << '\n';
    return static_cast<int>(code);
}

int Run(const Request& request, std::ostream& out, std::ostream& err) {
    const std::string where = request.socket.string();
    const UniqueFd fd = ConnectControlSocket(request.socket);
    if (!fd) {
        const int error = errno;
        if (error == ENOENT || error == ECONNREFUSED || error == ENOTDIR) {
            return Fail(err, ControlExit::NotRunning,
                        "tarvikd is not running (no socket at " + where + ")");
        }
        if (error == EACCES || error == EPERM) {
            return Fail(err, ControlExit::NoPermission,
                        "permission denied on " + where + " (root or the group tarvik)");
        }
        return Fail(err, ControlExit::Failed,
                    "cannot connect to " + where + ": " + std::strerror(error));
    }
    const std::string line = "{\"method\": \"" + request.command + "\"}\n";
    if (send(fd.Get(), line.data(), line.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(line.size())) {
        return Fail(err, ControlExit::Failed, "cannot write to " + where);
    }
    CLineReader reader(fd.Get());
    const auto first = reader.Next();
    const Json answer = first ? Json::parse(*first, nullptr, false) : Json();
    if (!answer.is_object()) {
        return Fail(err, ControlExit::Failed, "no answer from tarvikd at " + where);
    }
    if (answer.contains("error")) {
        const bool refused = answer.value("code", "") == "permission";
        return Fail(err, refused ? ControlExit::NoPermission : ControlExit::Failed,
                    where + ": " + Shown(answer["error"]));
    }
    const std::string& format = *request.format;
    if (request.command == "status") {
        format == "json" ? void(out << *first << '\n') : WriteStatusText(answer, out);
    } else if (request.command == "list") {
        std::vector<CConnectionRecord> records;
        for (const Json& connection : answer.value("connections", Json::array())) {
            if (auto record = RecordFrom(connection)) {
                records.push_back(std::move(*record));
            }
        }
        WriteConnectionList(ApplyFilter(std::move(records), request.filter),
                            *ParseListFormat(format), out);
    } else if (request.command == "reload") {
        out << "tarvikd reloaded its settings\n";
    } else {
        while (const auto event = reader.Next()) {
            out << (format == "text" ? EventText(*event) : *event) << '\n' << std::flush;
            if (!out) {
                return static_cast<int>(ControlExit::Ok);  // the reader went away
            }
        }
        return Fail(err, ControlExit::Failed, "tarvikd at " + where + " closed the connection");
    }
    out.flush();
    return static_cast<int>(out ? ControlExit::Ok : ControlExit::Failed);
}

}  // namespace

std::optional<CConnectionRecord> RecordFromJson(const std::string& objectText) {
    return RecordFrom(Json::parse(objectText, nullptr, false));
}

std::optional<CConnectionRecord> RecordFromJsonValue(const Json& object) {
    return RecordFrom(object);
}

std::string EventText(const std::string& eventLine) {
    const Json event = Json::parse(eventLine, nullptr, false);
    if (!event.is_object() || !event.contains("event")) {
        return eventLine;
    }
    const std::string kind = Shown(event["event"]);
    std::string text = Shown(event.value("time", Json())) + " " + kind;
    if (kind == "alert") {
        std::string ports;
        for (const Json& port : event.value("localPorts", Json::array())) {
            ports += (ports.empty() ? "" : ",") + port.dump();
        }
        return text + " " + Shown(event.value("remoteAddress", Json())) + " ports " + ports +
               " kind " + Shown(event.value("kind", Json()));
    }
    if (kind == "lost") {
        return text + " " + Shown(event.value("lost", Json())) + " (" +
               Shown(event.value("source", Json("stream"))) + ")";
    }
    text += " " + Shown(event.value("category", Json())) + " " +
            Shown(event.value("localAddress", Json())) + ":" +
            Shown(event.value("localPort", Json()));
    if (!event.value("remoteAddress", Json()).is_null()) {
        text +=
            " -> " + Shown(event["remoteAddress"]) + ":" + Shown(event.value("remotePort", Json()));
    }
    text += " " + Shown(event.value("state", Json()));
    if (const Json process = event.value("process", Json()); process.is_object()) {
        text += " " + Shown(process.value("command", Json())) + " (" +
                Shown(process.value("pid", Json())) + ")";
    }
    return text;
}

int RunControlCommand(const std::vector<std::string>& given, std::ostream& out, std::ostream& err) {
    const std::vector<std::string> args = ExpandShortOptions(given, kShortOptions);
    for (const std::string& arg : args) {
        if (arg == "--help") {
            out << kUsage;
            return 0;
        }
        if (arg == "--version") {
            out << "tarvikctl " << TARVIK_VERSION << '\n';
            return 0;
        }
    }
    std::string error;
    const auto request = ParseRequest(args, &error);
    if (!request) {
        err << UsageErrorLine("tarvikctl", error) << '\n';
        return static_cast<int>(ControlExit::Usage);
    }
    return Run(*request, out, err);
}

}  // namespace tarvik
