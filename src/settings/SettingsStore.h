#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/SettingsTable.h"

namespace tarvik {

using PortList = std::vector<int>;
using TextList = std::vector<std::string>;
// Lists are shared as immutable snapshots: a setter swaps in a new list whole, so a worker that
// holds a snapshot never sees it change under it.
using PortListPtr = std::shared_ptr<const PortList>;
using TextListPtr = std::shared_ptr<const TextList>;

class CIniFile;

// The process-wide settings: every stored value with its default (SettingsTable), loaded from
// an INI file and saved (atomically) at the close; the interface address list.
//
// A save writes back only the values changed in memory since the last load, reload or save,
// merged into the file as it is at that moment, so edits made to the file while the program
// runs survive. Integer setters keep values in their range (SettingsTable).
//
// Every getter and setter is safe from any thread, also against Save and Reload.
class CSettingsStore {
public:
    using InterfaceLister = std::function<std::vector<std::string>()>;

    // Loads `file` (a missing, malformed, oversized or non-regular file yields defaults; nothing
    // is created on disk). `listInterfaces` builds the
    // interface address list (the kernel agent's walk in the programs, a fixture in tests).
    // `currentDirectory` is the default "InstallFolder". When it is empty (the programs), the
    // process's working directory is, and a user other than root gets the log folders under
    // the state home (UserLogsFolder) unless the file names an "InstallFolder".
    CSettingsStore(std::filesystem::path file, InterfaceLister listInterfaces,
                   std::filesystem::path currentDirectory = {});
    ~CSettingsStore();

    CSettingsStore(const CSettingsStore&) = delete;
    CSettingsStore& operator=(const CSettingsStore&) = delete;

    // The settings file: $TARVIK_CONFIG, else $XDG_CONFIG_HOME/Corvane/Tarvik.conf, else
    // ~/.config/Corvane/Tarvik.conf.
    static std::filesystem::path DefaultFile();

    const std::filesystem::path& File() const;

    // Rereads the file and writes into it the values changed since the last load, reload or
    // save (atomically: temporary file, fsync, rename); when there is no file yet, every stored
    // value. Nothing changed and a file in place: nothing is written, also when that file cannot
    // be read. Returns false with a reason in `error` when changes could not be written: the file
    // could not be read or written, or is not a regular file or too large to read; the file is
    // then left as it was.
    bool Save(std::string* error = nullptr);

    // Rereads the file and replaces every value with what it holds now (a value it lacks gets
    // its default); changes not saved are dropped. A file that exists but cannot be read (or is
    // too large, or not a regular file) leaves every value as it was. Returns the warnings of
    // the reload, as LoadWarnings() does afterwards.
    std::vector<std::string> Reload();

    // Diagnostics from the last load or reload: lines that did not parse, values of the wrong
    // kind or out of range, a file that could not be read. File content in them is escaped.
    std::vector<std::string> LoadWarnings() const;

    // "General"
    int GetNetIf() const;
    void SetNetIf(int index);
    std::filesystem::path GetInstallFolder() const;

    // "View"
    int GetReverseLookup() const;
    void SetReverseLookup(int value);  // runs the reverse-lookup-on handler when it goes 0 -> 1
    int GetShowListening() const;
    void SetShowListening(int value);
    int GetShowInbound() const;
    void SetShowInbound(int value);
    int GetShowOutbound() const;
    void SetShowOutbound(int value);
    int GetShowUnknown() const;
    void SetShowUnknown(int value);
    int GetRefreshPeriodMs() const { return 750; }

    // netif, reverselookup and the four show switches read together under one lock: the tracker
    // reads them for every entry of every snapshot.
    struct ViewSwitches {
        int netIf = -1;
        int reverseLookup = 0;
        int showListening = 0;
        int showInbound = 0;
        int showOutbound = 0;
        int showUnknown = 0;
    };
    ViewSwitches GetViewSwitches() const;

    // "Logging", per category: "inbound", "inboundtype", "inboundrotation", "inboundfolder",
    // "inboundports" and the same for outbound and unknown.
    int GetLogEnabled(LogCategory category) const;
    void SetLogEnabled(LogCategory category, int value);
    int GetLogType(LogCategory category) const;
    void SetLogType(LogCategory category, int value);
    int GetLogRotation(LogCategory category) const;
    void SetLogRotation(LogCategory category, int value);
    std::string GetLogFolder(LogCategory category) const;
    void SetLogFolder(LogCategory category, std::string folder);
    PortListPtr GetLogPorts(LogCategory category) const;
    void SetLogPorts(LogCategory category, PortList ports);

    // Every category's logging values, read together under one lock, with the generation they
    // belong to: the logger keeps them and reads again only when Generation() has moved.
    struct LogValues {
        int enabled = 0;
        int type = 0;
        int rotation = 0;
        std::string folder;
        PortListPtr ports;
    };
    struct LoggingValues {
        std::uint64_t generation = 0;
        std::array<LogValues, 3> categories;  // by LogCategory
        int udp = 0;                          // UDP ends logged too
        LogFormat format = LogFormat::Classic;
    };
    LoggingValues GetLoggingValues() const;

    // Grows with every change of a value, by a setter or a reload; one atomic load, for readers
    // that keep copies of values and need to know when to read them again.
    std::uint64_t Generation() const { return generation_.load(std::memory_order_acquire); }

