#include "ui/mailsetting.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QSpinBox>
#include <QEvent>
#include <QFocusEvent>
#include <QFont>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QWindow>

#include <cmath>
#include <exception>
#include <thread>
#include <utility>

#include "engine/decimal.h"
#include "engine/global_unit.h"
#include "engine/sendsetting.h"
#include "monitor/worker.h"
#include "settings/mailform.h"
#include "settings/mailreport.h"
#include "settings/settingsfile.h"
#include "ui/dialogs.h"
#include "ui/handover.h"
#include "ui/keyfilter.h"
#include "ui/painttimer.h"
#include "ui/syscommand.h"

using veltrin::Golbal;
using veltrin::Tmailsetting;

namespace {

QString FromStd(const std::string& text) { return QString::fromStdString(text); }

// A decimal integer (blanks around it allowed), or `fallback` when the text is not one.
std::int32_t IntOr(const QString& text, std::int32_t fallback) {
    return veltrin::DecimalOr(text.trimmed().toStdString(), fallback);
}

bool HasAt(const QLineEdit* field) { return field->text().contains(QLatin1Char('@')); }

QString MemoText(const std::string& stored) {
    QString text = FromStd(stored);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

QLabel* Caption(QWidget* parent, const QString& text, int x, int y) {
    auto* label = new QLabel(text, parent);
    label->move(x, y);
    label->adjustSize();
    return label;
}

QString SendSettingText(std::string_view token) {
    return QString::fromLatin1(token.data(), static_cast<qsizetype>(token.size()));
}

}  // namespace

// Shared between the window and the thread that runs SendMail. The thread may outlive the window
// (SendMail can take minutes); it hands the result to the window thread through the window
// hand-over, under this gate. The window stops the gate when it goes (or the application ends),
// so a result that comes later is dropped and its step never runs.
struct Tmailsettingform::MailJob {
    veltrin::Gate gate;
};

Tmailsettingform::Tmailsettingform(MailSettingHost host, QWidget* parent)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      host_(std::move(host)),
      cursendsetting_(SendSettingText(veltrin::kSendNothing)),
      handover_(veltrin::WindowHandOver()) {
    setObjectName(QStringLiteral("mailsettingform"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Settings"));
    setFixedSize(554, 367);
    QFont small = font();  // the window was laid out for an 11-pixel font
    small.setPixelSize(11);
    setFont(small);

    paint_ = new veltrin::PaintCoalescer(this, [this] { FormPaint(); });
    expose_ = new veltrin::ExposeWatch(this, [this] {
        if (windowHandle()->isExposed()) RequestPaint();
    });

    PageControl1_ = new QTabWidget(this);
    PageControl1_->setObjectName(QStringLiteral("PageControl1"));
    PageControl1_->setGeometry(4, 4, 546, 300);
    BuildEmailPage();
    BuildAdvancedPage();
    PageControl1_->setCurrentWidget(emailpage_);
    BuildButtons();

    StatusBar1_ = new QStatusBar(this);
    StatusBar1_->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1_->setSizeGripEnabled(false);
    StatusBar1_->setGeometry(0, 367 - 20, 554, 20);

    SetTabOrder();

    // The mail thread must not hand a result to a window of an application that is going away.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &Tmailsettingform::DetachJob);
}

Tmailsettingform::~Tmailsettingform() {
    StopSwallowingPress();
    DetachJob();
}

void Tmailsettingform::BuildEmailPage() {
    emailpage_ = new QWidget;
    emailpage_->setObjectName(QStringLiteral("TabSheet1"));
    PageControl1_->addTab(emailpage_, QStringLiteral("Email Setting"));

    auto* address = new QGroupBox(QStringLiteral("Email address"), emailpage_);
    address->setObjectName(QStringLiteral("GroupBox1"));
    address->setGeometry(6, 4, 246, 262);

    auto edit = [](QWidget* parent, const char* name, int y) {
        auto* field = new QLineEdit(parent);
        field->setObjectName(QLatin1String(name));
        field->setGeometry(94, y, 142, 22);
        return field;
    };
    Caption(address, QStringLiteral("SMTPserver:"), 10, 25);
    semtpserveredt_ = edit(address, "semtpserveredt", 22);
    Caption(address, QStringLiteral("Send from:"), 10, 51);
    sendfromedt_ = edit(address, "sendfromedt", 48);
    Caption(address, QStringLiteral("Send to:"), 10, 77);
    sendtoedt_ = edit(address, "sendtoedt", 74);
    Caption(address, QStringLiteral("Email Subject:"), 10, 103);
    subjectedt_ = edit(address, "subjectedt", 100);

    auto* text = new QGroupBox(QStringLiteral("Email Text"), address);
    text->setObjectName(QStringLiteral("GroupBox3"));
    text->setGeometry(6, 128, 234, 128);
    usesendsetting_radiobtn_ = new QRadioButton(QStringLiteral("Use send setting"), text);
    usesendsetting_radiobtn_->setObjectName(QStringLiteral("usesendsetting_radiobtn"));
    usesendsetting_radiobtn_->setGeometry(8, 20, 112, 20);
    iwriteit_radiobtn_ = new QRadioButton(QStringLiteral("I write  it ......"), text);
    iwriteit_radiobtn_->setObjectName(QStringLiteral("iwriteit_radiobtn"));
    iwriteit_radiobtn_->setGeometry(126, 20, 102, 20);
    mailtext_ = new QPlainTextEdit(text);
    mailtext_->setObjectName(QStringLiteral("mailtext"));
    mailtext_->setGeometry(8, 44, 218, 76);
    mailtext_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mailtext_->setTabChangesFocus(true);

    // The two text modes and the four send settings are separate choices, each exclusive.
    textmodegroup_ = new QButtonGroup(this);
    textmodegroup_->addButton(usesendsetting_radiobtn_);
    textmodegroup_->addButton(iwriteit_radiobtn_);

    auto* sendsetting = new QGroupBox(QStringLiteral("Send setting"), emailpage_);
    sendsetting->setObjectName(QStringLiteral("GroupBox2"));
    sendsetting->setGeometry(258, 4, 278, 130);
    auto radio = [sendsetting](const QString& caption, const char* name, int y) {
        auto* button = new QRadioButton(caption, sendsetting);
        button->setObjectName(QLatin1String(name));
        button->setGeometry(10, y, 262, 22);
        return button;
    };
    all_radiobtn_ = radio(QStringLiteral("Send the stored address log when closed"), "all_radiobtn", 20);
    errorcode_radiobtn_ = radio(QStringLiteral("Send Error Code when close"), "errorcode_radiobtn", 46);
    selectlog_radiaobtn_ = radio(QStringLiteral("Send log report that I select when close"), "selectlog_radiaobtn", 72);
    nothing_radiobtn_ = radio(QStringLiteral("NO,Send nothing when close"), "nothing_radiobtn", 98);
    sendsettinggroup_ = new QButtonGroup(this);
    for (QRadioButton* b : {all_radiobtn_, errorcode_radiobtn_, selectlog_radiaobtn_, nothing_radiobtn_})
        sendsettinggroup_->addButton(b);
    nothing_radiobtn_->setChecked(true);

    auto* authentication = new QGroupBox(QStringLiteral("Authentication"), emailpage_);
    authentication->setObjectName(QStringLiteral("GroupBox4"));
    authentication->setGeometry(258, 140, 278, 126);
    authenticationchb_ = new QCheckBox(QStringLiteral("Yes ,The smtp server need authentication...."), authentication);
    authenticationchb_->setObjectName(QStringLiteral("authenticationchb"));
    authenticationchb_->setGeometry(10, 22, 262, 22);
    authenticationchb_->setChecked(true);
    Caption(authentication, QStringLiteral("UserID:"), 10, 59);
    option1edt_ = new QLineEdit(authentication);
    option1edt_->setObjectName(QStringLiteral("option1edt"));
    option1edt_->setGeometry(84, 56, 184, 22);
    Caption(authentication, QStringLiteral("Password:"), 10, 89);
    option2edt_ = new QLineEdit(authentication);
    option2edt_->setObjectName(QStringLiteral("option2edt"));
    option2edt_->setGeometry(84, 86, 184, 22);
    option2edt_->setEchoMode(QLineEdit::Password);
    SetFieldEnabled(option1edt_, true);
    SetFieldEnabled(option2edt_, true);
    SendSettingMode();
    usesendsetting_radiobtn_->setChecked(true);

    connect(all_radiobtn_, &QRadioButton::clicked, this, &Tmailsettingform::all_radiobtnClick);
    connect(errorcode_radiobtn_, &QRadioButton::clicked, this, &Tmailsettingform::errorcode_radiobtnClick);
    connect(selectlog_radiaobtn_, &QRadioButton::clicked, this, &Tmailsettingform::selectlog_radiaobtnClick);
    connect(nothing_radiobtn_, &QRadioButton::clicked, this, &Tmailsettingform::nothing_radiobtnClick);
    connect(usesendsetting_radiobtn_, &QRadioButton::clicked, this, &Tmailsettingform::usesendsetting_radiobtnClick);
    connect(iwriteit_radiobtn_, &QRadioButton::clicked, this, &Tmailsettingform::iwriteit_radiobtnClick);
    connect(authenticationchb_, &QCheckBox::toggled, this, &Tmailsettingform::authenticationchbClick);

    for (QLineEdit* field : {semtpserveredt_, sendfromedt_, sendtoedt_, subjectedt_, option1edt_, option2edt_})
        field->installEventFilter(this);
}

void Tmailsettingform::BuildAdvancedPage() {
    advancedpage_ = new QWidget;
    advancedpage_->setObjectName(QStringLiteral("TabSheet2"));
    PageControl1_->addTab(advancedpage_, QStringLiteral("Advanced  Setting"));

    auto number = [this](const char* name, const QString& initial, const QString& hint, int y) {
        auto* field = new QLineEdit(initial, advancedpage_);
        field->setObjectName(QLatin1String(name));
        field->setGeometry(110, y, 80, 22);
        field->setToolTip(hint);
        // Keys are filtered below; this also keeps pasted text to digits.
        field->setValidator(
            new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), field));
        field->installEventFilter(this);
        return field;
    };
    Caption(advancedpage_, QStringLiteral("Data length"), 24, 31);
    datalength_ = number("datalength", QStringLiteral("8"), QStringLiteral("Ping data length"), 28);
    Caption(advancedpage_, QStringLiteral("Byte"), 198, 31);
    Caption(advancedpage_, QStringLiteral("Save interval"), 24, 67);
    savetimeedt_ = number("savetimeedt", QStringLiteral("0"), QStringLiteral("Save detail interval"), 64);
    Caption(advancedpage_, QStringLiteral("Min"), 198, 67);
    BuildReachFields();
}

void Tmailsettingform::BuildReachFields() {
    Caption(advancedpage_, QStringLiteral("Time-out"), 24, 103);
    timeoutedt_ = new QDoubleSpinBox(advancedpage_);
    timeoutedt_->setObjectName(QStringLiteral("timeoutedt"));
    timeoutedt_->setGeometry(110, 100, 80, 22);
    timeoutedt_->setDecimals(1);
    timeoutedt_->setRange(veltrin::kMinReachTimeoutMs / 1000.0, veltrin::kMaxReachTimeoutMs / 1000.0);
    timeoutedt_->setSingleStep(0.5);
    timeoutedt_->setValue(2.0);
    timeoutedt_->setToolTip(QStringLiteral("An echo without a reply for this long counts as lost"));
    Caption(advancedpage_, QStringLiteral("s"), 198, 103);
    Caption(advancedpage_, QStringLiteral("Lost count"), 24, 139);
    lostcountedt_ = new QSpinBox(advancedpage_);
    lostcountedt_->setObjectName(QStringLiteral("lostcountedt"));
    lostcountedt_->setGeometry(110, 136, 80, 22);
    lostcountedt_->setRange(veltrin::kMinReachLostCount, veltrin::kMaxReachLostCount);
    lostcountedt_->setValue(2);
    lostcountedt_->setToolTip(QStringLiteral("Lost echoes in a row after which a host is not answering"));
    Caption(advancedpage_, QStringLiteral("in a row"), 198, 139);
    notifychb_ = new QCheckBox(QStringLiteral("Desktop notification when a host stops or starts answering"),
                               advancedpage_);
    notifychb_->setObjectName(QStringLiteral("notifychb"));
    notifychb_->setGeometry(24, 172, 500, 22);
    notifychb_->setChecked(true);
    mailalertchb_ = new QCheckBox(QStringLiteral("Mail the report's recipients when a host stops or starts answering"),
                                  advancedpage_);
    mailalertchb_->setObjectName(QStringLiteral("mailalertchb"));
    mailalertchb_->setGeometry(24, 200, 500, 22);
    // Read once: a repaint must not undo what the user is typing.
    LoadReachFields();
}

void Tmailsettingform::LoadReachFields() {
    const veltrin::Tgolbal* g = Golbal();
    if (!g) return;
    veltrin::ReachSettings reach;
    veltrin::LoadReachSettings(g->inipath, reach);
    timeoutedt_->setValue(reach.timeoutms / 1000.0);
    lostcountedt_->setValue(reach.lostcount);
    notifychb_->setChecked(reach.notifications);
    mailalertchb_->setChecked(reach.mailalert);
}

void Tmailsettingform::SaveReachFields() {
    const veltrin::Tgolbal* g = Golbal();
    if (!g) return;
    veltrin::ReachSettings reach;
    reach.timeoutms = static_cast<std::int32_t>(std::lround(timeoutedt_->value() * 1000.0));
    reach.lostcount = lostcountedt_->value();
    reach.notifications = notifychb_->isChecked();
    reach.mailalert = mailalertchb_->isChecked();
    veltrin::SaveReachSettings(g->inipath, reach);
    if (host_.reachchanged) host_.reachchanged();
}

void Tmailsettingform::BuildButtons() {
    auto button = [this](const QString& caption, const char* name, int x, int width) {
        auto* b = new QPushButton(caption, this);
        b->setObjectName(QLatin1String(name));
        b->setGeometry(x, 312, width, 27);
        b->setAutoDefault(false);
        return b;
    };
    Button1_ = button(QStringLiteral("OK"), "Button1", 262, 80);
    Button3_ = button(QStringLiteral("Send mail now..."), "Button3", 350, 110);
    Button2_ = button(QStringLiteral("Cancel"), "Button2", 468, 80);
    connect(Button1_, &QPushButton::clicked, this, &Tmailsettingform::Button1Click);
    connect(Button2_, &QPushButton::clicked, this, &Tmailsettingform::Button2Click);
    connect(Button3_, &QPushButton::clicked, this, &Tmailsettingform::Button3Click);
}

void Tmailsettingform::SetTabOrder() {
    const QWidget* order[] = {semtpserveredt_,    sendfromedt_,      sendtoedt_,       subjectedt_,
                              usesendsetting_radiobtn_, iwriteit_radiobtn_, mailtext_, all_radiobtn_,
                              errorcode_radiobtn_, selectlog_radiaobtn_, nothing_radiobtn_, authenticationchb_,
                              option1edt_,        option2edt_,       datalength_,      savetimeedt_,
                              Button1_,           Button3_,          Button2_};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        QWidget::setTabOrder(const_cast<QWidget*>(order[i]), const_cast<QWidget*>(order[i + 1]));
    // The reachability fields sit between the advanced page's fields and the buttons.
    const QWidget* reach[] = {savetimeedt_, timeoutedt_, lostcountedt_, notifychb_, mailalertchb_, Button1_, Button3_, Button2_};
    for (std::size_t i = 0; i + 1 < std::size(reach); ++i)
        QWidget::setTabOrder(const_cast<QWidget*>(reach[i]), const_cast<QWidget*>(reach[i + 1]));
}

// ---- loading ---------------------------------------------------------------------------------

void Tmailsettingform::RequestPaint() { paint_->Request(); }

void Tmailsettingform::FormPaint() {
    const veltrin::Tgolbal* g = Golbal();
    if (!g) return;
    const Tmailsetting& mail = g->mailsetting;

    savetimeedt_->setText(QString::number(mail.savetime));
    {
        const QSignalBlocker block(authenticationchb_);
        authenticationchb_->setChecked(true);
    }
    SetFieldEnabled(option1edt_, true);
    SetFieldEnabled(option2edt_, true);
    semtpserveredt_->setText(FromStd(mail.smtpserver));
    sendfromedt_->setText(FromStd(mail.sendfrom));
    sendtoedt_->setText(FromStd(mail.sendto));
    subjectedt_->setText(FromStd(mail.subject));
    mailtext_->setPlainText(MemoText(mail.emailtext));

    usesendsetting_radiobtn_->setChecked(true);
    SendSettingMode();
    datalength_->setText(QString::number(g->datalength));

    switch (veltrin::SendChoiceOf(mail.sendsetting)) {
        case veltrin::SendChoice::ErrorCode:
            errorcode_radiobtn_->setChecked(true);
            break;
        case veltrin::SendChoice::All:
            all_radiobtn_->setChecked(true);
            break;
        case veltrin::SendChoice::SelectLog:
            selectlog_radiaobtn_->setChecked(true);
            break;
        case veltrin::SendChoice::OwnText:
            OwnTextMode();
            break;
    }
    cursendsetting_ = FromStd(mail.sendsetting);

    {
        const QSignalBlocker block(authenticationchb_);
        authenticationchb_->setChecked(mail.authentication);
    }
    if (mail.authentication) {
        option1edt_->setText(FromStd(veltrin::Base64Decode(mail.option1)));
        option2edt_->setText(FromStd(veltrin::Base64Decode(mail.option2)));
        SetFieldEnabled(option1edt_, true);
        SetFieldEnabled(option2edt_, true);
    } else {
        SetFieldEnabled(option1edt_, false);
        SetFieldEnabled(option2edt_, false);
    }
}

// A window that is shown, uncovered or activated shows the values in memory again, like a
// window that loads them whenever it paints. Typing never triggers a reload.
void Tmailsettingform::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    expose_->Attach();
    RequestPaint();
}

