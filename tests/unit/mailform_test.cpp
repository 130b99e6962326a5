// The settings window's conversions between its mail page and the stored mail settings, the
// send-setting tokens, and the mail a closing program decides to send.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/global_unit.h"
#include "engine/sendsetting.h"
#include "logs/closereport.h"
#include "logs/logfiles.h"
#include "settings/mailform.h"

using namespace veltrin;
using namespace std::string_literals;

TEST(MailForm, TrimTakesCodesUpToBlankFromBothEnds) {
    EXPECT_EQ(TrimText(""), "");
    EXPECT_EQ(TrimText(" \t\r\n\x01\x1f"), "");
    EXPECT_EQ(TrimText("\x01 a b \x7f\x20\x0b"), "a b \x7f");
    EXPECT_EQ(TrimText("\xc3\xa9"), "\xc3\xa9");  // bytes above 127 are text
    EXPECT_EQ(TrimText("\0x\0"s), "x");
}

TEST(MailForm, TheTwoJoins) {
    const std::vector<std::string> lines = {"  first", "second", "", "third  "};
    EXPECT_EQ(OkMailText(lines), "first\r\nsecond\r\n\r\nthird");
    EXPECT_EQ(SendNowMailText(lines), TrimText(JoinCommaText(lines)));
    EXPECT_EQ(OkMailText({}), "");
    EXPECT_EQ(SendNowMailText({}), TrimText(JoinCommaText({})));
}

TEST(MailForm, StoreTrimsTextsAndEncodesCredentials) {
    MailForm form;
    form.smtpserver = " 127.0.0.1 ";
    form.sendfrom = "\tme@example.test";
    form.sendto = "you@example.test\n";
    form.subject = "  Report ";
    form.userid = " user ";
    form.password = " p w ";
    form.authentication = false;
    form.sendsetting = " select log ";  // the token is kept exactly as chosen
    Tmailsetting mail;
    mail.savetime = 17;
    StoreMailForm(form, " body ", mail);
    EXPECT_EQ(mail.smtpserver, "127.0.0.1");
    EXPECT_EQ(mail.sendfrom, "me@example.test");
    EXPECT_EQ(mail.sendto, "you@example.test");
    EXPECT_EQ(mail.subject, "Report");
    EXPECT_EQ(mail.emailtext, " body ");
    EXPECT_EQ(mail.sendsetting, " select log ");
    EXPECT_FALSE(mail.authentication);
    EXPECT_EQ(Base64Decode(mail.option1), "user");
    EXPECT_EQ(Base64Decode(mail.option2), "p w");
    EXPECT_EQ(mail.savetime, 17);
}

TEST(MailForm, SendChoiceOfStoredValue) {
    const struct {
        std::string stored;
        SendChoice choice;
    } cases[] = {
        {std::string(kSendAll), SendChoice::All},
        {"ALL", SendChoice::All},
        {std::string(kSendErrorCode), SendChoice::ErrorCode},
        {"error CODE", SendChoice::ErrorCode},
        {std::string(kSendSelectLog), SendChoice::SelectLog},
        {"Select Log", SendChoice::SelectLog},
        {std::string(kSendNothing), SendChoice::OwnText},
        {"", SendChoice::OwnText},
        {" all", SendChoice::OwnText},
        {"errorcode", SendChoice::OwnText},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        EXPECT_EQ(SendChoiceOf(c.stored), c.choice);
    }
}

TEST(CloseReport, WhichSettingMailsWhat) {
    const std::vector<AddressRow> rows = {{"127.0.0.1", "64", "0", "return data length:   40"}, {"127.0.0.2", "", "", ""}};
    const std::string all = JoinCommaText(MainLogLines(rows));
    const struct {
        std::string sendsetting;
        bool mails;
        std::string text;  // the mail text afterwards
    } cases[] = {
        {std::string(kSendAll), true, all},
        {std::string(kSendErrorCode), true, "typed"},
        {std::string(kSendSelectLog), true, "typed"},
        {"anything else", true, "typed"},
        {"ALL", true, "typed"},  // only the exact token takes the list's lines
        {std::string(kSendNothing), false, "typed"},
        {"", false, "typed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sendsetting);
        Tmailsetting mail;
        mail.sendsetting = c.sendsetting;
        mail.emailtext = "typed";
        EXPECT_EQ(PrepareCloseReport(mail, rows), c.mails);
        EXPECT_EQ(mail.emailtext, c.text);
    }
}
