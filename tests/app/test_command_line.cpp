#include <gtest/gtest.h>

#include "app/CommandLine.h"

namespace tarvik {
namespace {

std::optional<CommandLine> Parse(std::vector<std::string> args, std::string* error = nullptr) {
    std::string ignored;
    return ParseCommandLine(args, error ? error : &ignored);
}

TEST(CommandLineTest, NoArgumentsRunsTheMonitorWithTheDefaultSettings) {
    const auto line = Parse({});
    ASSERT_TRUE(line);
    EXPECT_EQ(line->action, CommandLine::Action::Monitor);
    EXPECT_TRUE(line->configFile.empty());
    EXPECT_FALSE(line->trace);
}

TEST(CommandLineTest, ListTakesAFormatInBothSpellings) {
    auto line = Parse({"--list", "--format=csv"});
    ASSERT_TRUE(line);
    EXPECT_EQ(line->action, CommandLine::Action::List);
    EXPECT_EQ(line->format, ListFormat::Csv);

    line = Parse({"--format", "json", "--list"});
    ASSERT_TRUE(line);
    EXPECT_EQ(line->format, ListFormat::Json);

    line = Parse({"--list"});
    ASSERT_TRUE(line);
    EXPECT_EQ(line->format, ListFormat::Text);
}

TEST(CommandLineTest, ConfigTakesAFileInBothSpellings) {
    EXPECT_EQ(Parse({"--config", "/tmp/a.conf"})->configFile, "/tmp/a.conf");
    EXPECT_EQ(Parse({"--config=/tmp/b.conf", "--trace"})->configFile, "/tmp/b.conf");
}

TEST(CommandLineTest, RejectsWhatItDoesNotKnow) {
    std::string error;
    EXPECT_FALSE(Parse({"--frobnicate"}, &error));
    EXPECT_EQ(error, "unknown option '--frobnicate'");
    EXPECT_FALSE(Parse({"--config"}, &error));
    EXPECT_EQ(error, "--config needs a file name");
    EXPECT_FALSE(Parse({"--list", "--format=xml"}, &error));
    EXPECT_FALSE(Parse({"--format=csv"}, &error));
    EXPECT_EQ(error, "--format applies to --list only");
    EXPECT_FALSE(Parse({"list"}, &error));
}

TEST(CommandLineTest, ListFiltersAreCollectedInBothSpellings) {
    const auto line = Parse({"--list", "--state", "established", "--state=TimeWait", "--port", "22",
                             "--port=443", "--family", "6", "--category=inbound"});
    ASSERT_TRUE(line);
    EXPECT_EQ(line->filter.states,
              (std::vector<TcpState>{TcpState::Established, TcpState::TimeWait}));
    EXPECT_EQ(line->filter.ports, (std::vector<int>{22, 443}));
    EXPECT_EQ(line->filter.families, std::vector<AddressFamily>{AddressFamily::Ipv6});
    EXPECT_EQ(line->filter.categories, std::vector<Category>{Category::Inbound});
}

TEST(CommandLineTest, BadFilterValuesAreUsageErrorsThatNameTheValue) {
    const std::vector<std::vector<std::string>> bad = {
        {"--list", "--state", "establishd"}, {"--list", "--state"},
        {"--list", "--port", "65536"},       {"--list", "--port=-1"},
        {"--list", "--port", "22x"},         {"--list", "--port="},
        {"--list", "--family", "5"},         {"--list", "--category", "listen"},
    };
    for (const auto& args : bad) {
        std::string error;
        EXPECT_FALSE(Parse(args, &error)) << args.back();
        EXPECT_FALSE(error.empty()) << args.back();
    }
    std::string error;
    EXPECT_FALSE(Parse({"--list", "--state", "establishd"}, &error));
    EXPECT_NE(error.find("'establishd'"), std::string::npos) << error;
    EXPECT_FALSE(Parse({"--list", "--family", "5"}, &error));
    EXPECT_NE(error.find("4 or 6"), std::string::npos) << error;
}

TEST(CommandLineTest, FiltersAndEventsApplyToTheirOwnAction) {
    std::string error;
    EXPECT_FALSE(Parse({"--port", "22"}, &error));
    EXPECT_NE(error.find("--list only"), std::string::npos) << error;
    EXPECT_FALSE(Parse({"--list", "--events"}, &error));
    EXPECT_FALSE(Parse({"--events", "--show-rows"}, &error));
    EXPECT_NE(error.find("together"), std::string::npos) << error;

    const auto line = Parse({"--events", "--config", "/tmp/a.conf"});
    ASSERT_TRUE(line);
    EXPECT_EQ(line->action, CommandLine::Action::Monitor);
    EXPECT_TRUE(line->events);
}

TEST(CommandLineTest, AcquisitionTakesAModeInBothSpellingsForTheMonitorOnly) {
    EXPECT_FALSE(Parse({})->acquisition);
    EXPECT_EQ(Parse({"--acquisition=destroy"})->acquisition, AcquisitionMode::Destroy);
    EXPECT_EQ(Parse({"--acquisition", "poll"})->acquisition, AcquisitionMode::Poll);
    EXPECT_EQ(Parse({"--acquisition=auto"})->acquisition, AcquisitionMode::Auto);
    EXPECT_EQ(Parse({"--acquisition=events", "--trace"})->acquisition, AcquisitionMode::Events);

    std::string error;
    EXPECT_FALSE(Parse({"--acquisition=ebpf"}, &error));
    EXPECT_EQ(error, "--acquisition must be auto, events, destroy or poll");
    EXPECT_FALSE(Parse({"--acquisition"}, &error));
    EXPECT_EQ(error, "--acquisition must be auto, events, destroy or poll");
    EXPECT_FALSE(Parse({"--list", "--acquisition=poll"}, &error));
    EXPECT_EQ(error, "--acquisition applies to the running monitor only");
}

TEST(CommandLineTest, ShortOptionsMeanTheirLongForms) {
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> expanded;
    } cases[] = {
        {{"-c", "/tmp/a.conf", "-t"}, {"--config=/tmp/a.conf", "--trace"}},
        {{"-c/tmp/b.conf"}, {"--config=/tmp/b.conf"}},
        {{"-l", "-f", "csv", "-p", "22", "-6"},
         {"--list", "--format=csv", "--port=22", "--family=6"}},
        {{"-c", "-dash.conf"}, {"--config=-dash.conf"}},  // a value may start with a dash
        {{"-c"}, {"--config"}},                           // the parser names the missing value
        {{"-x", "-lt", "--", "-l"}, {"-x", "-lt", "--", "-l"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ExpandShortOptions(c.args, MonitorShortOptions()), c.expanded) << c.args[0];
    }
    EXPECT_EQ(Parse({"-h"})->action, CommandLine::Action::Help);
    EXPECT_EQ(Parse({"-V"})->action, CommandLine::Action::Version);
    EXPECT_EQ(Parse({"-l", "-4"})->filter.families,
              std::vector<AddressFamily>{AddressFamily::Ipv4});
    std::string error;
    EXPECT_FALSE(Parse({"-x"}, &error));
    EXPECT_EQ(UsageErrorLine("tarvikd", error),
              "tarvikd: unknown option '-x' (see tarvikd --help)");
    EXPECT_FALSE(Parse({"-c"}, &error));
    EXPECT_EQ(error, "--config needs a file name");
}

TEST(CommandLineTest, EventFormatIsTarvikOrEcsForTheMonitorOnly) {
    EXPECT_FALSE(Parse({})->eventFormat);
    EXPECT_EQ(Parse({"-e", "--event-format=ecs"})->eventFormat, EventFormat::Ecs);
    EXPECT_EQ(Parse({"--event-format", "tarvik"})->eventFormat, EventFormat::Tarvik);
    std::string error;
    EXPECT_FALSE(Parse({"--event-format=gelf"}, &error));
    EXPECT_EQ(error, "--event-format must be tarvik or ecs");
    EXPECT_FALSE(Parse({"-l", "--event-format=ecs"}, &error));
}

TEST(CommandLineTest, UsageNamesEveryOption) {
    const std::string usage = UsageText("tarvikd");
    for (const char* option : {"--config", "--list", "--format", "--print-config", "--trace",
                               "--help", "--version", "--acquisition=auto|events|destroy|poll",
                               "--event-format", "-c, --config", "-l, --list", "-V, --version"}) {
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    }
}

}  // namespace
}  // namespace tarvik
