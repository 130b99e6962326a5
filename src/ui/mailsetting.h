// The settings window: the report mail's settings, the advanced ping settings, OK saving the page
// that is showing, and "Send mail now...".
#pragma once

#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/u_header.h"

class QButtonGroup;
class QCheckBox;
class QDoubleSpinBox;
class QSpinBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QStatusBar;
class QTabWidget;
class QTimer;

namespace veltrin {
class HandOver;
class PaintCoalescer;
}  // namespace veltrin

// What the settings window needs from the main window. Either may be empty (then the interval
// text counts as empty and no system command is sent).
struct MailSettingHost {
    std::function<QString()> intervaltext;  // the main window's ping-interval field
    std::function<void(int)> syscommand;    // a system command (0xF020 minimises to the tray)
    std::function<void()> reachchanged = {};  // the reachability settings were saved
    std::function<void()> desktopchanged = {};  // the hot keys' chord or the probe host were saved
};

// Modeless, created anew for every opening, deletes itself when it closes or when a mail it sent
// has been reported. Window thread only.
class Tmailsettingform : public QWidget {
    Q_OBJECT

public:
    explicit Tmailsettingform(MailSettingHost host, QWidget* parent = nullptr);
    ~Tmailsettingform() override;

    // Reloads every control from the values in memory. RequestPaint coalesces calls into one
    // FormPaint on the next turn of the event loop.
    void FormPaint();
    void RequestPaint();

    // The send setting currently chosen (as loaded, or from the buttons the user selected).
    const QString& cursendsetting() const { return cursendsetting_; }

    // True while a mail started by "Send mail now..." has not been reported yet.
    bool SendingMail() const { return static_cast<bool>(job_); }

    // Replaces the mail sender (tests of the window's side of a send); empty restores SendMail.
    void SetMailSender(std::function<std::string(const veltrin::Tmailsetting&)> sender);

    // Controls, for tests.
    QTabWidget* PageControl() const { return PageControl1_; }
    QWidget* EmailPage() const { return emailpage_; }
    QWidget* AdvancedPage() const { return advancedpage_; }
    QLineEdit* semtpserveredt() const { return semtpserveredt_; }
    QLineEdit* sendfromedt() const { return sendfromedt_; }
    QLineEdit* sendtoedt() const { return sendtoedt_; }
    QLineEdit* subjectedt() const { return subjectedt_; }
    QRadioButton* usesendsetting_radiobtn() const { return usesendsetting_radiobtn_; }
    QRadioButton* iwriteit_radiobtn() const { return iwriteit_radiobtn_; }
    QPlainTextEdit* mailtext() const { return mailtext_; }
    QRadioButton* all_radiobtn() const { return all_radiobtn_; }
    QRadioButton* errorcode_radiobtn() const { return errorcode_radiobtn_; }
    QRadioButton* selectlog_radiaobtn() const { return selectlog_radiaobtn_; }
    QRadioButton* nothing_radiobtn() const { return nothing_radiobtn_; }
    QCheckBox* authenticationchb() const { return authenticationchb_; }
    QLineEdit* option1edt() const { return option1edt_; }
    QLineEdit* option2edt() const { return option2edt_; }
    QLineEdit* datalength() const { return datalength_; }
    QLineEdit* savetimeedt() const { return savetimeedt_; }
    // Reachability, on the advanced page.
    QDoubleSpinBox* timeoutedt() const { return timeoutedt_; }
    QSpinBox* lostcountedt() const { return lostcountedt_; }
    QCheckBox* notifychb() const { return notifychb_; }
    QCheckBox* mailalertchb() const { return mailalertchb_; }
    QCheckBox* keeplistchb() const { return keeplistchb_; }
    QCheckBox* historychb() const { return historychb_; }
    // The connectivity check's host (empty: no check) and the desktop-wide hot keys.
    QLineEdit* probehostedt() const { return probehostedt_; }
    QRadioButton* hotkeyctrlalt_radiobtn() const { return hotkeyctrlalt_; }
    QRadioButton* hotkeyctrl_radiobtn() const { return hotkeyctrl_; }
    QRadioButton* hotkeyoff_radiobtn() const { return hotkeyoff_; }
    QPushButton* Button1() const { return Button1_; }  // OK
    QPushButton* Button2() const { return Button2_; }  // Cancel
    QPushButton* Button3() const { return Button3_; }  // Send mail now...

