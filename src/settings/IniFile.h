#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik {

// A small INI document that keeps every line it was given (comments, unknown keys, even lines
// it cannot parse), so rewriting a file changes only the values that were set.
//
// Lines: "[Section]", "name=value", blank, or comments starting with ';' or '#'. Section and
// value names match without regard to ASCII case, as the values they stand in for did. A
// duplicate name in a section: the last one wins. A value is taken as written after trimming
// the spaces around it, unless it is quoted: "..." with \\, \", \n, \r and \t escapes. Values
// that would not survive the plain form (edge spaces, control characters, a leading quote) are
// written quoted.
class CIniFile {
public:
    CIniFile() = default;

    // Parses text; `warnings` receives one entry per line that was not understood.
    static CIniFile Parse(std::string_view text, std::vector<std::string>* warnings = nullptr);

    std::optional<std::string> Get(std::string_view section, std::string_view name) const;

    // Sets or adds a value; a new section is appended at the end. Returns false (and changes
    // nothing) for a section or name that could not be written back as one line.
    bool Set(std::string_view section, std::string_view name, std::string_view value);

    std::string Render() const;

    static bool ValidSectionName(std::string_view section);
    static bool ValidValueName(std::string_view name);
    static std::string EncodeValue(std::string_view value);
    // Nullopt for a quoted value that is not closed or has an unknown escape.
    static std::optional<std::string> DecodeValue(std::string_view raw);

private:
    enum class Kind { Other, Section, Value };
    struct Line {
        Kind kind = Kind::Other;
        std::string text;     // the line as it is written back
        std::string section;  // Section: its name; Value: the section it belongs to
        std::string name;     // Value only
        std::string value;    // Value only, decoded
    };

    std::optional<std::size_t> FindValue(std::string_view section, std::string_view name) const;
    std::size_t InsertionPoint(std::string_view section) const;

    std::vector<Line> lines_;
};

}  // namespace tarvik
