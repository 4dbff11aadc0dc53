#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "acquisition/Acquisition.h"
#include "ui/window/TarvikView.h"

namespace tarvik {

// How the window gets its connections: from a running tarvikd it attaches to, or from its own
// workers over the kernel.
struct WindowMonitor {
    std::optional<std::filesystem::path> daemon;  // attach to the tarvikd there when set
    std::optional<AcquisitionMode> acquisition;   // the own workers' back-end (command line)
    AcquisitionFactories factories = BuiltInAcquisitionFactories();
};

// Where a tarvikd may answer when nobody says: the service's socket, then the user's own.
std::vector<std::filesystem::path> DefaultDaemonSockets();

using DaemonProbe = std::function<bool(const std::filesystem::path&)>;
// The daemon to attach to: none with `local`; `socket` when given (even while nobody answers
// there: the window waits for it); else the first of `candidates` where a daemon answers.
std::optional<std::filesystem::path> ChooseDaemon(
    bool local, const std::optional<std::filesystem::path>& socket,
    const std::vector<std::filesystem::path>& candidates, const DaemonProbe& answers);
// A probe that asks for the daemon's status, waiting at most `timeout`.
DaemonProbe StatusProbe(std::chrono::milliseconds timeout);

// The note the settings dialogs show while attached: they are then read-only.
extern const char* const kAttachedSettingsNote;

// The workers the window starts at its first display.
WorkersFactory MakeWindowWorkers(WindowMonitor monitor);

}  // namespace tarvik
