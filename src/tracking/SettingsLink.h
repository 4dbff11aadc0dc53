#pragma once

namespace tarvik {

class CSettingsStore;
class CWorkerHub;

// Sends the store's trace to the hub's. `hub` must outlive the store, or DisconnectSettings
// must run first.
void ConnectSettings(CSettingsStore& settings, CWorkerHub& hub);
void DisconnectSettings(CSettingsStore& settings);

}  // namespace tarvik
