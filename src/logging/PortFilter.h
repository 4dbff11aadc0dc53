#pragma once

#include <optional>

#include "acquisition/ConnectionRecord.h"
#include "settings/SettingsStore.h"

namespace tarvik {

// Port filter modes as the options dialog stores them; any value but these two logs only the
// listed ports.
enum PortFilterMode : int {
    kFilterLogAll = 1,
    kFilterLogUnlisted = 2,
    kFilterLogListed = 3,
};

// The log a record belongs to; none for listening ports and unknown category codes.
std::optional<LogCategory> LogCategoryOf(Category category);

// True when the record's port passes the category's filter. The port compared is the local port
// for inbound, the remote port for outbound, and either of them for unknown connections.
bool PassesPortFilter(LogCategory category, int mode, const PortList& ports,
                      const CConnectionRecord& record);

}  // namespace tarvik
