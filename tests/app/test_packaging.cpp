// The files installed beside the programs: the service unit and the desktop entry.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "settings/ConfigPrinter.h"
#include "settings/SettingsStore.h"

namespace {

using tarvik::CSettingsStore;
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

TEST(PackagingTest, ServiceRunsUnprivilegedWithOnlyTheCapabilitiesItsFeaturesNeed) {
    const Keys unit = ReadKeyFile(TARVIK_SOURCE_DIR "/packaging/tarvikd.service");
    EXPECT_EQ(One(unit, "Service/DynamicUser"), "yes");
    // Bait ports below 1024, the probe sensor's packet socket and the events back-end's eBPF
    // program; blocking is a drop-in.
    const char* capabilities = "CAP_NET_BIND_SERVICE CAP_NET_RAW CAP_BPF CAP_PERFMON";
    EXPECT_EQ(One(unit, "Service/CapabilityBoundingSet"), capabilities);
    EXPECT_EQ(One(unit, "Service/AmbientCapabilities"), capabilities);
    EXPECT_EQ(One(unit, "Service/NoNewPrivileges"), "yes");
    EXPECT_EQ(One(unit, "Service/ProtectSystem"), "strict");
    EXPECT_EQ(One(unit, "Service/RuntimeDirectory"), "tarvik");
    EXPECT_EQ(One(unit, "Service/ExecReload"), "/bin/kill -HUP $MAINPID");
    // The connection table is read over netlink, and the alerts reach the journal over a UNIX
    // socket: a sandbox that forbids either leaves the service blind or mute.
    const std::string families = One(unit, "Service/RestrictAddressFamilies");
    for (const char* family : {"AF_NETLINK", "AF_INET", "AF_INET6", "AF_UNIX", "AF_PACKET"}) {
        EXPECT_NE(families.find(family), std::string::npos) << family;
    }
}

// Every line of the rendered settings except the folders, which the shipped file points at
// the service's log directory.
std::vector<std::string> ValuesBesideFolders(const CSettingsStore& store) {
    std::istringstream rendered(tarvik::RenderConfig(store));
    std::vector<std::string> lines;
    for (std::string line; std::getline(rendered, line);) {
        if (line.find("older=") == std::string::npos) {
            lines.push_back(line);
        }
    }
    return lines;
}

TEST(PackagingTest, ShippedSettingsFileLoadsCleanlyWithEveryDefault) {
    const tarvik::CSettingsStore shipped(TARVIK_SOURCE_DIR "/packaging/Tarvik.conf",
                                         [] { return std::vector<std::string>{}; });
    EXPECT_TRUE(shipped.LoadWarnings().empty()) << shipped.LoadWarnings().front();
    EXPECT_EQ(shipped.GetInstallFolder(), std::filesystem::path("/var/log/tarvik"));
    EXPECT_EQ(shipped.GetLogFolder(tarvik::LogCategory::Inbound), "/var/log/tarvik/logs");

    const std::filesystem::path missing =
        std::filesystem::temp_directory_path() / "tarvik-packaging-test-no-such-file.conf";
    const tarvik::CSettingsStore defaults(
        missing, [] { return std::vector<std::string>{}; }, "/var/log/tarvik");
    EXPECT_EQ(ValuesBesideFolders(shipped), ValuesBesideFolders(defaults));
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
