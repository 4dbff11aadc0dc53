#include <climits>
#include <memory>

#include <gtest/gtest.h>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include "DialogTestSupport.h"
#include "ui/dialogs/EntryDialogs.h"
#include "ui/dialogs/ListEditor.h"

namespace tarvik {
namespace {

TEST(LeadingInteger, ReadsLikeAtoi) {
    EXPECT_EQ(LeadingInteger(QStringLiteral("80")), 80);
    EXPECT_EQ(LeadingInteger(QStringLiteral("  443x")), 443);
    EXPECT_EQ(LeadingInteger(QStringLiteral("-1")), -1);
    EXPECT_EQ(LeadingInteger(QStringLiteral("x80")), 0);
    EXPECT_EQ(LeadingInteger(QString()), 0);
    EXPECT_EQ(LeadingInteger(QStringLiteral("99999999999999")), INT_MAX);
}

TEST(ListEditor, RefusesOnlyExactDuplicates) {
    CListEditor ports(std::make_unique<CPortEntryDlg>(), DuplicateRule::SameNumber,
                      ListOrder::AsAdded);
    ports.SetEntries({QStringLiteral("8080")});
    EXPECT_TRUE(ports.AddEntry(QStringLiteral("80")));
    EXPECT_FALSE(ports.AddEntry(QStringLiteral("080")));
    EXPECT_FALSE(ports.AddEntry(QStringLiteral("8080")));
    EXPECT_FALSE(ports.AddEntry(QString()));
    EXPECT_EQ(ports.Entries(), QStringList({QStringLiteral("8080"), QStringLiteral("80")}));

    CListEditor hosts(std::make_unique<CIPAddressEntryDlg>(), DuplicateRule::SameText,
                      ListOrder::AsAdded);
    hosts.SetEntries({QStringLiteral("10.0.0.15")});
    EXPECT_TRUE(hosts.AddEntry(QStringLiteral("10.0.0.1")));
    EXPECT_FALSE(hosts.AddEntry(QStringLiteral("10.0.0.15")));
    EXPECT_EQ(hosts.Entries().size(), 2);

    CListEditor mail(std::make_unique<CEmailEntryDlg>(), DuplicateRule::SameTextIgnoringCase,
                     ListOrder::AsAdded);
    mail.SetEntries({QStringLiteral("ops@example.org")});
    EXPECT_FALSE(mail.AddEntry(QStringLiteral("OPS@Example.org")));
    EXPECT_TRUE(mail.AddEntry(QStringLiteral("op@example.org")));
    EXPECT_EQ(mail.Entries().size(), 2);
}

TEST(ListEditor, KeepsTextOrderWhenSorted) {
    CListEditor ports(std::make_unique<CPortEntryDlg>(), DuplicateRule::SameNumber,
                      ListOrder::SortedAsText);
    ports.SetEntries({QStringLiteral("80"), QStringLiteral("21")});
    ports.AddEntry(QStringLiteral("1080"));
    ports.AddEntry(QStringLiteral("443"));
    EXPECT_EQ(ports.Entries(), QStringList({QStringLiteral("1080"), QStringLiteral("21"),
                                            QStringLiteral("443"), QStringLiteral("80")}));
}

TEST(ListEditor, RemoveTakesTheSelectedEntryOnly) {
    CListEditor hosts(std::make_unique<CIPAddressEntryDlg>(), DuplicateRule::SameText,
                      ListOrder::AsAdded);
    hosts.SetEntries({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")});
    hosts.RemoveButton()->click();
    EXPECT_EQ(hosts.Entries().size(), 3);

    hosts.List()->setCurrentRow(1);
    hosts.RemoveButton()->click();
    EXPECT_EQ(hosts.Entries(), QStringList({QStringLiteral("a"), QStringLiteral("c")}));
}

TEST(ListEditor, AddOpensTheEntryDialogAndAddsWhatItReturns) {
    CListEditor ports(std::make_unique<CPortEntryDlg>(), DuplicateRule::SameNumber,
                      ListOrder::AsAdded);
    auto* entry = static_cast<CPortEntryDlg*>(ports.EntryDialog());
    entry->SetText(QStringLiteral("stale"));

    ports.AddButton()->click();
    ASSERT_TRUE(entry->isVisible());
    auto* edit = entry->findChild<QLineEdit*>(QStringLiteral("portEdit"));
    ASSERT_NE(edit, nullptr);
    EXPECT_TRUE(edit->text().isEmpty());  // cleared before every "Add"
    edit->setText(QStringLiteral("6667"));
    entry->accept();

    ports.AddButton()->click();
    entry->reject();

    EXPECT_EQ(ports.Entries(), QStringList({QStringLiteral("6667")}));
}

}  // namespace
}  // namespace tarvik
