#include "settings/SettingsStore.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <variant>

#include "base/AtomicFile.h"
#include "settings/IniFile.h"
#include "settings/LogFolders.h"
#include "settings/MessageText.h"

namespace tarvik {
namespace {

using SettingValue = std::variant<int, std::string, PortListPtr, TextListPtr>;
using SettingValues = std::array<SettingValue, kSettingCount>;

std::size_t Index(SettingId id) {
    return static_cast<std::size_t>(id);
}

std::string LogsFolderOf(const std::string& installFolder) {
    if (!installFolder.empty() && installFolder.back() == '/') {
        return installFolder + "logs";
    }
    return installFolder + "/logs";
}

// A whole decimal 32-bit number with an optional sign; anything else is not an integer.
std::optional<int> ParseInteger(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return std::nullopt;
        }
    }
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// As atoi reads: leading white space, a sign, the digits; the rest ignored, no digits gives 0.
// Unlike atoi, a number too large for 32 bits is defined: it stops at the nearest limit.
int LeadingInteger(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])) != 0) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i++] == '-';
    }
    constexpr long long kLimit = 2147483648LL;  // one past INT_MAX: INT_MIN's magnitude
    long long magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = std::min(kLimit, magnitude * 10 + (text[i] - '0'));
    }
    if (negative) {
        return static_cast<int>(-magnitude);
    }
    return static_cast<int>(std::min(magnitude, kLimit - 1));
}

std::filesystem::path WorkingDirectory() {
    std::error_code ec;
    std::filesystem::path cwd = std::filesystem::current_path(ec);
    return ec ? std::filesystem::path(".") : cwd;
}

std::string EnvironmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string KeyOf(const SettingDefinition& definition) {
    return "[" + std::string(definition.section) + "] " + definition.name;
}

std::string RangeText(const SettingDefinition& definition) {
    if (definition.maximum == INT_MAX) {
        return "below " + std::to_string(definition.minimum);
    }
    return "out of range " + std::to_string(definition.minimum) + ".." +
           std::to_string(definition.maximum);
}

// The file as it is on disk now.
struct FileSnapshot {
    enum class State { Read, Missing, Failed };
    State state = State::Missing;
    CIniFile ini;
    std::string failure;                // Missing and Failed: why
    std::vector<std::string> warnings;  // Read: lines that did not parse
};

FileSnapshot ReadSettingsFile(const std::filesystem::path& file) {
    FileSnapshot snapshot;
    std::string text;
    const int code = ReadWholeFile(file, text, snapshot.failure);
    if (code == ENOENT || code == ENOTDIR) {  // nothing there that a save could destroy
        snapshot.state = FileSnapshot::State::Missing;
        snapshot.failure = "no settings file " + file.string();
    } else if (code != 0) {
        snapshot.state = FileSnapshot::State::Failed;
    } else {
        snapshot.state = FileSnapshot::State::Read;
        std::vector<std::string> lineWarnings;
        snapshot.ini = CIniFile::Parse(text, &lineWarnings);
        for (std::string& warning : lineWarnings) {
            snapshot.warnings.push_back(file.string() + " " + warning);
        }
    }
    return snapshot;
}

int ReadInteger(const CIniFile& ini, const SettingDefinition& definition,
                std::vector<std::string>& warnings) {
    std::optional<std::string> text = ini.Get(definition.section, definition.name);
    if (!text) {
        return definition.defaultInteger;
    }
    std::optional<int> value = ParseInteger(*text);
    if (!value) {
        warnings.push_back(KeyOf(definition) + ": \"" + EscapeForMessage(*text) +
                           "\" is not a 32-bit whole number; using " +
                           std::to_string(definition.defaultInteger));
        return definition.defaultInteger;
    }
    const int used = LoadedInRange(definition, *value);
    if (used != *value) {
        warnings.push_back(KeyOf(definition) + ": " + std::to_string(*value) + " is " +
                           RangeText(definition) + "; using " + std::to_string(used));
    }
    return used;
}

