#include "app/CommandLine.h"

#include <charconv>
#include <string_view>

namespace tarvik {

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::vector<std::string> ExpandShortOptions(const std::vector<std::string>& args,
                                            std::span<const ShortOption> options,
                                            const std::function<bool(std::string_view)>& keep) {
    std::vector<std::string> expanded;
    expanded.reserve(args.size());
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const ShortOption* found = nullptr;
        if (!optionsEnded && arg.size() >= 2 && arg[0] == '-' && arg[1] != '-' &&
            !(keep && keep(arg))) {
            for (const ShortOption& option : options) {
                if (option.letter == arg[1]) {
                    found = &option;
                }
            }
        }
        optionsEnded = optionsEnded || arg == "--";
        if (found == nullptr || (arg.size() > 2 && !found->takesValue)) {
            expanded.push_back(arg);
        } else if (!found->fixedValue.empty()) {
            expanded.push_back(std::string(found->longName) + "=" + std::string(found->fixedValue));
        } else if (!found->takesValue) {
            expanded.emplace_back(found->longName);
        } else if (arg.size() > 2) {
            expanded.push_back(std::string(found->longName) + "=" + arg.substr(2));
        } else if (i + 1 < args.size()) {
            // The next argument is the value even when it starts with '-'.
            expanded.push_back(std::string(found->longName) + "=" + args[++i]);
        } else {
            expanded.emplace_back(found->longName);  // the parser reports the missing value
        }
    }
    return expanded;
}

std::span<const ShortOption> MonitorShortOptions() {
    static constexpr ShortOption kOptions[] = {
        {'h', "--help"},
        {'V', "--version"},
        {'c', "--config", true},
        {'l', "--list"},
        {'f', "--format", true},
        {'p', "--port", true},
        {'4', "--family", false, "4"},
        {'6', "--family", false, "6"},
        {'s', "--socket", true},
        {'t', "--trace"},
        {'e', "--events"},
    };
    return kOptions;
}

std::string UsageErrorLine(const std::string& program, const std::string& error) {
    return program + ": " + error + " (see " + program + " --help)";
}

std::optional<std::string> OptionValue(const std::vector<std::string>& args, std::size_t& index,
                                       std::string_view name) {
    const std::string& arg = args[index];
    if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 &&
        arg[name.size()] == '=') {
        return arg.substr(name.size() + 1);
    }
    if (arg == name && index + 1 < args.size()) {
        return args[++index];
    }
    return std::nullopt;
}

std::optional<ListFormat> ParseListFormat(std::string_view text) {
    if (text == "text") {
        return ListFormat::Text;
    }
    if (text == "csv") {
        return ListFormat::Csv;
    }
    if (text == "json") {
        return ListFormat::Json;
    }
    return std::nullopt;
}

namespace {

std::optional<int> ParsePort(std::string_view text) {
    int port = -1;
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (status != std::errc() || end != text.data() + text.size() || port < 0 || port > 65535) {
        return std::nullopt;
    }
    return port;
}

std::optional<AddressFamily> ParseFamily(std::string_view text) {
    if (text == "4" || text == "inet") {
        return AddressFamily::Ipv4;
    }
    if (text == "6" || text == "inet6") {
        return AddressFamily::Ipv6;
    }
    return std::nullopt;
}

}  // namespace

