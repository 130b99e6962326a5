// The settings window's pages and buttons: the mail page, the advanced page, OK / Cancel /
// "Send mail now..." and the tab order.
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QSpinBox>
#include <QCoreApplication>
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

#include "settings/settingsfile.h"
#include "ui/mailsetting.h"

namespace {

QLabel* Caption(QWidget* parent, const QString& text, int x, int y) {
    auto* label = new QLabel(text, parent);
    label->move(x, y);
    label->adjustSize();
    return label;
}

}  // namespace

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
    keeplistchb_ = new QCheckBox(QStringLiteral("Keep the address list between runs"), advancedpage_);
    keeplistchb_->setObjectName(QStringLiteral("keeplistchb"));
    keeplistchb_->setGeometry(24, 100, 270, 22);
    keeplistchb_->setChecked(true);
    historychb_ = new QCheckBox(QStringLiteral("Keep round-trip history"), advancedpage_);
    historychb_->setObjectName(QStringLiteral("historychb"));
    historychb_->setGeometry(300, 100, 236, 22);
    historychb_->setToolTip(QStringLiteral("Every echo's round trip for a day and a summary per minute for 30 days, "
                                           "in the data folder; takes effect at the next start"));
    historychb_->setChecked(true);
    BuildDesktopFields();
    BuildReachFields();
}

void Tmailsettingform::BuildReachFields() {
    Caption(advancedpage_, QStringLiteral("Time-out"), 24, 139);
    timeoutedt_ = new QDoubleSpinBox(advancedpage_);
    timeoutedt_->setObjectName(QStringLiteral("timeoutedt"));
    timeoutedt_->setGeometry(110, 136, 80, 22);
    timeoutedt_->setDecimals(1);
    timeoutedt_->setRange(veltrin::kMinReachTimeoutMs / 1000.0, veltrin::kMaxReachTimeoutMs / 1000.0);
    timeoutedt_->setSingleStep(0.5);
    timeoutedt_->setValue(2.0);
    timeoutedt_->setToolTip(QStringLiteral("An echo without a reply for this long counts as lost"));
    Caption(advancedpage_, QStringLiteral("s"), 198, 139);
    Caption(advancedpage_, QStringLiteral("Lost count"), 24, 175);
    lostcountedt_ = new QSpinBox(advancedpage_);
    lostcountedt_->setObjectName(QStringLiteral("lostcountedt"));
    lostcountedt_->setGeometry(110, 172, 80, 22);
    lostcountedt_->setRange(veltrin::kMinReachLostCount, veltrin::kMaxReachLostCount);
    lostcountedt_->setValue(2);
    lostcountedt_->setToolTip(QStringLiteral("Lost echoes in a row after which a host is not answering"));
    Caption(advancedpage_, QStringLiteral("in a row"), 198, 175);
    notifychb_ = new QCheckBox(QStringLiteral("Desktop notification when a host stops or starts answering"),
                               advancedpage_);
    notifychb_->setObjectName(QStringLiteral("notifychb"));
    notifychb_->setGeometry(24, 206, 500, 22);
    notifychb_->setChecked(true);
    mailalertchb_ = new QCheckBox(QStringLiteral("Mail the report's recipients when a host stops or starts answering"),
                                  advancedpage_);
    mailalertchb_->setObjectName(QStringLiteral("mailalertchb"));
    mailalertchb_->setGeometry(24, 234, 500, 22);
    // Read once: a repaint must not undo what the user is typing.
    LoadReachFields();
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
                              keeplistchb_,       historychb_,       probehostedt_,     hotkeyctrlalt_,
                              hotkeyctrl_,        hotkeyoff_,        timeoutedt_,       lostcountedt_,    notifychb_,
                              mailalertchb_,      Button1_,           Button3_,          Button2_};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        QWidget::setTabOrder(const_cast<QWidget*>(order[i]), const_cast<QWidget*>(order[i + 1]));
}

