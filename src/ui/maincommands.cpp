// The main window's commands: what its menus, tool bar, list, tray, top window and hot keys do.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSystemTrayIcon>
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
#include "ui/historyview.h"
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
    const QString problem = ImportProblem(chosen);
    if (!problem.isEmpty()) veltrin::ShowNotice(this, problem);
    RequestPaint();
}

bool Tmainform::ImportAddressPath(const QString& path) { return ImportProblem(path).isEmpty(); }

Tmainform::ReadAddresses Tmainform::ReadAddressFile(const QString& path) {
    ReadAddresses read;
    read.ok = veltrin::LoadAddressFile(LocalPath(path), read.rows, &read.cut);
    return read;
}

QString Tmainform::ImportProblem(const QString& path) {
    ReadAddresses file;
    if (earlyread_.valid() && path == earlypath_) {
        file = earlyread_.get();
        earlypath_.clear();
    } else {
        file = ReadAddressFile(path);
    }
    std::vector<veltrin::AddressRow>& rows = file.rows;
    const std::size_t cut = file.cut;
    if (!file.ok)
        return QStringLiteral("Address file cannot be read: %1").arg(QDir::toNativeSeparators(path));
    if (rows.empty()) return QStringLiteral("No address in file: %1").arg(QDir::toNativeSeparators(path));
    const std::size_t read = rows.size();
    const std::size_t taken = list_.AppendRows(std::move(rows));
    QStringList told;
    if (cut > 0)
        told << QStringLiteral("%1 address(es) were too long and were cut (a host name to %2 characters, a web "
                               "address to %3).")
                    .arg(cut)
                    .arg(veltrin::kMaxHostNameText)
                    .arg(veltrin::kMaxWebAddressText);
    if (taken < read)
        told << QStringLiteral("The address list holds at most %1 addresses: %2 address(es) were not added.")
                    .arg(veltrin::kMaxListRows)
                    .arg(read - taken);
    if (!told.isEmpty()) veltrin::ShowNotice(this, told.join(QLatin1Char('\n')));
    return {};
}

void Tmainform::SaveAddressLog() {
    const QString chosen = veltrin::ChooseSaveFile(this, QStringLiteral("Save As"), savepath_,
                                                   QStringLiteral("Spl file|*.spl"), QStringLiteral(".spl"));
    if (chosen.isEmpty()) return;
    savepath_ = chosen;
    veltrin::Tgolbal* golbal = veltrin::Golbal();
    std::string sendsetting = golbal ? golbal->mailsetting.sendsetting : std::string();
    std::string emailtext = golbal ? golbal->mailsetting.emailtext : std::string();
    std::string error;
    const veltrin::LogSaveResult result = veltrin::SaveAddressLog(
        LocalPath(chosen), list_.Rows(), sendsetting, emailtext, veltrin::ExistingLog::Replace, &error);
    if (result == veltrin::LogSaveResult::Failed) {
        veltrin::ShowNotice(this, QString::fromLocal8Bit(error.c_str()));
        return;
    }
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
    if (!ConfirmDeleteRows(list_.SelectedCount())) return;
    veltrin::DeleteSelectedAddresses(list_, *monitor_);
    RequestPaint();
}

void Tmainform::DeleteLastAddress() {
    veltrin::DeleteLastAddress(list_, *monitor_);
    RequestPaint();
}

void Tmainform::ClearAllAddresses() {
    if (!ConfirmDeleteRows(list_.Count())) return;
    veltrin::ClearAllAddresses(list_, *monitor_);
    RequestPaint();
}

// Several rows gone at once cannot be brought back: asked once, No the default. One row is
// removed without a question.
bool Tmainform::ConfirmDeleteRows(int rows) {
    if (rows < 2) return true;
    return veltrin::AskYesNo(this, QStringLiteral("Delete %1 addresses?").arg(rows));
}

void Tmainform::ShowHelp() {
    // The help document beside the program, else in the installed data folder.
    for (const char* name : {"help.html", "help.pdf", "help.chm"}) {
        const QString path = QString::fromStdString(veltrin::FindDataFile(name));
        if (QFileInfo(path).isFile()) {
            if (!veltrin::OpenUrlSeam(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath())))
                veltrin::ShowNotice(this, QStringLiteral("No program to show the help file: %1").arg(path));
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
    host.minutes = [self](const QString& address, std::int64_t since, std::int64_t until) {
        const veltrin::HistoryStore* kept = self ? self->history() : nullptr;
        return kept != nullptr ? veltrin::StoredMinutes(*kept, address.toStdString(), since, until)
                               : std::vector<veltrin::RttTrace::Minute>{};
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
    const QString address = QString::fromStdString(list_.Row(row).address);
    if (veltrin::StartTraceRoute(address)) return;
    const veltrin::TraceRouteCommand command = veltrin::BuildTraceRoute(address);
    veltrin::ShowNotice(this, command.missing.isEmpty()
                                  ? QStringLiteral("Trace route could not start")
                                  : QStringLiteral("Trace route could not start: %1").arg(command.missing));
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
                                                [this] { ApplyReachSettings(); },
                                                [this] { ApplyDesktopSettings(); }});
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
                // A slow or silent server can take minutes: the exchange runs on a thread of its
                // own, the window thread stays free, and the tray icon stays so that its "Exit"
                // ends the program at once instead of waiting.
                closemail_ = std::make_unique<veltrin::Threaded<veltrin::CloseMailSender>>(
                    veltrin::WindowHandOver(), golbal->mailsetting, [this](const std::string& result) {
                        tray_->hideIcon();
                        if (auto* wait = findChild<QMessageBox*>(QStringLiteral("closemailwait"))) wait->close();
                        veltrin::ShowNotice(this, QString::fromStdString(result));
                        veltrin::EndApplication();
                    });
                if (closemail_->Start()) {
                    tray_->prepare(monitor_->running());
                    TrayIcon()->setToolTip(QStringLiteral("Korbel: sending the report mail"));
                    TrayIcon()->show();
                    // Without a notification area the icon cannot be reached: a small box
                    // offers the same way out.
                    if (!QSystemTrayIcon::isSystemTrayAvailable()) ShowCloseMailWait();
                    return;
                }
                closemail_.reset();
                veltrin::ShowNotice(this, QString::fromStdString(veltrin::SendMail(golbal->mailsetting)));
            }
        }
    } catch (...) {
        // A failed mail never keeps the program from ending.
    }
    veltrin::EndApplication();
}

bool Tmainform::MailingOnClose() const { return closemail_ != nullptr; }

void Tmainform::ShowCloseMailWait() {
    auto* wait = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("Notice"),
                                 QStringLiteral("Sending the report mail..."), QMessageBox::NoButton, this);
    wait->setObjectName(QStringLiteral("closemailwait"));
    wait->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton* stop = wait->addButton(QStringLiteral("Stop waiting"), QMessageBox::RejectRole);
    stop->setObjectName(QStringLiteral("stopwaiting"));
    connect(stop, &QPushButton::clicked, this, [this] {
        if (closemail_) closemail_->Cancel();
        veltrin::EndApplication();
    });
    wait->setModal(false);
    wait->show();
}