// A port list as loaded: a piece that is no port 1..65535 (a word without digits reads as 0) is
// said and dropped, so no filter or bait port ever works on a port the kernel cannot have.
PortList LoadedPorts(const SettingDefinition& definition, std::string_view text,
                     std::vector<std::string>& warnings) {
    PortList ports;
    for (const std::string& piece : DecodeTextList(text)) {
        const bool blank = std::all_of(piece.begin(), piece.end(), [](char c) {
            return std::isspace(static_cast<unsigned char>(c)) != 0;
        });
        const int port = LeadingInteger(piece);
        if (port >= 1 && port <= 65535) {
            ports.push_back(port);
        } else if (!blank) {
            warnings.push_back(KeyOf(definition) + ": \"" + EscapeForMessage(piece) +
                               "\" is not a port number 1..65535; dropped");
        }
    }
    return ports;
}

// Every value of the table from `ini`, each missing or unusable one with its default.
SettingValues ValuesFrom(const CIniFile& ini, const std::filesystem::path& workingDirectory,
                         const std::optional<std::filesystem::path>& userLogs,
                         std::vector<std::string>& warnings) {
    // A user's own monitor keeps its logs in its state home, not wherever it was started; a
    // file that names the install folder keeps them under it.
    const SettingDefinition& install = Definition(SettingId::InstallFolder);
    const bool logsAtHome = userLogs && !ini.Get(install.section, install.name);
    SettingValues values;
    for (const SettingDefinition& definition : SettingsTable()) {
        if (definition.kind == SettingKind::Integer) {
            values[Index(definition.id)] = ReadInteger(ini, definition, warnings);
            continue;
        }
        std::string fallback = definition.defaultText;
        if (definition.rule == DefaultRule::WorkingDirectory) {
            fallback = workingDirectory.string();
        } else if (definition.rule == DefaultRule::LogsUnderInstallFolder) {
            // "InstallFolder" comes earlier in the table.
            fallback =
                logsAtHome
                    ? userLogs->string()
                    : LogsFolderOf(std::get<std::string>(values[Index(SettingId::InstallFolder)]));
        }
        std::string text = ini.Get(definition.section, definition.name).value_or(fallback);
        if (!IsChoice(definition, text.c_str())) {
            warnings.push_back(KeyOf(definition) + ": \"" + EscapeForMessage(text) +
                               "\" is not one of " + definition.choices + "; using " + fallback);
            text = fallback;
        }
        switch (definition.kind) {
            case SettingKind::PortList:
                values[Index(definition.id)] =
                    std::make_shared<const PortList>(LoadedPorts(definition, text, warnings));
                break;
            case SettingKind::TextList:
                values[Index(definition.id)] =
                    std::make_shared<const TextList>(DecodeTextList(text));
                break;
            default:
                values[Index(definition.id)] = std::move(text);
        }
    }
    return values;
}

std::string EncodeValue(const SettingValue& value) {
    struct Encoder {
        std::string operator()(int number) const { return std::to_string(number); }
        std::string operator()(const std::string& text) const { return text; }
        std::string operator()(const PortListPtr& ports) const { return EncodePortList(*ports); }
        std::string operator()(const TextListPtr& texts) const { return EncodeTextList(*texts); }
    };
    return std::visit(Encoder{}, value);
}

}  // namespace

struct CSettingsStore::Values {
    SettingValues values;
    // Per setting: 0 when it equals what was last loaded or saved, else the serial of its latest
    // change, so a save clears only the changes it wrote.
    std::array<std::uint64_t, kSettingCount> changes{};
    std::uint64_t lastChange = 0;

    // The file as last read or written: what GetProfileString answers from.
    CIniFile ini;
    std::vector<std::string> warnings;
};

CSettingsStore::CSettingsStore(std::filesystem::path file, InterfaceLister listInterfaces,
                               std::filesystem::path currentDirectory)
    : file_(std::move(file)),
      userLogs_(currentDirectory.empty() ? UserLogsFolder(UserFolderPlacesFromEnvironment())
                                         : std::nullopt),
      workingDirectory_(currentDirectory.empty() ? WorkingDirectory()
                                                 : std::move(currentDirectory)),
      listInterfaces_(std::move(listInterfaces)),
      values_(std::make_unique<Values>()) {
    FileSnapshot snapshot = ReadSettingsFile(file_);
    std::vector<std::string> warnings;
    if (snapshot.state == FileSnapshot::State::Read) {
        warnings = std::move(snapshot.warnings);
    } else {
        warnings.push_back(snapshot.failure + "; using defaults");
    }
    values_->values = ValuesFrom(snapshot.ini, workingDirectory_, userLogs_, warnings);
    values_->ini = std::move(snapshot.ini);
    values_->warnings = std::move(warnings);
}

