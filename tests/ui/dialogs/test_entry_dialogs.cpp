#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <QLineEdit>
#include <QTest>

#include "DialogTestSupport.h"
#include "ui/dialogs/EntryDialogs.h"

namespace tarvik {
namespace {

QLineEdit* Edit(QWidget& dialog, const char* name) {
    return dialog.findChild<QLineEdit*>(QString::fromLatin1(name));
}

class PortEntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        dialog.SetMessageSink(messages.Sink());
        dialog.show();
        edit = Edit(dialog, "portEdit");
        ASSERT_NE(edit, nullptr);
    }

    CPortEntryDlg dialog;
    test::MessageRecorder messages;
    QLineEdit* edit = nullptr;
};

TEST_F(PortEntryTest, AcceptsTheEndsOfTheRange) {
    for (const QString& port : {QStringLiteral("1"), QStringLiteral("65535")}) {
        dialog.show();
        edit->setText(port);
        dialog.accept();
        EXPECT_EQ(dialog.result(), QDialog::Accepted) << port.toStdString();
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.Text(), port);
    }
    EXPECT_TRUE(messages.messages.empty());
}

TEST_F(PortEntryTest, RefusesTextThatIsNotAPortAndStaysOpen) {
    for (const char* text : {"0", "65536", "", "8a", " 80", "-1", "00000"}) {
        messages.messages.clear();
        dialog.setResult(QDialog::Rejected);
        edit->setText(QString::fromLatin1(text));
        dialog.accept();
        ASSERT_EQ(messages.messages.size(), 1u) << text;
        EXPECT_EQ(messages.messages[0], QStringLiteral("Please enter a number from 1 to 65535"));
        EXPECT_TRUE(dialog.isVisible()) << text;
        EXPECT_EQ(dialog.result(), QDialog::Rejected) << text;
        EXPECT_EQ(edit->text(), QString::fromLatin1(text));
    }
}

TEST_F(PortEntryTest, TakesAtMostFiveCharacters) {
    edit->clear();
    QTest::keyClicks(edit, QStringLiteral("123456"));
    EXPECT_EQ(edit->text(), QStringLiteral("12345"));
}

TEST_F(PortEntryTest, OpensWithTheCurrentTextAndTheFocusInTheEdit) {
    dialog.hide();
    dialog.SetText(QStringLiteral("25"));
    dialog.show();
    EXPECT_EQ(edit->text(), QStringLiteral("25"));
    EXPECT_EQ(dialog.focusWidget(), edit);

    dialog.hide();
    dialog.PrepareForAdd();
    dialog.show();
    EXPECT_EQ(edit->text(), QString());
}

class IPAddressEntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        dialog.SetMessageSink(messages.Sink());
        dialog.show();
        edit = Edit(dialog, "addressEdit");
        ASSERT_NE(edit, nullptr);
    }

    CIPAddressEntryDlg dialog;
    test::MessageRecorder messages;
    QLineEdit* edit = nullptr;
};

TEST_F(IPAddressEntryTest, TakesAddressesAndRangesOfBothFamiliesInTheirShortForm) {
    const std::vector<std::pair<QString, QString>> cases = {
        {QStringLiteral("192.168.0.1"), QStringLiteral("192.168.0.1")},
        {QStringLiteral(" 10.0.0.0/8 "), QStringLiteral("10.0.0.0/8")},
        {QStringLiteral("2001:DB8:0::7"), QStringLiteral("2001:db8::7")},
        {QStringLiteral("2001:db8::/32"), QStringLiteral("2001:db8::/32")},
    };
    for (const auto& [typed, kept] : cases) {
        dialog.show();
        EXPECT_TRUE(edit->text().isEmpty()) << "blank at every opening";
        EXPECT_EQ(dialog.focusWidget(), edit);
        edit->setText(typed);
        dialog.accept();
        EXPECT_EQ(dialog.result(), QDialog::Accepted) << typed.toStdString();
        EXPECT_EQ(dialog.Text(), kept);
    }
    EXPECT_TRUE(messages.messages.empty());
}

TEST_F(IPAddressEntryTest, RefusesTextThatIsNoAddressAndStaysOpen) {
    for (const char* text : {"", "10.0.0", "10.0.0.256", "10.0.0.0/33", "host.example.org",
                             "2001:db8::/129", "10.0.0.1,10.0.0.2"}) {
        messages.messages.clear();
        dialog.setResult(QDialog::Rejected);
        edit->setText(QString::fromLatin1(text));
        dialog.accept();
        ASSERT_EQ(messages.messages.size(), 1u) << text;
        EXPECT_TRUE(
            messages.messages[0].startsWith(QStringLiteral("Please enter an IPv4 or IPv6")));
        EXPECT_TRUE(dialog.isVisible()) << text;
        EXPECT_EQ(dialog.result(), QDialog::Rejected) << text;
        EXPECT_EQ(edit->text(), QString::fromLatin1(text));
    }
}

TEST(EmailEntryTest, ReturnsTheTextUnchangedAndOpensEmpty) {
    CEmailEntryDlg dialog;
    dialog.show();
    QLineEdit* edit = Edit(dialog, "emailEdit");
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(dialog.focusWidget(), edit);

    edit->setText(QStringLiteral(" no at sign "));
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.Text(), QStringLiteral(" no at sign "));

    dialog.show();
    EXPECT_TRUE(edit->text().isEmpty());
    dialog.accept();
    EXPECT_EQ(dialog.Text(), QString());
}

}  // namespace
}  // namespace tarvik