bool Tmailsettingform::event(QEvent* event) {
    if (event->type() == QEvent::WindowActivate) RequestPaint();
    return QWidget::event(event);
}

bool Tmailsettingform::eventFilter(QObject* watched, QEvent* event) {
    if (swallowpress_ &&
        (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick)) {
        auto* target = qobject_cast<QWidget*>(watched);
        if (target && target->window() == this) {
            StopSwallowingPress();
            return true;
        }
    }
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool enter = veltrin::IsEnterKey(key);
        if (watched == datalength_ || watched == savetimeedt_) {
            if (enter) {
                focusNextChild();
                return true;
            }
            return veltrin::SwallowNonDigitKey(key);
        }
        if (!enter) return false;
        if (watched == semtpserveredt_) {
            sendfromedt_->setFocus(Qt::TabFocusReason);
            return true;
        }
        if (watched == sendfromedt_ || watched == sendtoedt_) {
            auto* field = static_cast<QLineEdit*>(watched);
            if (!HasAt(field)) {
                veltrin::ShowNotice(this, QStringLiteral("Wrong address information"));
            } else {
                (field == sendfromedt_ ? sendtoedt_ : subjectedt_)->setFocus(Qt::TabFocusReason);
            }
            return true;
        }
        if (watched == subjectedt_ || watched == option1edt_ || watched == option2edt_) {
            focusNextChild();
            return true;
        }
        return false;
    }
    if (event->type() == QEvent::FocusOut && (watched == sendfromedt_ || watched == sendtoedt_)) {
        // Only a move to another control of this window counts as leaving the field; the window
        // losing activation (a message box, another program, hiding) does not.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        switch (reason) {
        case Qt::MouseFocusReason:
        case Qt::TabFocusReason:
        case Qt::BacktabFocusReason:
        case Qt::ShortcutFocusReason:
        case Qt::OtherFocusReason:
            if (isVisible() && !HasAt(static_cast<QLineEdit*>(watched))) {
                veltrin::ShowNotice(this, QStringLiteral("Wrong address information"));
                // The click that moved the focus is spent on the warning: its press would
                // otherwise reach the control after the message box has eaten the release,
                // leaving a button held down.
                if (reason == Qt::MouseFocusReason) SwallowPendingPress();
            }
            break;
        default:
            break;
        }
        return false;
    }
    return QWidget::eventFilter(watched, event);
}

