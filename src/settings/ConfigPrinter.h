#pragma once

#include <string>

#include "settings/SettingsStore.h"

namespace tarvik {

// The settings file text that the store's current values amount to: every value it loads,
// including the read-only "InstallFolder" and "ignoreports", in the file's own format, so the
// output can be read back as a settings file.
std::string RenderConfig(const CSettingsStore& store);

}  // namespace tarvik
