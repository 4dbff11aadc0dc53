#include "app/ControlServer.h"

#include <grp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/EventStream.h"
#include "app/ListFormats.h"
#include "base/ThreadName.h"

namespace tarvik {

namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

// Outside text may not be UTF-8; a reply is always sent, with such bytes replaced.
std::string Dump(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// A listing is shared by the list requests of this long, then let go.
constexpr auto kListingReuse = 1s;
// After running out of descriptors, accepting waits this long before it tries again.
constexpr auto kAcceptRetry = 200ms;
// Rows of a list answer made at a time, as the client takes them.
constexpr std::size_t kListChunkRows = 256;
constexpr int kMaxIov = 64;

// Supplementary groups from /proc/<pid>/status, where the kernel cannot give them with the
// connection.
std::vector<gid_t> ProcGroups(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::vector<gid_t> groups;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Groups:", 0) == 0) {
            std::istringstream words(line.substr(7));
            for (unsigned long group = 0; words >> group;) {
                groups.push_back(static_cast<gid_t>(group));
            }
        }
    }
    return groups;
}

std::optional<PeerCredentials> ReadPeer(int fd) {
    ucred cred{};
    socklen_t length = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) {
        return std::nullopt;
    }
    PeerCredentials peer{cred.pid, cred.uid, cred.gid, {}};
    // The groups as they were at connect time: no later look at a pid that may be reused.
    std::vector<gid_t> groups(64);
    for (int tries = 0; tries < 2; ++tries) {
        socklen_t size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
            groups.resize(size / sizeof(gid_t));
            peer.groups = std::move(groups);
            return peer;
        }
        if (errno != ERANGE || size > 65536 * sizeof(gid_t)) {
            break;
        }
        groups.resize(size / sizeof(gid_t));
    }
    peer.groups = ProcGroups(cred.pid);
    return peer;
}

bool WouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

std::string SocketLossLine(std::uint64_t lost) {
    std::string line = LossEventLine(lost, std::time(nullptr));
    line.pop_back();  // the closing brace
    return line + ", \"source\": \"socket\"}\n";
}

}  // namespace

struct CControlServer::Slot {
    WaitKey key{};
    UniqueFd fd;  // invalid: a free place
    ControlAccess access = ControlAccess::None;
    std::string input;  // requests read, not yet handled
    bool endOfInput = false;
    bool broken = false;  // a write failed: closed at the next turn
    // Under mutex_:
    std::deque<std::shared_ptr<const std::string>> out;
    std::size_t offset = 0;  // of out.front() written already
    std::size_t bytes = 0;   // waiting in out
    bool following = false;
    bool closing = false;  // closed once `out` is written
    std::uint64_t unreported = 0;
    std::shared_ptr<const std::vector<CConnectionRecord>> listing;  // a list answer under way
    std::size_t nextRow = 0;
};

ControlAccess DecideAccess(const PeerCredentials& peer, const AccessPolicy& policy) {
    if (peer.uid == 0 || peer.uid == policy.owner) {
        return ControlAccess::Admin;
    }
    if (policy.readerGroup &&
        (peer.gid == *policy.readerGroup || std::find(peer.groups.begin(), peer.groups.end(),
                                                      *policy.readerGroup) != peer.groups.end())) {
        return ControlAccess::Read;
    }
    return ControlAccess::None;
}

