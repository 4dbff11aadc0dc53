#include <gtest/gtest.h>

#include <utility>

#include "ui/model/RowRules.h"

namespace tarvik {
namespace {

CConnectionRecord Row(std::string host, int localPort = 5000,
                      TcpState state = TcpState::Established) {
    CConnectionRecord record;
    record.hostName = std::move(host);
    record.localPort = localPort;
    record.remotePort = 40000;
    record.state = state;
    return record;
}

TEST(SortKey, SameHeadingTogglesAndAnotherHeadingStartsAscending) {
    int key = 0;
    key = NextSortKey(key, 2);
    EXPECT_EQ(key, 3);
    key = NextSortKey(key, 2);
    EXPECT_EQ(key, -3);
    key = NextSortKey(key, 2);
    EXPECT_EQ(key, 3);
    key = NextSortKey(key, 0);
    EXPECT_EQ(key, 1);
    EXPECT_EQ(NextSortKey(-1, 0), 1);
}

TEST(CompareRecords, BeforeAnyClickHostNamesDescendLowerCaseFirst) {
    EXPECT_LT(CompareRecords(Row("beta"), Row("Zulu"), 0), 0);
    EXPECT_LT(CompareRecords(Row("b"), Row("a"), 0), 0);
    EXPECT_EQ(CompareRecords(Row("a"), Row("a"), 0), 0);
}

TEST(CompareRecords, EqualPortsFallBackToHostNameInKeyDirection) {
    const int localPortAscending = static_cast<int>(Column::LocalPort) + 1;
    EXPECT_LT(CompareRecords(Row("a", 80), Row("b", 80), localPortAscending), 0);
    EXPECT_GT(CompareRecords(Row("a", 80), Row("b", 80), -localPortAscending), 0);
    EXPECT_LT(CompareRecords(Row("z", 22), Row("a", 80), localPortAscending), 0);
    EXPECT_GT(CompareRecords(Row("z", 22), Row("a", 80), -localPortAscending), 0);
}

TEST(CompareRecords, TextsAreBytesAndPortsNumbers) {
    CConnectionRecord a = Row("h");
    CConnectionRecord b = Row("h");
    a.ipAddress = "10.0.0.10";
    b.ipAddress = "10.0.0.2";
    const int ipAscending = static_cast<int>(Column::IpAddress) + 1;
    EXPECT_LT(CompareRecords(a, b, ipAscending), 0);

    // Bytes above 0x7f sort after ASCII, as unsigned.
    EXPECT_GT(CompareRecords(Row("\xe9t"), Row("zz"), 1), 0);

    // A listening row sorts by its stored remote port although it shows "n/a".
    CConnectionRecord listening = Row("h", 80, TcpState::Listen);
    listening.remotePort = 9;
    const int remoteAscending = static_cast<int>(Column::RemotePort) + 1;
    EXPECT_LT(CompareRecords(listening, Row("h"), remoteAscending), 0);
    EXPECT_EQ(ColumnText(listening, Column::RemotePort), "n/a");

    // 9 < 10 numerically although "10" < "9" as text.
    EXPECT_LT(CompareRecords(Row("h", 9), Row("h", 10), static_cast<int>(Column::LocalPort) + 1),
              0);
}

TEST(RowColour, ListeningThenWellKnownPortThenOther) {
    EXPECT_EQ(RowColour(Row("h", 80, TcpState::Listen)), (Rgb{80, 80, 80}));
    EXPECT_EQ(RowColour(Row("h", 5000, TcpState::Listen)), (Rgb{80, 80, 80}));
    EXPECT_EQ(RowColour(Row("h", 80)), (Rgb{230, 10, 10}));
    EXPECT_EQ(RowColour(Row("h", 1023)), (Rgb{230, 10, 10}));
    EXPECT_EQ(RowColour(Row("h", 1024)), (Rgb{128, 128, 255}));
}

TEST(ColumnWidths, StoresEachWidthWithTrailingComma) {
    EXPECT_EQ(FormatColumnWidths({100, 100, 100, 100, 100, 100, 100}),
              "100,100,100,100,100,100,100,");
    EXPECT_EQ(FormatColumnWidths({}), "");
}

TEST(ColumnWidths, OnlyPositiveNumericFieldsRestore) {
    const std::string text = "120,,abc,0,-5";
    EXPECT_EQ(StoredColumnWidth(text, 0), 120);
    for (std::size_t column = 1; column < 7; ++column) {
        EXPECT_EQ(StoredColumnWidth(text, column), std::nullopt) << column;
    }
    EXPECT_EQ(StoredColumnWidth("", 0), std::nullopt);
    EXPECT_EQ(StoredColumnWidth("50,60,", 1), 60);
    EXPECT_EQ(StoredColumnWidth("50,60,", 2), std::nullopt);
    EXPECT_EQ(StoredColumnWidth("42px,", 0), 42);
    EXPECT_EQ(StoredColumnWidth("99999999999999999999,", 0), std::nullopt);
}

TEST(Placement, RoundTripsTenNumbers) {
    const WindowPlacement placement{2, 1, -1, -1, -8, -8, 10, 20, 810, 620};
    const std::string text = FormatPlacement(placement);
    EXPECT_EQ(text, "2,1,-1,-1,-8,-8,10,20,810,620");
    EXPECT_EQ(ParsePlacement(text), placement);
}

TEST(Placement, AnythingButTenNumbersIsIgnored) {
    EXPECT_EQ(ParsePlacement(""), std::nullopt);
    EXPECT_EQ(ParsePlacement("0,1,2,3,4,5,6,7,8"), std::nullopt);
    EXPECT_EQ(ParsePlacement("0,1,2,3,4,5,6,7,8,x"), std::nullopt);
    EXPECT_EQ(ParsePlacement("garbage"), std::nullopt);
}

TEST(DocumentTitle, UpperCasesFirstCharacterAndAddsTwoSpaces) {
    EXPECT_EQ(DocumentTitle("myhost.example"), "Myhost.example  ");
    EXPECT_EQ(DocumentTitle("Box"), "Box  ");
    EXPECT_EQ(DocumentTitle(""), "  ");
}

TEST(Contrast, FollowsTheRelativeLuminanceFormula) {
    EXPECT_NEAR(ContrastRatio({0, 0, 0}, {255, 255, 255}), 21.0, 1e-9);
    EXPECT_NEAR(ContrastRatio({255, 255, 255}, {255, 255, 255}), 1.0, 1e-9);
    // #777777 on white is the usual example just under 4.5:1.
    EXPECT_NEAR(ContrastRatio({0x77, 0x77, 0x77}, {255, 255, 255}), 4.48, 0.01);
    EXPECT_NEAR(ContrastRatio({255, 255, 255}, {0x77, 0x77, 0x77}), 4.48, 0.01);
}

// Every kind of row reads at 4.5:1 at least on light and dark themes, listening rows stay
// quieter than the others, and the three kinds stay apart.
TEST(Contrast, ThemedRowColoursReadOnLightAndDarkThemes) {
    struct Theme {
        const char* name;
        Rgb text;
        Rgb base;
    };
    for (const Theme& theme :
         {Theme{"light", {0, 0, 0}, {255, 255, 255}},
          Theme{"light grey", {30, 30, 30}, {239, 239, 239}},
          Theme{"dark", {238, 238, 238}, {42, 42, 42}}, Theme{"black", {255, 255, 255}, {0, 0, 0}},
          Theme{"dark blue", {220, 220, 230}, {25, 30, 60}}}) {
        const RowPalette palette = ThemedRowPalette(theme.text, theme.base);
        for (auto [kind, colour] : {std::pair{"listening", palette.listening},
                                    std::pair{"well-known port", palette.wellKnownPort},
                                    std::pair{"other", palette.other}}) {
            EXPECT_GE(ContrastRatio(colour, theme.base), kMinimumContrast)
                << theme.name << " " << kind;
        }
        EXPECT_LE(ContrastRatio(palette.listening, theme.base),
                  ContrastRatio(theme.text, theme.base))
            << theme.name;
        EXPECT_NE(palette.wellKnownPort, palette.other) << theme.name;
        EXPECT_NE(palette.listening, palette.other) << theme.name;
        // The red stays red and the blue stays blue.
        EXPECT_GT(palette.wellKnownPort.red, palette.wellKnownPort.blue) << theme.name;
        EXPECT_GT(palette.other.blue, palette.other.red) << theme.name;
    }
    // Today's dark grey and red already read on white and are kept.
    const RowPalette light = ThemedRowPalette({0, 0, 0}, {255, 255, 255});
    EXPECT_EQ(light.listening, kListeningColour);
    EXPECT_EQ(light.wellKnownPort, kWellKnownPortColour);
}

TEST(ProcessText, CommandAndPidWhenKnown) {
    CConnectionRecord record = Row("h");
    EXPECT_EQ(ProcessText(record), "");
    record.command = "nginx";
    EXPECT_EQ(ProcessText(record), "nginx");
    record.pid = 731;
    EXPECT_EQ(ProcessText(record), "nginx (731)");
    EXPECT_EQ(ListCellText(record, kProcessColumn), "nginx (731)");
    EXPECT_EQ(ListCellText(record, 0), "h");
}

TEST(ProtocolColumn, ShowsSortsAndFindsTheProtocol) {
    CConnectionRecord udp = Row("a", 53, TcpState::Listen);
    udp.protocol = Protocol::Udp;
    const CConnectionRecord tcp = Row("z");
    EXPECT_EQ(ListCellText(udp, kProtocolColumn), "UDP");
    EXPECT_EQ(ListCellText(udp, static_cast<int>(Column::ConnectionState)), "unconn");
    EXPECT_EQ(ListCellText(tcp, kProtocolColumn), "TCP");
    EXPECT_LT(CompareRecords(tcp, udp, kProtocolColumn + 1), 0);
    EXPECT_GT(CompareRecords(tcp, udp, -(kProtocolColumn + 1)), 0);
    EXPECT_TRUE(RowMatches(udp, "udp"));
    EXPECT_FALSE(RowMatches(tcp, "udp"));
}

}  // namespace
}  // namespace tarvik
