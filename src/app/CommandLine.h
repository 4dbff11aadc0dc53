#pragma once

#include <optional>
#include <string>
#include <vector>

#include "acquisition/EventSource.h"
#include "app/ListCommand.h"
#include "app/ListFilter.h"

namespace tarvik {

struct CommandLine {
    enum class Action { Monitor, List, PrintConfig, Help, Version };
    Action action = Action::Monitor;
    ListFormat format = ListFormat::Text;
    std::string configFile;  // empty: the default settings file
    bool trace = false;      // diagnostic trace lines to standard error
    bool showRows = false;   // print list changes to standard output
    bool events = false;     // JSON Lines of opened and ended connections and alerts on stdout
    ListFilter filter;       // the rows --list prints
    std::optional<AcquisitionMode> acquisition;  // none: the settings file's
};

// Parses tarvikd's arguments. On a usage error returns std::nullopt with the reason in `error`.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                            std::string* error);

// The --help text.
std::string UsageText(const std::string& program);

}  // namespace tarvik
