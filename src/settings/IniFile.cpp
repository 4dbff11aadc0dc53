#include "settings/IniFile.h"

#include <algorithm>

namespace tarvik {
namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}
bool IsControl(char c) {
    auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (IsSpace(text.back()) || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

bool PlainName(std::string_view name) {
    return !name.empty() && !IsSpace(name.front()) && !IsSpace(name.back()) &&
           std::none_of(name.begin(), name.end(), IsControl);
}

std::string LineWarning(std::size_t number, std::string_view what) {
    return "line " + std::to_string(number) + ": " + std::string(what);
}

}  // namespace

bool CIniFile::ValidSectionName(std::string_view section) {
    return PlainName(section) && section.find_first_of("[]") == std::string_view::npos;
}

bool CIniFile::ValidValueName(std::string_view name) {
    return PlainName(name) && name.find('=') == std::string_view::npos && name.front() != '[' &&
           name.front() != ';' && name.front() != '#';
}

std::string CIniFile::EncodeValue(std::string_view value) {
    bool quote = !value.empty() &&
                 (IsSpace(value.front()) || IsSpace(value.back()) || value.front() == '"' ||
                  std::any_of(value.begin(), value.end(), IsControl));
    if (!quote) {
        return std::string(value);
    }
    std::string out = "\"";
    for (char c : value) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (IsControl(c)) {
                    static const char kHex[] = "0123456789abcdef";
                    auto u = static_cast<unsigned char>(c);
                    out += "\\x";
                    out += kHex[u >> 4];
                    out += kHex[u & 0xf];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

std::optional<std::string> CIniFile::DecodeValue(std::string_view raw) {
    if (raw.empty() || raw.front() != '"') {
        return std::string(raw);
    }
    if (raw.size() < 2 || raw.back() != '"') {
        return std::nullopt;
    }
    std::string_view body = raw.substr(1, raw.size() - 2);
    std::string out;
    for (std::size_t i = 0; i < body.size(); ++i) {
        char c = body[i];
        if (c == '"') {
            return std::nullopt;  // an unescaped quote inside: not one value
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == body.size()) {
            return std::nullopt;
        }
        switch (body[i]) {
            case '\\':
                out += '\\';
                break;
            case '"':
                out += '"';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'x': {
                auto hex = [](char h) -> int {
                    if (h >= '0' && h <= '9')
                        return h - '0';
                    h = Lower(h);
                    return (h >= 'a' && h <= 'f') ? h - 'a' + 10 : -1;
                };
                if (i + 2 >= body.size()) {
                    return std::nullopt;
                }
                int high = hex(body[i + 1]);
                int low = hex(body[i + 2]);
                if (high < 0 || low < 0) {
                    return std::nullopt;
                }
                out += static_cast<char>(high * 16 + low);
                i += 2;
                break;
            }
            default:
                return std::nullopt;
        }
    }
    return out;
}

CIniFile CIniFile::Parse(std::string_view text, std::vector<std::string>* warnings) {
    auto warn = [warnings](std::size_t number, std::string_view what) {
        if (warnings != nullptr) {
            warnings->push_back(LineWarning(number, what));
        }
    };
    CIniFile ini;
    std::string section;
    std::size_t number = 0;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view raw = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++number;

        Line line;
        // Every carriage return at the end, not only the one of a CRLF: one left in the text
        // would be read as the line end on the next load, so each save would change the file.
        while (!raw.empty() && raw.back() == '\r') {
            raw.remove_suffix(1);
        }
        line.text = std::string(raw);
        std::string_view body = Trim(raw);
        if (body.empty() || body.front() == ';' || body.front() == '#') {
            // blank or comment: kept as written
        } else if (body.front() == '[') {
            std::string_view name =
                body.back() == ']' ? Trim(body.substr(1, body.size() - 2)) : std::string_view{};
            if (ValidSectionName(name)) {
                line.kind = Kind::Section;
                line.section = std::string(name);
            } else {
                warn(number, "section header not understood");
            }
            section = line.section;  // keys after a bad header belong to no section
        } else if (std::size_t eq = body.find('='); eq == std::string_view::npos) {
            warn(number, "not a section, a value or a comment");
        } else if (section.empty()) {
            warn(number, "value outside any section");
        } else {
            std::string_view name = Trim(body.substr(0, eq));
            std::optional<std::string> value = DecodeValue(Trim(body.substr(eq + 1)));
            if (!ValidValueName(name)) {
                warn(number, "value name missing or not understood");
            } else if (!value) {
                warn(number, "quoted value not understood");
            } else {
                line.kind = Kind::Value;
                line.section = section;
                line.name = std::string(name);
                line.value = std::move(*value);
            }
        }
        ini.lines_.push_back(std::move(line));
    }
    return ini;
}

std::optional<std::size_t> CIniFile::FindValue(std::string_view section,
                                               std::string_view name) const {
    for (std::size_t i = lines_.size(); i-- > 0;) {
        const Line& line = lines_[i];
        if (line.kind == Kind::Value && SameName(line.section, section) &&
            SameName(line.name, name)) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<std::string> CIniFile::Get(std::string_view section, std::string_view name) const {
    if (auto index = FindValue(section, name)) {
        return lines_[*index].value;
    }
    return std::nullopt;
}

std::size_t CIniFile::InsertionPoint(std::string_view section) const {
    for (std::size_t i = lines_.size(); i-- > 0;) {
        const Line& line = lines_[i];
        if (line.kind != Kind::Other && SameName(line.section, section)) {
            return i + 1;
        }
    }
    return lines_.size() + 1;  // past the end: the section does not exist yet
}

bool CIniFile::Set(std::string_view section, std::string_view name, std::string_view value) {
    if (!ValidSectionName(section) || !ValidValueName(name)) {
        return false;
    }
    Line line;
    line.kind = Kind::Value;
    line.name = std::string(name);
    line.value = std::string(value);
    line.text = line.name + "=" + EncodeValue(value);
    if (auto index = FindValue(section, name)) {
        line.section = lines_[*index].section;
        lines_[*index] = std::move(line);
        return true;
    }
    line.section = std::string(section);
    std::size_t at = InsertionPoint(section);
    if (at <= lines_.size()) {
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
        return true;
    }
    if (!lines_.empty() && !Trim(lines_.back().text).empty()) {
        lines_.push_back(Line{});
    }
    Line header;
    header.kind = Kind::Section;
    header.section = std::string(section);
    header.text = "[" + header.section + "]";
    lines_.push_back(std::move(header));
    lines_.push_back(std::move(line));
    return true;
}

std::string CIniFile::Render() const {
    std::string out;
    for (const Line& line : lines_) {
        out += line.text;
        out += '\n';
    }
    return out;
}

}  // namespace tarvik
