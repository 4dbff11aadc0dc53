#pragma once

// What the scan watcher takes and tells through the hub, by type.
#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

namespace tarvik {

// The scan check tick (every 30 s): the scan watcher alerts for the hosts at the threshold.
// Empty, so copied to each.
struct ScanCheck {};

// The scan settings changed (the options dialog's OK, a reload): the scan watcher reads them
// again and reopens its bait ports. Empty.
struct ScanSettingsChanged {};

// What one scan alert saw, for the workers that report alerts beyond the alert's own channels
// (an event stream, metrics): scan watcher to them, after the alert's channels ran. Moved into
// the last subscriber, copied for any other.
struct ScanAlertEvent {
    std::string remoteAddress;
    std::vector<int> localPorts;  // in the order they were first seen
    std::string kind;             // "connect", "SYN", "FIN", "NULL", "Xmas", "ACK", "Maimon", "UDP"
                                  // or "mixed"
    std::time_t time = 0;
};

// Hosts whose alert events were held back by the event cap in the minute before `time`: scan
// watcher to the event outlets, once a minute at most.
struct ScanAlertsSuppressed {
    std::size_t hosts = 0;
    std::vector<std::string> named;  // the first few
    std::time_t time = 0;
};

}  // namespace tarvik
