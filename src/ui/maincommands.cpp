// The main window's commands: what its menus, tool bar, list, tray, top window and hot keys do.
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QTableView>
#include <QUrl>
#include <string>
#include <utility>
#include <vector>

#include "engine/decimal.h"
#include "engine/global_unit.h"
#include "logs/closereport.h"
#include "logs/logops.h"
#include "platform/autostart.h"
#include "platform/traceroute.h"
#include "settings/mailreport.h"
#include "settings/paths.h"
#include "ui/aboutfm.h"
#include "ui/alerts.h"
#include "ui/addmore.h"
#include "ui/addone.h"
#include "ui/appexit.h"
#include "ui/detailfm.h"
#include "ui/dialogs.h"
#include "ui/handover.h"
#include "ui/keyfilter.h"
#include "ui/listselection.h"
#include "ui/mailsetting.h"
#include "ui/mainfm.h"
#include "ui/tray.h"

namespace {

std::string LocalPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

}  // namespace


// ---- commands --------------------------------------------------------------------------------

void Tmainform::ImportAddressFile() {
    const QString chosen = veltrin::GetOpenFileNameSeam(
        this, QStringLiteral("Open"), opendir_, veltrin::QtFileFilter(QStringLiteral("Spl file|*.spl")));
    if (chosen.isEmpty()) return;
    opendir_ = chosen;
    ImportAddressPath(chosen);
    RequestPaint();
}

bool Tmainform::ImportAddressPath(const QString& path) {
    std::vector<veltrin::AddressRow> rows;
    if (!veltrin::LoadAddressFile(LocalPath(path), rows)) return false;
    list_.AppendRows(std::move(rows));
    return true;
}

void Tmainform::SaveAddressLog() {
    const QString chosen = veltrin::GetSaveFileNameSeam(
        this, QStringLiteral("Save As"), savepath_, veltrin::QtFileFilter(QStringLiteral("Spl file|*.txt")));
    if (chosen.isEmpty()) return;
    savepath_ = chosen;
    veltrin::Tgolbal* golbal = veltrin::Golbal();
    std::string sendsetting = golbal ? golbal->mailsetting.sendsetting : std::string();
    std::string emailtext = golbal ? golbal->mailsetting.emailtext : std::string();
    const veltrin::LogSaveResult result =
        veltrin::SaveAddressLog(LocalPath(chosen), list_.Rows(), sendsetting, emailtext);
    if (result != veltrin::LogSaveResult::Saved) return;
    if (golbal) golbal->mailsetting.emailtext = emailtext;
    veltrin::ShowNotice(this, QStringLiteral("Log is successfully saved!"));
}

void Tmainform::ShowAddOneDialog() {
    {
        Taddonefm dialog(list_, this);
        dialog.exec();
    }
    RequestPaint();
}

void Tmainform::ShowAddGroupDialog() {
    {
        Taddmorefm dialog(list_, this);
        dialog.exec();
    }
    RequestPaint();
}

void Tmainform::DeleteSelectedAddress() {
    ViewToList();
    veltrin::DeleteSelectedAddress(list_);
    RequestPaint();
}

void Tmainform::DeleteSelectedAddresses() {
    ViewToList();
    veltrin::DeleteSelectedAddresses(list_, *monitor_);
    RequestPaint();
}

void Tmainform::DeleteLastAddress() {
    veltrin::DeleteLastAddress(list_, *monitor_);
    RequestPaint();
}

void Tmainform::ClearAllAddresses() {
    veltrin::ClearAllAddresses(list_, *monitor_);
    RequestPaint();
}