CSettingsStore::~CSettingsStore() = default;

std::filesystem::path CSettingsStore::DefaultFile() {
    if (std::string explicitFile = EnvironmentValue("TARVIK_CONFIG"); !explicitFile.empty()) {
        return explicitFile;
    }
    std::filesystem::path base;
    if (std::string config = EnvironmentValue("XDG_CONFIG_HOME"); !config.empty()) {
        base = config;
    } else {
        base = std::filesystem::path(EnvironmentValue("HOME")) / ".config";
    }
    return base / "Corvane" / "Tarvik.conf";
}

const std::filesystem::path& CSettingsStore::File() const {
    return file_;
}

bool CSettingsStore::Save(std::string* error) {
    std::lock_guard fileLock(fileMutex_);
    FileSnapshot now = ReadSettingsFile(file_);
    if (now.state == FileSnapshot::State::Failed) {
        // A file that cannot be read (too large, not a regular file, no access) is never
        // written over. With nothing changed there is nothing lost, so nothing to complain of.
        if (!HasUnsavedChanges()) {
            return true;
        }
        if (error != nullptr) {
            *error = "not saving settings: " + now.failure;
        }
        return false;
    }
    // A first start names every value, so the file shows what can be set.
    const bool everything = now.state == FileSnapshot::State::Missing;

    std::array<std::uint64_t, kSettingCount> written{};
    bool any = false;
    {
        std::lock_guard lock(valueMutex_);
        for (const SettingDefinition& definition : SettingsTable()) {
            const std::size_t i = Index(definition.id);
            if (definition.write == SettingWrite::Saved &&
                (everything || values_->changes[i] != 0)) {
                now.ini.Set(definition.section, definition.name, EncodeValue(values_->values[i]));
                written[i] = values_->changes[i];
                any = true;
            }
        }
        if (!any) {
            values_->ini = now.ini;
            return true;
        }
    }
    if (!WriteFileAtomically(file_, now.ini.Render(), error)) {
        return false;
    }
    std::lock_guard lock(valueMutex_);
    for (std::size_t i = 0; i < kSettingCount; ++i) {
        if (values_->changes[i] == written[i]) {  // not changed again meanwhile
            values_->changes[i] = 0;
        }
    }
    values_->ini = std::move(now.ini);
    return true;
}

std::vector<std::string> CSettingsStore::Reload() {
    std::lock_guard fileLock(fileMutex_);
    FileSnapshot snapshot = ReadSettingsFile(file_);
    std::vector<std::string> warnings;
    if (snapshot.state == FileSnapshot::State::Failed) {
        // Defaults in place of a file that is there but cannot be read would switch off what
        // the administrator switched on.
        warnings.push_back(snapshot.failure + "; keeping the current settings");
        std::lock_guard lock(valueMutex_);
        values_->warnings = warnings;
        return warnings;
    }
    if (snapshot.state == FileSnapshot::State::Read) {
        warnings = std::move(snapshot.warnings);
    } else {
        warnings.push_back(snapshot.failure + "; using defaults");
    }
    SettingValues values = ValuesFrom(snapshot.ini, workingDirectory_, userLogs_, warnings);

    {
        std::lock_guard lock(valueMutex_);
        values_->values = std::move(values);
        generation_.fetch_add(1, std::memory_order_release);
        values_->changes.fill(0);
        values_->ini = std::move(snapshot.ini);
        values_->warnings = warnings;
    }
    return warnings;
}

std::vector<std::string> CSettingsStore::LoadWarnings() const {
    std::lock_guard lock(valueMutex_);
    return values_->warnings;
}

std::vector<std::string> CSettingsStore::EncodedValues() const {
    std::lock_guard lock(valueMutex_);
    std::vector<std::string> texts;
    texts.reserve(kSettingCount);
    for (const SettingValue& value : values_->values) {
        texts.push_back(EncodeValue(value));
    }
    return texts;
}

bool CSettingsStore::HasUnsavedChanges() const {
    std::lock_guard lock(valueMutex_);
    return std::any_of(values_->changes.begin(), values_->changes.end(),
                       [](std::uint64_t change) { return change != 0; });
}

