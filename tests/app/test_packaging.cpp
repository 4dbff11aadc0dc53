// The files installed beside the programs: the service unit and the desktop entry.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>

namespace {

using Keys = std::multimap<std::string, std::string>;

// "Section/Key" -> value for every line of a unit or desktop file.
Keys ReadKeyFile(const std::string& path) {
    std::ifstream in(path);
    Keys keys;
    std::string section;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
        } else if (const auto equals = line.find('='); equals != std::string::npos) {
            keys.emplace(section + "/" + line.substr(0, equals), line.substr(equals + 1));
        }
    }
    return keys;
}

std::string One(const Keys& keys, const std::string& key) {
    const auto range = keys.equal_range(key);
    return std::distance(range.first, range.second) == 1 ? range.first->second : "<missing>";
}

TEST(PackagingTest, ServiceRunsTheMonitorWithTheSystemSettingsAndRestartsOnFailure) {
    const Keys unit = ReadKeyFile(TARVIK_SOURCE_DIR "/packaging/tarvikd.service");
    EXPECT_EQ(One(unit, "Service/ExecStart"), "/usr/bin/tarvikd --config /etc/tarvik/Tarvik.conf");
    EXPECT_EQ(One(unit, "Service/Type"), "simple");
    EXPECT_EQ(One(unit, "Service/Restart"), "on-failure");
    EXPECT_EQ(One(unit, "Service/KillSignal"), "SIGTERM");
    EXPECT_EQ(One(unit, "Service/WorkingDirectory"), "/var/log/tarvik");
    EXPECT_EQ(One(unit, "Service/LogsDirectory"), "tarvik");
    EXPECT_EQ(One(unit, "Service/ConfigurationDirectory"), "tarvik");
    EXPECT_EQ(One(unit, "Install/WantedBy"), "multi-user.target");
}

TEST(PackagingTest, DesktopEntryStartsTheWindowWithItsIcon) {
    const Keys entry = ReadKeyFile(TARVIK_SOURCE_DIR "/packaging/tarvik.desktop");
    EXPECT_EQ(One(entry, "Desktop Entry/Type"), "Application");
    EXPECT_EQ(One(entry, "Desktop Entry/Name"), "Tarvik");
    EXPECT_EQ(One(entry, "Desktop Entry/Exec"), "tarvik");
    EXPECT_EQ(One(entry, "Desktop Entry/Icon"), "tarvik");
    EXPECT_EQ(One(entry, "Desktop Entry/Terminal"), "false");
}

}  // namespace