// The press that is being delivered right now (focus changes before the press reaches the control)
// is dropped; a later one is not.
void Tmailsettingform::SwallowPendingPress() {
    if (swallowpress_) return;
    swallowpress_ = true;
    qApp->installEventFilter(this);
    QTimer::singleShot(0, this, &Tmailsettingform::StopSwallowingPress);
}

void Tmailsettingform::StopSwallowingPress() {
    if (!swallowpress_) return;
    swallowpress_ = false;
    qApp->removeEventFilter(this);
}

// ---- text modes and fields ---------------------------------------------------------------------

void Tmailsettingform::SetFieldEnabled(QWidget* field, bool enabled) {
    field->setEnabled(enabled);
    QPalette palette = field->palette();
    const QColor colour = enabled ? QColor(Qt::white) : QApplication::palette().color(QPalette::Button);
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::Base, colour);
    field->setPalette(palette);
}

void Tmailsettingform::SendSettingMode() {
    for (QAbstractButton* b : sendsettinggroup_->buttons()) b->setEnabled(true);
    SetFieldEnabled(mailtext_, false);
}

void Tmailsettingform::OwnTextMode() {
    nothing_radiobtn_->setChecked(true);
    iwriteit_radiobtn_->setChecked(true);
    for (QAbstractButton* b : sendsettinggroup_->buttons()) b->setEnabled(false);
    SetFieldEnabled(mailtext_, true);
}