    // "ScanWatch"
    int GetScanEnabled() const;
    void SetScanEnabled(int value);
    int GetThreshold() const;
    void SetThreshold(int value);  // at least 1
    TextListPtr GetIgnoreHosts() const;
    void SetIgnoreHosts(TextList hosts);
    PortListPtr GetIgnorePorts() const;  // read only: never written back
    int GetListenEnabled() const;
    void SetListenEnabled(int value);
    PortListPtr GetListenPorts() const;
    void SetListenPorts(PortList ports);
    int GetEmailAlert() const;
    void SetEmailAlert(int value);
    int GetEventLog() const;
    void SetEventLog(int value);
    TextListPtr GetNotificationAddresses() const;
    void SetNotificationAddresses(TextList addresses);
    std::string GetMailHost() const;
    void SetMailHost(std::string host);
    int GetScanWindow() const;  // seconds, 0: no window
    void SetScanWindow(int seconds);
    int GetScanMaxHosts() const;
    void SetScanMaxHosts(int hosts);
    int GetScanMaxPorts() const;
    void SetScanMaxPorts(int ports);
    int GetAlertsPerMinute() const;
    void SetAlertsPerMinute(int records);
    int GetEventAlertsPerMinute() const;
    void SetEventAlertsPerMinute(int lines);
    int GetScanBlock() const;
    void SetScanBlock(int mode);
    int GetScanBlockTimeout() const;  // seconds
    void SetScanBlockTimeout(int seconds);
    int GetScanBlockProbes() const;
    void SetScanBlockProbes(int on);
    int GetLogUdp() const;
    void SetLogUdp(int on);
    int GetScanOutbound() const;
    void SetScanOutbound(int on);
    int GetScanOutboundThreshold() const;
    void SetScanOutboundThreshold(int attempts);
    void SetLogFormat(LogFormat format);
    int GetLogKeepDays() const;
    void SetLogKeepDays(int days);
    // "auto", "events", "destroy" or "poll"; a bad value was "auto" at load.
    std::string GetAcquisition() const;
    std::string GetControlSocket() const;
    std::string GetMetricsFile() const;
    void SetMetricsFile(std::string path);
    // "tarvik" or "ecs"; a bad value was "tarvik" at load.
    std::string GetEventFormat() const;
    std::string GetEventsFile() const;
    int GetEventsFileSize() const;  // MiB

    // Values that other parts keep in the same file with their own code ("View"/"columnwidths",
    // "Settings"/"MainWndPos"). A write is saved to the file at once.
    std::string GetProfileString(std::string_view section, std::string_view name,
                                 std::string_view defaultValue = {}) const;
    bool WriteProfileString(std::string_view section, std::string_view name,
                            std::string_view value);

    // The local addresses, without 0.0.0.0, exchanged whole: a refresh swaps in a new list and
    // readers keep the list they got. Built on first use or when `refresh` is set.
    TextListPtr GetInterfaceAddresses(bool refresh = false);

    // The machine's host name (empty when it cannot be read).
    static std::string LocalHostName();

    // Diagnostic text of the store (an interface refresh). Discarded unless a sink is set.
    void SetTraceSink(std::function<void(std::string_view)> sink);

private:
    struct Values;
    void Trace(std::string_view text) const;
    int GetInteger(SettingId id) const;
    void SetInteger(SettingId id, int value);
    std::string GetText(SettingId id) const;
    void SetText(SettingId id, std::string text);
    PortListPtr GetPorts(SettingId id) const;
    void SetPorts(SettingId id, PortList ports);
    TextListPtr GetTexts(SettingId id) const;
    void SetTexts(SettingId id, TextList texts);
    void MarkChanged(SettingId id);  // with the value lock held
    bool HasUnsavedChanges() const;
    // Every value in its file form, indexed by SettingId, read together under one lock.
    std::vector<std::string> EncodedValues() const;
    friend std::string RenderConfig(const CSettingsStore& store);

    std::filesystem::path file_;
    // The default log folder when it is not under "InstallFolder"; set before the folder below,
    // from the same argument.
    std::optional<std::filesystem::path> userLogs_;
    std::filesystem::path workingDirectory_;  // the default "InstallFolder"
    InterfaceLister listInterfaces_;

    // Serialises Save, Reload and WriteProfileString: each reads the file and may replace it.
    // Taken before the value lock.
    std::mutex fileMutex_;
    mutable std::mutex valueMutex_;  // guards everything in values_
    std::unique_ptr<Values> values_;
    std::atomic<std::uint64_t> generation_{0};  // written under valueMutex_

    mutable std::mutex interfacesMutex_;
    TextListPtr interfaces_;

    mutable std::mutex hooksMutex_;  // guards the hook below
    std::function<void(std::string_view)> traceSink_;
};

// Port list text: "80,,443," -> {80, 443}; pieces are read as by atoi (a piece without leading
// digits gives 0; a number beyond 32 bits gives the nearest limit).
PortList DecodePortList(std::string_view text);
std::string EncodePortList(const PortList& ports);
// Text list: split at commas, empty pieces skipped, the rest kept unchanged (spaces included).
TextList DecodeTextList(std::string_view text);
std::string EncodeTextList(const TextList& texts);

}  // namespace tarvik
