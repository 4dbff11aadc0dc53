#include "acquisition/ServicesDatabase.h"

#include <charconv>
#include <fstream>
#include <sstream>

namespace tarvik {

namespace {

constexpr std::string_view kBlanks = " \t\r";

std::string_view NextWord(std::string_view& line) {
    const std::size_t start = line.find_first_not_of(kBlanks);
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(start);
    const std::size_t end = std::min(line.find_first_of(kBlanks), line.size());
    const std::string_view word = line.substr(0, end);
    line.remove_prefix(end);
    return word;
}

// "21/tcp" -> 21; nullopt unless a port in range is followed by "/" and a protocol.
std::optional<int> PortOf(std::string_view field) {
    int port = -1;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), port);
    const bool slashed =
        end != field.data() + field.size() && *end == '/' && end + 1 != field.data() + field.size();
    if (error != std::errc{} || !slashed || port < 0 || port > 65535) {
        return std::nullopt;
    }
    return port;
}

}  // namespace

CServicesDatabase CServicesDatabase::FromFile(const std::filesystem::path& path) {
    std::ifstream file(path);
    if (!file) {
        return {};
    }
    std::ostringstream text;
    text << file.rdbuf();
    return FromText(text.str());
}

CServicesDatabase CServicesDatabase::FromText(std::string_view text) {
    CServicesDatabase database;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        line = line.substr(0, std::min(line.find('#'), line.size()));
        const std::string_view name = NextWord(line);
        const auto port = PortOf(NextWord(line));
        if (!name.empty() && port) {
            database.names_.try_emplace(*port, name);
        }
    }
    return database;
}

std::shared_ptr<const CServicesDatabase> CServicesDatabase::Shared() {
    static const auto shared = std::make_shared<const CServicesDatabase>(FromFile("/etc/services"));
    return shared;
}

std::optional<std::string_view> CServicesDatabase::Lookup(int port) const {
    const auto found = names_.find(port);
    if (found == names_.end()) {
        return std::nullopt;
    }
    return found->second;
}

}  // namespace tarvik
