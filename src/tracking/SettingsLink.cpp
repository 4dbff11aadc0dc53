#include "tracking/SettingsLink.h"

#include "settings/SettingsStore.h"
#include "workers/WorkerHub.h"

namespace tarvik {

void ConnectSettings(CSettingsStore& settings, CWorkerHub& hub) {
    settings.SetTraceSink([&hub](std::string_view text) { hub.Trace(text); });
}

void DisconnectSettings(CSettingsStore& settings) {
    settings.SetTraceSink({});
}

}  // namespace tarvik
