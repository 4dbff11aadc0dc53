#include "app/EcsEvent.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "base/Sha1.h"

namespace tarvik {

namespace {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

std::string Base64(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = std::uint32_t{bytes[i]} << 16;
        group |= count > 1 ? std::uint32_t{bytes[i + 1]} << 8 : 0;
        group |= count > 2 ? std::uint32_t{bytes[i + 2]} : 0;
        for (std::size_t digit = 0; digit < 4; ++digit) {
            text += digit <= count ? kDigits[(group >> (18 - 6 * digit)) & 0x3F] : '=';
        }
    }
    return text;
}

std::string TextOf(const Json& object, const char* key, const char* fallback = "") {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : fallback;
}

std::size_t AddressSize(AddressFamily family) {
    return family == AddressFamily::Ipv6 ? 16 : 4;
}

bool Before(const FlowEnd& one, const FlowEnd& other) {
    const std::size_t size = AddressSize(one.family);
    const int order = std::memcmp(one.address.data(), other.address.data(), size);
    return order < 0 || (order == 0 && one.port < other.port);
}

void PutBigEndian16(std::vector<std::uint8_t>& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes.push_back(static_cast<std::uint8_t>(value));
}

// "2003-08-22T14:03:07+02:00" as seconds since the epoch.
std::optional<long long> EpochSeconds(const Json& text) {
    if (!text.is_string()) {
        return std::nullopt;
    }
    std::tm fields{};
    char sign = '+';
    int zoneHours = 0;
    int zoneMinutes = 0;
    if (std::sscanf(text.get_ref<const std::string&>().c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%2d:%2d",
                    &fields.tm_year, &fields.tm_mon, &fields.tm_mday, &fields.tm_hour,
                    &fields.tm_min, &fields.tm_sec, &sign, &zoneHours, &zoneMinutes) != 9) {
        return std::nullopt;
    }
    fields.tm_year -= 1900;
    fields.tm_mon -= 1;
    const long long offset = (zoneHours * 3600LL + zoneMinutes * 60LL) * (sign == '-' ? -1 : 1);
    return static_cast<long long>(timegm(&fields)) - offset;
}

std::optional<FlowEnd> EndOf(const Json& address, const Json& port) {
    FlowEnd end;
    if (!address.is_string() || !port.is_number_integer() ||
        !ParseAddress(address.get<std::string>(), end.family, end.address)) {
        return std::nullopt;
    }
    end.port = static_cast<std::uint16_t>(port.get<int>());
    return end;
}

// The members the ECS object names by itself; the rest go under "tarvik".
constexpr std::string_view kMapped[] = {
    "event",      "time",     "family",  "protocol", "localAddress", "localPort", "remoteAddress",
    "remotePort", "hostname", "process", "openTime", "closeTime",    "uid"};

bool IsMapped(const std::string& name) {
    return std::find(std::begin(kMapped), std::end(kMapped), name) != std::end(kMapped);
}

OrderedJson EndObject(const Json& native, const char* address, const char* port, bool named) {
    OrderedJson end = OrderedJson::object();
    if (native.value(address, Json()).is_string()) {
        end["ip"] = native[address];
        if (native.value(port, Json()).is_number_integer()) {
            end["port"] = native[port];
        }
    }
    // The remote end's name, when the lookup found one other than its address.
    if (named && native.value("hostname", Json()).is_string() &&
        native["hostname"] != native.value(address, Json())) {
        end["domain"] = native["hostname"];
    }
    return end;
}

// source/destination and network.direction: the remote end is the source of what came in.
// 17 for a UDP socket's event, 6 otherwise (events before the protocol member were TCP).
std::uint8_t IanaProtocol(const Json& native) {
    return native.value("protocol", Json()) == "udp" ? 17 : 6;
}

void AddEnds(const Json& native, OrderedJson& ecs) {
    const std::string category = TextOf(native, "category");
    const OrderedJson local = EndObject(native, "localAddress", "localPort", false);
    const OrderedJson remote = EndObject(native, "remoteAddress", "remotePort", true);
    const char* direction = "unknown";
    if (category == "inbound") {
        ecs["source"] = remote;
        ecs["destination"] = local;
        direction = "ingress";
    } else if (category == "outbound") {
        ecs["source"] = local;
        ecs["destination"] = remote;
        direction = "egress";
    } else if (category == "listening" || remote.empty()) {
        if (!local.empty()) {
            ecs["destination"] = local;
        }
    } else {
        ecs["source"] = local;
        ecs["destination"] = remote;
    }
    ecs["network"]["direction"] = direction;
    const auto one = EndOf(native.value("localAddress", Json()), native.value("localPort", Json()));
    const auto other =
        EndOf(native.value("remoteAddress", Json()), native.value("remotePort", Json()));
    if (one && other && one->family == other->family) {
        ecs["network"]["community_id"] = CommunityId(*one, *other, IanaProtocol(native));
    }
}

void AddEventFields(const Json& native, const std::string& name, OrderedJson& ecs) {
    OrderedJson& event = ecs["event"];
    const bool connection = name == "open" || name == "close" || name == "update";
    event["kind"] = name == "alert" ? "alert" : name == "lost" ? "pipeline_error" : "event";
    event["category"] =
        name == "alert" ? OrderedJson{"network", "intrusion_detection"} : OrderedJson{"network"};
    event["type"] = name == "open"     ? OrderedJson{"connection", "start"}
                    : name == "close"  ? OrderedJson{"connection", "end"}
                    : name == "update" ? OrderedJson{"connection", "change"}
                                       : OrderedJson{"info"};
    event["action"] = name;
    if (connection && native.value("openTime", Json()).is_string()) {
        event["start"] = native["openTime"];
    }
    if (native.value("closeTime", Json()).is_string()) {
        event["end"] = native["closeTime"];
        const auto opened = EpochSeconds(native.value("openTime", Json()));
        const auto closed = EpochSeconds(native["closeTime"]);
        if (opened && closed && *closed >= *opened) {
            event["duration"] = (*closed - *opened) * 1'000'000'000LL;  // nanoseconds
        }
    }
}

void AddProcessAndUser(const Json& native, OrderedJson& ecs) {
    if (const Json process = native.value("process", Json()); process.is_object()) {
        if (process.value("pid", Json()).is_number_integer()) {
            ecs["process"]["pid"] = process["pid"];
        }
        if (process.value("command", Json()).is_string()) {
            ecs["process"]["name"] = process["command"];
        }
        if (process.value("user", Json()).is_string()) {
            ecs["user"]["name"] = process["user"];
        }
    }
    if (native.value("uid", Json()).is_number_unsigned()) {
        ecs["user"]["id"] = std::to_string(native["uid"].get<std::uint64_t>());
    }
}

std::string AlertMessage(const Json& native) {
    std::string ports;
    for (const Json& port : native.value("localPorts", Json::array())) {
        ports += (ports.empty() ? "" : ", ") + port.dump();
    }
    return "port scan (" + TextOf(native, "kind", "?") + ") from " +
           TextOf(native, "remoteAddress", "?") + " on ports " + ports;
}

std::string EcsObject(const Json& native, std::string_view hostName);

}  // namespace

