// tarvikd: the headless monitor, and a one-shot connection list for scripts.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "acquisition/KernelTableSource.h"
#include "acquisition/ProcessTable.h"
#include "acquisition/ServicesDatabase.h"
#include "app/CommandLine.h"
#include "app/HeadlessMonitor.h"
#include "app/ListCommand.h"
#include "base/Allocator.h"
#include "settings/ConfigPrinter.h"
#include "settings/SettingsStore.h"

namespace {

std::filesystem::path SettingsFile(const tarvik::CommandLine& line) {
    return line.configFile.empty() ? tarvik::CSettingsStore::DefaultFile()
                                   : std::filesystem::path(line.configFile);
}

}  // namespace

int main(int argc, char** argv) {
    tarvik::KeepLargeBlocksMapped();
    using tarvik::CommandLine;
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    const auto line = tarvik::ParseCommandLine(args, &error);
    if (!line) {
        std::fprintf(stderr, "%s\n", tarvik::UsageErrorLine("tarvikd", error).c_str());
        return 2;
    }
    switch (line->action) {
        case CommandLine::Action::Help:
            std::fputs(tarvik::UsageText("tarvikd").c_str(), stdout);
            return 0;
        case CommandLine::Action::Version:
            std::printf("tarvikd %s\n", TARVIK_VERSION);
            return 0;
        case CommandLine::Action::List: {
            const auto source = tarvik::OpenKernelTableSource();
            // One look, so one whole pass: no bound that would leave owners for a next poll.
            constexpr std::size_t kAll = tarvik::CProcessTable::kUnbounded;
            tarvik::CProcessTable processes("/proc", kAll, kAll);
            return tarvik::RunListCommand(*source, *tarvik::CServicesDatabase::Shared(), std::cout,
                                          std::cerr, line->format, &processes, line->filter);
        }
        case CommandLine::Action::PrintConfig: {
            const std::filesystem::path file = SettingsFile(*line);
            std::error_code ec;
            const bool exists = std::filesystem::exists(file, ec) || ec;
            tarvik::CSettingsStore settings(file, [] { return std::vector<std::string>{}; });
            // What the monitor would say of this file at its start; a missing file it would
            // create, so that is no warning; one it cannot even look at is.
            if (exists) {
                for (const std::string& warning :
                     tarvik::SettingsWarningLines(file, settings.LoadWarnings())) {
                    std::fprintf(stderr, "%s\n", warning.c_str());
                }
            }
            std::cout << tarvik::RenderConfig(settings);
            return 0;
        }
        case CommandLine::Action::Monitor:
            break;
    }
    tarvik::HeadlessOptions options;
    options.configFile = SettingsFile(*line);
    options.trace = line->trace;
    options.showRows = line->showRows;
    options.events = line->events;
    options.acquisition = line->acquisition;
    options.socket = line->socket;
    options.eventFormat = line->eventFormat;
    return tarvik::RunHeadlessMonitor(options);
}