    // The memo's lines as the user sees them split by line breaks (no trailing empty line).
    std::vector<std::string> MailTextLines() const;

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    struct MailJob;

    void BuildEmailPage();
    void BuildAdvancedPage();
    void BuildReachFields();  // on the advanced page
    void BuildDesktopFields();  // probe host and hot keys, on the advanced page
    void LoadDesktopFields();
    // Checks the probe host (refusing a bad one, false) and saves both; `saved` false when the
    // file could not be written.
    bool SaveDesktopFields(bool& saved);
    void LoadReachFields();
    bool SaveReachFields();   // false when the settings file could not be written
    void BuildButtons();
    void SetTabOrder();

    void all_radiobtnClick();
    void errorcode_radiobtnClick();
    void selectlog_radiaobtnClick();
    void nothing_radiobtnClick();
    void usesendsetting_radiobtnClick();
    void iwriteit_radiobtnClick();
    void authenticationchbClick();
    void Button1Click();
    void Button2Click();
    void Button3Click();

    void SendSettingMode();
    void OwnTextMode();
    void SetFieldEnabled(QWidget* field, bool enabled);
    void SwallowPendingPress();
    void StopSwallowingPress();
    void StoreMailSettings(const std::string& emailtext);
    void SaveFailed();
    void RefuseAddress(QLineEdit* field, const QString& text, const QString& title = QStringLiteral("Notice"));
    void MailDelivered(const std::string& result, bool failed);  // window thread, from the mail thread
    void DetachJob();

    MailSettingHost host_;
    QString cursendsetting_;
    std::function<std::string(const veltrin::Tmailsetting&)> sender_;
    std::shared_ptr<MailJob> job_;
    veltrin::HandOver& handover_;  // the window hand-over, made on this (the window) thread
    bool swallowpress_ = false;
    bool loaded_ = false;    // the values in memory are loaded once, when the window opens
    bool refusing_ = false;  // a refused address is being reported; its focus moves warn not

    veltrin::PaintCoalescer* paint_ = nullptr;
    QTabWidget* PageControl1_ = nullptr;
    QWidget* emailpage_ = nullptr;
    QWidget* advancedpage_ = nullptr;
    QLineEdit* semtpserveredt_ = nullptr;
    QLineEdit* sendfromedt_ = nullptr;
    QLineEdit* sendtoedt_ = nullptr;
    QLineEdit* subjectedt_ = nullptr;
    QRadioButton* usesendsetting_radiobtn_ = nullptr;
    QRadioButton* iwriteit_radiobtn_ = nullptr;
    QPlainTextEdit* mailtext_ = nullptr;
    QRadioButton* all_radiobtn_ = nullptr;
    QRadioButton* errorcode_radiobtn_ = nullptr;
    QRadioButton* selectlog_radiaobtn_ = nullptr;
    QRadioButton* nothing_radiobtn_ = nullptr;
    QButtonGroup* textmodegroup_ = nullptr;
    QButtonGroup* sendsettinggroup_ = nullptr;
    QCheckBox* authenticationchb_ = nullptr;
    QLineEdit* option1edt_ = nullptr;
    QLineEdit* option2edt_ = nullptr;
    QLineEdit* datalength_ = nullptr;
    QLineEdit* savetimeedt_ = nullptr;
    QDoubleSpinBox* timeoutedt_ = nullptr;
    QSpinBox* lostcountedt_ = nullptr;
    QCheckBox* notifychb_ = nullptr;
    QCheckBox* mailalertchb_ = nullptr;
    QCheckBox* keeplistchb_ = nullptr;
    QCheckBox* historychb_ = nullptr;  // the round-trip history (settings key "history")
    QLineEdit* probehostedt_ = nullptr;
    QRadioButton* hotkeyctrlalt_ = nullptr;
    QRadioButton* hotkeyctrl_ = nullptr;
    QRadioButton* hotkeyoff_ = nullptr;
    QPushButton* Button1_ = nullptr;
    QPushButton* Button2_ = nullptr;
    QPushButton* Button3_ = nullptr;
    QStatusBar* StatusBar1_ = nullptr;
};

// The main window's "Setting": a new modeless settings window without a parent, centred over
// `main` and shown. Returns null when it could not be created or shown (nothing is reported).
Tmailsettingform* OpenMailSettingWindow(QWidget* main, MailSettingHost host);