AccessPolicy LocalAccessPolicy() {
    AccessPolicy policy;
    policy.owner = geteuid();
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(16384);
    if (getgrnam_r("tarvik", &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        policy.readerGroup = found->gr_gid;
    }
    return policy;
}

std::string StatusLine(const ControlStatus& status) {
    const Json json = {
        {"reply", "status"},
        {"version", TARVIK_VERSION},
        {"jsonVersion", kJsonFormatVersion},
        {"pid", getpid()},
        {"acquisition", {{"mode", status.acquisition}, {"reason", status.acquisitionReason}}},
        {"probeSensing", {{"on", status.probeSensing}, {"reason", status.probeReason}}},
        {"connections",
         {{"listening", status.listening},
          {"inbound", status.inbound},
          {"outbound", status.outbound},
          {"unknown", status.unknown}}},
        {"alerts", status.alerts},
        {"uptime", status.uptime.count()},
    };
    return Dump(json);
}

std::string ErrorLine(const std::string& code, const std::string& reason) {
    return Dump(Json{{"error", reason}, {"code", code}});
}

CControlServer::CControlServer(UniqueFd listener, IControlSource& source, AccessCheck access,
                               ControlLimits limits)
    : source_(source), access_(std::move(access)), limits_(limits), listener_(std::move(listener)) {
    listenKey_ = waits_.Watch(listener_.Get(), POLLIN);
    retryTimer_ = waits_.AddTimer();
    for (std::size_t i = 0; i < limits_.maxClients; ++i) {
        auto slot = std::make_unique<Slot>();
        slot->key = waits_.Watch(-1, 0);
        slots_.push_back(std::move(slot));
    }
    thread_ = std::thread([this] { Run(); });
}

CControlServer::~CControlServer() {
    waits_.Stop();
    thread_.join();
}

void CControlServer::Publish(std::string line) {
    line += '\n';
    auto shared = std::make_shared<const std::string>(std::move(line));
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        for (const auto& slot : slots_) {
            Slot& s = *slot;
            if (!s.following || s.closing) {
                continue;
            }
            const bool wasEmpty = s.out.empty();
            if (s.unreported > 0) {
                ReportLoss(s);
            }
            if (s.unreported > 0 || s.bytes + shared->size() > limits_.queueBytes) {
                ++s.unreported;
                ++dropped_;
                continue;
            }
            s.out.push_back(shared);
            s.bytes += shared->size();
            peakClientBytes_ = std::max(peakClientBytes_, s.bytes);
            wake = wake || wasEmpty;
        }
    }
    if (wake) {
        waits_.Wake();
    }
}

ControlStats CControlServer::Stats() const {
    std::lock_guard lock(mutex_);
    ControlStats stats;
    for (const auto& slot : slots_) {
        if (slot->fd) {
            ++stats.clients;
            stats.followers += slot->following ? 1 : 0;
            stats.queuedBytes += slot->bytes;
        }
    }
    stats.peakClientBytes = peakClientBytes_;
    stats.dropped = dropped_;
    return stats;
}

void CControlServer::Run() {
    NameThisThread("control socket");
    const WaitKey firstSlot = slots_.empty() ? WaitKey{} : slots_.front()->key;
    while (true) {
        const CWaitSet::Result& result = waits_.Wait();
        if (result.stopped || result.failed) {
            break;
        }
        for (const CWaitSet::Ready& ready : result.ready) {
            if (ready.key == listenKey_) {
                Accept();
            } else if (ready.key == retryTimer_) {
                waits_.Enable(listenKey_, true);
                if (listing_ && std::chrono::steady_clock::now() - listingTime_ >= kListingReuse) {
                    listing_.reset();
                }
            } else {
                Slot& slot = *slots_[static_cast<std::size_t>(ready.key) -
                                     static_cast<std::size_t>(firstSlot)];
                if ((ready.events & (POLLHUP | POLLERR)) != 0) {
                    Close(slot);
                } else if ((ready.events & POLLIN) != 0) {
                    Read(slot);
                }
            }
        }
        for (const auto& slot : slots_) {
            if (slot->fd) {
                Serve(*slot);
            }
        }
    }
}

void CControlServer::Accept() {
    while (true) {
        UniqueFd fd(accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            if (!WouldBlock(errno)) {
                // Out of descriptors or memory: the waiting connection would keep the listener
                // ready, and this thread spinning.
                waits_.Enable(listenKey_, false);
                waits_.Arm(retryTimer_, kAcceptRetry);
            }
            return;
        }
        const auto peer = ReadPeer(fd.Get());
        if (!peer) {
            Refuse(std::move(fd), "permission", "permission denied: the peer is not known");
            continue;
        }
        const auto free =
            std::find_if(slots_.begin(), slots_.end(), [](const auto& slot) { return !slot->fd; });
        if (free == slots_.end()) {
            Refuse(std::move(fd), "busy",
                   "too many clients (" + std::to_string(limits_.maxClients) + " at most)");
            continue;
        }
        const ControlAccess access = access_(*peer);
        if (access == ControlAccess::None) {
            Refuse(std::move(fd), "permission",
                   "permission denied: uid " + std::to_string(peer->uid) +
                       " is neither root nor in the group tarvik");
            continue;
        }
        Slot& slot = **free;
        slot.fd = std::move(fd);
        slot.access = access;
        slot.input.clear();
        slot.endOfInput = false;
        slot.broken = false;
        waits_.Rewatch(slot.key, slot.fd.Get(), POLLIN);
    }
}

