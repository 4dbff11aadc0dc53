#include "settings/SettingsStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "acquisition/ConnectionRecord.h"
#include "settings/AtomicFile.h"
#include "settings/IniFile.h"

namespace tarvik {
namespace {

constexpr const char* kGeneral = "General";
constexpr const char* kView = "View";
constexpr const char* kLogging = "Logging";
constexpr const char* kScanWatch = "ScanWatch";

constexpr std::array<const char*, 3> kCategoryWords = {"inbound", "outbound", "unknown"};
constexpr std::array<int, 3> kCategoryEnabledDefault = {1, 0, 1};

constexpr const char* kDefaultIgnoreHosts = "0.0.0.0,127.0.0.1";
constexpr const char* kDefaultListenPorts =
    "1,11,15,79,111,119,143,540,635,1080,1524,2000,5742,6667,12345,12346,20034,31337,32771,"
    "32772,32773,32774,40421,49724,54320";

std::size_t Index(LogCategory category) {
    return static_cast<std::size_t>(category);
}

std::string LogName(std::size_t category, const char* suffix) {
    return std::string(kCategoryWords[category]) + suffix;
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

// Reads values with their defaults, noting each value that is present but unusable.
class ValueReader {
public:
    ValueReader(const CIniFile& ini, std::vector<std::string>& warnings)
        : ini_(ini), warnings_(warnings) {}

    int Integer(const char* section, const std::string& name, int fallback) {
        std::optional<std::string> text = ini_.Get(section, name);
        if (!text) {
            return fallback;
        }
        if (std::optional<int> value = ParseInteger(*text)) {
            return *value;
        }
        warnings_.push_back("[" + std::string(section) + "] " + name + ": \"" + *text +
                            "\" is not a 32-bit whole number; using " + std::to_string(fallback));
        return fallback;
    }

    std::string Text(const char* section, const std::string& name, std::string fallback) {
        std::optional<std::string> text = ini_.Get(section, name);
        return text ? std::move(*text) : std::move(fallback);
    }

    PortListPtr Ports(const char* section, const std::string& name, const char* fallback = "") {
        return std::make_shared<const PortList>(DecodePortList(Text(section, name, fallback)));
    }

    TextListPtr Texts(const char* section, const std::string& name, const char* fallback = "") {
        return std::make_shared<const TextList>(DecodeTextList(Text(section, name, fallback)));
    }

private:
    const CIniFile& ini_;
    std::vector<std::string>& warnings_;
};

void PutInteger(CIniFile& ini, const char* section, const std::string& name, int value) {
    ini.Set(section, name, std::to_string(value));
}

}  // namespace

struct LogValues {
    int enabled = 0;
    int type = 1;
    int rotation = 0;
    std::string folder;
    PortListPtr ports = std::make_shared<const PortList>();
};

struct CSettingsStore::Values {
    int netIf = -1;
    int reverseLookup = 1;
    int showListening = 0;
    int showInbound = 1;
    int showOutbound = 1;
    int showUnknown = 1;
    std::filesystem::path installFolder;

    std::array<LogValues, 3> logs;

    int scanEnabled = 1;
    int threshold = 3;
    TextListPtr ignoreHosts = std::make_shared<const TextList>(DecodeTextList(kDefaultIgnoreHosts));
    PortListPtr ignorePorts = std::make_shared<const PortList>();
    int listenEnabled = 0;
    PortListPtr listenPorts = std::make_shared<const PortList>(DecodePortList(kDefaultListenPorts));
    int emailAlert = 0;
    int eventLog = 1;
    TextListPtr notificationAddresses = std::make_shared<const TextList>();
    std::string mailHost;

    // The file as read (and as last written), so that keys this store does not manage, and
    // comments, are written back unchanged.
    CIniFile ini;
    std::vector<std::string> warnings;
    // The file existed but could not be read: writing it would destroy what we never saw.
    std::string unreadable;