void Tmailsettingform::all_radiobtnClick() { cursendsetting_ = SendSettingText(veltrin::kSendAll); }
void Tmailsettingform::errorcode_radiobtnClick() { cursendsetting_ = SendSettingText(veltrin::kSendErrorCode); }
void Tmailsettingform::selectlog_radiaobtnClick() { cursendsetting_ = SendSettingText(veltrin::kSendSelectLog); }

void Tmailsettingform::nothing_radiobtnClick() {
    cursendsetting_ = SendSettingText(veltrin::kSendNothing);
    OwnTextMode();
}

void Tmailsettingform::usesendsetting_radiobtnClick() { SendSettingMode(); }

void Tmailsettingform::iwriteit_radiobtnClick() {
    cursendsetting_ = SendSettingText(veltrin::kSendNothing);
    OwnTextMode();
}

void Tmailsettingform::authenticationchbClick() {
    const bool on = authenticationchb_->isChecked();
    SetFieldEnabled(option1edt_, on);
    SetFieldEnabled(option2edt_, on);
}

std::vector<std::string> Tmailsettingform::MailTextLines() const {
    QStringList lines = mailtext_->toPlainText().split(QLatin1Char('\n'));
    // Like a multi-line edit's line list: a final line break opens no extra line, and an empty
    // memo has no lines at all.
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(lines.size()));
    for (const QString& line : lines) out.push_back(line.toStdString());
    return out;
}

