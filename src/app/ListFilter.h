#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/ConnectionRecord.h"

namespace tarvik {

// The row's address family, as the kernel reported the socket.
inline AddressFamily FamilyOf(const CConnectionRecord& record) {
    return record.family;
}

// The state's name in the lower-case words scripts and `ss` use ("established", "syn-sent",
// "listening"...); "unknown" outside 1..12.
// A UDP socket's state is "unconn" or "estab", as `ss` names them.
std::string ScriptStateName(TcpState state, Protocol protocol = Protocol::Tcp);

// A state for either naming ("time-wait" or "TimeWait", any case); nullopt when the
// name is neither. For UDP also "unconn" (Listen) and "estab" (Established).
std::optional<TcpState> ParseStateName(std::string_view name, Protocol protocol = Protocol::Tcp);
// "tcp" or "udp", any case.
std::optional<Protocol> ParseProtocolWord(std::string_view word);
// A category code for "listening", "inbound", "outbound" or "unknown".
std::optional<Category> ParseCategoryWord(std::string_view word);

// Which rows --list prints. Each kind of condition narrows the list; several values of one kind
// (two --state options) let either through.
struct ListFilter {
    std::vector<TcpState> states{};
    std::vector<int> ports{};  // local or remote
    std::vector<AddressFamily> families{};
    std::vector<Category> categories{};
    std::vector<Protocol> protocols{};

    bool Matches(const CConnectionRecord& record) const;
};

std::vector<CConnectionRecord> ApplyFilter(std::vector<CConnectionRecord> records,
                                           const ListFilter& filter);

}  // namespace tarvik
