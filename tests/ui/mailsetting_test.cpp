// The settings window against the real settings file and, for "Send mail now...", a real SMTP
// server on loopback. Message boxes are answered through the dialog seam.
#include <QAbstractButton>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QSpinBox>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/global_unit.h"
#include "settings/probehost.h"
#include "settings/settingsfile.h"
#include "ui/dialogs.h"
#include "history/historysetting.h"
#include "ui/mailsetting.h"

using veltrin::Golbal;
using veltrin::Tmailsetting;

namespace {

// Run as root, the test has a mount namespace of its own, so that the read-only bind of a test
// folder is seen by nobody else. Done before main, while the process still has one thread.
const bool gPrivateMounts = [] {
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0) return false;
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}();

// Makes `folder` read-only where it stands (a read-only bind of itself) for its life; root
// ignores file modes, so this is how a folder nobody may write to is made for root.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(const QString& folder) : folder_(folder.toStdString()) {
        if (::mount(folder_.c_str(), folder_.c_str(), nullptr, MS_BIND, nullptr) != 0) return;
        mounted_ = true;
        ok_ = ::mount(nullptr, folder_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
    }
    ~ReadOnlyFolder() {
        if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
    }
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;
    bool ok() const { return ok_; }

private:
    std::string folder_;
    bool mounted_ = false;
    bool ok_ = false;
};

// Stored settings every test starts from: both addresses valid, authentication on.
Tmailsetting BaseMail() {
    Tmailsetting mail;
    mail.smtpserver = "127.0.0.1";
    mail.sendfrom = "me@example.test";
    mail.sendto = "you@example.test";
    mail.subject = "Report";
    mail.emailtext = "first line\r\nsecond line";
    mail.sendsetting = "Error code";
    mail.authentication = true;
    mail.option1 = veltrin::Base64Encode("user one");
    mail.option2 = veltrin::Base64Encode("pa ss");
    mail.savetime = 5;
    return mail;
}

// A settings file with keys of both pages and a section the window knows nothing about.
const char kFullIni[] =
    "[mailsetting]\r\n"
    "smtpserver=old.example.test\r\n"
    "sendfrom=old@example.test\r\n"
    "sendto=older@example.test\r\n"
    "subject=Old subject\r\n"
    "emailtext=old text\r\n"
    "sendsetting=all\r\n"
    "option1=b2xk\r\n"
    "option2=c2VjcmV0\r\n"
    "authentication=1\r\n"
    "savetime=5\r\n"
    "[Ping setting]\r\n"
    "datalength=100\r\n"
    "interval=7\r\n"
    "[Other]\r\n"
    "keep=this line\r\n";

QStringList Lines(const QByteArray& text) {
    QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    for (QString& line : lines)
        if (line.endsWith(QLatin1Char('\r'))) line.chop(1);
    return lines;
}

// One event of the recording SMTP server's file.
struct SmtpEvent {
    QString name;
    QByteArray data;
};

std::vector<SmtpEvent> ReadRecord(const QString& path) {
    std::vector<SmtpEvent> events;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return events;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const qsizetype tab = line.indexOf('\t');
        if (tab < 0) continue;
        events.push_back({QString::fromLatin1(line.left(tab)), QByteArray::fromHex(line.mid(tab + 1))});
    }
    return events;
}

QList<QByteArray> Events(const std::vector<SmtpEvent>& events, const QString& name) {
    QList<QByteArray> out;
    for (const SmtpEvent& e : events)
        if (e.name == name) out << e.data;
    return out;
}

}  // namespace

class MailSettingTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir tmp_;
    QString inipath_;
    std::unique_ptr<veltrin::DialogRecorder> dialogs_;
    QString intervaltext_;
    QStringList log_;  // system commands and messages, in the order they happened
    QPointer<Tmailsettingform> window_;

    Tmailsettingform* Create() {
        auto* w = new Tmailsettingform(MailSettingHost{
            [this] { return intervaltext_; },
            [this](int command) { log_ << QStringLiteral("syscommand %1").arg(command, 0, 16); }});
        window_ = w;
        return w;
    }

    // Shows a new window, lets it load and makes it the active one.
    Tmailsettingform* Open() {
        Tmailsettingform* w = Create();
        w->show();
        w->activateWindow();
        if (!QTest::qWaitForWindowActive(w)) return nullptr;
        Settle();
        return w;
    }

    static void Settle() {
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
    }

    static bool Deleted(const QPointer<Tmailsettingform>& w) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return w.isNull();
    }

    void WriteIni(const QByteArray& text) {
        QFile file(inipath_);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(text), text.size());
    }

    QByteArray ReadIni() const {
        QFile file(inipath_);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    Tmailsetting LoadMail() const {
        Tmailsetting mail;
        std::int32_t interval = 0;
        std::int32_t datalength = 0;
        veltrin::LoadSettings(inipath_.toStdString(), mail, interval, datalength);
        return mail;
    }

    // The value of `key` in `section` as it stands in the file.
    QString IniValue(const QString& section, const QString& key) const {
        QString current;
        for (const QString& line : Lines(ReadIni())) {
            if (line.startsWith(QLatin1Char('['))) {
                current = line.mid(1, line.size() - 2);
            } else if (current == section && line.startsWith(key + QLatin1Char('='))) {
                return line.mid(key.size() + 1);
            }
        }
        return QStringLiteral("<missing>");
    }

private slots:
    void initTestCase() {
        QVERIFY(tmp_.isValid());
        for (const char* dir : {"home", "config", "data", "cache"}) QVERIFY(QDir(tmp_.path()).mkpath(dir));
        qputenv("HOME", (tmp_.path() + "/home").toUtf8());
        qputenv("XDG_CONFIG_HOME", (tmp_.path() + "/config").toUtf8());
        qputenv("XDG_DATA_HOME", (tmp_.path() + "/data").toUtf8());
        qputenv("XDG_CACHE_HOME", (tmp_.path() + "/cache").toUtf8());
        QGuiApplication::setApplicationDisplayName(QStringLiteral("Veltrin Ping Utility"));
        veltrin::EngineStartup();
        QVERIFY(Golbal() != nullptr);
        inipath_ = tmp_.path() + QStringLiteral("/korbel setting.ini");
    }

    void cleanupTestCase() { veltrin::EngineShutdown(); }

    void init() {
        QFile::remove(inipath_);
        veltrin::Tgolbal* g = Golbal();
        g->mailsetting = BaseMail();
        g->interval = 4;
        g->datalength = 32;
        g->inipath = inipath_.toStdString();
        intervaltext_ = QStringLiteral("6");
        log_.clear();
        dialogs_ = std::make_unique<veltrin::DialogRecorder>();
        dialogs_->OnMessage([this](const veltrin::MessageRecord& m) {
            log_ << QStringLiteral("%1 [%2] %3").arg(m.plain ? "plain" : "notice", m.title, m.text);
        });
    }

    void cleanup() {
        delete window_.data();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        dialogs_.reset();
    }

    // ---- the window itself ---------------------------------------------------------------------

    void windowLayoutAndCaptions() {
        Tmailsettingform* w = Create();
        // Before anything is loaded.
        QCOMPARE(w->cursendsetting(), QStringLiteral("nothing"));
        QVERIFY(w->authenticationchb()->isChecked());
        QCOMPARE(w->datalength()->text(), QStringLiteral("8"));
        QCOMPARE(w->savetimeedt()->text(), QStringLiteral("0"));

        QCOMPARE(w->windowTitle(), QStringLiteral("Settings"));
        QCOMPARE(w->size(), QSize(554, 367));
        QCOMPARE(w->minimumSize(), w->maximumSize());
        QVERIFY(w->testAttribute(Qt::WA_DeleteOnClose));
        QVERIFY(w->windowFlags() & Qt::WindowCloseButtonHint);
        QVERIFY(!(w->windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(w->windowFlags() & Qt::WindowMaximizeButtonHint));
        auto* status = w->findChild<QStatusBar*>();
        QVERIFY(status);
        QVERIFY(status->currentMessage().isEmpty());
        QCOMPARE(status->geometry().bottom(), w->height() - 1);

        QTabWidget* pages = w->PageControl();
        QCOMPARE(pages->count(), 2);
        QCOMPARE(pages->tabText(0), QStringLiteral("Email Setting"));
        QCOMPARE(pages->tabText(1), QStringLiteral("Advanced  Setting"));
        QCOMPARE(pages->currentWidget(), w->EmailPage());

        const std::vector<std::pair<const char*, QString>> captioned = {
            {"usesendsetting_radiobtn", "Use send setting"},
            {"iwriteit_radiobtn", "I write  it ......"},
            {"all_radiobtn", "Send the stored address log when closed"},
            {"errorcode_radiobtn", "Send Error Code when close"},
            {"selectlog_radiaobtn", "Send log report that I select when close"},
            {"nothing_radiobtn", "NO,Send nothing when close"},
            {"authenticationchb", "Yes ,The smtp server need authentication...."},
            {"Button1", "OK"},
            {"Button3", "Send mail now..."},
            {"Button2", "Cancel"},
        };
        for (const auto& [name, caption] : captioned) {
            auto* button = w->findChild<QAbstractButton*>(QLatin1String(name));
            QVERIFY2(button, name);
            QCOMPARE(button->text(), caption);
        }
        for (const char* name : {"semtpserveredt", "sendfromedt", "sendtoedt", "subjectedt", "option1edt",
                                 "option2edt", "datalength", "savetimeedt"})
            QVERIFY2(w->findChild<QLineEdit*>(QLatin1String(name)), name);
        QVERIFY(w->findChild<QPlainTextEdit*>(QStringLiteral("mailtext")));
        QCOMPARE(w->mailtext()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QCOMPARE(w->option2edt()->echoMode(), QLineEdit::Password);
        QCOMPARE(w->datalength()->toolTip(), QStringLiteral("Ping data length"));
        QCOMPARE(w->savetimeedt()->toolTip(), QStringLiteral("Save detail interval"));

        QStringList labels;
        for (QLabel* label : w->findChildren<QLabel*>()) labels << label->text();
        for (const char* text : {"SMTPserver:", "Send from:", "Send to:", "Email Subject:", "UserID:", "Password:",
                                 "Data length", "Byte", "Save interval", "Min"})
            QVERIFY2(labels.contains(QLatin1String(text)), text);
        QStringList groups;
        for (QGroupBox* box : w->findChildren<QGroupBox*>()) groups << box->title();
        for (const char* title : {"Email address", "Email Text", "Send setting", "Authentication"})
            QVERIFY2(groups.contains(QLatin1String(title)), title);

        // The two text modes and the four send settings are separate exclusive choices.
        w->all_radiobtn()->setChecked(true);
        w->usesendsetting_radiobtn()->setChecked(true);
        QVERIFY(w->all_radiobtn()->isChecked());
        w->iwriteit_radiobtn()->setChecked(true);
        QVERIFY(!w->usesendsetting_radiobtn()->isChecked());
        QVERIFY(w->all_radiobtn()->isChecked());
        w->selectlog_radiaobtn()->setChecked(true);
        QVERIFY(!w->all_radiobtn()->isChecked());
        QVERIFY(w->iwriteit_radiobtn()->isChecked());
    }

    void tabOrder() {
        Tmailsettingform* w = Create();
        const QList<QWidget*> expected = {
            w->semtpserveredt(), w->sendfromedt(), w->sendtoedt(), w->subjectedt(),
            w->usesendsetting_radiobtn(), w->iwriteit_radiobtn(), w->mailtext(), w->all_radiobtn(),
            w->errorcode_radiobtn(), w->selectlog_radiaobtn(), w->nothing_radiobtn(), w->authenticationchb(),
            w->option1edt(), w->option2edt(), w->datalength(), w->savetimeedt(),
            w->keeplistchb(), w->historychb(), w->probehostedt(), w->hotkeyctrlalt_radiobtn(),
            w->hotkeyctrl_radiobtn(), w->hotkeyoff_radiobtn(), w->timeoutedt(), w->lostcountedt(), w->notifychb(),
            w->mailalertchb(),
            w->Button1(), w->Button3(), w->Button2()};
        // The focus chain from the first field, keeping the controls Tab can reach (the page
        // control and its tab bar aside).
        QList<QWidget*> chain;
        QWidget* at = expected.first();
        do {
            const bool pagecontrol = at == w->PageControl() || qobject_cast<QTabBar*>(at) ||
                                     qobject_cast<QTabBar*>(at->parentWidget()) ||
                                     qobject_cast<QAbstractSpinBox*>(at->parentWidget());  // its own field
            if ((at->focusPolicy() & Qt::TabFocus) && !pagecontrol) chain << at;
            at = at->nextInFocusChain();
        } while (at != expected.first());
        QCOMPARE(chain, expected);
    }

    // ---- loading ---------------------------------------------------------------------------------

    void loadSendSetting_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("button");
        QTest::addColumn<bool>("owntext");
        QTest::newRow("Error code") << "Error code" << "errorcode_radiobtn" << false;
        QTest::newRow("error CODE, any case") << "error CODE" << "errorcode_radiobtn" << false;
        QTest::newRow("all") << "all" << "all_radiobtn" << false;
        QTest::newRow("ALL") << "ALL" << "all_radiobtn" << false;
        QTest::newRow("select log") << "select log" << "selectlog_radiaobtn" << false;
        QTest::newRow("nothing") << "nothing" << "nothing_radiobtn" << false;
        QTest::newRow("own text") << "own text" << "nothing_radiobtn" << true;
        QTest::newRow("empty") << "" << "nothing_radiobtn" << true;
        QTest::newRow("unknown") << "weekly" << "nothing_radiobtn" << true;
    }

    // Which buttons and which text mode a stored send setting shows, and that OK stores the
    // setting exactly as it was loaded when the user picks no button.
    void loadSendSetting() {
        QFETCH(QString, stored);
        QFETCH(QString, button);
        QFETCH(bool, owntext);
        Golbal()->mailsetting.sendsetting = stored.toStdString();
        Tmailsettingform* w = Open();
        QVERIFY(w);

        for (QRadioButton* b : {w->all_radiobtn(), w->errorcode_radiobtn(), w->selectlog_radiaobtn(),
                                w->nothing_radiobtn()}) {
            QCOMPARE(b->isChecked(), b->objectName() == button);
            QCOMPARE(b->isEnabled(), !owntext);
        }
        QCOMPARE(w->usesendsetting_radiobtn()->isChecked(), !owntext);
        QCOMPARE(w->iwriteit_radiobtn()->isChecked(), owntext);
        QCOMPARE(w->mailtext()->isEnabled(), owntext);
        QCOMPARE(w->mailtext()->palette().color(QPalette::Base) == QColor(Qt::white), owntext);
        QCOMPARE(w->mailtext()->toPlainText(), QStringLiteral("first line\nsecond line"));
        QCOMPARE(w->cursendsetting(), stored);

        QPointer<Tmailsettingform> guard(w);
        w->Button1()->click();
        QVERIFY(Deleted(guard));
        QVERIFY(log_.isEmpty());
        const Tmailsetting saved = LoadMail();
        QCOMPARE(QString::fromStdString(saved.sendsetting), stored);
        QCOMPARE(saved.emailtext, std::string("first line\r\nsecond line"));
        QCOMPARE(Golbal()->mailsetting.sendsetting, stored.toStdString());
    }

    void loadFields() {
        Golbal()->mailsetting.savetime = 12;
        Golbal()->datalength = 2000;
        Tmailsettingform* w = Open();
        QVERIFY(w);
        QCOMPARE(w->semtpserveredt()->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(w->sendfromedt()->text(), QStringLiteral("me@example.test"));
        QCOMPARE(w->sendtoedt()->text(), QStringLiteral("you@example.test"));
        QCOMPARE(w->subjectedt()->text(), QStringLiteral("Report"));
        QCOMPARE(w->savetimeedt()->text(), QStringLiteral("12"));
        QCOMPARE(w->datalength()->text(), QStringLiteral("2000"));
        QVERIFY(w->authenticationchb()->isChecked());
        QCOMPARE(w->option1edt()->text(), QStringLiteral("user one"));
        QCOMPARE(w->option2edt()->text(), QStringLiteral("pa ss"));
        QVERIFY(w->option1edt()->isEnabled());
        QCOMPARE(w->option1edt()->palette().color(QPalette::Base), QColor(Qt::white));
    }

    // Authentication stored as off: the user id and password stay empty and disabled, and OK
    // stores both as empty.
    void authenticationOff() {
        Golbal()->mailsetting.authentication = false;
        Tmailsettingform* w = Open();
        QVERIFY(w);
        QVERIFY(!w->authenticationchb()->isChecked());
        for (QLineEdit* field : {w->option1edt(), w->option2edt()}) {
            QVERIFY(field->text().isEmpty());
            QVERIFY(!field->isEnabled());
            QCOMPARE(field->palette().color(QPalette::Base), QApplication::palette().color(QPalette::Button));
        }
        QPointer<Tmailsettingform> guard(w);
        w->Button1()->click();
        QVERIFY(Deleted(guard));
        const Tmailsetting saved = LoadMail();
        QVERIFY(!saved.authentication);
        QCOMPARE(saved.option1, std::string());
        QCOMPARE(saved.option2, std::string());
        QCOMPARE(IniValue("mailsetting", "option1"), QString());
        QCOMPARE(IniValue("mailsetting", "authentication"), QStringLiteral("0"));
        QCOMPARE(Golbal()->mailsetting.option1, std::string());
    }

    void authenticationBoxAndTrimmedCredentials() {
        Tmailsettingform* w = Open();
        QVERIFY(w);
        w->authenticationchb()->click();
        QVERIFY(!w->option1edt()->isEnabled());
        QVERIFY(!w->option2edt()->isEnabled());
        w->authenticationchb()->click();
        QVERIFY(w->option1edt()->isEnabled());
        QVERIFY(w->option2edt()->isEnabled());
        w->option1edt()->setText(QStringLiteral("  new user\t"));
        w->option2edt()->setText(QStringLiteral("\x01 p w \r"));
        w->Button1()->click();
        const Tmailsetting saved = LoadMail();
        QVERIFY(saved.authentication);
        QCOMPARE(veltrin::Base64Decode(saved.option1), std::string("new user"));
        QCOMPARE(saved.option1, veltrin::Base64Encode("new user"));
        QCOMPARE(saved.option2, veltrin::Base64Encode("p w"));
    }

    // The text modes as the user switches them.
    void textModes() {
        Golbal()->mailsetting.sendsetting = "";
        Tmailsettingform* w = Open();
        QVERIFY(w);
        QVERIFY(w->iwriteit_radiobtn()->isChecked());

        QTest::mouseClick(w->usesendsetting_radiobtn(), Qt::LeftButton);
        QVERIFY(w->usesendsetting_radiobtn()->isChecked());
        QVERIFY(w->all_radiobtn()->isEnabled());
        QVERIFY(!w->mailtext()->isEnabled());
        QVERIFY(w->nothing_radiobtn()->isChecked());  // entering the mode keeps the selection
        QCOMPARE(w->cursendsetting(), QString());

        QTest::mouseClick(w->all_radiobtn(), Qt::LeftButton);
        QCOMPARE(w->cursendsetting(), QStringLiteral("all"));
        QTest::mouseClick(w->selectlog_radiaobtn(), Qt::LeftButton);
        QCOMPARE(w->cursendsetting(), QStringLiteral("select log"));

        // "nothing" is a send setting like the others: no mail at close, and the mode stays.
        QTest::mouseClick(w->nothing_radiobtn(), Qt::LeftButton);
        QCOMPARE(w->cursendsetting(), QStringLiteral("nothing"));
        QVERIFY(w->usesendsetting_radiobtn()->isChecked());
        QVERIFY(w->all_radiobtn()->isEnabled());
        QVERIFY(!w->mailtext()->isEnabled());

        QTest::mouseClick(w->errorcode_radiobtn(), Qt::LeftButton);
        QCOMPARE(w->cursendsetting(), QStringLiteral("Error code"));
        // "I write it" stores a setting of its own, so the user's text is mailed at close.
        QTest::mouseClick(w->iwriteit_radiobtn(), Qt::LeftButton);
        QVERIFY(w->nothing_radiobtn()->isChecked());
        QCOMPARE(w->cursendsetting(), QStringLiteral("own text"));
        QVERIFY(!w->errorcode_radiobtn()->isEnabled());
        QVERIFY(w->mailtext()->isEnabled());

        w->Button1()->click();
        QCOMPARE(LoadMail().sendsetting, std::string("own text"));
    }

    // The values in memory are loaded when the window opens; coming back to it from another
    // window keeps what was typed, even when memory changed meanwhile.
    void typedTextSurvivesActivation() {
        Tmailsettingform* w = Open();
        QVERIFY(w);
        QCOMPARE(w->semtpserveredt()->text(), QStringLiteral("127.0.0.1"));
        w->semtpserveredt()->setFocus();
        w->semtpserveredt()->selectAll();
        QTest::keyClicks(w->semtpserveredt(), QStringLiteral("typed.example.test"));
        Settle();
        QCOMPARE(w->semtpserveredt()->text(), QStringLiteral("typed.example.test"));

        Golbal()->mailsetting.subject = "Changed in memory";
        for (int round = 0; round < 2; ++round) {
            QWidget other;
            other.show();
            other.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&other));
            w->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(w));
            Settle();
            QCOMPARE(w->semtpserveredt()->text(), QStringLiteral("typed.example.test"));
            QCOMPARE(w->subjectedt()->text(), QStringLiteral("Report"));
        }
        // A hide and show (the window brought back) is not a new opening either.
        w->hide();
        w->show();
        Settle();
        QCOMPARE(w->semtpserveredt()->text(), QStringLiteral("typed.example.test"));
    }

    // ---- OK by page --------------------------------------------------------------------------

    void okOnEmailPageSavesOnlyMailKeys() {
        WriteIni(kFullIni);
        veltrin::Tgolbal* g = Golbal();
        veltrin::LoadSettings(inipath_.toStdString(), g->mailsetting, g->interval, g->datalength);
        Tmailsettingform* w = Open();
        QVERIFY(w);

        // Advanced values edited, then the mail page is the one showing at OK.
        w->PageControl()->setCurrentWidget(w->AdvancedPage());
        w->datalength()->setText(QStringLiteral("64"));
        w->savetimeedt()->setText(QStringLiteral("9"));
        w->PageControl()->setCurrentWidget(w->EmailPage());

        w->semtpserveredt()->setText(QStringLiteral("  127.0.0.1 \t"));
        w->sendfromedt()->setText(QStringLiteral(" sender@example.test "));
        w->sendtoedt()->setText(QStringLiteral("a@example.test,b@example.test"));
        w->subjectedt()->setText(QStringLiteral("\tWeekly report "));
        QTest::mouseClick(w->nothing_radiobtn(), Qt::LeftButton);  // own text
        w->mailtext()->setPlainText(QStringLiteral("  line one\nline two  \n"));
        QPointer<Tmailsettingform> guard(w);
        w->Button1()->click();
        QVERIFY(Deleted(guard));
        QVERIFY(log_.isEmpty());

        const Tmailsetting& mem = g->mailsetting;
        QCOMPARE(mem.smtpserver, std::string("127.0.0.1"));
        QCOMPARE(mem.sendfrom, std::string("sender@example.test"));
        QCOMPARE(mem.sendto, std::string("a@example.test,b@example.test"));
        QCOMPARE(mem.subject, std::string("Weekly report"));
        QCOMPARE(mem.emailtext, std::string("line one\r\nline two"));
        QCOMPARE(mem.sendsetting, std::string("nothing"));
        QCOMPARE(mem.option1, veltrin::Base64Encode("old"));
        QCOMPARE(mem.option2, veltrin::Base64Encode("secret"));
        QCOMPARE(mem.savetime, 5);
        QCOMPARE(g->datalength, 100);
        QCOMPARE(g->interval, 7);

        const Tmailsetting saved = LoadMail();
        QCOMPARE(saved.smtpserver, mem.smtpserver);
        QCOMPARE(saved.sendfrom, mem.sendfrom);
        QCOMPARE(saved.sendto, mem.sendto);
        QCOMPARE(saved.subject, mem.subject);
        QCOMPARE(saved.emailtext, mem.emailtext);
        QCOMPARE(saved.sendsetting, mem.sendsetting);
        QCOMPARE(saved.option1, mem.option1);
        QCOMPARE(saved.option2, mem.option2);
        const QStringList lines = Lines(ReadIni());
        for (const char* kept : {"savetime=5", "[Ping setting]", "datalength=100", "interval=7", "[Other]",
                                 "keep=this line"})
            QVERIFY2(lines.contains(QLatin1String(kept)), kept);
    }

    void okOnAdvancedPage_data() {
        QTest::addColumn<QString>("lengthtext");
        QTest::addColumn<QString>("savetext");
        QTest::addColumn<QString>("intervaltext");
        QTest::addColumn<int>("datalength");
        QTest::addColumn<int>("savetime");
        QTest::addColumn<int>("interval");
        QTest::newRow("numbers") << "64" << "15" << "9" << 64 << 15 << 9;
        QTest::newRow("empty fields") << "" << "" << "" << 8 << 0 << 3;
        QTest::newRow("no range check") << "0" << "0" << "0" << 0 << 0 << 0;
        QTest::newRow("overlong") << "99999999999" << "4294967296" << "12345678901234" << 8 << 0 << 3;
        QTest::newRow("interval not a number") << "1024" << "60" << "5x" << 1024 << 60 << 3;
    }

    // OK on "Advanced  Setting" stores the page's two fields and the main window's interval
    // field, and leaves every mail key but "savetime" alone, also the ones edited on the mail page.
    void okOnAdvancedPage() {
        QFETCH(QString, lengthtext);
        QFETCH(QString, savetext);
        QFETCH(QString, intervaltext);
        QFETCH(int, datalength);
        QFETCH(int, savetime);
        QFETCH(int, interval);
        WriteIni(kFullIni);
        veltrin::Tgolbal* g = Golbal();
        veltrin::LoadSettings(inipath_.toStdString(), g->mailsetting, g->interval, g->datalength);
        const Tmailsetting before = g->mailsetting;
        intervaltext_ = intervaltext;

        Tmailsettingform* w = Open();
        QVERIFY(w);
        w->semtpserveredt()->setText(QStringLiteral("edited.example.test"));
        w->mailtext()->setPlainText(QStringLiteral("edited"));
        w->PageControl()->setCurrentWidget(w->AdvancedPage());
        w->datalength()->setText(lengthtext);
        w->savetimeedt()->setText(savetext);
        QPointer<Tmailsettingform> guard(w);
        w->Button1()->click();
        QVERIFY(Deleted(guard));

        QCOMPARE(g->datalength, datalength);
        QCOMPARE(g->mailsetting.savetime, savetime);
        QCOMPARE(g->interval, interval);
        QCOMPARE(IniValue("Ping setting", "datalength"), QString::number(datalength));
        QCOMPARE(IniValue("Ping setting", "interval"), QString::number(interval));
        QCOMPARE(IniValue("mailsetting", "savetime"), QString::number(savetime));
        QCOMPARE(g->mailsetting.smtpserver, before.smtpserver);
        QCOMPARE(g->mailsetting.emailtext, before.emailtext);
        const QStringList lines = Lines(ReadIni());
        for (const char* kept : {"smtpserver=old.example.test", "sendfrom=old@example.test",
                                 "sendto=older@example.test", "subject=Old subject", "emailtext=old text",
                                 "sendsetting=all", "option1=b2xk", "option2=c2VjcmV0", "authentication=1",
                                 "keep=this line"})
            QVERIFY2(lines.contains(QLatin1String(kept)), kept);
    }

    // The advanced page's "Keep the address list between runs": on by default, saved by OK on
    // that page and shown as stored at the next opening.
    void keepListOption() {
        Tmailsettingform* w = Open();
        QVERIFY(w);
        QVERIFY(w->keeplistchb()->isChecked());
        w->PageControl()->setCurrentWidget(w->AdvancedPage());
        w->keeplistchb()->click();
        w->Button1()->click();
        QCOMPARE(IniValue("Ping setting", "keeplist"), QStringLiteral("0"));
        QCOMPARE(veltrin::LoadPingInteger(inipath_.toStdString(), veltrin::kKeepListKey, 1), 0);
        w = Open();
        QVERIFY(w);
        QVERIFY(!w->keeplistchb()->isChecked());
        w->PageControl()->setCurrentWidget(w->AdvancedPage());
        w->keeplistchb()->click();
        w->Button1()->click();
        QCOMPARE(IniValue("Ping setting", "keeplist"), QStringLiteral("1"));
    }

    // The advanced page's probe host and hot keys: shown from memory and the file, saved by OK,
    // and the main window told so both count at once. An empty host turns the check off.
    void desktopFieldsRoundTrip_data() {
        QTest::addColumn<QByteArray>("stored");     // the "hotkeys" line, if any
        QTest::addColumn<QString>("shown");         // the radio button checked at opening
        QTest::addColumn<QString>("choose");        // the radio button clicked
        QTest::addColumn<QString>("host");          // typed into the probe host field
        QTest::addColumn<QString>("savedchord");
        QTest::addColumn<QString>("savedhost");
        QTest::newRow("default to Ctrl alone, host kept") << QByteArray() << "hotkeyctrlalt_radiobtn"
                                                           << "hotkeyctrl_radiobtn" << "127.0.0.1" << "2" << "127.0.0.1";
        QTest::newRow("Ctrl alone to off, check off") << QByteArray("hotkeys=2\r\n") << "hotkeyctrl_radiobtn"
                                                      << "hotkeyoff_radiobtn" << "" << "0" << "";
        QTest::newRow("off back to default, blanks trimmed") << QByteArray("hotkeys=0\r\n") << "hotkeyoff_radiobtn"
                                                             << "hotkeyctrlalt_radiobtn" << "  localhost " << "1"
                                                             << "localhost";
        QTest::newRow("unknown value shows the default") << QByteArray("hotkeys=9\r\n") << "hotkeyctrlalt_radiobtn"
                                                         << "hotkeyctrlalt_radiobtn" << "127.0.0.2" << "1" << "127.0.0.2";
    }
    void desktopFieldsRoundTrip() {
        QFETCH(QByteArray, stored);
        QFETCH(QString, shown);
        QFETCH(QString, choose);
        QFETCH(QString, host);
        QFETCH(QString, savedchord);
        QFETCH(QString, savedhost);
        WriteIni("[Ping setting]\r\ninterval=3\r\n" + stored);
        Golbal()->probehost = "127.0.0.9";
        int told = 0;
        auto* w = new Tmailsettingform(MailSettingHost{[this] { return intervaltext_; }, {}, {}, [&told] { ++told; }});
        window_ = w;
        w->show();
        Settle();
        QCOMPARE(w->probehostedt()->text(), QStringLiteral("127.0.0.9"));
        QVERIFY(w->findChild<QRadioButton*>(shown)->isChecked());
        QVERIFY(w->hotkeyctrl_radiobtn()->text().contains(QStringLiteral("takes these keys")));
        w->PageControl()->setCurrentWidget(w->AdvancedPage());
        w->probehostedt()->setText(host);
        w->findChild<QRadioButton*>(choose)->click();
        QPointer<Tmailsettingform> alive(w);
        w->Button1()->click();
        QVERIFY(Deleted(alive));
        QCOMPARE(told, 1);
        QCOMPARE(IniValue("Ping setting", "hotkeys"), savedchord);
        QCOMPARE(IniValue("Ping setting", "probehost"), savedhost);
        QCOMPARE(QString::fromStdString(Golbal()->probehost), savedhost);
        // What the check itself reads from the file: empty is off, not the default host.
        qunsetenv(veltrin::kProbeHostVariable);
        QCOMPARE(QString::fromStdString(veltrin::LoadProbeHost(inipath_.toStdString())), savedhost);
        qputenv(veltrin::kProbeHostVariable, "127.0.0.1");
    }

    // A probe host that cannot be a host is refused like a wrong mail address: the window stays
    // with the edits and the focus on the field, nothing is written.
    void badProbeHostRefused_data() {
        QTest::addColumn<QString>("host");
        QTest::newRow("blank inside") << "a b";
        QTest::newRow("option-like") << "-x";
        QTest::newRow("shell characters") << "x;rm -rf /";
        QTest::newRow("web address") << "http://127.0.0.1/";
    }
    void badProbeHostRefused() {
        QFETCH(QString, host);
        WriteIni("[Ping setting]\r\nprobehost=127.0.0.1\r\n");
        Golbal()->probehost = "127.0.0.1";
        int told = 0;
        auto* w = new Tmailsettingform(MailSettingHost{[this] { return intervaltext_; }, {}, {}, [&told] { ++told; }});
        window_ = w;
        w->show();
        w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w));
        Settle();
        w->PageControl()->setCurrentWidget(w->AdvancedPage());
        w->probehostedt()->setText(host);
        w->hotkeyoff_radiobtn()->click();
        const QByteArray before = ReadIni();
        w->Button1()->click();
        QCOMPARE(dialogs_->messages.size(), std::size_t{1});
        QVERIFY(dialogs_->messages[0].text.startsWith(QStringLiteral("Wrong probe host")));
        QVERIFY(w->isVisible());
        QCOMPARE(w->probehostedt()->text(), host);
        QVERIFY(w->hotkeyoff_radiobtn()->isChecked());
        QVERIFY(w->probehostedt()->hasFocus());
        QCOMPARE(ReadIni(), before);
        QCOMPARE(told, 0);
        QCOMPARE(QString::fromStdString(Golbal()->probehost), QStringLiteral("127.0.0.1"));
    }

    // The advanced page's "Keep round-trip history": on by default, saved by OK as the
    // settings key the window and the console read at start, shown as stored.
    void historyOption() {
        Tmailsettingform* w = Open();
        QVERIFY(w);
        QVERIFY(w->historychb()->isChecked());
        QVERIFY(veltrin::HistoryEnabled(inipath_.toStdString()));
        w->PageControl()->setCurrentWidget(w->AdvancedPage());
        w->historychb()->click();
        w->Button1()->click();
        QCOMPARE(IniValue("Ping setting", "history"), QStringLiteral("0"));
        QVERIFY(!veltrin::HistoryEnabled(inipath_.toStdString()));
        w = Open();
        QVERIFY(w);
        QVERIFY(!w->historychb()->isChecked());
        w->PageControl()->setCurrentWidget(w->AdvancedPage());
        w->historychb()->click();
        w->Button1()->click();
        QCOMPARE(IniValue("Ping setting", "history"), QStringLiteral("1"));
        QVERIFY(veltrin::HistoryEnabled(inipath_.toStdString()));
    }

    // The advanced page's reachability fields: shown from the file (defaults without one),
    // stored on OK in seconds-to-milliseconds, kept in range, and the main window told.
    void reachFieldsRoundTrip() {
        int told = 0;
        auto open = [&] {
            auto* w = new Tmailsettingform(MailSettingHost{[this] { return intervaltext_; }, {}, [&told] { ++told; }});
            w->show();
            Settle();
            return w;
        };
        Tmailsettingform* w = open();
        QCOMPARE(w->timeoutedt()->value(), 2.0);
        QCOMPARE(w->lostcountedt()->value(), 2);
        QVERIFY(w->notifychb()->isChecked());
        QVERIFY(!w->mailalertchb()->isChecked());  // the mail alert is off until asked for
        w->close();
        Settle();

        WriteIni("[Reachability]\ntimeout=3500\nlostcount=4\nnotifications=0\nmailalert=1\nkeep=this line\n");
        w = open();
        QCOMPARE(w->timeoutedt()->value(), 3.5);
        QCOMPARE(w->lostcountedt()->value(), 4);
        QVERIFY(!w->notifychb()->isChecked());
        QVERIFY(w->mailalertchb()->isChecked());
        w->PageControl()->setCurrentWidget(w->AdvancedPage());
        w->timeoutedt()->setValue(0.5);
        w->lostcountedt()->setValue(7);
        w->notifychb()->setChecked(true);
        w->mailalertchb()->setChecked(false);
        // A repaint while the window is open keeps what was typed.
        w->FormPaint();
        QCOMPARE(w->lostcountedt()->value(), 7);
        QPointer<Tmailsettingform> guard(w);
        w->Button1()->click();
        QVERIFY(Deleted(guard));
        QCOMPARE(told, 1);
        veltrin::ReachSettings reach;
        veltrin::LoadReachSettings(inipath_.toStdString(), reach);
        QCOMPARE(reach.timeoutms, 500);
        QCOMPARE(reach.lostcount, 7);
        QVERIFY(reach.notifications);
        QVERIFY(!reach.mailalert);
        QVERIFY(Lines(ReadIni()).contains(QStringLiteral("keep=this line")));

        // The fields cannot go outside what the monitor accepts.
        w = open();
        w->timeoutedt()->setValue(100000.0);
        w->lostcountedt()->setValue(0);
        QCOMPARE(w->timeoutedt()->value(), veltrin::kMaxReachTimeoutMs / 1000.0);
        QCOMPARE(w->lostcountedt()->value(), veltrin::kMinReachLostCount);
        w->close();
        Settle();
    }

    void okWithoutFileCreatesItPrivate() {
        Tmailsettingform* w = Open();
        QVERIFY(w);
        w->Button1()->click();
        QVERIFY(QFile::exists(inipath_));
        QCOMPARE(QFile::permissions(inipath_) & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup |
                                                 QFile::WriteOther),
                 QFile::Permissions());
    }

    void cancelSavesNothing() {
        Tmailsettingform* w = Open();
        QVERIFY(w);
        w->semtpserveredt()->setText(QStringLiteral("other.example.test"));
        QPointer<Tmailsettingform> guard(w);
        QTest::mouseClick(w->Button2(), Qt::LeftButton);
        QVERIFY(Deleted(guard));
        QVERIFY(!QFile::exists(inipath_));
        QCOMPARE(Golbal()->mailsetting.smtpserver, std::string("127.0.0.1"));
        QVERIFY(log_.isEmpty());
    }

    // ---- keys --------------------------------------------------------------------------------

    void numberFieldsTakeDigitsOnly_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("next");
        QTest::newRow("Data length") << "datalength" << "savetimeedt";
        QTest::newRow("Save interval") << "savetimeedt" << "keeplistchb";
    }

    void numberFieldsTakeDigitsOnly() {
        QFETCH(QString, field);
        QFETCH(QString, next);
        Tmailsettingform* w = Open();
        QVERIFY(w);
        w->PageControl()->setCurrentWidget(w->AdvancedPage());
        auto* edit = w->findChild<QLineEdit*>(field);
        QVERIFY(edit);
        edit->setFocus();
        edit->clear();
        QTest::keyClicks(edit, QStringLiteral("1a2B-3 .x+"));
        QCOMPARE(edit->text(), QStringLiteral("123"));
        QTest::keyClick(edit, Qt::Key_Backspace);
        QCOMPARE(edit->text(), QStringLiteral("12"));
        QTest::keyClick(edit, Qt::Key_Home);
        QTest::keyClick(edit, Qt::Key_Delete);
        QCOMPARE(edit->text(), QStringLiteral("2"));
        // Pasted letters are refused too.
        QGuiApplication::clipboard()->setText(QStringLiteral("7z"));
        edit->paste();
        QCOMPARE(edit->text(), QStringLiteral("2"));
        // Enter moves on and is not entered.
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(edit->text(), QStringLiteral("2"));
        QCOMPARE(QApplication::focusWidget(), w->findChild<QWidget*>(next));
    }

    void enterInFieldsMovesOn() {
        Tmailsettingform* w = Open();
        QVERIFY(w);
        w->semtpserveredt()->setFocus();
        QTest::keyClick(w->semtpserveredt(), Qt::Key_Return);
        QCOMPARE(QApplication::focusWidget(), w->sendfromedt());
        QTest::keyClick(w->sendfromedt(), Qt::Key_Return);
        QCOMPARE(QApplication::focusWidget(), w->sendtoedt());
        QTest::keyClick(w->sendtoedt(), Qt::Key_Enter);
        QCOMPARE(QApplication::focusWidget(), w->subjectedt());
        QTest::keyClick(w->subjectedt(), Qt::Key_Return);
        QVERIFY(QApplication::focusWidget() != w->subjectedt());
        w->option1edt()->setFocus();
        QTest::keyClick(w->option1edt(), Qt::Key_Return);
        QCOMPARE(QApplication::focusWidget(), w->option2edt());
        QTest::keyClick(w->option2edt(), Qt::Key_Return);
        QCOMPARE(QApplication::focusWidget(), w->Button1());
        QVERIFY(log_.isEmpty());
        QCOMPARE(w->subjectedt()->text(), QStringLiteral("Report"));
    }

    void addressFieldsWarn_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("next");
        QTest::newRow("Send from") << "sendfromedt" << "sendtoedt";
        QTest::newRow("Send to") << "sendtoedt" << "subjectedt";
    }

    // Enter or leaving an address field without "@" warns; editing goes on.
    void addressFieldsWarn() {
        QFETCH(QString, field);
        QFETCH(QString, next);
        Tmailsettingform* w = Open();
        QVERIFY(w);
        auto* edit = w->findChild<QLineEdit*>(field);
        edit->setFocus();
        edit->setText(QStringLiteral("nobody"));

        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(log_, QStringList{"notice [Notice] Wrong address information"});
        QCOMPARE(QApplication::focusWidget(), edit);

        log_.clear();
        QTest::keyClick(edit, Qt::Key_Tab);
        QCOMPARE(log_, QStringList{"notice [Notice] Wrong address information"});
        QCOMPARE(QApplication::focusWidget(), w->findChild<QWidget*>(next));

        // With "@" anywhere, leaving is silent.
        log_.clear();
        edit->setFocus();
        edit->setText(QStringLiteral("@"));
        QTest::keyClick(edit, Qt::Key_Tab);
        QVERIFY(log_.isEmpty());

        // An empty field fails too.
        edit->setFocus();
        edit->clear();
        QTest::keyClick(edit, Qt::Key_Backtab);
        QCOMPARE(log_, QStringList{"notice [Notice] Wrong address information"});
    }

    void clickFromBadAddressWarnsFirst_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("after");  // messages after a second click
        QTest::addColumn<bool>("closes");        // the second click closes the window
        QTest::newRow("Cancel") << "Button2" << QStringList{"notice [Notice] Wrong address information"} << true;
        QTest::newRow("OK") << "Button1"
                            << QStringList{"notice [Notice] Wrong address information",
                                           "notice [Notice] Wrong send address information"}
                            << false;
    }

    // Clicking Cancel or OK while the focused send-from field holds no "@": the warning comes
    // as focus leaves the field, and that click is spent on it (the button is not left held
    // down); the next click does the button's work: Cancel closes, OK refuses the address and
    // keeps the window with the typed text.
    void clickFromBadAddressWarnsFirst() {
        QFETCH(QString, button);
        QFETCH(QStringList, after);
        QFETCH(bool, closes);
        Tmailsettingform* w = Open();
        QVERIFY(w);
        auto* target = w->findChild<QPushButton*>(button);
        w->sendfromedt()->setFocus();
        w->sendfromedt()->setText(QStringLiteral("nobody"));
        QPointer<Tmailsettingform> guard(w);
        QTest::mouseClick(target, Qt::LeftButton);
        QCOMPARE(log_, QStringList{"notice [Notice] Wrong address information"});
        QCOMPARE(QApplication::focusWidget(), target);
        QVERIFY(!target->isDown());
        QVERIFY(!Deleted(guard));
        Settle();
        QTest::mouseClick(target, Qt::LeftButton);
        QCOMPARE(log_, after);
        QCOMPARE(Deleted(guard), closes);
        if (!closes) {
            QCOMPARE(w->sendfromedt()->text(), QStringLiteral("nobody"));
            QCOMPARE(QApplication::focusWidget(), w->sendfromedt());
        }
        QVERIFY(!QFile::exists(inipath_));
    }

    void okWithBadAddress_data() {
        QTest::addColumn<QString>("sendfrom");
        QTest::addColumn<QString>("sendto");
        QTest::addColumn<QString>("message");
        QTest::newRow("send from") << "nobody" << "you@example.test" << "Wrong send address information";
        QTest::newRow("send from empty") << "" << "you@example.test" << "Wrong send address information";
        QTest::newRow("both wrong") << "nobody" << "nobody" << "Wrong send address information";
        QTest::newRow("send to") << "me@example.test" << "nobody" << "Wrong delivery address information";
        QTest::newRow("send to empty") << "me@example.test" << "" << "Wrong delivery address information";
    }

    // OK with a refused address says why, keeps the window open with every edit, puts the focus
    // on the refused field and saves nothing; once corrected, OK saves the edits and closes.
    void okWithBadAddress() {
        QFETCH(QString, sendfrom);
        QFETCH(QString, sendto);
        QFETCH(QString, message);
        Tmailsettingform* w = Open();
        QVERIFY(w);
        w->semtpserveredt()->setText(QStringLiteral("changed.example.test"));
        w->subjectedt()->setFocus();
        w->sendfromedt()->setText(sendfrom);
        w->sendtoedt()->setText(sendto);
        QPointer<Tmailsettingform> guard(w);
        w->Button1()->click();
        Settle();
        QCOMPARE(log_, QStringList{"notice [Notice] " + message});
        QVERIFY(!Deleted(guard));
        QVERIFY(w->isVisible());
        QCOMPARE(w->semtpserveredt()->text(), QStringLiteral("changed.example.test"));
        QCOMPARE(w->sendfromedt()->text(), sendfrom);
        QCOMPARE(w->sendtoedt()->text(), sendto);
        QLineEdit* refused = message.contains(QLatin1String("send address")) ? w->sendfromedt() : w->sendtoedt();
        QCOMPARE(QApplication::focusWidget(), refused);
        QVERIFY(!QFile::exists(inipath_));
        QCOMPARE(Golbal()->mailsetting.smtpserver, std::string("127.0.0.1"));

        log_.clear();
        w->sendfromedt()->setText(QStringLiteral("me@example.test"));
        w->sendtoedt()->setText(QStringLiteral("you@example.test"));
        w->Button1()->click();
        QVERIFY(log_.isEmpty());
        QVERIFY(Deleted(guard));
        QCOMPARE(LoadMail().smtpserver, std::string("changed.example.test"));
    }

    void okWhenSaveFails_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("advanced");
        QTest::addColumn<QString>("reason");  // what the message must say, besides the file
        for (const bool advanced : {false, true}) {
            const char* page = advanced ? "advanced page" : "mail page";
            QTest::addRow("%s, file where the folder should be", page)
                << "file as folder" << advanced << "Cannot read the settings file";
            QTest::addRow("%s, read-only folder", page) << "read-only folder" << advanced << "Read-only file system";
            QTest::addRow("%s, file over the size bound", page)
                << "oversized" << advanced << "is larger than 16 MB; it was left as it is";
            QTest::addRow("%s, save would pass the size bound", page)
                << "would pass" << advanced << "The settings would take more than 16 MB";
        }
    }

    // A settings file that cannot be written is reported with the reason, the old file stays as
    // it was, and the window stays open so nothing typed is lost.
    void okWhenSaveFails() {
        QFETCH(QString, how);
        QFETCH(bool, advanced);
        QFETCH(QString, reason);
        const QString folder = tmp_.path() + QStringLiteral("/savefails");
        QFile::remove(folder);
        QVERIFY(QDir(folder).removeRecursively());
        const QString path = folder + QStringLiteral("/korbel setting.ini");
        QByteArray before;  // the settings file as it stands before OK
        std::unique_ptr<ReadOnlyFolder> readonly;
        if (how == QLatin1String("file as folder")) {
            QFile file(folder);
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else {
            QVERIFY(QDir().mkpath(folder));
            if (how == QLatin1String("read-only folder")) {
                if (!gPrivateMounts) QSKIP("a read-only folder for root needs root and a mount namespace of its own");
                readonly = std::make_unique<ReadOnlyFolder>(folder);
                QVERIFY(readonly->ok());
            } else {
                // A file just over the bound, or one so close to it that the saved keys pass it.
                const qsizetype bound = static_cast<qsizetype>(veltrin::kMaxSettingsFileBytes);
                before = QByteArray("[other]\r\nkept=") +
                         QByteArray(how == QLatin1String("oversized") ? bound : bound - 40, 'x') + "\r\n";
                QFile file(path);
                QVERIFY(file.open(QIODevice::WriteOnly));
                QCOMPARE(file.write(before), before.size());
            }
        }
        Golbal()->inipath = path.toStdString();
        Tmailsettingform* w = Open();
        QVERIFY(w);
        if (advanced) w->PageControl()->setCurrentWidget(w->AdvancedPage());
        w->subjectedt()->setText(QStringLiteral("Kept"));
        QPointer<Tmailsettingform> guard(w);
        w->Button1()->click();

        QCOMPARE(log_.size(), 1);
        const QString shown = log_.front();
        QVERIFY2(shown.startsWith(QLatin1String("notice [Notice] Setting save error: ")), qPrintable(shown));
        QVERIFY2(shown.contains(reason), qPrintable(shown));
        if (how != QLatin1String("would pass")) QVERIFY2(shown.contains(path), qPrintable(shown));
        QVERIFY(!Deleted(guard));
        QCOMPARE(w->subjectedt()->text(), QStringLiteral("Kept"));
        if (how == QLatin1String("file as folder")) {
            QVERIFY(QFileInfo(folder).isFile());
        } else {
            QFile file(path);
            if (before.isEmpty()) {
                QVERIFY(!file.exists());
            } else {
                QVERIFY(file.open(QIODevice::ReadOnly));
                QVERIFY(file.readAll() == before);
            }
            QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                     before.isEmpty() ? QStringList() : QStringList{QStringLiteral("korbel setting.ini")});
        }
        readonly.reset();
        QFile::remove(folder);
        QVERIFY(QDir(folder).removeRecursively());
    }

    // ---- Send mail now... ----------------------------------------------------------------------

    void sendNowWithBadAddress_data() {
        QTest::addColumn<QString>("sendfrom");
        QTest::addColumn<QString>("sendto");
        QTest::addColumn<QString>("message");
        QTest::newRow("send from") << "nobody" << "you@example.test" << "Send from addr error";
        QTest::newRow("send to") << "me@example.test" << "nobody" << "Sendto addr error";
    }

    // A refused send says why and leaves both windows where they were: no system command to the
    // main window, this window shown with its edits, the focus on the refused field.
    void sendNowWithBadAddress() {
        QFETCH(QString, sendfrom);
        QFETCH(QString, sendto);
        QFETCH(QString, message);
        Tmailsettingform* w = Open();
        QVERIFY(w);
        bool sent = false;
        w->SetMailSender([&sent](const Tmailsetting&) {
            sent = true;
            return std::string("Successfully delivered");
        });
        w->semtpserveredt()->setText(QStringLiteral("changed.example.test"));
        w->sendfromedt()->setText(sendfrom);
        w->sendtoedt()->setText(sendto);
        w->savetimeedt()->setText(QStringLiteral("44"));
        QPointer<Tmailsettingform> guard(w);
        w->Button3()->click();
        Settle();
        QVERIFY(w->isVisible());
        QCOMPARE(log_, (QStringList{"notice [notice] " + message}));
        QVERIFY(!Deleted(guard));
        QCOMPARE(w->semtpserveredt()->text(), QStringLiteral("changed.example.test"));
        QCOMPARE(w->savetimeedt()->text(), QStringLiteral("44"));
        QLineEdit* refused = message.startsWith(QLatin1String("Send from")) ? w->sendfromedt() : w->sendtoedt();
        QCOMPARE(QApplication::focusWidget(), refused);
        QVERIFY(!sent);
        QVERIFY(!w->SendingMail());
        QCOMPARE(Golbal()->mailsetting.smtpserver, std::string("127.0.0.1"));
        QCOMPARE(Golbal()->mailsetting.savetime, 5);
        QVERIFY(!QFile::exists(inipath_));
    }

    // The send runs off the window thread: the window thread keeps serving events while the
    // mail is under way, and the result is shown once the send has returned.
    void sendNowKeepsWindowThreadFree() {
        Tmailsettingform* w = Open();
        QVERIFY(w);
        auto release = std::make_shared<std::promise<void>>();
        std::shared_future<void> released = release->get_future().share();
        w->SetMailSender([released](const Tmailsetting& mail) {
            released.wait();
            return "result for " + mail.sendto;
        });
        QPointer<Tmailsettingform> guard(w);
        w->Button3()->click();
        QCOMPARE(log_, QStringList{"syscommand f020"});
        QVERIFY(w->SendingMail());

        bool ticked = false;
        QTimer::singleShot(0, [&ticked] { ticked = true; });
        QTRY_VERIFY(ticked);
        QCOMPARE(log_, QStringList{"syscommand f020"});
        QVERIFY(!guard.isNull());

        release->set_value();
        QTRY_COMPARE_WITH_TIMEOUT(log_.size(), 2, 30000);
        QCOMPARE(log_.last(), QStringLiteral("plain [Veltrin Ping Utility] result for you@example.test"));
        QTRY_VERIFY(Deleted(guard));
    }

    // Closing the window (as the program's end does) while a send is under way: the late result
    // goes nowhere.
    void sendNowWindowGoneBeforeResult() {
        Tmailsettingform* w = Open();
        QVERIFY(w);
        auto release = std::make_shared<std::promise<void>>();
        auto finished = std::make_shared<std::promise<void>>();
        std::shared_future<void> released = release->get_future().share();
        std::future<void> done = finished->get_future();
        w->SetMailSender([released, finished](const Tmailsetting&) {
            released.wait();
            finished->set_value();
            return std::string("Successfully delivered");
        });
        w->Button3()->click();
        delete w;
        release->set_value();
        QCOMPARE(done.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        for (int i = 0; i < 20; ++i) {
            QTest::qWait(5);  // lets a wrongly posted result arrive
        }
        QCOMPARE(log_, QStringList{"syscommand f020"});
    }

    void sendNowFailureShowsNothing() {
        Tmailsettingform* w = Open();
        QVERIFY(w);
        w->SetMailSender([](const Tmailsetting&) -> std::string { throw std::runtime_error("broken"); });
        QPointer<Tmailsettingform> guard(w);
        w->Button3()->click();
        QTRY_VERIFY(Deleted(guard));
        QCOMPARE(log_, QStringList{"syscommand f020"});
    }

    // "Send mail now..." against a real SMTP server on loopback: the settings are taken as shown,
    // the text in comma-joined form, the mail is delivered, and nothing is written to the file.
    void sendNowDelivers() {
        const QString script = QStringLiteral(VELTRIN_TOOLS "/smtp_server.py");
        if (!QFile::exists(script)) QSKIP("tests/tools/smtp_server.py is not there");
        // A loopback address of this run's own, so that neither other SMTP tests on 127.0.0.1:25
        // nor a server left over from an aborted run stand in the way.
        const qint64 pid = QCoreApplication::applicationPid();
        const QString host = QStringLiteral("127.25.%1.%2").arg((pid >> 8) & 0xff).arg((pid & 0xfe) + 1);
        const QString record = tmp_.path() + QStringLiteral("/smtp-record.txt");
        QProcess server;
        server.setProcessChannelMode(QProcess::SeparateChannels);
        server.start(QStringLiteral("/usr/bin/python3"),
                     {script, "--host", host, "--port", "25", "--record", record, "--lifetime", "60"});
        QVERIFY2(server.waitForStarted(10000), qPrintable(server.errorString()));
        QByteArray said;
        while (!said.contains('\n') && server.waitForReadyRead(20000)) said += server.readAllStandardOutput();
        QVERIFY2(said.startsWith("READY"), (said + server.readAllStandardError()).constData());

        Tmailsettingform* w = Open();
        QVERIFY(w);
        w->semtpserveredt()->setText(QStringLiteral(" ") + host);
        w->sendfromedt()->setText(QStringLiteral("  sender@example.test "));
        w->sendtoedt()->setText(QStringLiteral("rcpt@example.test"));
        w->subjectedt()->setText(QStringLiteral("Now"));
        w->authenticationchb()->click();  // this server offers no authentication
        QTest::mouseClick(w->iwriteit_radiobtn(), Qt::LeftButton);
        w->mailtext()->setPlainText(QStringLiteral("word\ntwo words"));
        w->savetimeedt()->setText(QStringLiteral("7"));
        QPointer<Tmailsettingform> guard(w);
        w->Button3()->click();
        QVERIFY(!w->isVisible());

        const Tmailsetting& mem = Golbal()->mailsetting;
        QCOMPARE(mem.emailtext, std::string("word\r\ntwo words"));
        QCOMPARE(mem.smtpserver, host.toStdString());
        QCOMPARE(mem.sendfrom, std::string("sender@example.test"));
        QCOMPARE(mem.sendsetting, std::string("own text"));
        QVERIFY(!mem.authentication);
        QCOMPARE(mem.savetime, 7);

        QTRY_COMPARE_WITH_TIMEOUT(log_.size(), 2, 60000);
        QCOMPARE(log_, (QStringList{"syscommand f020", "plain [Veltrin Ping Utility] Successfully delivered"}));
        QTRY_VERIFY(Deleted(guard));
        QVERIFY(!QFile::exists(inipath_));

        server.terminate();
        QVERIFY(server.waitForFinished(10000));
        const std::vector<SmtpEvent> events = ReadRecord(record);
        QCOMPARE(Events(events, "mail_from"), QList<QByteArray>{"sender@example.test"});
        QCOMPARE(Events(events, "rcpt"), QList<QByteArray>{"rcpt@example.test"});
        for (const QByteArray& cmd : Events(events, "cmd")) QVERIFY2(!cmd.startsWith("AUTH"), cmd.constData());
        const QList<QByteArray> payload = Events(events, "payload");
        QCOMPARE(payload.size(), 1);
        // The memo's lines arrive as lines.
        QCOMPARE(QString::fromUtf8(payload.first()).split(QRegularExpression(QStringLiteral("\r?\n")), Qt::SkipEmptyParts),
                 QStringList({"word", "two words"}));
        QVERIFY2(!payload.first().contains("\""), payload.first().constData());
        QCOMPARE(Events(events, "subject"), QList<QByteArray>{"Now"});
    }
};

QTEST_MAIN(MailSettingTest)
#include "mailsetting_test.moc"