    // Serialises writes of the file; taken before the value lock.
    std::mutex fileMutex;
};

CSettingsStore::CSettingsStore(std::filesystem::path file, InterfaceLister listInterfaces,
                               std::filesystem::path currentDirectory)
    : file_(std::move(file)),
      listInterfaces_(std::move(listInterfaces)),
      values_(std::make_unique<Values>()) {
    for (int column = 0; column < static_cast<int>(Column::Count); ++column) {
        columnTitles_.emplace_back(ColumnTitle(static_cast<Column>(column)));
    }
    values_->installFolder =
        currentDirectory.empty() ? WorkingDirectory() : std::move(currentDirectory);
    Load();
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

void CSettingsStore::Load() {
    std::lock_guard lock(valueMutex_);
    Values& v = *values_;
    v.ini = CIniFile();
    v.warnings.clear();
    v.unreadable.clear();

    std::string text;
    std::string failure;
    if (int code = ReadWholeFile(file_, text, failure); code != 0) {
        if (code == ENOENT || code == ENOTDIR) {  // nothing there that a save could destroy
            v.warnings.push_back("no settings file " + file_.string() + "; using defaults");
        } else {
            v.unreadable = failure;
            v.warnings.push_back(failure + "; using defaults");
        }
    } else {
        std::vector<std::string> lineWarnings;
        v.ini = CIniFile::Parse(text, &lineWarnings);
        for (std::string& warning : lineWarnings) {
            v.warnings.push_back(file_.string() + " " + warning);
        }
    }

    ValueReader read(v.ini, v.warnings);
    v.netIf = read.Integer(kGeneral, "netif", -1);
    // No worker is registered yet, so turning reverse lookup on here has nobody to tell.
    v.reverseLookup = read.Integer(kView, "reverselookup", 1);
    v.showListening = read.Integer(kView, "showlistening", 0);
    v.showInbound = read.Integer(kView, "showinbound", 1);
    v.showOutbound = read.Integer(kView, "showoutbound", 1);
    v.showUnknown = read.Integer(kView, "showunknown", 1);
    v.installFolder = read.Text(kGeneral, "InstallFolder", v.installFolder.string());

    const std::string defaultLogs = LogsFolderOf(v.installFolder.string());
    for (std::size_t c = 0; c < v.logs.size(); ++c) {
        LogValues& log = v.logs[c];
        log.enabled = read.Integer(kLogging, LogName(c, ""), kCategoryEnabledDefault[c]);
        log.type = read.Integer(kLogging, LogName(c, "type"), 1);
        log.rotation = read.Integer(kLogging, LogName(c, "rotation"), 0);
        log.folder = read.Text(kLogging, LogName(c, "folder"), defaultLogs);
        // Only the last component, and a failure is the logger's to report when it opens a file.
        ::mkdir(log.folder.c_str(), 0777);
        log.ports = read.Ports(kLogging, LogName(c, "ports"));
    }

    v.scanEnabled = read.Integer(kScanWatch, "enabled", 1);
    v.threshold = read.Integer(kScanWatch, "threshold", 3);
    v.ignoreHosts = read.Texts(kScanWatch, "ignorehosts", kDefaultIgnoreHosts);
    v.ignorePorts = read.Ports(kScanWatch, "ignoreports");
    v.listenEnabled = read.Integer(kScanWatch, "listenenabled", 0);
    v.listenPorts = read.Ports(kScanWatch, "listenports", kDefaultListenPorts);
    v.emailAlert = read.Integer(kScanWatch, "emailalert", 0);
    v.eventLog = read.Integer(kScanWatch, "eventlog", 1);
    v.notificationAddresses = read.Texts(kScanWatch, "notificationaddresses");
    v.mailHost = read.Text(kScanWatch, "mailhost", "");
}

void CSettingsStore::StoreValues(const Values& v, CIniFile& ini, bool includeReadOnly) {
    PutInteger(ini, kGeneral, "netif", v.netIf);
    if (includeReadOnly) {
        ini.Set(kGeneral, "InstallFolder", v.installFolder.string());
    }
    PutInteger(ini, kView, "reverselookup", v.reverseLookup);
    PutInteger(ini, kView, "showlistening", v.showListening);
    PutInteger(ini, kView, "showinbound", v.showInbound);
    PutInteger(ini, kView, "showoutbound", v.showOutbound);
    PutInteger(ini, kView, "showunknown", v.showUnknown);
    for (std::size_t c = 0; c < v.logs.size(); ++c) {
        const LogValues& log = v.logs[c];
        PutInteger(ini, kLogging, LogName(c, ""), log.enabled);
        PutInteger(ini, kLogging, LogName(c, "type"), log.type);
        PutInteger(ini, kLogging, LogName(c, "rotation"), log.rotation);
        ini.Set(kLogging, LogName(c, "folder"), log.folder);
        ini.Set(kLogging, LogName(c, "ports"), EncodePortList(*log.ports));
    }
    PutInteger(ini, kScanWatch, "enabled", v.scanEnabled);
    PutInteger(ini, kScanWatch, "threshold", v.threshold);
    ini.Set(kScanWatch, "ignorehosts", EncodeTextList(*v.ignoreHosts));
    if (includeReadOnly) {
        ini.Set(kScanWatch, "ignoreports", EncodePortList(*v.ignorePorts));
    }
    PutInteger(ini, kScanWatch, "listenenabled", v.listenEnabled);
    ini.Set(kScanWatch, "listenports", EncodePortList(*v.listenPorts));
    PutInteger(ini, kScanWatch, "eventlog", v.eventLog);
    PutInteger(ini, kScanWatch, "emailalert", v.emailAlert);
    ini.Set(kScanWatch, "notificationaddresses", EncodeTextList(*v.notificationAddresses));
    ini.Set(kScanWatch, "mailhost", v.mailHost);
}

bool CSettingsStore::Save(std::string* error) {
    std::lock_guard fileLock(values_->fileMutex);
    std::string text;
    {
        std::lock_guard lock(valueMutex_);
        if (!values_->unreadable.empty()) {
            if (error != nullptr) {
                *error = "not saving settings: " + values_->unreadable;
            }
            return false;
        }
        StoreValues(*values_, values_->ini, false);
        text = values_->ini.Render();
    }
    return WriteFileAtomically(file_, text, error);
}

std::vector<std::string> CSettingsStore::Reload() {
    std::lock_guard fileLock(values_->fileMutex);
    Load();
    return LoadWarnings();
}

std::vector<std::string> CSettingsStore::LoadWarnings() const {
    std::lock_guard lock(valueMutex_);
    return values_->warnings;
}

// Plain values: one read or write under the value lock.
#define TARVIK_INT_SETTING(Name, member)        \
    int CSettingsStore::Get##Name() const {     \
        std::lock_guard lock(valueMutex_);      \
        return values_->member;                 \
    }                                           \
    void CSettingsStore::Set##Name(int value) { \
        std::lock_guard lock(valueMutex_);      \
        values_->member = value;                \
    }

TARVIK_INT_SETTING(NetIf, netIf)
TARVIK_INT_SETTING(ShowListening, showListening)
TARVIK_INT_SETTING(ShowInbound, showInbound)
TARVIK_INT_SETTING(ShowOutbound, showOutbound)
TARVIK_INT_SETTING(ShowUnknown, showUnknown)
TARVIK_INT_SETTING(ScanEnabled, scanEnabled)
TARVIK_INT_SETTING(Threshold, threshold)
TARVIK_INT_SETTING(ListenEnabled, listenEnabled)
TARVIK_INT_SETTING(EmailAlert, emailAlert)
TARVIK_INT_SETTING(EventLog, eventLog)
#undef TARVIK_INT_SETTING

std::filesystem::path CSettingsStore::GetInstallFolder() const {
    std::lock_guard lock(valueMutex_);
    return values_->installFolder;
}

CSettingsStore::ViewSwitches CSettingsStore::GetViewSwitches() const {
    std::lock_guard lock(valueMutex_);
    const Values& v = *values_;
    return {v.netIf,       v.reverseLookup, v.showListening,
            v.showInbound, v.showOutbound,  v.showUnknown};
}

int CSettingsStore::GetReverseLookup() const {
    std::lock_guard lock(valueMutex_);
    return values_->reverseLookup;
}

void CSettingsStore::SetReverseLookup(int value) {
    std::lock_guard lock(valueMutex_);
    // Any non-zero value means "on"; the lookup worker needs to hear when it comes on.
    if (value != 0 && values_->reverseLookup == 0) {
        registry_.Broadcast(kMsgReverseLookupOn);
    }
    values_->reverseLookup = value;
}

int CSettingsStore::GetLogEnabled(LogCategory category) const {
    std::lock_guard lock(valueMutex_);
    return values_->logs[Index(category)].enabled;
}
void CSettingsStore::SetLogEnabled(LogCategory category, int value) {
    std::lock_guard lock(valueMutex_);
    values_->logs[Index(category)].enabled = value;
}
int CSettingsStore::GetLogType(LogCategory category) const {
    std::lock_guard lock(valueMutex_);
    return values_->logs[Index(category)].type;
}
void CSettingsStore::SetLogType(LogCategory category, int value) {
    std::lock_guard lock(valueMutex_);
    values_->logs[Index(category)].type = value;
}
int CSettingsStore::GetLogRotation(LogCategory category) const {
    std::lock_guard lock(valueMutex_);
    return values_->logs[Index(category)].rotation;
}
void CSettingsStore::SetLogRotation(LogCategory category, int value) {
    std::lock_guard lock(valueMutex_);
    values_->logs[Index(category)].rotation = value;
}
std::string CSettingsStore::GetLogFolder(LogCategory category) const {
    std::lock_guard lock(valueMutex_);
    return values_->logs[Index(category)].folder;
}
void CSettingsStore::SetLogFolder(LogCategory category, std::string folder) {
    std::lock_guard lock(valueMutex_);
    values_->logs[Index(category)].folder = std::move(folder);
}
PortListPtr CSettingsStore::GetLogPorts(LogCategory category) const {
    std::lock_guard lock(valueMutex_);
    return values_->logs[Index(category)].ports;
}
void CSettingsStore::SetLogPorts(LogCategory category, PortList ports) {
    auto list = std::make_shared<const PortList>(std::move(ports));
    std::lock_guard lock(valueMutex_);
    values_->logs[Index(category)].ports = std::move(list);
}

TextListPtr CSettingsStore::GetIgnoreHosts() const {
    std::lock_guard lock(valueMutex_);
    return values_->ignoreHosts;
}
void CSettingsStore::SetIgnoreHosts(TextList hosts) {
    auto list = std::make_shared<const TextList>(std::move(hosts));
    std::lock_guard lock(valueMutex_);
    values_->ignoreHosts = std::move(list);
}
PortListPtr CSettingsStore::GetIgnorePorts() const {
    std::lock_guard lock(valueMutex_);
    return values_->ignorePorts;
}
PortListPtr CSettingsStore::GetListenPorts() const {
    std::lock_guard lock(valueMutex_);
    return values_->listenPorts;
}
void CSettingsStore::SetListenPorts(PortList ports) {
    auto list = std::make_shared<const PortList>(std::move(ports));
    std::lock_guard lock(valueMutex_);
    values_->listenPorts = std::move(list);
}
TextListPtr CSettingsStore::GetNotificationAddresses() const {
    std::lock_guard lock(valueMutex_);
    return values_->notificationAddresses;
}
void CSettingsStore::SetNotificationAddresses(TextList addresses) {
    auto list = std::make_shared<const TextList>(std::move(addresses));
    std::lock_guard lock(valueMutex_);
    values_->notificationAddresses = std::move(list);
}
std::string CSettingsStore::GetMailHost() const {
    std::lock_guard lock(valueMutex_);
    return values_->mailHost;
}
void CSettingsStore::SetMailHost(std::string host) {
    std::lock_guard lock(valueMutex_);
    values_->mailHost = std::move(host);
}

std::string CSettingsStore::GetProfileString(std::string_view section, std::string_view name,
                                             std::string_view defaultValue) const {
    std::lock_guard lock(valueMutex_);
    std::optional<std::string> value = values_->ini.Get(section, name);
    return value ? std::move(*value) : std::string(defaultValue);
}

bool CSettingsStore::WriteProfileString(std::string_view section, std::string_view name,
                                        std::string_view value) {
    std::lock_guard fileLock(values_->fileMutex);
    std::string text;
    {
        std::lock_guard lock(valueMutex_);
        if (!values_->unreadable.empty() || !values_->ini.Set(section, name, value)) {
            return false;
        }
        text = values_->ini.Render();
    }
    return WriteFileAtomically(file_, text);
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

const std::vector<std::string>& CSettingsStore::ColumnTitles() const {
    return columnTitles_;
}

std::string CSettingsStore::LocalHostName() {
    char name[100] = {};
    if (::gethostname(name, sizeof(name) - 1) != 0) {
        return {};
    }
    return name;
}

void CSettingsStore::SetUserNotifier(std::shared_ptr<IUserNotifier> notifier) {
    std::lock_guard lock(servicesMutex_);
    notifier_ = std::move(notifier);
}

void CSettingsStore::NotifyUser(const std::string& text) const {
    std::shared_ptr<IUserNotifier> notifier;
    {
        std::lock_guard lock(servicesMutex_);
        notifier = notifier_;
    }
    if (notifier) {
        notifier->ShowMessage(text);
    }
}

void CSettingsStore::SetBalloonSink(std::shared_ptr<IBalloonSink> sink) {
    std::lock_guard lock(servicesMutex_);
    balloon_ = std::move(sink);
}

bool CSettingsStore::ShowBalloon(const std::string& title, const std::string& text,
                                 int timeoutSeconds) const {
    std::shared_ptr<IBalloonSink> sink;
    {
        std::lock_guard lock(servicesMutex_);
        sink = balloon_;
    }
    return sink && sink->ShowBalloon(title, text, timeoutSeconds);
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
