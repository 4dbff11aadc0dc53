// The INI reader on any text: it never fails, a rewrite keeps every value, rewriting the rewrite
// changes nothing, and a value that Set accepts reads back exactly after a rewrite.
//
// Input: the file text, optionally followed by "\0section\0name\0value" for one Set.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "settings/IniFile.h"

using tarvik::CIniFile;

namespace {

constexpr std::size_t kMaxNames = 32;

std::vector<std::string_view> Split(std::string_view text, char separator, std::size_t most) {
    std::vector<std::string_view> parts;
    while (parts.size() + 1 < most) {
        std::size_t at = text.find(separator);
        if (at == std::string_view::npos) {
            break;
        }
        parts.push_back(text.substr(0, at));
        text.remove_prefix(at + 1);
    }
    parts.push_back(text);
    return parts;
}

std::string_view Trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Section and value names that the text may hold, found loosely: the parser decides which count.
void CollectNames(std::string_view text, std::vector<std::string>& sections,
                  std::vector<std::string>& names) {
    for (std::string_view line : Split(text, '\n', SIZE_MAX)) {
        line = Trimmed(line);
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            if (sections.size() < kMaxNames) {
                sections.emplace_back(Trimmed(line.substr(1, line.size() - 2)));
            }
        } else if (std::size_t eq = line.find('='); eq != std::string_view::npos) {
            if (names.size() < kMaxNames) {
                names.emplace_back(Trimmed(line.substr(0, eq)));
            }
        }
    }
}

void CheckRewrite(std::string_view text) {
    const CIniFile first = CIniFile::Parse(text);
    const std::string rendered = first.Render();
    const CIniFile second = CIniFile::Parse(rendered);
    FuzzRequire(second.Render() == rendered, "a rewritten file is rewritten unchanged");

    std::vector<std::string> sections;
    std::vector<std::string> names;
    CollectNames(text, sections, names);
    for (const std::string& section : sections) {
        for (const std::string& name : names) {
            FuzzRequire(first.Get(section, name) == second.Get(section, name),
                        "a rewrite keeps every value");
        }
    }
}

void CheckSet(std::string_view text, std::string_view section, std::string_view name,
              std::string_view value) {
    CIniFile ini = CIniFile::Parse(text);
    const bool valid = CIniFile::ValidSectionName(section) && CIniFile::ValidValueName(name);
    FuzzRequire(ini.Set(section, name, value) == valid, "Set refuses exactly the invalid names");
    if (!valid) {
        return;
    }
    FuzzRequire(ini.Get(section, name) == value, "a value reads back as set");
    const CIniFile reread = CIniFile::Parse(ini.Render());
    FuzzRequire(reread.Get(section, name) == value, "a value reads back as set after a rewrite");
    FuzzRequire(CIniFile::DecodeValue(CIniFile::EncodeValue(value)) == value,
                "an encoded value decodes to itself");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string_view> parts = Split(input, '\0', 4);
    std::vector<std::string> warnings;
    CIniFile::Parse(parts[0], &warnings);
    CheckRewrite(parts[0]);
    if (parts.size() == 4) {
        CheckSet(parts[0], parts[1], parts[2], parts[3]);
    }
    return 0;
}
