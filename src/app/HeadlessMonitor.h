#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "acquisition/EventSource.h"
#include "app/EventFormat.h"

namespace tarvik {

struct HeadlessOptions {
    std::filesystem::path configFile;            // the settings file to use
    bool trace = false;                          // diagnostic trace lines to standard error
    bool showRows = false;                       // list changes to standard output
    bool events = false;                         // JSON Lines events to standard output
    std::optional<AcquisitionMode> acquisition;  // none: the settings file's
    std::optional<std::string> socket;           // none: the settings file's
    std::optional<EventFormat> eventFormat;      // none: the settings file's
};

// Runs the five workers and their ticks without a window until SIGINT or SIGTERM, then stops
// the workers in order (every line logged) and saves the settings. SIGHUP rereads and applies
// the settings file. Returns the process exit code.
int RunHeadlessMonitor(const HeadlessOptions& options);

// The lines the monitor writes for the warnings of a load or reload of its settings file
// (lines that did not parse, values out of range, a file that cannot be read); --print-config
// writes the same.
std::vector<std::string> SettingsWarningLines(const std::filesystem::path& file,
                                              const std::vector<std::string>& warnings);

}  // namespace tarvik