std::string CommunityId(const FlowEnd& one, const FlowEnd& other, std::uint8_t protocol,
                        std::uint16_t seed) {
    const bool swap = !Before(one, other);
    const FlowEnd& first = swap ? other : one;
    const FlowEnd& second = swap ? one : other;
    const std::size_t size = AddressSize(first.family);
    std::vector<std::uint8_t> bytes;
    PutBigEndian16(bytes, seed);
    bytes.insert(bytes.end(), first.address.begin(), first.address.begin() + size);
    bytes.insert(bytes.end(), second.address.begin(), second.address.begin() + size);
    bytes.push_back(protocol);
    bytes.push_back(0);
    PutBigEndian16(bytes, first.port);
    PutBigEndian16(bytes, second.port);
    return "1:" + Base64(Sha1(bytes));
}

std::string EcsEventLine(std::string_view nativeLine, std::string_view hostName) {
    const Json native = Json::parse(nativeLine, nullptr, false);
    if (!native.is_object() || !native.value("event", Json()).is_string()) {
        return std::string(nativeLine);
    }
    try {
        return EcsObject(native, hostName);
    } catch (const Json::exception&) {
        return std::string(nativeLine);  // a member of an unexpected type: the line as it was
    }
}

namespace {

std::string EcsObject(const Json& native, std::string_view hostName) {
    const std::string name = native["event"];
    OrderedJson ecs = OrderedJson::object();
    ecs["@timestamp"] = native.value("time", Json());
    if (name == "alert") {
        ecs["message"] = AlertMessage(native);
    }
    ecs["ecs"]["version"] = kEcsVersion;
    AddEventFields(native, name, ecs);
    if (native.contains("family")) {
        ecs["network"]["type"] = native["family"] == 6 ? "ipv6" : "ipv4";
    }
    if (name == "alert") {
        // The scanning host is the source; its targets are the ports under "tarvik".
        ecs["network"]["transport"] = "tcp";
        ecs["network"]["direction"] = "ingress";
        ecs["source"]["ip"] = native.value("remoteAddress", Json());
    } else if (name != "lost") {
        const std::uint8_t protocol = IanaProtocol(native);
        ecs["network"]["transport"] = protocol == 17 ? "udp" : "tcp";
        ecs["network"]["iana_number"] = std::to_string(protocol);
        AddEnds(native, ecs);
    }
    AddProcessAndUser(native, ecs);
    ecs["host"]["hostname"] = hostName;
    OrderedJson& own = ecs["tarvik"];
    for (const auto& [key, value] : native.items()) {
        if (!IsMapped(key)) {
            own[key] = value;
        }
    }
    // The native texts are valid UTF-8 already; a bad byte would become U+FFFD, not an
    // exception on the writer's thread.
    return ecs.dump(-1, ' ', false, OrderedJson::error_handler_t::replace);
}

}  // namespace

std::string LocalHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return "localhost";
    }
    return name;
}

}  // namespace tarvik