bool ParseFilterOption(const std::vector<std::string>& args, std::size_t& i, ListFilter& filter,
                       bool& matched, std::string* error) {
    const std::string& arg = args[i];
    matched = true;
    auto value = [&](std::string_view name) -> std::string {
        auto found = OptionValue(args, i, name);
        return found ? *found : std::string();
    };
    if (StartsWith(arg, "--state")) {
        const std::string text = value("--state");
        const auto state = ParseStateName(text, Protocol::Udp);
        if (!state) {
            *error = "unknown state '" + text +
                     "' (established, syn-sent, syn-recv, fin-wait-1, fin-wait-2, time-wait, "
                     "closed, close-wait, last-ack, listening, closing, unconn, estab, or a "
                     "state name such as TimeWait)";
            return false;
        }
        filter.states.push_back(*state);
    } else if (StartsWith(arg, "--port")) {
        const std::string text = value("--port");
        const auto port = ParsePort(text);
        if (!port) {
            *error = "--port needs a port number from 0 to 65535, not '" + text + "'";
            return false;
        }
        filter.ports.push_back(*port);
    } else if (StartsWith(arg, "--family")) {
        const std::string text = value("--family");
        const auto family = ParseFamily(text);
        if (!family) {
            *error = "--family must be 4 or 6, not '" + text + "'";
            return false;
        }
        filter.families.push_back(*family);
    } else if (StartsWith(arg, "--protocol")) {
        const std::string text = value("--protocol");
        const auto protocol = ParseProtocolWord(text);
        if (!protocol) {
            *error = "--protocol must be tcp or udp, not '" + text + "'";
            return false;
        }
        filter.protocols.push_back(*protocol);
    } else if (StartsWith(arg, "--category")) {
        const std::string text = value("--category");
        const auto category = ParseCategoryWord(text);
        if (!category) {
            *error =
                "--category must be listening, inbound, outbound or unknown, not '" + text + "'";
            return false;
        }
        filter.categories.push_back(*category);
    } else {
        matched = false;
    }
    return true;
}

namespace {

bool HasFilter(const ListFilter& filter) {
    return !filter.states.empty() || !filter.ports.empty() || !filter.families.empty() ||
           !filter.categories.empty() || !filter.protocols.empty();
}

}  // namespace

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& given,
                                            std::string* error) {
    const std::vector<std::string> args = ExpandShortOptions(given, MonitorShortOptions());
    CommandLine line;
    bool formatGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help") {
            line.action = CommandLine::Action::Help;
        } else if (arg == "--version") {
            line.action = CommandLine::Action::Version;
        } else if (arg == "--list") {
            line.action = CommandLine::Action::List;
        } else if (arg == "--print-config") {
            line.action = CommandLine::Action::PrintConfig;
        } else if (arg == "--trace") {
            line.trace = true;
        } else if (arg == "--show-rows") {
            line.showRows = true;
        } else if (arg == "--events") {
            line.events = true;
        } else if (StartsWith(arg, "--event-format")) {
            auto value = OptionValue(args, i, "--event-format");
            auto format = value ? ParseEventFormat(*value) : std::nullopt;
            if (!format) {
                *error = "--event-format must be tarvik or ecs";
                return std::nullopt;
            }
            line.eventFormat = *format;
        } else if (StartsWith(arg, "--config")) {
            auto value = OptionValue(args, i, "--config");
            if (!value || value->empty()) {
                *error = "--config needs a file name";
                return std::nullopt;
            }
            line.configFile = *value;
        } else if (StartsWith(arg, "--acquisition")) {
            auto value = OptionValue(args, i, "--acquisition");
            auto mode = value ? ParseAcquisitionMode(*value) : std::nullopt;
            if (!mode) {
                *error = "--acquisition must be auto, events, destroy or poll";
                return std::nullopt;
            }
            line.acquisition = *mode;
        } else if (StartsWith(arg, "--socket")) {
            auto value = OptionValue(args, i, "--socket");
            if (!value || value->empty()) {
                *error = "--socket needs a path, or none";
                return std::nullopt;
            }
            line.socket = *value;
        } else if (StartsWith(arg, "--format")) {
            auto value = OptionValue(args, i, "--format");
            auto format = value ? ParseListFormat(*value) : std::nullopt;
            if (!format) {
                *error = "--format must be text, csv or json";
                return std::nullopt;
            }
            line.format = *format;
            formatGiven = true;
        } else {
            bool matched = false;
            if (!ParseFilterOption(args, i, line.filter, matched, error)) {
                return std::nullopt;
            }
            if (!matched) {
                *error = "unknown option '" + arg + "'";
                return std::nullopt;
            }
        }
    }
    if (formatGiven && line.action != CommandLine::Action::List) {
        *error = "--format applies to --list only";
        return std::nullopt;
    }
    if (HasFilter(line.filter) && line.action != CommandLine::Action::List) {
        *error = "--state, --port, --family, --protocol and --category apply to --list only";
        return std::nullopt;
    }
    if (line.events && line.action != CommandLine::Action::Monitor) {
        *error = "--events applies to the running monitor only";
        return std::nullopt;
    }
    if (line.eventFormat && line.action != CommandLine::Action::Monitor) {
        *error = "--event-format applies to the running monitor only";
        return std::nullopt;
    }
    if (line.acquisition && line.action != CommandLine::Action::Monitor) {
        *error = "--acquisition applies to the running monitor only";
        return std::nullopt;
    }
    if (line.socket && line.action != CommandLine::Action::Monitor) {
        *error = "--socket applies to the running monitor only";
        return std::nullopt;
    }
    if (line.events && line.showRows) {
        // Both write standard output; a shipper reading JSON Lines must see nothing else.
        *error = "--events and --show-rows cannot be used together";
        return std::nullopt;
    }
    return line;
}

