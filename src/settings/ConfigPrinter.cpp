#include "settings/ConfigPrinter.h"

#include "settings/IniFile.h"

namespace tarvik {

std::string RenderConfig(const CSettingsStore& store) {
    CIniFile ini;
    std::lock_guard lock(store.valueMutex_);
    CSettingsStore::StoreValues(*store.values_, ini, true);
    return ini.Render();
}

}  // namespace tarvik
