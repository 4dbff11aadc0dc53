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
        dialog.show();
        for (int i = 0; i < 4; ++i) {
            fields[i] = Edit(dialog, QStringLiteral("octet%1").arg(i).toLatin1().constData());
            ASSERT_NE(fields[i], nullptr);
        }
    }

    CIPAddressEntryDlg dialog;
    QLineEdit* fields[4] = {};
};

TEST_F(IPAddressEntryTest, UntouchedGivesAllZeros) {
    EXPECT_EQ(dialog.focusWidget(), fields[0]);
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.Text(), QStringLiteral("0.0.0.0"));
}

TEST_F(IPAddressEntryTest, BlankFieldsCountAsZeroAndTheNextOpeningIsBlank) {
    fields[0]->setText(QStringLiteral("10"));
    fields[1]->setText(QStringLiteral("0"));
    fields[2]->setText(QStringLiteral("0"));
    dialog.accept();
    EXPECT_EQ(dialog.Text(), QStringLiteral("10.0.0.0"));

    dialog.show();
    for (QLineEdit* field : fields) {
        EXPECT_TRUE(field->text().isEmpty());
    }
}

TEST_F(IPAddressEntryTest, FieldsTakeOnlyNumbersUpTo255) {
    QTest::keyClicks(fields[0], QStringLiteral("256"));
    EXPECT_EQ(fields[0]->text(), QStringLiteral("25"));
    QTest::keyClicks(fields[1], QStringLiteral("a-9"));
    EXPECT_EQ(fields[1]->text(), QStringLiteral("9"));
    fields[2]->setText(QStringLiteral("007"));
    fields[3]->setText(QStringLiteral("255"));
    dialog.accept();
    EXPECT_EQ(dialog.Text(), QStringLiteral("25.9.7.255"));
}

TEST_F(IPAddressEntryTest, AFullFieldOrADotMovesToTheNextField) {
    QTest::keyClicks(fields[0], QStringLiteral("192"));
    EXPECT_EQ(dialog.focusWidget(), fields[1]);
    QTest::keyClicks(fields[1], QStringLiteral("1."));
    EXPECT_EQ(fields[1]->text(), QStringLiteral("1"));
    EXPECT_EQ(dialog.focusWidget(), fields[2]);
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
