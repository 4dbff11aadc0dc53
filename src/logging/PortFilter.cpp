#include "logging/PortFilter.h"

#include <algorithm>

namespace tarvik {

namespace {

bool Listed(const PortList& ports, int port) {
    return std::find(ports.begin(), ports.end(), port) != ports.end();
}

bool IsListed(LogCategory category, const PortList& ports, const CConnectionRecord& record) {
    switch (category) {
        case LogCategory::Inbound:
            return Listed(ports, record.localPort);
        case LogCategory::Outbound:
            return Listed(ports, record.remotePort);
        case LogCategory::Unknown:
            return Listed(ports, record.localPort) || Listed(ports, record.remotePort);
    }
    return false;
}

}  // namespace

std::optional<LogCategory> LogCategoryOf(Category category) {
    switch (category) {
        case Category::Inbound:
            return LogCategory::Inbound;
        case Category::Outbound:
            return LogCategory::Outbound;
        case Category::Unknown:
            return LogCategory::Unknown;
        default:
            return std::nullopt;
    }
}

bool PassesPortFilter(LogCategory category, int mode, const PortList& ports,
                      const CConnectionRecord& record) {
    if (mode == kFilterLogAll) {
        return true;
    }
    const bool listed = IsListed(category, ports, record);
    return mode == kFilterLogUnlisted ? !listed : listed;
}

}  // namespace tarvik
