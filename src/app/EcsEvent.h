#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "acquisition/Address.h"

namespace tarvik {

// The Elastic Common Schema version the ECS event objects follow.
inline constexpr std::string_view kEcsVersion = "8.11.0";

// One end of a flow.
struct FlowEnd {
    AddressFamily family = AddressFamily::Ipv4;
    AddressBytes address{};
    std::uint16_t port = 0;
};

// The Community ID (version 1) of a TCP or UDP flow, "1:" and a base64 SHA-1, so that records
// of the same flow from other network tools join with ours. Both directions give the same ID:
// the lesser end, by address bytes and then port, is hashed first.
std::string CommunityId(const FlowEnd& one, const FlowEnd& other, std::uint8_t protocol,
                        std::uint16_t seed = 0);

// One event line with Elastic Common Schema names, made from the native event line. Members
// without an ECS name are kept under "tarvik". A line that is no native event object is
// returned as it came.
std::string EcsEventLine(std::string_view nativeLine, std::string_view hostName);

// This machine's name as host.hostname gives it.
std::string LocalHostName();

}  // namespace tarvik