void CSettingsStore::MarkChanged(SettingId id) {
    values_->changes[Index(id)] = ++values_->lastChange;
    generation_.fetch_add(1, std::memory_order_release);
}

int CSettingsStore::GetInteger(SettingId id) const {
    std::lock_guard lock(valueMutex_);
    return std::get<int>(values_->values[Index(id)]);
}

void CSettingsStore::SetInteger(SettingId id, int value) {
    value = ClampToRange(Definition(id), value);
    std::lock_guard lock(valueMutex_);
    int& stored = std::get<int>(values_->values[Index(id)]);
    if (stored != value) {
        stored = value;
        MarkChanged(id);
    }
}

std::string CSettingsStore::GetText(SettingId id) const {
    std::lock_guard lock(valueMutex_);
    return std::get<std::string>(values_->values[Index(id)]);
}

void CSettingsStore::SetText(SettingId id, std::string text) {
    std::lock_guard lock(valueMutex_);
    std::string& stored = std::get<std::string>(values_->values[Index(id)]);
    if (stored != text) {
        stored = std::move(text);
        MarkChanged(id);
    }
}

PortListPtr CSettingsStore::GetPorts(SettingId id) const {
    std::lock_guard lock(valueMutex_);
    return std::get<PortListPtr>(values_->values[Index(id)]);
}

void CSettingsStore::SetPorts(SettingId id, PortList ports) {
    auto list = std::make_shared<const PortList>(std::move(ports));
    std::lock_guard lock(valueMutex_);
    PortListPtr& stored = std::get<PortListPtr>(values_->values[Index(id)]);
    if (*stored != *list) {
        stored = std::move(list);
        MarkChanged(id);
    }
}

TextListPtr CSettingsStore::GetTexts(SettingId id) const {
    std::lock_guard lock(valueMutex_);
    return std::get<TextListPtr>(values_->values[Index(id)]);
}

void CSettingsStore::SetTexts(SettingId id, TextList texts) {
    auto list = std::make_shared<const TextList>(std::move(texts));
    std::lock_guard lock(valueMutex_);
    TextListPtr& stored = std::get<TextListPtr>(values_->values[Index(id)]);
    if (*stored != *list) {
        stored = std::move(list);
        MarkChanged(id);
    }
}

#define TARVIK_INT_SETTING(Name)                \
    int CSettingsStore::Get##Name() const {     \
        return GetInteger(SettingId::Name);     \
    }                                           \
    void CSettingsStore::Set##Name(int value) { \
        SetInteger(SettingId::Name, value);     \
    }

TARVIK_INT_SETTING(NetIf)
TARVIK_INT_SETTING(ShowListening)
TARVIK_INT_SETTING(ShowInbound)
TARVIK_INT_SETTING(ShowOutbound)
TARVIK_INT_SETTING(ShowUnknown)
TARVIK_INT_SETTING(ScanEnabled)
TARVIK_INT_SETTING(Threshold)
TARVIK_INT_SETTING(ListenEnabled)
TARVIK_INT_SETTING(EmailAlert)
TARVIK_INT_SETTING(EventLog)
TARVIK_INT_SETTING(ScanWindow)
TARVIK_INT_SETTING(ScanMaxHosts)
TARVIK_INT_SETTING(ScanMaxPorts)
TARVIK_INT_SETTING(AlertsPerMinute)
TARVIK_INT_SETTING(EventAlertsPerMinute)
TARVIK_INT_SETTING(ScanBlock)
TARVIK_INT_SETTING(ScanBlockTimeout)
TARVIK_INT_SETTING(ScanBlockProbes)
TARVIK_INT_SETTING(ScanOutbound)
TARVIK_INT_SETTING(ScanOutboundThreshold)
#undef TARVIK_INT_SETTING

std::filesystem::path CSettingsStore::GetInstallFolder() const {
    return GetText(SettingId::InstallFolder);
}

CSettingsStore::ViewSwitches CSettingsStore::GetViewSwitches() const {
    std::lock_guard lock(valueMutex_);
    auto value = [this](SettingId id) { return std::get<int>(values_->values[Index(id)]); };
    return {value(SettingId::NetIf),         value(SettingId::ReverseLookup),
            value(SettingId::ShowListening), value(SettingId::ShowInbound),
            value(SettingId::ShowOutbound),  value(SettingId::ShowUnknown)};
}

