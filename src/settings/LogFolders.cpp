#include "settings/LogFolders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "settings/SettingsStore.h"

namespace tarvik {
namespace {

constexpr mode_t kPrivateFolderMode = 0700;

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string ErrnoText(int error) {
    return std::generic_category().message(error);
}

// Makes `folder` and each missing parent. Empty when it is there (or made), else why not.
std::string MakeFolder(const std::filesystem::path& folder) {
    std::filesystem::path made;
    for (const std::filesystem::path& part : folder) {
        made /= part;
        if (::mkdir(made.c_str(), kPrivateFolderMode) != 0 && errno != EEXIST) {
            return "cannot be made: " + ErrnoText(errno);
        }
    }
    return {};
}

// Empty when the logger can make files in `folder`, else why not.
std::string CheckFolder(const std::string& folder) {
    if (folder.empty()) {
        return "no folder is set";
    }
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            return "cannot be read: " + ErrnoText(errno);
        }
        if (std::string reason = MakeFolder(folder); !reason.empty()) {
            return reason;
        }
        if (::stat(folder.c_str(), &status) != 0) {
            return "cannot be read: " + ErrnoText(errno);
        }
    }
    if (!S_ISDIR(status.st_mode)) {
        return "is not a folder";
    }
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        return "cannot be written: " + ErrnoText(errno);
    }
    return {};
}

}  // namespace

UserFolderPlaces UserFolderPlacesFromEnvironment() {
    return {::geteuid() == 0, Environment("XDG_STATE_HOME"), Environment("HOME")};
}

std::optional<std::filesystem::path> UserLogsFolder(const UserFolderPlaces& places) {
    if (places.root) {
        return std::nullopt;
    }
    if (!places.stateHome.empty() && places.stateHome.front() == '/') {
        return std::filesystem::path(places.stateHome) / "tarvik" / "logs";
    }
    if (!places.home.empty() && places.home.front() == '/') {
        return std::filesystem::path(places.home) / ".local" / "state" / "tarvik" / "logs";
    }
    return std::nullopt;
}

std::vector<LogFolderProblem> PrepareLogFolders(const CSettingsStore& settings) {
    std::vector<LogFolderProblem> problems;
    std::vector<std::string> checked;
    for (LogCategory category :
         {LogCategory::Inbound, LogCategory::Outbound, LogCategory::Unknown}) {
        if (settings.GetLogEnabled(category) == 0) {
            continue;
        }
        const std::string folder = settings.GetLogFolder(category);
        auto known = std::find_if(problems.begin(), problems.end(),
                                  [&](const LogFolderProblem& p) { return p.folder == folder; });
        if (known != problems.end()) {
            known->categories.push_back(category);
            continue;
        }
        if (std::find(checked.begin(), checked.end(), folder) != checked.end()) {
            continue;
        }
        checked.push_back(folder);
        if (std::string reason = CheckFolder(folder); !reason.empty()) {
            problems.push_back({folder, {category}, std::move(reason)});
        }
    }
    return problems;
}

std::string LogFolderProblemLine(const LogFolderProblem& problem) {
    std::string categories;
    for (LogCategory category : problem.categories) {
        categories += (categories.empty() ? "" : ", ") + std::string(LogCategoryWord(category));
    }
    return (problem.folder.empty() ? std::string("(none)") : problem.folder) + " (" + categories +
           "): " + problem.reason;
}

std::string LogFolderNotice(const std::vector<LogFolderProblem>& problems) {
    if (problems.empty()) {
        return {};
    }
    std::string text = "Connection logs cannot be written:";
    for (const LogFolderProblem& problem : problems) {
        text += "\n" + LogFolderProblemLine(problem);
    }
    return text + "\nChoose other folders in Options > Logging.";
}

}  // namespace tarvik
