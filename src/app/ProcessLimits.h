#pragma once

#include <sys/resource.h>
#include <optional>
#include <string>

namespace tarvik {

// Raises the soft limit of open descriptors to the hard limit, as daemons do: a busy machine's
// table walk, the log files, the bait ports and the mail connection all need descriptors.
// Returns the soft limit now in force, or std::nullopt with the reason in `error`.
std::optional<rlim_t> RaiseDescriptorLimit(std::string* error = nullptr);

}  // namespace tarvik
