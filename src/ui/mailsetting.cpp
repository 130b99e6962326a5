#include "ui/mailsetting.h"

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
#include "history/historysetting.h"
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

// The reason the settings file was not written (it names the file), or the file alone when the
// save gave none.
void ShowSaveError(QWidget* parent, const std::string& reason) {
    const veltrin::Tgolbal* g = Golbal();
    const QString why = !reason.empty() ? FromStd(reason) : g ? FromStd(g->inipath) : QString();
    veltrin::ShowNotice(parent, QStringLiteral("Setting save error: %1").arg(why));
}

QString MemoText(const std::string& stored) {
    QString text = FromStd(stored);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
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
    keeplistchb_->setChecked(veltrin::LoadPingInteger(g->inipath, veltrin::kKeepListKey, 1) != 0);
    historychb_->setChecked(veltrin::HistoryEnabled(g->inipath));
    LoadDesktopFields();

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
        case veltrin::SendChoice::Nothing:
            nothing_radiobtn_->setChecked(true);
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

// The values in memory are loaded once, when the window opens. Coming back to the window (from
// another program, or from one of its own message boxes) keeps whatever the user has typed.
void Tmailsettingform::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!loaded_) {
        loaded_ = true;
        RequestPaint();
    }
}

bool Tmailsettingform::event(QEvent* event) { return QWidget::event(event); }

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
            if (isVisible() && !refusing_ && !HasAt(static_cast<QLineEdit*>(watched))) {
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

// "nothing" is a send setting of its own (no mail at close); only "I write it" mails the memo.
void Tmailsettingform::nothing_radiobtnClick() { cursendsetting_ = SendSettingText(veltrin::kSendNothing); }

void Tmailsettingform::usesendsetting_radiobtnClick() { SendSettingMode(); }

void Tmailsettingform::iwriteit_radiobtnClick() {
    cursendsetting_ = SendSettingText(veltrin::kSendOwnText);
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

bool Tmailsettingform::SaveReachFields() {
    const veltrin::Tgolbal* g = Golbal();
    if (!g) return true;
    veltrin::ReachSettings reach;
    reach.timeoutms = static_cast<std::int32_t>(std::lround(timeoutedt_->value() * 1000.0));
    reach.lostcount = lostcountedt_->value();
    reach.notifications = notifychb_->isChecked();
    reach.mailalert = mailalertchb_->isChecked();
    if (!veltrin::SaveReachSettings(g->inipath, reach)) return false;
    if (host_.reachchanged) host_.reachchanged();
    return true;
}

void Tmailsettingform::Button1Click() {
    veltrin::Tgolbal* g = Golbal();
    if (g && PageControl1_->currentWidget() == emailpage_) {
        // A refused address keeps the window and everything typed in it; the user corrects
        // the field and presses OK again.
        if (!HasAt(sendfromedt_)) {
            RefuseAddress(sendfromedt_, QStringLiteral("Wrong send address information"));
            return;
        }
        if (!HasAt(sendtoedt_)) {
            RefuseAddress(sendtoedt_, QStringLiteral("Wrong delivery address information"));
            return;
        }
        {
            StoreMailSettings(veltrin::OkMailText(MailTextLines()));
            std::string error;
            if (!veltrin::SaveMailSettings(g->inipath, g->mailsetting, &error)) {
                ShowSaveError(this, error);
                return;
            }
        }
    } else if (g) {
        // A probe host that cannot be one keeps the window, like a refused mail address.
        bool desktopsaved = true;
        if (!SaveDesktopFields(desktopsaved)) return;
        const QString lengthtext = datalength_->text().isEmpty() ? QStringLiteral("8") : datalength_->text();
        QString intervaltext = host_.intervaltext ? host_.intervaltext() : QString();
        if (intervaltext.isEmpty()) intervaltext = QStringLiteral("3");
        g->mailsetting.savetime = IntOr(savetimeedt_->text(), 0);
        g->interval = IntOr(intervaltext, 3);
        g->datalength = IntOr(lengthtext, 8);
        std::string error;
        if (!veltrin::SaveAdvancedSettings(g->inipath, g->mailsetting.savetime, g->datalength, g->interval, &error)) {
            ShowSaveError(this, error);
            return;
        }
        if (!veltrin::SavePingInteger(g->inipath, veltrin::kKeepListKey, keeplistchb_->isChecked() ? 1 : 0) ||
            !veltrin::SetHistoryEnabled(g->inipath, historychb_->isChecked()) ||
            !SaveReachFields() || !desktopsaved) {
            SaveFailed();
            return;
        }
    }
    close();
}

void Tmailsettingform::Button2Click() { close(); }

// The values are in use for this run; the window stays open so that OK can be tried again once
// the file's folder is writable, or Cancel keeps them for this run only.
void Tmailsettingform::SaveFailed() { ShowSaveError(this, std::string()); }

void Tmailsettingform::RefuseAddress(QLineEdit* field, const QString& text, const QString& title) {
    // The message box takes the focus; the field gets it back once the box is gone, without the
    // focus move counting as leaving another address field.
    refusing_ = true;
    veltrin::ShowNotice(this, text, title);
    field->setFocus(Qt::OtherFocusReason);
    field->selectAll();
    refusing_ = false;
}

void Tmailsettingform::Button3Click() {
    // Addresses are checked before anything moves: a refused send leaves this window and the
    // main window where they were, with the edits kept.
    if (!HasAt(sendfromedt_)) {
        RefuseAddress(sendfromedt_, QStringLiteral("Send from addr error"), QStringLiteral("notice"));
        return;
    }
    if (!HasAt(sendtoedt_)) {
        RefuseAddress(sendtoedt_, QStringLiteral("Sendto addr error"), QStringLiteral("notice"));
        return;
    }
    veltrin::Tgolbal* g = Golbal();
    hide();
    if (host_.syscommand) host_.syscommand(veltrin::SC_MINIMIZE);
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
