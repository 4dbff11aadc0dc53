#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QTest>

#include "support/WindowTestSupport.h"
#include "ui/window/InterfaceFilterBar.h"

namespace tarvik {
namespace {

using test::TempSettings;

QStringList Entries(const QComboBox& combo) {
    QStringList entries;
    for (int i = 0; i < combo.count(); ++i) {
        entries << combo.itemText(i);
    }
    return entries;
}

class InterfaceFilterBarTest : public ::testing::Test {
protected:
    void SetUp() override { test::TestApp(); }
    TempSettings settings{{"127.0.0.1", "192.168.1.5", "10.0.0.7"}};
};

TEST_F(InterfaceFilterBarTest, DefaultShowsAllAndListsAddressesInOrder) {
    CInterfaceFilterBar bar(settings.Store(), nullptr, {});
    EXPECT_EQ(Entries(*bar.Combo()),
              (QStringList{"( Show All )", "127.0.0.1", "192.168.1.5", "10.0.0.7"}));
    EXPECT_EQ(bar.Combo()->currentIndex(), 0);
    EXPECT_EQ(settings.Store().GetNetIf(), -1);
}

TEST_F(InterfaceFilterBarTest, ChoosingAnEntryStoresItsPositionMinusOne) {
    CInterfaceFilterBar bar(settings.Store(), nullptr, {});
    bar.show();
    bar.Combo()->setFocus();
    QTest::keyClick(bar.Combo(), Qt::Key_Down);
    QTest::keyClick(bar.Combo(), Qt::Key_Down);
    EXPECT_EQ(bar.Combo()->currentIndex(), 2);
    EXPECT_EQ(settings.Store().GetNetIf(), 1);
    QTest::keyClick(bar.Combo(), Qt::Key_Up);
    QTest::keyClick(bar.Combo(), Qt::Key_Up);
    EXPECT_EQ(settings.Store().GetNetIf(), -1);
}

TEST_F(InterfaceFilterBarTest, StoredIndexFollowsPositionOrFallsBackToTheFirst) {
    settings.Store().SetNetIf(2);
    CInterfaceFilterBar bar(settings.Store(), nullptr, {});
    EXPECT_EQ(bar.Combo()->currentIndex(), 3);

    settings.Store().SetNetIf(5);
    bar.Fill();
    EXPECT_EQ(bar.Combo()->currentIndex(), 1);
    EXPECT_EQ(settings.Store().GetNetIf(), 0);
}

TEST_F(InterfaceFilterBarTest, WithoutInterfacesNeverStoresAMissingEntry) {
    settings.SetInterfaces({});
    CInterfaceFilterBar bar(settings.Store(), nullptr, {});
    EXPECT_EQ(Entries(*bar.Combo()), (QStringList{"( Show All )"}));
    EXPECT_EQ(bar.Combo()->currentIndex(), 0);
    EXPECT_EQ(settings.Store().GetNetIf(), -1);

    // An interface stored earlier has gone with all the others.
    settings.Store().SetNetIf(0);
    bar.Fill();
    EXPECT_EQ(bar.Combo()->currentIndex(), 0);
    EXPECT_EQ(settings.Store().GetNetIf(), -1);

    // One comes back: the refresh lists it and keeps "( Show All )".
    settings.SetInterfaces({"127.0.0.1"});
    bar.Fill();
    EXPECT_EQ(Entries(*bar.Combo()), (QStringList{"( Show All )", "127.0.0.1"}));
    EXPECT_EQ(bar.Combo()->currentIndex(), 0);
}

TEST_F(InterfaceFilterBarTest, EscapeLeavesTheBarVisible) {
    CInterfaceFilterBar bar(settings.Store(), nullptr, {});
    bar.show();
    bar.Combo()->setFocus();
    QTest::keyClick(bar.Combo(), Qt::Key_Escape);
    QTest::keyClick(&bar, Qt::Key_Escape);
    EXPECT_TRUE(bar.isVisible());
    EXPECT_EQ(settings.Store().GetNetIf(), -1);
}

TEST_F(InterfaceFilterBarTest, EntriesNameTheirInterfaceWhileTheIndexKeepsItsPosition) {
    settings.Store().SetNetIf(1);
    CInterfaceFilterBar bar(settings.Store(), nullptr, [] {
        return std::vector<LocalInterface>{{"eth0", "192.168.1.5"}, {"lo", "127.0.0.1"}};
    });
    EXPECT_EQ(Entries(*bar.Combo()),
              (QStringList{"( Show All )", QStringLiteral("lo \u2014 127.0.0.1"),
                           QStringLiteral("eth0 \u2014 192.168.1.5"), "10.0.0.7"}));
    EXPECT_EQ(bar.Combo()->currentIndex(), 2);
    EXPECT_EQ(settings.Store().GetNetIf(), 1);
}

TEST_F(InterfaceFilterBarTest, SearchReportsItsTextAndEscapeClearsIt) {
    CInterfaceFilterBar bar(settings.Store(), nullptr, {});
    bar.show();
    QStringList seen;
    QObject::connect(&bar, &CInterfaceFilterBar::searchChanged,
                     [&seen](const QString& text) { seen << text; });
    bar.Search()->setFocus();
    QTest::keyClicks(bar.Search(), "ab");
    QTest::keyClick(bar.Search(), Qt::Key_Escape);
    EXPECT_EQ(seen, (QStringList{"a", "ab", ""}));
    EXPECT_TRUE(bar.isVisible());
}

}  // namespace
}  // namespace tarvik