void Tmailsettingform::StoreMailSettings(const std::string& emailtext) {
    veltrin::MailForm form;
    form.smtpserver = semtpserveredt_->text().toStdString();
    form.sendfrom = sendfromedt_->text().toStdString();
    form.sendto = sendtoedt_->text().toStdString();
    form.subject = subjectedt_->text().toStdString();
    form.userid = option1edt_->text().toStdString();
    form.password = option2edt_->text().toStdString();
    form.authentication = authenticationchb_->isChecked();
    form.sendsetting = cursendsetting_.toStdString();
    veltrin::StoreMailForm(form, emailtext, Golbal()->mailsetting);
}

// ---- buttons -----------------------------------------------------------------------------------

void Tmailsettingform::Button1Click() {
    veltrin::Tgolbal* g = Golbal();
    if (g && PageControl1_->currentWidget() == emailpage_) {
        if (!HasAt(sendfromedt_)) {
            veltrin::ShowNotice(this, QStringLiteral("Wrong send address information"));
        } else if (!HasAt(sendtoedt_)) {
            veltrin::ShowNotice(this, QStringLiteral("Wrong delivery address information"));
        } else {
            StoreMailSettings(veltrin::OkMailText(MailTextLines()));
            veltrin::SaveMailSettings(g->inipath, g->mailsetting);
        }
    } else if (g) {
        const QString lengthtext = datalength_->text().isEmpty() ? QStringLiteral("8") : datalength_->text();
        QString intervaltext = host_.intervaltext ? host_.intervaltext() : QString();
        if (intervaltext.isEmpty()) intervaltext = QStringLiteral("3");
        g->mailsetting.savetime = IntOr(savetimeedt_->text(), 0);
        g->interval = IntOr(intervaltext, 3);
        g->datalength = IntOr(lengthtext, 8);
        veltrin::SaveAdvancedSettings(g->inipath, g->mailsetting.savetime, g->datalength, g->interval);
        SaveReachFields();
    }
    close();
}

