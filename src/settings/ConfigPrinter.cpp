#include "settings/ConfigPrinter.h"

#include "settings/IniFile.h"

namespace tarvik {

std::string RenderConfig(const CSettingsStore& store) {
    const std::vector<std::string> texts = store.EncodedValues();
    CIniFile ini;
    for (const SettingDefinition& definition : SettingsTable()) {
        ini.Set(definition.section, definition.name,
                texts[static_cast<std::size_t>(definition.id)]);
    }
    return ini.Render();
}

}  // namespace tarvik
