#include "app/DaemonFeed.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "acquisition/Address.h"
#include "app/ControlClient.h"
#include "app/ControlSocket.h"
#include "app/ListFilter.h"
#include "base/LineBuffer.h"
#include "base/ThreadName.h"
#include "scan/ScanAlert.h"
#include "workers/WorkerHub.h"

namespace tarvik {

namespace {

using Json = nlohmann::json;

constexpr int kBalloonSeconds = 10;
// A status answer is a few hundred bytes.
constexpr std::size_t kStatusLineLimit = 64 * 1024;

bool IsPort(const Json& object, const char* name) {
    const auto it = object.find(name);
    return it != object.end() &&
           (it->is_null() || (it->is_number_integer() && it->get<long long>() >= 0 &&
                              it->get<long long>() <= 65535));
}

std::string TextOf(const Json& object, const char* name) {
    const auto it = object.find(name);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A connection of the daemon, checked more strictly than a list printout needs: the tracker
// keys and pairs records by their addresses and ports, so a row that names none is refused.
std::optional<CConnectionRecord> DaemonRecord(const Json& object) {
    if (!object.is_object() || !IsPort(object, "localPort") || !IsPort(object, "remotePort") ||
        !ParseStateName(TextOf(object, "state"),
                        ParseProtocolWord(TextOf(object, "protocol")).value_or(Protocol::Tcp))) {
        return std::nullopt;
    }
    std::optional<CConnectionRecord> record = RecordFromJsonValue(object);
    if (!record) {
        return std::nullopt;
    }
    AddressFamily family = record->family;
    if (!record->interfaceText.empty() &&
        !ParseAddress(record->interfaceText.Str(), family, record->localAddress)) {
        return std::nullopt;
    }
    if (!record->ipAddress.empty() &&
        !ParseAddress(record->ipAddress.Str(), family, record->remoteAddress)) {
        return std::nullopt;
    }
    return record;
}

DaemonEvent ConnectionEventOf(const std::string& kind, const Json& object) {
    std::optional<CConnectionRecord> record = DaemonRecord(object);
    if (!record) {
        return DaemonJunk{"a " + kind + " event without a readable connection"};
    }
    ConnectionEvent event;
    // An end that leaves TIME_WAIT remains is a change of state: the row stays until they go.
    const bool ended = kind == "close" && record->state != TcpState::TimeWait;
    event.kind = ended ? ConnectionEvent::Kind::Ended : ConnectionEvent::Kind::Changed;
    event.time = kind == "close" && record->closeTime != 0 ? record->closeTime
                 : record->openTime != 0                   ? record->openTime
                                                           : std::time(nullptr);
    event.record = std::move(*record);
    return event;
}

DaemonEvent AlertOf(const Json& object) {
    const auto ports = object.find("localPorts");
    if (TextOf(object, "remoteAddress").empty() || ports == object.end() || !ports->is_array()) {
        return DaemonJunk{"an alert without its address or ports"};
    }
    ScanAlertEvent alert;
    alert.remoteAddress = TextOf(object, "remoteAddress");
    alert.kind = TextOf(object, "kind");
    alert.time = std::time(nullptr);
    for (const Json& port : *ports) {
        if (port.is_number_integer()) {
            alert.localPorts.push_back(port.get<int>());
        }
    }
    return alert;
}

// Whole lines read from one connection to the daemon, each at most a limit long.
enum class ReadOutcome { Line, Closed, TooLong, Stopped, TimedOut };

const char* OutcomeText(ReadOutcome outcome) {
    switch (outcome) {
        case ReadOutcome::Closed:
            return "tarvikd closed the connection";
        case ReadOutcome::TooLong:
            return "tarvikd sent a line too long to take";
        case ReadOutcome::TimedOut:
            return "tarvikd does not answer";
        default:
            return "";
    }
}

}  // namespace

DaemonEvent DecodeDaemonEvent(std::string_view line) {
    const Json object = Json::parse(line, nullptr, false);
    if (!object.is_object()) {
        return DaemonJunk{"a line that is not a JSON object"};
    }
    const std::string kind = TextOf(object, "event");
    if (kind.empty()) {
        return DaemonJunk{object.contains("error") ? "an error: " + TextOf(object, "error")
                                                   : std::string("a line without \"event\"")};
    }
    if (kind == "open" || kind == "close" || kind == "update") {
        return ConnectionEventOf(kind, object);
    }
    if (kind == "alert") {
        return AlertOf(object);
    }
    if (kind == "lost") {
        return DaemonLoss{};
    }
    return DaemonOther{};
}

std::optional<std::vector<CConnectionRecord>> DecodeDaemonList(std::string_view line,
                                                               std::string* error) {
    const Json object = Json::parse(line, nullptr, false);
    const auto connections = object.is_object() ? object.find("connections") : object.end();
    if (!object.is_object() || connections == object.end() || !connections->is_array()) {
        *error = object.is_object() && object.contains("error")
                     ? "tarvikd refused the list: " + TextOf(object, "error")
                     : "tarvikd's list answer is not a list";
        return std::nullopt;
    }
    std::vector<CConnectionRecord> rows;
    rows.reserve(connections->size());
    for (const Json& connection : *connections) {
        if (auto record = DaemonRecord(connection)) {
            rows.push_back(std::move(*record));
        }
    }
    return rows;
}

std::optional<std::string> DecodeDaemonStatus(std::string_view line, std::string* error) {
    const Json object = Json::parse(line, nullptr, false);
    if (!object.is_object() || TextOf(object, "reply") != "status") {
        *error = object.is_object() && object.contains("error")
                     ? "tarvikd refused: " + TextOf(object, "error")
                     : "tarvikd's status answer is not one";
        return std::nullopt;
    }
    const auto acquisition = object.find("acquisition");
    const std::string mode = acquisition != object.end() && acquisition->is_object()
                                 ? TextOf(*acquisition, "mode")
                                 : std::string();
    // The mode is shown as it came, but only a short plain word is worth a status bar.
    const bool plain = !mode.empty() && mode.size() <= 16 &&
                       mode.find_first_not_of("abcdefghijklmnopqrstuvwxyz-") == std::string::npos;
    return plain ? "tarvikd (" + mode + ")" : std::string("tarvikd");
}

// One connection to the daemon: requests out, whole lines in, waiting through the feed's wait
// set so that a stop ends any wait at once.
class CDaemonFeed::Connection {
public:
    Connection(CWaitSet& waits, WaitKey key) : waits_(waits), key_(key) {}
    ~Connection() { waits_.Rewatch(key_, -1, POLLIN); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // False with errno set when nothing answers at `socket`.
    bool Open(const std::filesystem::path& socket) {
        fd_ = ConnectControlSocket(socket);
        if (!fd_) {
            return false;
        }
        waits_.Rewatch(key_, fd_.Get(), POLLIN);
        return true;
    }

    bool Send(const std::string& method) {
        const std::string line = "{\"method\": \"" + method + "\"}\n";
        return send(fd_.Get(), line.data(), line.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(line.size());
    }

    // The next line, waiting at most `timeout` for each read (none: no limit).
    ReadOutcome Next(std::string& line, std::size_t limit,
                     std::optional<std::chrono::milliseconds> timeout, WaitKey other) {
        waits_.Enable(other, false);  // the other connection's data waits in its buffer
        ReadOutcome outcome = ReadOutcome::Line;
        while (!TakeLine(line, limit, outcome)) {
            const CWaitSet::Result& result = waits_.Wait(timeout);
            if (result.stopped || result.failed) {
                outcome = ReadOutcome::Stopped;
                break;
            }
            if (result.timedOut) {
                outcome = ReadOutcome::TimedOut;
                break;
            }
            if (result.Has(key_) && !Fill()) {
                outcome = ReadOutcome::Closed;
                break;
            }
        }
        waits_.Enable(other, true);
        return outcome;
    }

    // Reads once what is there; false when the daemon closed or the read failed.
    bool Fill() { return lines_.Fill(fd_.Get()); }

    // A whole line from what was read; false with `outcome` TooLong when none can come within
    // the limit, else false with `outcome` unchanged when none is complete yet.
    bool TakeLine(std::string& line, std::size_t limit, ReadOutcome& outcome) {
        switch (lines_.Next(line, limit)) {
            case CLineBuffer::Take::Line:
                outcome = ReadOutcome::Line;
                return true;
            case CLineBuffer::Take::TooLong:
                outcome = ReadOutcome::TooLong;
                return true;
            case CLineBuffer::Take::None:
                break;
        }
        return false;
    }

private:
    CWaitSet& waits_;
    WaitKey key_;
    UniqueFd fd_;
    CLineBuffer lines_;
};

CDaemonFeed::CDaemonFeed(CWorkerHub& hub, std::filesystem::path socket)
    : hub_(hub), socket_(std::move(socket)), status_("tarvikd: attaching") {}

CDaemonFeed::~CDaemonFeed() {
    Stop();
    Join();
}

void CDaemonFeed::Start(std::function<void()> changed) {
    changed_ = std::move(changed);
    thread_ = std::thread([this] { Run(); });
}

void CDaemonFeed::Join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string CDaemonFeed::StatusText() const {
    std::lock_guard lock(mutex_);
    return status_;
}

void CDaemonFeed::SetStatus(std::string text) {
    {
        std::lock_guard lock(mutex_);
        if (status_ == text) {
            return;
        }
        status_ = std::move(text);
    }
    if (changed_) {
        changed_();
    }
}

void CDaemonFeed::Run() {
    NameThisThread("daemon feed");
    if (!waits_.Valid()) {
        SetStatus("tarvikd: cannot wait for it (out of descriptors)");
        return;
    }
    // The keys are made once: each attempt gives them its descriptors.
    followKey_ = waits_.Watch(-1, POLLIN);
    commandKey_ = waits_.Watch(-1, POLLIN);
    relistTimer_ = waits_.AddTimer();
    while (!waits_.Stopped()) {
        Session();
        if (waits_.PauseUnlessStopped(kRetryPause)) {
            break;
        }
    }
}

void CDaemonFeed::Session() {
    Connection follow(waits_, followKey_);
    Connection commands(waits_, commandKey_);
    const std::string where = socket_.string();
    if (!follow.Open(socket_) || !commands.Open(socket_)) {
        const int error = errno;
        SetStatus(error == EACCES || error == EPERM
                      ? "tarvikd: no permission on " + where
                      : "tarvikd is not running (no socket at " + where + "); waiting for it");
        return;
    }
    std::string line;
    std::string error;
    ReadOutcome outcome = ReadOutcome::Line;
    if (!follow.Send("follow") || !commands.Send("status")) {
        SetStatus("tarvikd: cannot write to " + where);
        return;
    }
    outcome = follow.Next(line, kEventLineLimit, kAnswerTimeout, commandKey_);
    if (outcome == ReadOutcome::Line && line.find("\"reply\"") == std::string::npos) {
        SetStatus("tarvikd refused to follow: " + line.substr(0, 200));
        return;
    }
    if (outcome == ReadOutcome::Line) {
        outcome = commands.Next(line, kEventLineLimit, kAnswerTimeout, followKey_);
    }
    if (outcome != ReadOutcome::Line) {
        SetStatus(std::string(OutcomeText(outcome)) + " at " + where);
        return;
    }
    const std::optional<std::string> attached = DecodeDaemonStatus(line, &error);
    if (!attached) {
        SetStatus(error);
        return;
    }
    attachedText_ = *attached;
    junkLines_ = 0;
    if (!Relist(commands)) {
        return;
    }
    SetStatus(attachedText_);
    // Events that came with the answers wait in the buffer, not in the socket.
    if (!TakeEvents(follow, commands, false)) {
        return;
    }
    waits_.Arm(relistTimer_, kRelistInterval);
    while (true) {
        const CWaitSet::Result& result = waits_.Wait();
        if (result.stopped || result.failed) {
            return;
        }
        const bool relistDue = result.Has(relistTimer_) || relistAsked_.exchange(false);
        if (result.Has(followKey_) && !TakeEvents(follow, commands, true)) {
            return;
        }
        if (relistDue) {
            if (!Relist(commands)) {
                return;
            }
            waits_.Arm(relistTimer_, kRelistInterval);
        }
    }
}

void CDaemonFeed::RelistSoon() {
    relistAsked_ = true;
    waits_.Wake();
}

bool CDaemonFeed::Relist(Connection& commands) {
    std::string line;
    std::string error;
    ReadOutcome outcome = commands.Send("list")
                              ? commands.Next(line, kListLineLimit, kAnswerTimeout, followKey_)
                              : ReadOutcome::Closed;
    if (outcome != ReadOutcome::Line) {
        SetStatus(std::string(OutcomeText(outcome)) + " (list)");
        return false;
    }
    std::optional<std::vector<CConnectionRecord>> rows = DecodeDaemonList(line, &error);
    if (!rows) {
        SetStatus(error);
        return false;
    }
    Snapshot snapshot;
    snapshot.rows = std::move(*rows);
    hub_.Publish(std::move(snapshot));
    return true;
}

bool CDaemonFeed::TakeEvents(Connection& follow, Connection& commands, bool read) {
    if (read && !follow.Fill()) {
        SetStatus("tarvikd went away; waiting for it to come back");
        return false;
    }
    ConnectionNotices notices;
    bool lost = false;
    std::string line;
    ReadOutcome outcome = ReadOutcome::Line;
    while (follow.TakeLine(line, kEventLineLimit, outcome)) {
        if (outcome == ReadOutcome::TooLong) {
            SetStatus("tarvikd sent an event line over 1 MiB; attaching again");
            return false;
        }
        DaemonEvent event = DecodeDaemonEvent(line);
        if (auto* change = std::get_if<ConnectionEvent>(&event)) {
            notices.events.push_back(std::move(*change));
        } else if (auto* alert = std::get_if<ScanAlertEvent>(&event)) {
            hub_.ShowBalloon(kAlertBalloonTitle, AlertBalloonText(alert->remoteAddress),
                             kBalloonSeconds);
            hub_.Publish(std::move(*alert));
        } else if (std::holds_alternative<DaemonLoss>(event)) {
            lost = true;
        } else if (std::holds_alternative<DaemonJunk>(event)) {
            ++junkLines_;
            SetStatus(attachedText_ + "; lines not understood: " + std::to_string(junkLines_) +
                      " (the last: " + std::get<DaemonJunk>(event).reason + ")");
        }
    }
    if (!notices.events.empty()) {
        hub_.Publish(std::move(notices));
    }
    return !lost || Relist(commands);
}

std::optional<std::string> ProbeDaemon(const std::filesystem::path& socket,
                                       std::chrono::milliseconds timeout) {
    const UniqueFd fd = ConnectControlSocket(socket);
    if (!fd) {
        return std::nullopt;
    }
    const timeval wait{static_cast<time_t>(timeout.count() / 1000),
                       static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    const std::string request = "{\"method\": \"status\"}\n";
    if (send(fd.Get(), request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        return std::nullopt;
    }
    CLineBuffer lines;
    std::string answer;
    CLineBuffer::Take taken = CLineBuffer::Take::None;
    while ((taken = lines.Next(answer, kStatusLineLimit)) == CLineBuffer::Take::None) {
        if (!lines.Fill(fd.Get())) {
            return std::nullopt;
        }
    }
    if (taken == CLineBuffer::Take::TooLong) {
        return std::nullopt;
    }
    std::string error;
    return DecodeDaemonStatus(answer, &error);
}

}  // namespace tarvik
