#pragma once

#include <climits>
#include <cstddef>
#include <span>

namespace tarvik {

enum class LogCategory { Inbound, Outbound, Unknown };

// The fields of a log line: the classic eight, or those and the protocol, bytes and process.
enum class LogFormat { Classic, Extended };

// "inbound", "outbound" or "unknown": the start of the category's log file names.
const char* LogCategoryWord(LogCategory category);

// Every stored setting, in the order the file is written. Load, the store's values, the
// printed configuration and the save all walk this one table.
enum class SettingId : std::size_t {
    NetIf,
    InstallFolder,
    Acquisition,
    ControlSocket,
    ReverseLookup,
    ShowListening,
    ShowInbound,
    ShowOutbound,
    ShowUnknown,
    InboundEnabled,
    InboundType,
    InboundRotation,
    InboundFolder,
    InboundPorts,
    OutboundEnabled,
    OutboundType,
    OutboundRotation,
    OutboundFolder,
    OutboundPorts,
    UnknownEnabled,
    UnknownType,
    UnknownRotation,
    UnknownFolder,
    UnknownPorts,
    ScanEnabled,
    Threshold,
    IgnoreHosts,
    IgnorePorts,
    ListenEnabled,
    ListenPorts,
    EventLog,
    EmailAlert,
    NotificationAddresses,
    MailHost,
    ScanWindow,
    ScanMaxHosts,
    ScanMaxPorts,
    AlertsPerMinute,
    EventAlertsPerMinute,
    ScanBlock,
    ScanBlockTimeout,
    ScanBlockProbes,
    ScanOutbound,
    ScanOutboundThreshold,
    LogKeepDays,
    LogFormat,
    MetricsFile,
    EventFormat,
    EventsFile,
    EventsFileSize,
    LogUdp,
    Count
};
constexpr std::size_t kSettingCount = static_cast<std::size_t>(SettingId::Count);

enum class SettingKind { Integer, Text, PortList, TextList };

// Where a default comes from when it is not a fixed text or number.
enum class DefaultRule {
    Fixed,
    WorkingDirectory,        // "InstallFolder": the process's folder when the store is made
    LogsUnderInstallFolder,  // the log folders: "InstallFolder" + "/logs"
};

// What a loaded integer outside its range becomes.
enum class OutOfRange {
    UseDefault,
    UseNearest,  // "threshold": 0 would alert every host at every check, 1 is the closest sense
};

enum class SettingWrite { Saved, ReadOnly };  // read-only values are never written back

struct SettingDefinition {
    SettingId id;
    const char* section;
    const char* name;
    SettingKind kind;
    int defaultInteger;       // Integer only
    const char* defaultText;  // Text and lists, with DefaultRule::Fixed
    DefaultRule rule;
    int minimum;  // Integer only, inclusive
    int maximum;
    OutOfRange outOfRange;
    SettingWrite write;
    // Text only: the comma-separated words the value may be; null for any text.
    const char* choices = nullptr;
};

// Whether `text` is one of the definition's words (always, when it has none).
bool IsChoice(const SettingDefinition& definition, const char* text);

std::span<const SettingDefinition> SettingsTable();
const SettingDefinition& Definition(SettingId id);

enum class LogField { Enabled, Type, Rotation, Folder, Ports };
SettingId LogSetting(LogCategory category, LogField field);

// The value an integer setting takes for `value`: itself when in range, else the nearest bound
// (setters) ...
int ClampToRange(const SettingDefinition& definition, int value);
// ... or, at load, the default or the nearest bound as the definition says.
int LoadedInRange(const SettingDefinition& definition, int value);

}  // namespace tarvik