void Tmainform::ShowHelp() {
    // The help document beside the program, else in the installed data folder.
    for (const char* name : {"help.html", "help.pdf", "help.chm"}) {
        const QString path = QString::fromStdString(veltrin::FindDataFile(name));
        if (QFileInfo(path).isFile()) {
            veltrin::OpenUrlSeam(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
            return;
        }
    }
    veltrin::ShowNotice(this, QStringLiteral("Help file is lost"));
}

void Tmainform::OpenDetail(const QString& address) {
    // The detail window reaches this window only through its host, as the settings window does.
    QPointer<Tmainform> self(this);
    DetailHost host;
    host.intervaltext = [self] { return self ? self->IntervalText() : QString(); };
    host.setdetailopen = [self](bool open) {
        if (self) self->SetDetailOpen(open);
    };
    OpenDetailWindow(this, veltrin::WindowHandOver(), host, detailopen_, address);
}

void Tmainform::UpdateTrayIcon() {
    tray_->updateIcon(monitor_->running());
}

void Tmainform::pingbtnClick() {
    monitor_->Start();
    RequestPaint();
}

void Tmainform::stopbtnClick() {
    monitor_->Stop();
    RequestPaint();
}

void Tmainform::SysCommand(int command) {
    switch (command) {
        case SC_MINIMIZE:
            HideToTray();
            break;
        case SC_RESTORE:
            RestoreFromTray();
            break;
        case SC_CLOSE:
            close();
            break;
        default:
            break;
    }
}

QString Tmainform::IntervalText() const {
    return Edit2_ ? Edit2_->text() : QString();
}

void Tmainform::SetCaption(const QString& caption) {
    setWindowTitle(caption);
}

bool Tmainform::AutoStartChecked() const {
    return Autorun1_ && Autorun1_->isChecked();
}
// ---- list selection and mouse --------------------------------------------------------------

void Tmainform::ViewToList() {
    if (mirror_) mirror_->ViewToList();
}

void Tmainform::ListV1MouseDown(const QPoint& globalpos) {
    ViewToList();
    QMenu* menu = list_.SelectedCount() > 0 ? pmselected_ : pmnone_;
    menu->popup(globalpos);
}

void Tmainform::ListV1DblClick() {
    ViewToList();
    if (list_.SelectedCount() != 1) return;
    OpenDetail(QString::fromStdString(list_.Row(list_.FirstSelected()).address));
}

void Tmainform::MoreDetailInfo() {
    ViewToList();
    if (list_.Count() == 0 || list_.SelectedCount() != 1) return;
    OpenDetail(QString::fromStdString(list_.Row(list_.FirstSelected()).address));
}

void Tmainform::IP1Click() {
    ViewToList();
    const int row = list_.FirstSelected();
    if (row < 0) return;
    // A trace route is a convenience: a failure to start one is not reported.
    veltrin::StartTraceRoute(QString::fromStdString(list_.Row(row).address));
}
// ---- interval field --------------------------------------------------------------------------

bool Tmainform::Edit2KeyPress(QKeyEvent* key) {
    if (veltrin::IsEnterKey(key)) {
        // Enter moves on, which leaves the field and stores the value.
        focusNextChild();
        return true;
    }
    return veltrin::SwallowNonDigitKey(key);
}

void Tmainform::Edit2Exit() {
    veltrin::Tgolbal* golbal = veltrin::Golbal();
    // The interval as stored: any decimal integer (no lower bound here), else the default.
    if (golbal) golbal->interval = veltrin::DecimalOr(Edit2_->text().trimmed().toStdString(), veltrin::kDefaultInterval);
}
// ---- settings, about, auto start ------------------------------------------------------------

void Tmainform::ShowSettingsWindow() {
    // A new modeless window for every use, owned by the application; failures are silent.
    OpenMailSettingWindow(this, MailSettingHost{[this] { return IntervalText(); },
                                                [this](int command) { SysCommand(command); },
                                                [this] { ApplyReachSettings(); }});
}

void Tmainform::ShowAboutBox() {
    // A new modeless box for every use, owned by this window; failures are silent.
    try {
        auto* box = new Taboutform(this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->show();
    } catch (...) {
        // The box is an extra: a failure to make it (out of memory, an unreadable About.txt)
        // leaves the main window as it was.
    }
}

void Tmainform::Autorun1Click() {
    // The check mark follows what this toggle last did, not the click itself.
    if (autostartchecked_) {
        autostartchecked_ = false;
        if (!veltrin::autostart::Disable()) {
            veltrin::ShowPlainMessage(this, QStringLiteral("Fail to modify the setting"));
            autostartchecked_ = true;
        }
    } else {
        autostartchecked_ = true;
        if (!veltrin::autostart::Enable(QCoreApplication::applicationFilePath())) {
            veltrin::ShowPlainMessage(this, QStringLiteral("Fail to modify the setting"));
            autostartchecked_ = false;
        }
    }
    Autorun1_->setChecked(autostartchecked_);
}
// ---- minimise, restore, close ---------------------------------------------------------------

QSystemTrayIcon* Tmainform::TrayIcon() const { return tray_->icon(); }
QMenu* Tmainform::TrayMenu() const { return tray_->menu(); }
bool Tmainform::InTray() const { return tray_->inTray(); }
bool Tmainform::TrayGreen() const { return tray_->green(); }

void Tmainform::HideToTray() {
    tray_->setToolTip(TrayToolTip());
    tray_->prepare(monitor_->running());
    alerts_->SetTray(tray_->icon());
    // Hidden, not minimised: without a tray the top window's double-click and the hot keys
    // still bring the window back.
    setWindowState(windowState() & ~Qt::WindowMinimized);
    hide();
    tray_->show();
}

void Tmainform::RestoreFromTray() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    tray_->leave();
}

void Tmainform::CloseAndReport() {
    hide();
    tray_->hideIcon();
    // The mail part: the report is mailed, and the result shown, before the program ends.
    try {
        if (veltrin::Tgolbal* golbal = veltrin::Golbal()) {
            if (veltrin::PrepareCloseReport(golbal->mailsetting, list_.Rows())) {
                const std::string result = veltrin::SendMail(golbal->mailsetting);
                veltrin::ShowNotice(this, QString::fromStdString(result));
            }
        }
    } catch (...) {
        // A failed mail never keeps the program from ending.
    }
    veltrin::EndApplication();
}