std::string UsageText(const std::string& program) {
    return "Usage: " + program +
           " [-c FILE] [-t] [--show-rows | -e [--event-format=tarvik|ecs]]\n"
           "              [--acquisition=auto|events|destroy|poll] [-s PATH|none]\n"
           "       " +
           program +
           " -l [-f text|csv|json] [--state NAME] [-p N] [-4|-6] [--protocol tcp|udp]\n"
           "              [--category listening|inbound|outbound|unknown]\n"
           "       " +
           program +
           " --print-config [-c FILE]\n"
           "\n"
           "Watches the machine's TCP connections, logs ended connections and detects port\n"
           "scans, without a window. Stops cleanly on SIGINT or SIGTERM; SIGHUP rereads the\n"
           "settings file.\n"
           "\n"
           "  -c, --config FILE  settings file (default: $TARVIK_CONFIG, else\n"
           "                  $XDG_CONFIG_HOME/Corvane/Tarvik.conf)\n"
           "  -l, --list      print the classified connection table once and exit\n"
           "  -f, --format FMT  table format for --list: text (default), csv or json\n"
           "  --state NAME    --list: only rows in this state (established, syn-sent,\n"
           "                  syn-recv, fin-wait-1, fin-wait-2, time-wait, closed,\n"
           "                  close-wait, last-ack, listening, closing); repeatable\n"
           "  -p, --port N    --list: only rows with this local or remote port; repeatable\n"
           "  -4, -6, --family 4|6  --list: only IPv4 or IPv6 rows\n"
           "  --protocol P    --list: only tcp or udp rows (UDP states: unconn, estab)\n"
           "  --category CAT  --list: only listening, inbound, outbound or unknown rows\n"
           "  --print-config  print the settings in effect, every value, and exit\n"
           "  -t, --trace     print diagnostic trace lines to standard error\n"
           "  --show-rows     print every change to the connection list\n"
           "  -e, --events    print opened and ended connections and scan alerts to\n"
           "                  standard output as JSON Lines\n"
           "  --event-format FMT\n"
           "                  the event objects of --events and [Export] eventsfile:\n"
           "                  tarvik (default: the settings file's [Export] eventformat)\n"
           "                  or ecs (Elastic Common Schema field names)\n"
           "  --acquisition MODE\n"
           "                  how connections are followed (default: the settings file's\n"
           "                  [General] acquisition, else auto): events (eBPF, needs\n"
           "                  CAP_BPF and CAP_PERFMON), destroy (the kernel's notice of\n"
           "                  each ended socket, no privilege), poll (a table dump every\n"
           "                  750 ms, misses shorter connections) or auto (the first of\n"
           "                  these that runs here)\n"
           "  -s, --socket PATH  the control socket tarvikctl and the window read (default:\n"
           "                  the settings file's [General] socket, else\n"
           "                  /run/tarvik/tarvikd.sock for root and\n"
           "                  $XDG_RUNTIME_DIR/tarvik/tarvikd.sock for a user); none: no socket\n"
           "  -h, --help      show this help\n"
           "  -V, --version   show the version\n";
}

}  // namespace tarvik
