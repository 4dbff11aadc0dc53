#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "settings/SettingsTable.h"

namespace tarvik {

class CSettingsStore;

// What decides where a user's own monitor keeps its logs by default.
struct UserFolderPlaces {
    bool root = false;
    std::string stateHome;  // $XDG_STATE_HOME
    std::string home;       // $HOME
};

UserFolderPlaces UserFolderPlacesFromEnvironment();

// The default log folder of a user's own monitor: $XDG_STATE_HOME/tarvik/logs, else
// ~/.local/state/tarvik/logs. Nothing for root (the system's monitor keeps its logs under its
// "InstallFolder") or when neither place is known. A relative $XDG_STATE_HOME is ignored, as the
// base directory rules ask: it would depend on the folder the program was started from.
std::optional<std::filesystem::path> UserLogsFolder(const UserFolderPlaces& places);

// One log folder that cannot take the logs, with the categories that write there.
struct LogFolderProblem {
    std::string folder;
    std::vector<LogCategory> categories;
    std::string reason;
};

// Makes each switched-on category's log folder where it is missing, with any missing parent
// (0700: the logs tell who talked to this machine), and checks that it can be written. One entry
// per folder that cannot, whichever categories share it.
std::vector<LogFolderProblem> PrepareLogFolders(const CSettingsStore& settings);

// "FOLDER (inbound, unknown): REASON".
std::string LogFolderProblemLine(const LogFolderProblem& problem);

// One notice for them all: a line per folder with its categories and the reason.
std::string LogFolderNotice(const std::vector<LogFolderProblem>& problems);

}  // namespace tarvik