int CSettingsStore::GetReverseLookup() const {
    return GetInteger(SettingId::ReverseLookup);
}

void CSettingsStore::SetReverseLookup(int value) {
    SetInteger(SettingId::ReverseLookup, value);
}

CSettingsStore::LoggingValues CSettingsStore::GetLoggingValues() const {
    std::lock_guard lock(valueMutex_);
    LoggingValues logging;
    logging.generation = generation_.load(std::memory_order_relaxed);
    for (LogCategory category :
         {LogCategory::Inbound, LogCategory::Outbound, LogCategory::Unknown}) {
        auto value = [&](LogField field) -> const SettingValue& {
            return values_->values[Index(LogSetting(category, field))];
        };
        LogValues& log = logging.categories[static_cast<std::size_t>(category)];
        log.enabled = std::get<int>(value(LogField::Enabled));
        log.type = std::get<int>(value(LogField::Type));
        log.rotation = std::get<int>(value(LogField::Rotation));
        log.folder = std::get<std::string>(value(LogField::Folder));
        log.ports = std::get<PortListPtr>(value(LogField::Ports));
    }
    logging.udp = std::get<int>(values_->values[Index(SettingId::LogUdp)]);
    // A bad word was the default at load.
    const auto& format = std::get<std::string>(values_->values[Index(SettingId::LogFormat)]);
    logging.format = format == "extended" ? LogFormat::Extended : LogFormat::Classic;
    return logging;
}

int CSettingsStore::GetLogEnabled(LogCategory category) const {
    return GetInteger(LogSetting(category, LogField::Enabled));
}
void CSettingsStore::SetLogEnabled(LogCategory category, int value) {
    SetInteger(LogSetting(category, LogField::Enabled), value);
}
int CSettingsStore::GetLogType(LogCategory category) const {
    return GetInteger(LogSetting(category, LogField::Type));
}
void CSettingsStore::SetLogType(LogCategory category, int value) {
    SetInteger(LogSetting(category, LogField::Type), value);
}
int CSettingsStore::GetLogRotation(LogCategory category) const {
    return GetInteger(LogSetting(category, LogField::Rotation));
}
void CSettingsStore::SetLogRotation(LogCategory category, int value) {
    SetInteger(LogSetting(category, LogField::Rotation), value);
}
std::string CSettingsStore::GetLogFolder(LogCategory category) const {
    return GetText(LogSetting(category, LogField::Folder));
}
void CSettingsStore::SetLogFolder(LogCategory category, std::string folder) {
    SetText(LogSetting(category, LogField::Folder), std::move(folder));
}
PortListPtr CSettingsStore::GetLogPorts(LogCategory category) const {
    return GetPorts(LogSetting(category, LogField::Ports));
}
void CSettingsStore::SetLogPorts(LogCategory category, PortList ports) {
    SetPorts(LogSetting(category, LogField::Ports), std::move(ports));
}

TextListPtr CSettingsStore::GetIgnoreHosts() const {
    return GetTexts(SettingId::IgnoreHosts);
}
void CSettingsStore::SetIgnoreHosts(TextList hosts) {
    SetTexts(SettingId::IgnoreHosts, std::move(hosts));
}
PortListPtr CSettingsStore::GetIgnorePorts() const {
    return GetPorts(SettingId::IgnorePorts);
}
PortListPtr CSettingsStore::GetListenPorts() const {
    return GetPorts(SettingId::ListenPorts);
}
void CSettingsStore::SetListenPorts(PortList ports) {
    SetPorts(SettingId::ListenPorts, std::move(ports));
}
TextListPtr CSettingsStore::GetNotificationAddresses() const {
    return GetTexts(SettingId::NotificationAddresses);
}
void CSettingsStore::SetNotificationAddresses(TextList addresses) {
    SetTexts(SettingId::NotificationAddresses, std::move(addresses));
}
std::string CSettingsStore::GetMailHost() const {
    return GetText(SettingId::MailHost);
}
void CSettingsStore::SetMailHost(std::string host) {
    SetText(SettingId::MailHost, std::move(host));
}
int CSettingsStore::GetLogUdp() const {
    return GetInteger(SettingId::LogUdp);
}
void CSettingsStore::SetLogUdp(int on) {
    SetInteger(SettingId::LogUdp, on);
}
void CSettingsStore::SetLogFormat(LogFormat format) {
    SetText(SettingId::LogFormat, format == LogFormat::Extended ? "extended" : "classic");
}
int CSettingsStore::GetLogKeepDays() const {
    return GetInteger(SettingId::LogKeepDays);
}
void CSettingsStore::SetLogKeepDays(int days) {
    SetInteger(SettingId::LogKeepDays, days);
}
std::string CSettingsStore::GetControlSocket() const {
    return GetText(SettingId::ControlSocket);
}
std::string CSettingsStore::GetAcquisition() const {
    return GetText(SettingId::Acquisition);
}

