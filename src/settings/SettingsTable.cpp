#include "settings/SettingsTable.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace tarvik {
namespace {

constexpr const char* kGeneral = "General";
constexpr const char* kView = "View";
constexpr const char* kLogging = "Logging";
constexpr const char* kScanWatch = "ScanWatch";
constexpr const char* kExport = "Export";

using K = SettingKind;
using I = SettingId;

constexpr SettingDefinition Integer(I id, const char* section, const char* name, int fallback,
                                    int minimum, int maximum,
                                    OutOfRange outOfRange = OutOfRange::UseDefault) {
    return {id,      section, name,       K::Integer,         fallback, "", DefaultRule::Fixed,
            minimum, maximum, outOfRange, SettingWrite::Saved};
}

// The 0/1 switches.
constexpr SettingDefinition Switch(I id, const char* section, const char* name, int fallback) {
    return Integer(id, section, name, fallback, 0, 1);
}

constexpr SettingDefinition Text(I id, const char* section, const char* name, K kind,
                                 const char* fallback, DefaultRule rule = DefaultRule::Fixed,
                                 SettingWrite write = SettingWrite::Saved) {
    return {id, section, name, kind, 0, fallback, rule, 0, 0, OutOfRange::UseDefault, write};
}

// A word from a fixed set; anything else warns at load and means the default.
constexpr SettingDefinition Choice(I id, const char* section, const char* name,
                                   const char* fallback, const char* choices) {
    SettingDefinition definition = Text(id, section, name, K::Text, fallback);
    definition.choices = choices;
    return definition;
}

// Log type: 1 log all, 2 all but the listed ports, 3 only the listed ports. Rotation: 0 daily,
// 1 weekly, 2 monthly.
#define TARVIK_LOG_SETTINGS(Word, word, on)                             \
    Switch(I::Word##Enabled, kLogging, word, on),                       \
        Integer(I::Word##Type, kLogging, word "type", 1, 1, 3),         \
        Integer(I::Word##Rotation, kLogging, word "rotation", 0, 0, 2), \
        Text(I::Word##Folder, kLogging, word "folder", K::Text, "",     \
             DefaultRule::LogsUnderInstallFolder),                      \
        Text(I::Word##Ports, kLogging, word "ports", K::PortList, "")

constexpr std::array<SettingDefinition, kSettingCount> kTable = {
    Integer(I::NetIf, kGeneral, "netif", -1, -1, INT_MAX),
    Text(I::InstallFolder, kGeneral, "InstallFolder", K::Text, "", DefaultRule::WorkingDirectory,
         SettingWrite::ReadOnly),
    // How connections are followed; the command line's --acquisition wins.
    Choice(I::Acquisition, kGeneral, "acquisition", "auto", "auto,events,destroy,poll"),
    // The control socket's path: "default" (by who runs the monitor), a path, or none.
    Text(I::ControlSocket, kGeneral, "socket", K::Text, "default"),
    Switch(I::ReverseLookup, kView, "reverselookup", 1),
    Switch(I::ShowListening, kView, "showlistening", 0),
    Switch(I::ShowInbound, kView, "showinbound", 1),
    Switch(I::ShowOutbound, kView, "showoutbound", 1),
    Switch(I::ShowUnknown, kView, "showunknown", 1),
    TARVIK_LOG_SETTINGS(Inbound, "inbound", 1),
    TARVIK_LOG_SETTINGS(Outbound, "outbound", 0),
    TARVIK_LOG_SETTINGS(Unknown, "unknown", 1),
    Switch(I::ScanEnabled, kScanWatch, "enabled", 1),
    Integer(I::Threshold, kScanWatch, "threshold", 3, 1, INT_MAX, OutOfRange::UseNearest),
    Text(I::IgnoreHosts, kScanWatch, "ignorehosts", K::TextList, "0.0.0.0,127.0.0.1,::1"),
    Text(I::IgnorePorts, kScanWatch, "ignoreports", K::PortList, "", DefaultRule::Fixed,
         SettingWrite::ReadOnly),
    Switch(I::ListenEnabled, kScanWatch, "listenenabled", 0),
    Text(I::ListenPorts, kScanWatch, "listenports", K::PortList,
         "1,11,15,79,111,119,143,540,635,1080,1524,2000,5742,6667,12345,12346,20034,31337,32771,"
         "32772,32773,32774,40421,49724,54320"),
    Switch(I::EventLog, kScanWatch, "eventlog", 1),
    Switch(I::EmailAlert, kScanWatch, "emailalert", 0),
    Text(I::NotificationAddresses, kScanWatch, "notificationaddresses", K::TextList, ""),
    Text(I::MailHost, kScanWatch, "mailhost", K::Text, ""),
    // Seconds a counted port keeps counting; 0: until the host's alert.
    Integer(I::ScanWindow, kScanWatch, "window", 0, 0, INT_MAX),
    // The counting table's bounds, so that spoofed sources cannot grow it without end.
    Integer(I::ScanMaxHosts, kScanWatch, "maxhosts", 65536, 1, 1 << 24),
    Integer(I::ScanMaxPorts, kScanWatch, "maxports", 1024, 1, 65536),
    // Alert records per channel and minute; the rest go into one summary a minute.
    Integer(I::AlertsPerMinute, kScanWatch, "alertsperminute", 10, 1, INT_MAX),
    // Alert lines a minute for --events and the control socket, then one "suppressed" line.
    Integer(I::EventAlertsPerMinute, kScanWatch, "eventalertsperminute", 100, 1, INT_MAX),
    // 0 off, 1 block alerting hosts, 2 only log what would be blocked.
    Integer(I::ScanBlock, kScanWatch, "block", 0, 0, 2),
    Integer(I::ScanBlockTimeout, kScanWatch, "blocktimeout", 3600, 1, INT_MAX),
    // 1: also block hosts seen in probes alone, whose source address may be forged.
    Switch(I::ScanBlockProbes, kScanWatch, "blockprobes", 0),
    // Alert when a process of this host has this many connection attempts refused or
    // unreachable on distinct ports of one host, or on one port of distinct hosts.
    Switch(I::ScanOutbound, kScanWatch, "outbound", 1),
    Integer(I::ScanOutboundThreshold, kScanWatch, "outboundthreshold", 20, 2, INT_MAX),
    // Days a log file is kept after its last line; 0 keeps every file.
    Integer(I::LogKeepDays, kLogging, "keepdays", 0, 0, 36500),
    // "extended" adds protocol, bytes and process to each line, after the classic fields.
    Choice(I::LogFormat, kLogging, "format", "classic", "classic,extended"),
    // Where the metrics for a textfile collector go; empty: none written.
    Text(I::MetricsFile, kExport, "metricsfile", K::Text, ""),
    // The event objects' field names; the command line's --event-format wins.
    Choice(I::EventFormat, kExport, "eventformat", "tarvik", "tarvik,ecs"),
    // A file that gets every event line too; empty: none.
    Text(I::EventsFile, kExport, "eventsfile", K::Text, ""),
    // MiB the events file may reach before it is renamed to its name and ".1".
    Integer(I::EventsFileSize, kExport, "eventsfilesize", 100, 1, 1 << 20),
    // 1: ended UDP sockets go to the category logs too; their lines look like TCP ones.
    Switch(I::LogUdp, kLogging, "udp", 0),
};
#undef TARVIK_LOG_SETTINGS

constexpr bool InIdOrder() {
    for (std::size_t i = 0; i < kTable.size(); ++i) {
        if (static_cast<std::size_t>(kTable[i].id) != i) {
            return false;
        }
    }
    return true;
}
static_assert(InIdOrder(), "the settings table must list every SettingId in its order");
static_assert(static_cast<std::size_t>(I::UnknownPorts) -
                      static_cast<std::size_t>(I::InboundEnabled) ==
                  14,
              "LogSetting counts on five log values per category, in LogField order");

}  // namespace

std::span<const SettingDefinition> SettingsTable() {
    return kTable;
}

const SettingDefinition& Definition(SettingId id) {
    return kTable[static_cast<std::size_t>(id)];
}

SettingId LogSetting(LogCategory category, LogField field) {
    constexpr std::size_t kFieldsPerCategory = 5;
    return static_cast<SettingId>(static_cast<std::size_t>(SettingId::InboundEnabled) +
                                  static_cast<std::size_t>(category) * kFieldsPerCategory +
                                  static_cast<std::size_t>(field));
}

bool IsChoice(const SettingDefinition& definition, const char* text) {
    if (definition.choices == nullptr) {
        return true;
    }
    std::string_view rest = definition.choices;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        if (rest.substr(0, comma) == text) {
            return true;
        }
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    return false;
}

int ClampToRange(const SettingDefinition& definition, int value) {
    return std::clamp(value, definition.minimum, definition.maximum);
}

int LoadedInRange(const SettingDefinition& definition, int value) {
    if (value >= definition.minimum && value <= definition.maximum) {
        return value;
    }
    return definition.outOfRange == OutOfRange::UseNearest ? ClampToRange(definition, value)
                                                           : definition.defaultInteger;
}

const char* LogCategoryWord(LogCategory category) {
    switch (category) {
        case LogCategory::Inbound:
            return "inbound";
        case LogCategory::Outbound:
            return "outbound";
        case LogCategory::Unknown:
            return "unknown";
    }
    return "";
}

}  // namespace tarvik
