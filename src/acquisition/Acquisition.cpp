#include "acquisition/Acquisition.h"

#include <array>

#include "acquisition/BpfEventSource.h"
#include "acquisition/DestroyEventSource.h"

namespace tarvik {

namespace {

std::unique_ptr<IEventSource> TryOpen(const EventSourceFactory& factory, AcquisitionMode mode,
                                      std::vector<std::string>& refusals) {
    std::string reason;
    std::unique_ptr<IEventSource> source;
    if (!factory) {
        reason = "not built";
    } else {
        source = factory(&reason);
        if (!source && reason.empty()) {
            reason = "cannot be opened";
        }
    }
    if (!source) {
        refusals.push_back(std::string(AcquisitionModeName(mode)) + ": " + reason);
    }
    return source;
}

}  // namespace

AcquisitionChoice OpenAcquisition(AcquisitionMode requested,
                                  const AcquisitionFactories& factories) {
    AcquisitionChoice choice;
    choice.requested = requested;
    const std::array<std::pair<AcquisitionMode, const EventSourceFactory*>, 2> ladder{{
        {AcquisitionMode::Events, &factories.events},
        {AcquisitionMode::Destroy, &factories.destroy},
    }};
    // Auto starts at the top; an explicit mode where it stands.
    bool reached = requested == AcquisitionMode::Auto;
    for (const auto& [mode, factory] : ladder) {
        reached = reached || mode == requested;
        if (!reached) {
            continue;
        }
        if (auto source = TryOpen(*factory, mode, choice.refusals)) {
            choice.detail = source->Detail();
            choice.source = std::move(source);
            choice.mode = mode;
            return choice;
        }
    }
    choice.mode = AcquisitionMode::Poll;
    return choice;
}

std::string AcquisitionChoice::Summary() const {
    std::string line = "acquisition: ";
    const std::string used(AcquisitionModeName(mode));
    if (requested == AcquisitionMode::Auto || requested == mode) {
        line += used;
        if (!detail.empty()) {
            line += " (" + detail + ")";
        }
        if (!refusals.empty()) {
            line += " (";
            for (std::size_t i = 0; i < refusals.size(); ++i) {
                line += (i ? "; " : "") + refusals[i];
            }
            line += ")";
        }
        return line;
    }
    // The one asked for could not run: say why first.
    const std::string asked(AcquisitionModeName(requested));
    std::string why;
    for (const std::string& refusal : refusals) {
        const std::string prefix = asked + ": ";
        if (refusal.compare(0, prefix.size(), prefix) == 0) {
            why = refusal.substr(prefix.size());
        }
    }
    line += asked + " unavailable (" + why + "); using " + used;
    for (const std::string& refusal : refusals) {
        if (refusal.compare(0, asked.size() + 2, asked + ": ") != 0) {
            line += " (" + refusal + ")";
        }
    }
    return line;
}

EventSourceFactory DestroyEventSourceFactory() {
    return [](std::string* reason) -> std::unique_ptr<IEventSource> {
        return CDestroyEventSource::Open(reason);
    };
}

AcquisitionFactories BuiltInAcquisitionFactories() {
    AcquisitionFactories factories;
    // A build without eBPF support refuses with "not built with eBPF support".
    factories.events = [](std::string* reason) { return OpenBpfEventSource(reason); };
    factories.destroy = DestroyEventSourceFactory();
    return factories;
}

}  // namespace tarvik
