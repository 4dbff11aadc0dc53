#pragma once

#include <filesystem>

namespace tarvik {

struct HeadlessOptions {
    std::filesystem::path configFile;  // the settings file to use
    bool trace = false;                // diagnostic trace lines to standard error
    bool showRows = false;             // list changes to standard output
    bool events = false;               // JSON Lines events to standard output
};

// Runs the five workers and their ticks without a window until SIGINT or SIGTERM, then stops
// the workers in order (every line logged) and saves the settings. SIGHUP rereads and applies
// the settings file. Returns the process exit code.
int RunHeadlessMonitor(const HeadlessOptions& options);

}  // namespace tarvik