void CControlServer::Refuse(UniqueFd fd, const std::string& code, const std::string& reason) {
    const std::string line = ErrorLine(code, reason) + "\n";
    // A fresh socket has room for one line; a client that cannot take it learns nothing.
    [[maybe_unused]] const ssize_t sent =
        send(fd.Get(), line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void CControlServer::Read(Slot& slot) {
    char buffer[16384];
    bool following = false;
    {
        std::lock_guard lock(mutex_);
        following = slot.following;
    }
    // Never more than one byte past the limit is kept: enough to see a request is too long.
    const std::size_t room =
        following ? sizeof buffer : limits_.maxRequestBytes + 1 - slot.input.size();
    if (room == 0) {
        return;
    }
    const ssize_t count = read(slot.fd.Get(), buffer, std::min(room, sizeof buffer));
    if (count < 0) {
        if (!WouldBlock(errno) && errno != EINTR) {
            Close(slot);
        }
        return;
    }
    if (count == 0) {
        slot.endOfInput = true;
        return;
    }
    if (!following) {  // a follower's further lines mean nothing
        slot.input.append(buffer, static_cast<std::size_t>(count));
    }
}

bool CControlServer::Busy(const Slot& slot) const {
    std::lock_guard lock(mutex_);
    return !slot.out.empty() || slot.listing || slot.following || slot.closing;
}

void CControlServer::HandleRequests(Slot& slot) {
    while (!Busy(slot)) {
        const std::size_t end = slot.input.find('\n');
        if (end == std::string::npos) {
            if (slot.input.size() > limits_.maxRequestBytes) {
                Fail(slot, "request",
                     "request longer than " + std::to_string(limits_.maxRequestBytes) + " bytes");
            } else if (slot.endOfInput) {
                if (slot.input.empty()) {
                    std::lock_guard lock(mutex_);
                    slot.closing = true;
                } else {
                    Handle(slot, std::exchange(slot.input, {}));  // a last line without its end
                }
                continue;
            }
            break;
        }
        if (end > limits_.maxRequestBytes) {
            Fail(slot, "request",
                 "request longer than " + std::to_string(limits_.maxRequestBytes) + " bytes");
            break;
        }
        std::string request = slot.input.substr(0, end);
        slot.input.erase(0, end + 1);
        if (request.find_first_not_of(" \t\r") != std::string::npos) {
            Handle(slot, request);
        }
    }
}

void CControlServer::Handle(Slot& slot, const std::string& request) {
    const Json json = Json::parse(request, nullptr, false);
    const auto method = json.is_object() ? json.find("method") : json.end();
    if (json.is_discarded() || !json.is_object() || method == json.end() || !method->is_string()) {
        Fail(slot, "request", "malformed request: a JSON object with a \"method\" is expected");
        return;
    }
    const std::string name = method->get<std::string>();
    try {
        if (name == "status") {
            const std::string line = StatusLine(source_.Status());
            std::lock_guard lock(mutex_);
            Answer(slot, line);
        } else if (name == "list") {
            StartList(slot);
        } else if (name == "follow") {
            std::lock_guard lock(mutex_);
            Answer(slot, Dump(Json{{"reply", "follow"}, {"version", kJsonFormatVersion}}));
            slot.following = true;
        } else if (name == "reload") {
            if (slot.access != ControlAccess::Admin) {
                Fail(slot, "permission", "permission denied: only root may reload");
                return;
            }
            const auto error = source_.Reload();
            std::lock_guard lock(mutex_);
            Answer(slot, error ? ErrorLine("failed", *error) : Dump(Json{{"reply", "reload"}}));
        } else {
            std::lock_guard lock(mutex_);
            Answer(slot, ErrorLine("request", "unknown method '" + name.substr(0, 64) +
                                                  "' (status, list, follow or reload)"));
        }
    } catch (const std::exception& error) {
        Fail(slot, "failed", std::string("the request failed: ") + error.what());
    }
}

void CControlServer::Answer(Slot& slot, std::string line) {
    line += '\n';
    slot.bytes += line.size();
    slot.out.push_back(std::make_shared<const std::string>(std::move(line)));
    peakClientBytes_ = std::max(peakClientBytes_, slot.bytes);
}

void CControlServer::Fail(Slot& slot, const std::string& code, const std::string& reason) {
    std::lock_guard lock(mutex_);
    Answer(slot, ErrorLine(code, reason));
    slot.closing = true;
    slot.input.clear();
}

void CControlServer::StartList(Slot& slot) {
    const auto now = std::chrono::steady_clock::now();
    if (!listing_ || now - listingTime_ >= kListingReuse) {
        listing_ = std::make_shared<const std::vector<CConnectionRecord>>(source_.Rows());
        listingTime_ = now;
        waits_.Arm(retryTimer_, kListingReuse);  // lets go of it then
    }
    std::lock_guard lock(mutex_);
    slot.listing = listing_;
    slot.nextRow = 0;
    const std::string head =
        "{\"version\": " + std::to_string(kJsonFormatVersion) + ", \"connections\": [";
    slot.bytes += head.size();
    slot.out.push_back(std::make_shared<const std::string>(head));
}

void CControlServer::FillList(Slot& slot) {
    while (slot.listing && slot.bytes < limits_.queueBytes) {
        std::string chunk;
        const std::size_t end = std::min(slot.listing->size(), slot.nextRow + kListChunkRows);
        for (; slot.nextRow < end; ++slot.nextRow) {
            chunk += slot.nextRow == 0 ? "{" : ", {";
            chunk += ConnectionJsonFields((*slot.listing)[slot.nextRow]);
            chunk += '}';
        }
        if (slot.nextRow == slot.listing->size()) {
            chunk += "]}\n";
            slot.listing.reset();
        }
        slot.bytes += chunk.size();
        slot.out.push_back(std::make_shared<const std::string>(std::move(chunk)));
    }
}

void CControlServer::ReportLoss(Slot& slot) {
    std::string line = SocketLossLine(slot.unreported);
    if (slot.bytes + line.size() <= limits_.queueBytes) {
        slot.bytes += line.size();
        slot.out.push_back(std::make_shared<const std::string>(std::move(line)));
        slot.unreported = 0;
    }
}

void CControlServer::Flush(Slot& slot) {
    while (!slot.broken) {
        FillList(slot);
        if (slot.out.empty() && slot.unreported > 0) {
            ReportLoss(slot);
        }
        if (slot.out.empty()) {
            return;
        }
        iovec parts[kMaxIov];
        int count = 0;
        for (auto it = slot.out.begin(); it != slot.out.end() && count < kMaxIov; ++it, ++count) {
            const std::size_t skip = count == 0 ? slot.offset : 0;
            parts[count].iov_base = const_cast<char*>((*it)->data() + skip);
            parts[count].iov_len = (*it)->size() - skip;
        }
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = static_cast<std::size_t>(count);
        const ssize_t sent = sendmsg(slot.fd.Get(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno != EINTR) {
                slot.broken = !WouldBlock(errno);
                return;
            }
            continue;
        }
        auto written = static_cast<std::size_t>(sent);
        slot.bytes -= written;
        while (written > 0) {
            const std::size_t left = slot.out.front()->size() - slot.offset;
            if (written < left) {
                slot.offset += written;
                break;
            }
            written -= left;
            slot.out.pop_front();
            slot.offset = 0;
        }
    }
}

void CControlServer::Serve(Slot& slot) {
    // Requests that came together are answered one after another as each answer goes out.
    while (true) {
        HandleRequests(slot);
        std::lock_guard lock(mutex_);
        Flush(slot);
        if (slot.broken || !slot.out.empty() || slot.listing || slot.following || slot.closing ||
            (slot.input.find('\n') == std::string::npos && !slot.endOfInput)) {
            break;
        }
    }
    UpdateInterest(slot);
}

void CControlServer::UpdateInterest(Slot& slot) {
    bool close = false;
    short events = 0;
    {
        std::lock_guard lock(mutex_);
        Flush(slot);
        const bool pending = !slot.out.empty() || slot.listing;
        close = slot.broken || (slot.closing && !pending);
        if (slot.following || !pending) {
            events |= slot.endOfInput || slot.closing ? 0 : POLLIN;
        }
        events |= pending ? POLLOUT : 0;
    }
    if (close) {
        Close(slot);
    } else {
        waits_.Rewatch(slot.key, slot.fd.Get(), events);
    }
}

void CControlServer::Close(Slot& slot) {
    {
        std::lock_guard lock(mutex_);
        slot.out.clear();
        slot.offset = 0;
        slot.bytes = 0;
        slot.following = false;
        slot.closing = false;
        slot.unreported = 0;
        slot.listing.reset();
    }
    waits_.Rewatch(slot.key, -1, 0);
    slot.fd.Reset();
    slot.input.clear();
    slot.endOfInput = false;
    slot.broken = false;
}

}  // namespace tarvik
