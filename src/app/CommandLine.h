#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/EventSource.h"
#include "app/EventFormat.h"
#include "app/ListCommand.h"
#include "app/ListFilter.h"

namespace tarvik {

struct CommandLine {
    enum class Action { Monitor, List, PrintConfig, Help, Version };
    Action action = Action::Monitor;
    ListFormat format = ListFormat::Text;
    std::string configFile;  // empty: the default settings file
    bool trace = false;      // diagnostic trace lines to standard error
    bool showRows = false;   // print list changes to standard output
    bool events = false;     // JSON Lines of opened and ended connections and alerts on stdout
    ListFilter filter;       // the rows --list prints
    std::optional<AcquisitionMode> acquisition;  // none: the settings file's
    std::optional<std::string> socket;           // none: the settings file's; "none": off
    std::optional<EventFormat> eventFormat;      // none: the settings file's
};

// Parses tarvikd's arguments. On a usage error returns std::nullopt with the reason in `error`.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                            std::string* error);

// "--name=value" or "--name value": the value, advancing `index` past a separate value.
std::optional<std::string> OptionValue(const std::vector<std::string>& args, std::size_t& index,
                                       std::string_view name);
std::optional<ListFormat> ParseListFormat(std::string_view text);
// One of the --list filters at args[i], or false with the reason when its value is bad. Sets
// `matched` when the argument names a filter at all.
bool ParseFilterOption(const std::vector<std::string>& args, std::size_t& i, ListFilter& filter,
                       bool& matched, std::string* error);

// A one-letter spelling of a long option: "-c FILE" and "-cFILE" for "--config", or a letter
// that stands for the long option with a fixed value ("-4" for "--family=4").
struct ShortOption {
    char letter;
    std::string_view longName;
    bool takesValue = false;
    std::string_view fixedValue = {};
};

// The arguments with each short option written as its long form, so that one parser reads
// both. Arguments after "--", values of options, unknown letters and arguments `keep` names
// (another library's options, such as "-style") stay as they are.
std::vector<std::string> ExpandShortOptions(const std::vector<std::string>& args,
                                            std::span<const ShortOption> options,
                                            const std::function<bool(std::string_view)>& keep = {});

// tarvikd's short options.
std::span<const ShortOption> MonitorShortOptions();

// The one line a usage error prints: the reason and where the options are explained.
std::string UsageErrorLine(const std::string& program, const std::string& error);

// The --help text.
std::string UsageText(const std::string& program);

}  // namespace tarvik
