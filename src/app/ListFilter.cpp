#include "app/ListFilter.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace tarvik {

namespace {

// Index: the state number. Both namings, lower-cased for the comparison.
constexpr std::array<const char*, 13> kScriptNames = {
    "unknown",    "closed",     "listening", "syn-sent", "syn-recv",  "established", "fin-wait-1",
    "fin-wait-2", "close-wait", "last-ack",  "closing",  "time-wait", "delete-tcb"};

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

template <typename T>
bool AnyOrEmpty(const std::vector<T>& wanted, const T& value) {
    return wanted.empty() || std::find(wanted.begin(), wanted.end(), value) != wanted.end();
}

}  // namespace

std::string ScriptStateName(TcpState state, Protocol protocol) {
    if (protocol == Protocol::Udp) {
        return StateName(state, protocol);
    }
    const int number = static_cast<int>(state);
    return number >= 1 && number <= 12 ? kScriptNames[static_cast<std::size_t>(number)] : "unknown";
}

std::optional<TcpState> ParseStateName(std::string_view name, Protocol protocol) {
    const std::string lower = Lower(name);
    if (protocol == Protocol::Udp && (lower == "unconn" || lower == "estab")) {
        return lower == "unconn" ? TcpState::Listen : TcpState::Established;
    }
    for (int number = 1; number <= 12; ++number) {
        const auto state = static_cast<TcpState>(number);
        if (lower == kScriptNames[static_cast<std::size_t>(number)] ||
            lower == Lower(StateName(state))) {
            return state;
        }
    }
    if (lower == "listen") {  // the kernel's own word
        return TcpState::Listen;
    }
    return std::nullopt;
}

std::optional<Protocol> ParseProtocolWord(std::string_view word) {
    const std::string lower = Lower(word);
    if (lower == "tcp") {
        return Protocol::Tcp;
    }
    if (lower == "udp") {
        return Protocol::Udp;
    }
    return std::nullopt;
}

std::optional<Category> ParseCategoryWord(std::string_view word) {
    static constexpr std::array<std::pair<const char*, Category>, 4> kWords = {{
        {"listening", Category::Listening},
        {"inbound", Category::Inbound},
        {"outbound", Category::Outbound},
        {"unknown", Category::Unknown},
    }};
    const std::string lower = Lower(word);
    for (const auto& [text, code] : kWords) {
        if (lower == text) {
            return code;
        }
    }
    return std::nullopt;
}

bool ListFilter::Matches(const CConnectionRecord& record) const {
    const bool portMatches =
        ports.empty() || std::any_of(ports.begin(), ports.end(), [&record](int port) {
            // A listener's remote port means nothing.
            return record.localPort == port ||
                   (record.state != TcpState::Listen && record.remotePort == port);
        });
    return portMatches && AnyOrEmpty(states, record.state) &&
           AnyOrEmpty(families, FamilyOf(record)) && AnyOrEmpty(categories, record.category) &&
           AnyOrEmpty(protocols, record.protocol);
}

std::vector<CConnectionRecord> ApplyFilter(std::vector<CConnectionRecord> records,
                                           const ListFilter& filter) {
    std::erase_if(records, [&filter](const CConnectionRecord& r) { return !filter.Matches(r); });
    return records;
}

}  // namespace tarvik
