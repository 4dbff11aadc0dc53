#include "app/CommandLine.h"

#include <string_view>

namespace tarvik {

namespace {

// "--name=value" or "--name value": the value, advancing `index` past a separate value.
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

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::optional<ListFormat> ParseFormat(std::string_view text) {
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

}  // namespace

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                            std::string* error) {
    CommandLine line;
    bool formatGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
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
        } else if (StartsWith(arg, "--config")) {
            auto value = OptionValue(args, i, "--config");
            if (!value || value->empty()) {
                *error = "--config needs a file name";
                return std::nullopt;
            }
            line.configFile = *value;
        } else if (StartsWith(arg, "--format")) {
            auto value = OptionValue(args, i, "--format");
            auto format = value ? ParseFormat(*value) : std::nullopt;
            if (!format) {
                *error = "--format must be text, csv or json";
                return std::nullopt;
            }
            line.format = *format;
            formatGiven = true;
        } else {
            *error = "unknown option '" + arg + "'";
            return std::nullopt;
        }
    }
    if (formatGiven && line.action != CommandLine::Action::List) {
        *error = "--format applies to --list only";
        return std::nullopt;
    }
    return line;
}

std::string UsageText(const std::string& program) {
    return "Usage: " + program +
           " [--config FILE] [--trace] [--show-rows]\n"
           "       " +
           program +
           " --list [--format=text|csv|json]\n"
           "       " +
           program +
           " --print-config [--config FILE]\n"
           "\n"
           "Watches the machine's TCP connections, logs ended connections and detects port\n"
           "scans, without a window. Stops cleanly on SIGINT or SIGTERM; SIGHUP rereads the\n"
           "settings file.\n"
           "\n"
           "  --config FILE   settings file (default: $TARVIK_CONFIG, else\n"
           "                  $XDG_CONFIG_HOME/Corvane/Tarvik.conf)\n"
           "  --list          print the classified connection table once and exit\n"
           "  --format FMT    table format for --list: text (default), csv or json\n"
           "  --print-config  print the settings in effect, every value, and exit\n"
           "  --trace         print diagnostic trace lines to standard error\n"
           "  --show-rows     print every change to the connection list\n"
           "  --help          show this help\n"
           "  --version       show the version\n";
}

}  // namespace tarvik