std::string CSettingsStore::GetMetricsFile() const {
    return GetText(SettingId::MetricsFile);
}
void CSettingsStore::SetMetricsFile(std::string path) {
    SetText(SettingId::MetricsFile, std::move(path));
}
std::string CSettingsStore::GetEventFormat() const {
    return GetText(SettingId::EventFormat);
}
std::string CSettingsStore::GetEventsFile() const {
    return GetText(SettingId::EventsFile);
}
int CSettingsStore::GetEventsFileSize() const {
    return GetInteger(SettingId::EventsFileSize);
}

std::string CSettingsStore::GetProfileString(std::string_view section, std::string_view name,
                                             std::string_view defaultValue) const {
    std::lock_guard lock(valueMutex_);
    std::optional<std::string> value = values_->ini.Get(section, name);
    return value ? std::move(*value) : std::string(defaultValue);
}

bool CSettingsStore::WriteProfileString(std::string_view section, std::string_view name,
                                        std::string_view value) {
    std::lock_guard fileLock(fileMutex_);
    FileSnapshot now = ReadSettingsFile(file_);
    if (now.state == FileSnapshot::State::Failed || !now.ini.Set(section, name, value) ||
        !WriteFileAtomically(file_, now.ini.Render())) {
        return false;
    }
    std::lock_guard lock(valueMutex_);
    values_->ini = std::move(now.ini);
    return true;
}

TextListPtr CSettingsStore::GetInterfaceAddresses(bool refresh) {
    {
        std::lock_guard lock(interfacesMutex_);
        if (interfaces_ && !refresh) {
            return interfaces_;
        }
    }
    Trace("config, refresh netifs");
    TextList addresses = listInterfaces_ ? listInterfaces_() : TextList{};
    std::erase(addresses, std::string("0.0.0.0"));
    auto list = std::make_shared<const TextList>(std::move(addresses));
    std::lock_guard lock(interfacesMutex_);
    interfaces_ = list;
    return list;
}

std::string CSettingsStore::LocalHostName() {
    char name[100] = {};
    if (::gethostname(name, sizeof(name) - 1) != 0) {
        return {};
    }
    return name;
}

void CSettingsStore::SetTraceSink(std::function<void(std::string_view)> sink) {
    std::lock_guard lock(hooksMutex_);
    traceSink_ = std::move(sink);
}

void CSettingsStore::Trace(std::string_view text) const {
    std::function<void(std::string_view)> sink;
    {
        std::lock_guard lock(hooksMutex_);
        sink = traceSink_;
    }
    if (sink) {
        sink(text);
    }
}

PortList DecodePortList(std::string_view text) {
    PortList ports;
    for (const std::string& piece : DecodeTextList(text)) {
        ports.push_back(LeadingInteger(piece));
    }
    return ports;
}

std::string EncodePortList(const PortList& ports) {
    std::string text;
    for (int port : ports) {
        if (!text.empty()) {
            text += ',';
        }
        text += std::to_string(port);
    }
    return text;
}

TextList DecodeTextList(std::string_view text) {
    TextList texts;
    while (!text.empty()) {
        std::size_t comma = text.find(',');
        std::string_view piece = text.substr(0, comma);
        if (!piece.empty()) {
            texts.emplace_back(piece);
        }
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    }
    return texts;
}

std::string EncodeTextList(const TextList& texts) {
    std::string text;
    for (const std::string& entry : texts) {
        if (entry.empty()) {
            continue;  // it would not come back anyway
        }
        if (!text.empty()) {
            text += ',';
        }
        text += entry;
    }
    return text;
}

}  // namespace tarvik