void Tmailsettingform::Button2Click() { close(); }

void Tmailsettingform::Button3Click() {
    hide();
    if (host_.syscommand) host_.syscommand(veltrin::SC_MINIMIZE);
    veltrin::Tgolbal* g = Golbal();
    if (!HasAt(sendfromedt_)) {
        veltrin::ShowNotice(this, QStringLiteral("Send from addr error"), QStringLiteral("notice"));
        deleteLater();
        return;
    }
    if (!HasAt(sendtoedt_)) {
        veltrin::ShowNotice(this, QStringLiteral("Sendto addr error"), QStringLiteral("notice"));
        deleteLater();
        return;
    }
    if (!g) {
        deleteLater();
        return;
    }
    g->mailsetting.savetime = IntOr(savetimeedt_->text(), 0);
    StoreMailSettings(veltrin::SendNowMailText(MailTextLines()));

    // SendMail may wait for the server for minutes: it runs on a thread of its own and the
    // result is shown when it comes back, so the windows keep working meanwhile.
    auto job = std::make_shared<MailJob>();
    job_ = job;
    std::function<std::string(const Tmailsetting&)> sender =
        sender_ ? sender_ : [](const Tmailsetting& mail) { return veltrin::SendMail(mail); };
    veltrin::HandOver& handover = handover_;
    auto run = [job, sender, &handover, window = this, mail = g->mailsetting] {
        std::string result;
        bool failed = false;
        try {
            result = sender(mail);
        } catch (...) {
            // A send that broke down has no result to show; the window just goes.
            failed = true;
        }
        // The step runs on the window thread only while the job's gate is open, and the window
        // closes the gate (on the window thread) before it goes, so `window` is alive there.
        handover.Run(job->gate, [window, result = std::move(result), failed] { window->MailDelivered(result, failed); });
    };
    try {
        std::thread(run).detach();
    } catch (const std::exception&) {
        run();  // no thread to be had: send here and now
    }
}

void Tmailsettingform::MailDelivered(const std::string& result, bool failed) {
    if (!job_) return;
    DetachJob();
    if (!failed) veltrin::ShowPlainMessage(this, FromStd(result));
    deleteLater();
}

void Tmailsettingform::DetachJob() {
    if (!job_) return;
    job_->gate.RequestStop();
    job_.reset();
}

void Tmailsettingform::SetMailSender(std::function<std::string(const Tmailsetting&)> sender) {
    sender_ = std::move(sender);
}

Tmailsettingform* OpenMailSettingWindow(QWidget* main, MailSettingHost host) {
    Tmailsettingform* window = nullptr;
    try {
        window = new Tmailsettingform(std::move(host));
        if (main) {
            const QPoint centre = main->frameGeometry().center();
            window->move(centre.x() - window->width() / 2, centre.y() - window->height() / 2);
        }
        window->show();
        return window;
    } catch (...) {
        delete window;
        return nullptr;
    }
}
