#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "settings/IniFile.h"

namespace tarvik {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Optional;

TEST(IniFile, RendersWhatItReadUnchanged) {
    const std::string text =
        "; written by hand\n"
        "\n"
        "[View]\n"
        "  reverselookup = 0  \n"
        "# another comment\n"
        "this line means nothing\n"
        "[Mine]\n"
        "key=\"quoted \\\" value\"\n";
    std::vector<std::string> warnings;
    CIniFile ini = CIniFile::Parse(text, &warnings);
    EXPECT_EQ(ini.Render(), text);
    EXPECT_THAT(ini.Get("View", "reverselookup"), Optional(std::string("0")));
    EXPECT_THAT(ini.Get("Mine", "key"), Optional(std::string("quoted \" value")));
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_THAT(warnings[0], HasSubstr("line 6"));
}

TEST(IniFile, MalformedLinesAreReportedAndSkipped) {
    std::vector<std::string> warnings;
    CIniFile ini = CIniFile::Parse(
        "orphan=1\n"
        "[General\n"
        "afterbad=2\n"
        "[General]\n"
        "=3\n"
        "open=\"no end\n"
        "escape=\"bad \\q\"\n"
        "netif=4\r\n"
        "NETIF=5\n",
        &warnings);
    EXPECT_EQ(warnings.size(), 6u);
    EXPECT_EQ(ini.Get("General", "orphan"), std::nullopt);
    EXPECT_EQ(ini.Get("General", "afterbad"), std::nullopt);
    EXPECT_EQ(ini.Get("General", "open"), std::nullopt);
    EXPECT_EQ(ini.Get("General", "escape"), std::nullopt);
    // Names match without regard to case, and the last duplicate wins.
    EXPECT_THAT(ini.Get("general", "netif"), Optional(std::string("5")));
}

TEST(IniFile, StrayCarriageReturnsAreDroppedOnce) {
    // A line end of CR CR LF: a CR kept in the line would be taken for the line end at the
    // next load, and every save would change the file again.
    const CIniFile first = CIniFile::Parse("junk\r\r\n[View]\r\r\r\nshowinbound=0\r\r\n");
    const std::string rendered = first.Render();
    EXPECT_EQ(rendered, "junk\n[View]\nshowinbound=0\n");
    EXPECT_EQ(CIniFile::Parse(rendered).Render(), rendered);
    EXPECT_THAT(first.Get("View", "showinbound"), Optional(std::string("0")));
}

TEST(IniFile, ValuesRoundTripExactly) {
    const std::vector<std::string> values = {"",
                                             "0.0.0.0, 127.0.0.1",
                                             " both ends ",
                                             "\"leading quote",
                                             "tab\tinside",
                                             "back\\slash",
                                             "ends with quote\"",
                                             "a;b#c=d",
                                             "\x01\x7f",
                                             "C:\\logs\\"};
    CIniFile ini;
    for (std::size_t i = 0; i < values.size(); ++i) {
        ASSERT_TRUE(ini.Set("S", "v" + std::to_string(i), values[i]));
    }
    std::vector<std::string> warnings;
    CIniFile back = CIniFile::Parse(ini.Render(), &warnings);
    EXPECT_THAT(warnings, IsEmpty());
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_THAT(back.Get("S", "v" + std::to_string(i)), Optional(values[i])) << i;
    }
    // Plain values stay plain: paths and lists are written as a person would write them.
    EXPECT_THAT(ini.Render(), HasSubstr("\nv5=back\\slash\n"));
    EXPECT_THAT(ini.Render(), HasSubstr("\nv1=0.0.0.0, 127.0.0.1\n"));
}

TEST(IniFile, AValueCannotInjectLines) {
    CIniFile ini;
    ASSERT_TRUE(ini.Set("View", "columnwidths", "1\n[Evil]\nkey=1\r\n"));
    const std::string text = ini.Render();
    EXPECT_EQ(text, "[View]\ncolumnwidths=\"1\\n[Evil]\\nkey=1\\r\\n\"\n");
    CIniFile back = CIniFile::Parse(text);
    EXPECT_EQ(back.Get("Evil", "key"), std::nullopt);
    EXPECT_THAT(back.Get("View", "columnwidths"), Optional(std::string("1\n[Evil]\nkey=1\r\n")));
}

TEST(IniFile, NamesThatCannotBeWrittenAreRefused) {
    CIniFile ini;
    EXPECT_FALSE(ini.Set("", "a", "1"));
    EXPECT_FALSE(ini.Set("A]", "a", "1"));
    EXPECT_FALSE(ini.Set("A\nB", "a", "1"));
    EXPECT_FALSE(ini.Set("A", "", "1"));
    EXPECT_FALSE(ini.Set("A", "a=b", "1"));
    EXPECT_FALSE(ini.Set("A", "[a", "1"));
    EXPECT_FALSE(ini.Set("A", ";a", "1"));
    EXPECT_FALSE(ini.Set("A", " a", "1"));
    EXPECT_EQ(ini.Render(), "");
}

TEST(IniFile, SetReplacesInPlaceAndAddsToTheRightSection) {
    CIniFile ini = CIniFile::Parse(
        "; top\n"
        "[A]\n"
        "x=1\n"
        "\n"
        "[B]\n"
        "y=2\n");
    ASSERT_TRUE(ini.Set("a", "X", "10"));  // replaces, keeps the file's spelling of the section
    ASSERT_TRUE(ini.Set("A", "z", "3"));
    ASSERT_TRUE(ini.Set("C", "w", "4"));
    EXPECT_EQ(ini.Render(),
              "; top\n"
              "[A]\n"
              "X=10\n"
              "z=3\n"
              "\n"
              "[B]\n"
              "y=2\n"
              "\n"
              "[C]\n"
              "w=4\n");
}

TEST(IniFile, HexEscapes) {
    EXPECT_THAT(CIniFile::DecodeValue("\"\\x41\\x7f\""), Optional(std::string("A\x7f")));
    EXPECT_EQ(CIniFile::DecodeValue("\"\\x4\""), std::nullopt);
    EXPECT_EQ(CIniFile::DecodeValue("\"\\xzz\""), std::nullopt);
    EXPECT_EQ(CIniFile::DecodeValue("\"a\"b\""), std::nullopt);
    EXPECT_EQ(CIniFile::DecodeValue("\""), std::nullopt);
    EXPECT_THAT(CIniFile::DecodeValue("plain \"inner\""), Optional(std::string("plain \"inner\"")));
}

}  // namespace
}  // namespace tarvik
