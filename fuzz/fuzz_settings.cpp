// The settings store on any settings file: loading never fails, and the text RenderConfig makes
// of the loaded values loads back to the same values.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "settings/ConfigPrinter.h"
#include "settings/SettingsStore.h"

using tarvik::CSettingsStore;
using tarvik::LogCategory;

namespace {

// A private folder for the settings files and the log folders the store creates, removed at exit.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = std::filesystem::temp_directory_path() / "tarvik-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

const ScratchDir& Scratch() {
    static const ScratchDir dir;
    return dir;
}

void WriteFile(const std::filesystem::path& file, std::string_view text) {
    // A new file rather than a truncated one: the file system flushes a truncated file on close.
    std::error_code ec;
    std::filesystem::remove(file, ec);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    FuzzRequire(static_cast<bool>(out), "the scratch settings file can be written");
}

struct LogSnapshot {
    int enabled = 0;
    int type = 0;
    int rotation = 0;
    std::string folder;
    tarvik::PortList ports;
    bool operator==(const LogSnapshot&) const = default;
};

struct Snapshot {
    int netIf = 0, reverseLookup = 0, showListening = 0, showInbound = 0, showOutbound = 0,
        showUnknown = 0;
    std::string installFolder;
    std::vector<LogSnapshot> logs;
    int scanEnabled = 0, threshold = 0, listenEnabled = 0, emailAlert = 0, eventLog = 0;
    tarvik::TextList ignoreHosts, notificationAddresses;
    tarvik::PortList ignorePorts, listenPorts;
    std::string mailHost;
    bool operator==(const Snapshot&) const = default;
};

Snapshot Read(const CSettingsStore& store) {
    Snapshot s;
    s.netIf = store.GetNetIf();
    s.reverseLookup = store.GetReverseLookup();
    s.showListening = store.GetShowListening();
    s.showInbound = store.GetShowInbound();
    s.showOutbound = store.GetShowOutbound();
    s.showUnknown = store.GetShowUnknown();
    const CSettingsStore::ViewSwitches view = store.GetViewSwitches();
    FuzzRequire(view.netIf == s.netIf && view.reverseLookup == s.reverseLookup &&
                    view.showListening == s.showListening && view.showInbound == s.showInbound &&
                    view.showOutbound == s.showOutbound && view.showUnknown == s.showUnknown,
                "the view switches read together as one by one");
    s.installFolder = store.GetInstallFolder().string();
    for (LogCategory category :
         {LogCategory::Inbound, LogCategory::Outbound, LogCategory::Unknown}) {
        s.logs.push_back({store.GetLogEnabled(category), store.GetLogType(category),
                          store.GetLogRotation(category), store.GetLogFolder(category),
                          *store.GetLogPorts(category)});
    }
    s.scanEnabled = store.GetScanEnabled();
    s.threshold = store.GetThreshold();
    s.ignoreHosts = *store.GetIgnoreHosts();
    s.ignorePorts = *store.GetIgnorePorts();
    s.listenEnabled = store.GetListenEnabled();
    s.listenPorts = *store.GetListenPorts();
    s.emailAlert = store.GetEmailAlert();
    s.eventLog = store.GetEventLog();
    s.notificationAddresses = *store.GetNotificationAddresses();
    s.mailHost = store.GetMailHost();
    return s;
}

// Loading creates each log folder: keep them inside the scratch folder whatever the input says
// (the last value of a name wins).
std::string WithScratchLogFolders(std::string_view input) {
    const std::string logs = (Scratch().Path() / "logs").string();
    std::string text(input);
    text += "\n[Logging]\n";
    for (const char* category : {"inbound", "outbound", "unknown"}) {
        text += std::string(category) + "folder=" + logs + "\n";
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::filesystem::path file = Scratch().Path() / "Tarvik.conf";
    const std::filesystem::path printed = Scratch().Path() / "printed.conf";

    WriteFile(file, WithScratchLogFolders(input));
    const CSettingsStore store(file, {}, Scratch().Path());
    store.LoadWarnings();
    store.GetProfileString("View", "columnwidths");
    store.GetProfileString("Settings", "MainWndPos", "none");
    const Snapshot loaded = Read(store);

    WriteFile(printed, tarvik::RenderConfig(store));
    const CSettingsStore reloaded(printed, {}, "/nonexistent-install-folder");
    FuzzRequire(reloaded.LoadWarnings().empty(), "the printed settings load without a warning");
    FuzzRequire(Read(reloaded) == loaded, "the printed settings load back to the same values");
    return 0;
}
