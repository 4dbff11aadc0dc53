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

TEST(CommandLineTest, UsageNamesEveryOption) {
    const std::string usage = UsageText("tarvikd");
    for (const char* option :
         {"--config", "--list", "--format", "--print-config", "--trace", "--help", "--version"}) {
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    }
}

}  // namespace
}  // namespace tarvik
