#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/EventSource.h"

namespace tarvik {

// Opens one event back-end; null, with the reason in `reason`, when it cannot run here.
using EventSourceFactory = std::function<std::unique_ptr<IEventSource>(std::string* reason)>;

struct AcquisitionFactories {
    EventSourceFactory events;   // null: not built into this program
    EventSourceFactory destroy;  // null: not built into this program
};

// The back-end in effect and how it was chosen.
struct AcquisitionChoice {
    std::unique_ptr<IEventSource> source;  // null for poll
    AcquisitionMode mode = AcquisitionMode::Poll;
    AcquisitionMode requested = AcquisitionMode::Auto;
    // One entry per back-end tried and refused, "events: not built".
    std::vector<std::string> refusals;
    // The source's own detail, kept for the start line after the source is handed on.
    std::string detail;
    // Which of the poller's dumps carry byte counts: each (1), or every n-th where live counts
    // may lag (the ends' final counts come from the notices either way).
    int byteCountPeriod = 1;

    // The one line for the trace and the system log, e.g. "acquisition: destroy",
    // "acquisition: events (accepting processes: at the end of inet_accept)" or
    // "acquisition: events unavailable (Operation not permitted); using destroy".
    std::string Summary() const;
};

// The first back-end that runs here from `requested` down: events, then destroy, then poll,
// which always runs.
AcquisitionChoice OpenAcquisition(AcquisitionMode requested, const AcquisitionFactories& factories);

// The destroy notices of this machine's kernel.
EventSourceFactory DestroyEventSourceFactory();

// The back-ends this program is built with.
AcquisitionFactories BuiltInAcquisitionFactories();

}  // namespace tarvik
