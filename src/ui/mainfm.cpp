#include "ui/mainfm.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QToolBar>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <initializer_list>
#include <string>
#include <utility>

#include "engine/global_unit.h"
#include "history/historystore.h"
#include "monitor/checkthread.h"
#include "platform/autostart.h"
#include "platform/filetype.h"
#include "platform/hotkeys.h"
#include "settings/probehost.h"
#include "settings/settingsfile.h"
#include "settings/startup.h"
#include "ui/addresslistmodel.h"
#include "ui/alerts.h"
#include "ui/columnheader.h"
#include "ui/appexit.h"
#include "ui/dialogs.h"
#include "ui/handover.h"
#include "ui/historyview.h"
#include "ui/listselection.h"
#include "ui/painttimer.h"
#include "ui/pictures.h"
#include "ui/replytable.h"
#include "ui/screenfit.h"
#include "ui/topfm.h"
#include "ui/tray.h"

namespace {

const QString kTitle = QStringLiteral("Veltrin Ping Utility");

// Start-up runs each step on its own: a failing step ends silently and the next one runs, as
// none of them is needed for monitoring (file type, auto start, hot keys, location table,
// settings, the argument file, the top window).
template <class Step>
bool Guarded(Step&& step) {
    try {
        step();
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

Tmainform::Tmainform(const QStringList& arguments, QWidget* parent) : QMainWindow(parent) {
    // A large address file takes as long to read as the window takes to build: the other core
    // reads it meanwhile.
    earlypath_ = ArgumentFilePath(arguments);
    if (!earlypath_.isEmpty()) {
        try {
            earlyread_ = std::async(std::launch::async, [path = earlypath_] { return ReadAddressFile(path); });
        } catch (...) {
            earlypath_.clear();  // no thread to be had: read where it is needed
        }
    }
    // Every window of the program, this one first, opens fully on its screen.
    veltrin::FitWindowsOnScreen();
    setObjectName(QStringLiteral("mainform"));
    setWindowTitle(kTitle);
    setWindowIcon(veltrin::AppIcon());
    // System menu, minimise and close; no maximise.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    model_ = new veltrin::AddressListModel(list_, this);
    proxy_ = new veltrin::AddressSortProxy(this);
    proxy_->setSourceModel(model_);
    alerts_ = new veltrin::Alerts(this);
    alerts_->SetMailSettings([] {
        const veltrin::Tgolbal* golbal = veltrin::Golbal();
        return golbal ? golbal->mailsetting : veltrin::Tmailsetting{};
    });
    // The counts change with every state change; the tip follows once per turn of the loop.
    connect(model_, &veltrin::AddressListModel::countsChanged, this, [this] {
        if (traytippending_) return;
        traytippending_ = true;
        QTimer::singleShot(0, this, [this] {
            traytippending_ = false;
            if (tray_) tray_->setToolTip(TrayToolTip());
        });
    });
    veltrin::MonitorEvents& events = *this;
    monitor_ = std::make_unique<veltrin::Monitor>(list_, veltrin::WindowHandOver(), events,
                                                  [this] { return IntervalText().toStdString(); });
    // The connectivity check runs with the monitor's workers. It probes and waits on its own
    // thread; only its title writes come to this window.
    // The host is read before every probe (on this thread), so the settings window's change
    // counts at once; an empty host turns the check off.
    monitor_->SetCheckFactory([this](veltrin::HandOver& handover) -> std::unique_ptr<veltrin::Worker> {
        return std::make_unique<veltrin::Threaded<veltrin::tcheckthread>>(
            handover,
            [] {
                const veltrin::Tgolbal* golbal = veltrin::Golbal();
                return golbal ? golbal->probehost : std::string();
            },
            [this](std::string title) { SetCaption(QString::fromStdString(title)); });
    });

    // The tray icon's menu popmu1. Its "Exit" ends the program at once: no close sequence.
    tray_ = new veltrin::MainTray(this, veltrin::TrayCommands{[this] {
                                                                   pingbtnClick();
                                                                   UpdateTrayIcon();
                                                               },
                                                               [this] {
                                                                   stopbtnClick();
                                                                   UpdateTrayIcon();
                                                               },
                                                               [this] {
                                                                   // While the close sequence mails,
                                                                   // the window is gone for good.
                                                                   if (!closemail_) RestoreFromTray();
                                                               },
                                                               [this] {
                                                                   // Also while the close sequence
                                                                   // waits for the mail server: give
                                                                   // that up and end now.
                                                                   if (closemail_) closemail_->Cancel();
                                                                   veltrin::EndApplication();
                                                               }});
    paint_ = new veltrin::PaintCoalescer(this, [this] { FormPaint(); });

    BuildActions();
    BuildMenus();
    SetUpWindowKeys();
    BuildToolBar();
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* Panel2 = new QWidget(central);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    BuildSettingGroup(Panel2);
    layout->addWidget(Panel2);
    auto* Panel1 = new QWidget(central);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    BuildList(Panel1);
    layout->addWidget(Panel1, 1);
    setCentralWidget(central);
    statusBar()->setObjectName(QStringLiteral("StatusBar1"));
    statusBar()->setSizeGripEnabled(false);
    statusBar()->setFixedHeight(26);

    // 593 x 621 outside; the window manager's frame is about 8 x 29 of that.
    resize(585, 592);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(593 / 2, 621 / 2));
    }
    RefreshStatusPicture();

    // Start-up, in order; each step on its own.
    // The "Auto start" item shows whether the logon entry is there, whatever became of the
    // file-type registration.
    Guarded([this] { RegisterFileType(); });
    Guarded([this] { DetectAutoStart(); });
    Guarded([this] { SetUpHotKeys(); });
    Guarded([this] { LoadLocation(); });
    detailopen_ = false;  // created and running start false in the monitor itself
    Guarded([this] { ReadSettings(); });
    Guarded([this] { OpenHistory(); });
    Guarded([this] {
        veltrin::ShowKeptHistory(*model_, [self = QPointer<Tmainform>(this)] { return self ? self->history() : nullptr; });
    });
    {
        const veltrin::Tgolbal* golbal = veltrin::Golbal();
        columns_ = new veltrin::ColumnHeader(ListV1_, proxy_, model_, golbal ? golbal->inipath : std::string(), this);
    }
    Guarded([this, &arguments] { LoadArgumentFile(arguments); });
    Guarded([this] { LoadKeptList(); });
    Guarded([this] { WatchListForKeeping(); });
    // The top window is a second window to make and map: it follows the first paint (or, for a
    // window that is not shown, a little while), so the main window is not kept waiting for it.
    toppending_ = true;
    QTimer::singleShot(2000, this, &Tmainform::ShowTopWindow);
    Guarded([this] { pingbtnClick(); });
    RequestPaint();
}

Tmainform::~Tmainform() {
    // A change of the last second is not lost with the window.
    Guarded([this] { FlushKeptList(); });
    // The hot keys go back to the desktop first. The monitor's workers (the connectivity check
    // among them) are stopped and joined by the monitor before the list they read goes away.
    hotkeys_.reset();
    topform_.reset();
    monitor_.reset();
}
// ---- start-up steps --------------------------------------------------------------------------

bool Tmainform::RegisterFileType() {
    // The two text files are compared at once. The icon is drawn at 256 pixels and encoded as
    // PNG (some 44 million instructions, a quarter of an empty start's), so it waits until the
    // window has been painted (or, for a window that is not shown, a little while).
    const QString program = QCoreApplication::applicationFilePath();
    const bool registered = veltrin::RegisterSplFileType(program);
    if (registered && !veltrin::IsInstalledProgram(program)) {
        iconpending_ = true;
        QTimer::singleShot(2000, this, &Tmainform::InstallFileTypeIcon);
    }
    return registered;
}

void Tmainform::InstallFileTypeIcon() {
    if (!iconpending_) return;
    iconpending_ = false;
    const QString program = QCoreApplication::applicationFilePath();
    // The icon is drawn from the program's own picture: one written after this program file
    // was is what this program would write again.
    const QFileInfo installed(veltrin::FileTypePaths().icon);
    const QFileInfo self(program);
    if (installed.size() > 0 && self.exists() && installed.lastModified() >= self.lastModified()) return;
    QByteArray icon;
    QBuffer buffer(&icon);
    if (buffer.open(QIODevice::WriteOnly)) veltrin::AppIcon().pixmap(256, 256).save(&buffer, "PNG");
    Guarded([&] { veltrin::RegisterSplFileType(program, icon); });
}

void Tmainform::DetectAutoStart() {
    const veltrin::autostart::State state = veltrin::autostart::Detect();
    autostartchecked_ = state != veltrin::autostart::State::Absent;
    Autorun1_->setChecked(autostartchecked_);
}

void Tmainform::LoadLocation() {
    // A large table takes seconds to read: it loads on a thread of its own and the detail
    // windows name the location once it is there.
    if (veltrin::Tgolbal* golbal = veltrin::Golbal()) veltrin::StartLocationLoad(*golbal);
}

void Tmainform::ReadSettings() {
    if (veltrin::Tgolbal* golbal = veltrin::Golbal()) veltrin::LoadSettingsFile(*golbal);
    ApplyReachSettings();
}

void Tmainform::ApplyReachSettings() {
    const veltrin::Tgolbal* golbal = veltrin::Golbal();
    if (golbal == nullptr) return;
    veltrin::ReachSettings reach;
    veltrin::LoadReachSettings(golbal->inipath, reach);
    veltrin::ReachOptions options;
    options.timeoutms = reach.timeoutms;
    options.lostcount = reach.lostcount;
    monitor_->SetReachOptions(options);
    if (auto* sweep1 = findChild<QAction*>(QStringLiteral("sweep1")))
        sweep1->setChecked(veltrin::LoadPingInteger(golbal->inipath, veltrin::kSweepKey, 0) != 0);
    alerts_->SetNotify(reach.notifications);
    alerts_->SetMail(reach.mailalert);
}

void Tmainform::RowStatesChanged(const std::vector<veltrin::StateChange>& changes) {
    alerts_->Changes(changes);
}

QString Tmainform::TrayToolTip() const {
    return QStringLiteral("Korbel\n%1 of %2 answering").arg(model_->AnsweringCount()).arg(model_->RowTotal());
}

QString Tmainform::ArgumentFilePath(const QStringList& arguments) {
    QStringList files;
    for (const QString& argument : arguments)
        if (!argument.startsWith(QLatin1Char('-')) || QFileInfo::exists(argument)) files << argument;
    if (files.size() != 1) return {};
    const QFileInfo file(files.front());
    if (!file.exists() || file.isDir()) return {};
    return file.filePath();
}

// The command line names at most one address file; anything else is said once the window is up,
// so that a mistyped name or option does not go unnoticed.
void Tmainform::LoadArgumentFile(const QStringList& arguments) {
    QStringList files;
    for (const QString& argument : arguments) {
        if (argument.startsWith(QLatin1Char('-')) && !QFileInfo::exists(argument))
            TellWhenShown(QStringLiteral("Unknown command line option: %1").arg(argument));
        else
            files << argument;
    }
    if (files.size() > 1) {
        argumentfile_ = true;
        TellWhenShown(QStringLiteral("Only one address file can be given: %1").arg(files.join(QStringLiteral(", "))));
        return;
    }
    if (files.isEmpty()) return;
    argumentfile_ = true;
    const QFileInfo file(files.front());
    if (!file.exists() || file.isDir()) {
        TellWhenShown(QStringLiteral("Address file is lost: %1").arg(files.front()));
        return;
    }
    const QString problem = ImportProblem(file.filePath());
    if (!problem.isEmpty()) TellWhenShown(problem);
}

void Tmainform::TellWhenShown(const QString& text) {
    pendingnotices_ << text;
    if (isVisible()) QMetaObject::invokeMethod(this, &Tmainform::ShowPendingNotices, Qt::QueuedConnection);
}

void Tmainform::ShowPendingNotices() {
    while (!pendingnotices_.isEmpty()) veltrin::ShowNotice(this, pendingnotices_.takeFirst());
}

void Tmainform::ShowTopWindow() {
    if (!toppending_) return;
    toppending_ = false;
    Guarded([this] { CreateTopWindow(); });
}

Ttopform* Tmainform::TopForm() {
    ShowTopWindow();  // asked for before its time: made now
    return topform_.get();
}

void Tmainform::CreateTopWindow() {
    TopCommands commands;
    commands.ping = [this] { pingbtnClick(); };
    commands.stop = [this] { stopbtnClick(); };
    commands.addone = [this] { ShowAddOneDialog(); };
    commands.addgroup = [this] { ShowAddGroupDialog(); };
    commands.deletelast = [this] { DeleteSelectedAddress(); };
    commands.deleteall = [this] { ClearAllAddresses(); };
    commands.importfile = [this] { ImportAddressFile(); };
    commands.updatetray = [this] { UpdateTrayIcon(); };
    commands.syscommand = [this](int command) { SysCommand(command); };
    topform_ = std::make_unique<Ttopform>(std::move(commands));
    topform_->show();
}
// ---- paint duties ---------------------------------------------------------------------------

void Tmainform::RequestPaint() {
    if (paint_) paint_->Request();
}

void Tmainform::FormPaint() {
    // The task-bar entry stays: Linux desktops without a notification area would otherwise leave
    // no way back to a minimised window.
    //
    // The interval as stored; a field the user is typing in is left alone until it is left.
    if (Edit2_ && !Edit2_->hasFocus()) {
        const veltrin::Tgolbal* golbal = veltrin::Golbal();
        const QString text = golbal ? QString::number(golbal->interval) : QStringLiteral("3");
        if (Edit2_->text() != text) Edit2_->setText(text);
    }
    // The tool-bar images are set once when the bar is built.
    RefreshStatusPicture();
}

void Tmainform::RefreshStatusPicture() {
    statusgreen_ = monitor_ && monitor_->running();
    // Drawn for the label's own pixel ratio, so it stays sharp on a scaled screen.
    if (Image1_)
        Image1_->setPixmap((statusgreen_ ? veltrin::GreenLamp() : veltrin::RedLamp())
                               .pixmap(QSize(16, 16), Image1_->devicePixelRatioF()));
}
// ---- monitor events --------------------------------------------------------------------------

void Tmainform::StatusChanged(bool) {
    RefreshStatusPicture();
}

void Tmainform::FatalError(const std::string& text) {
    veltrin::ShowNotice(this, QString::fromStdString(text));
    // Queued, so it also ends the application when this happens before the event loop runs.
    veltrin::EndApplication();
}

void Tmainform::RawSocketUnavailable(const std::string& hint) {
    rawsockethint_ = QString::fromStdString(hint);
    rawsocketpending_ = true;
    // Never block start-up or the step that told us: the notice follows once the window is up.
    if (isVisible()) QMetaObject::invokeMethod(this, &Tmainform::ShowRawSocketNotice, Qt::QueuedConnection);
}

void Tmainform::ShowRawSocketNotice() {
    if (!rawsocketpending_) return;
    rawsocketpending_ = false;
    veltrin::ShowNotice(this, rawsockethint_);
}
// ---- events ---------------------------------------------------------------------------------

void Tmainform::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    RequestPaint();
    if (rawsocketpending_)
        QMetaObject::invokeMethod(this, &Tmainform::ShowRawSocketNotice, Qt::QueuedConnection);
    if (!pendingnotices_.isEmpty())
        QMetaObject::invokeMethod(this, &Tmainform::ShowPendingNotices, Qt::QueuedConnection);
}

void Tmainform::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    // A minimise from the title bar goes into the tray like any other minimise command; after
    // the state change has been handled, not inside it.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && !closing_)
        QMetaObject::invokeMethod(this, [this] { SysCommand(SC_MINIMIZE); }, Qt::QueuedConnection);
    if (event->type() == QEvent::WindowStateChange || event->type() == QEvent::ActivationChange)
        RequestPaint();
}

void Tmainform::closeEvent(QCloseEvent* event) {
    if (!closing_) {
        closing_ = true;
        CloseAndReport();
    }
    event->accept();
}

bool Tmainform::event(QEvent* event) {
    if (event->type() == QEvent::WindowActivate) RequestPaint();
    // The first paint comes after the window is mapped: the deferred start-up work may run.
    if (event->type() == QEvent::Paint && toppending_) QTimer::singleShot(0, this, &Tmainform::ShowTopWindow);
    if (event->type() == QEvent::Paint && iconpending_)
        QTimer::singleShot(0, this, &Tmainform::InstallFileTypeIcon);
    return QMainWindow::event(event);
}

bool Tmainform::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Edit2_) {
        if (event->type() == QEvent::KeyPress) return Edit2KeyPress(static_cast<QKeyEvent*>(event));
        if (event->type() == QEvent::FocusOut) {
            const auto reason = static_cast<QFocusEvent*>(event)->reason();
            // Switching windows or opening a menu does not leave the field.
            if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) Edit2Exit();
        }
        return false;
    }
    if (ListV1_ && watched == ListV1_->viewport()) {
        switch (event->type()) {
            case QEvent::MouseButtonPress: {
                auto* mouse = static_cast<QMouseEvent*>(event);
                if (mouse->button() != Qt::RightButton) return false;
                // A right press on an unselected row selects it first; one on the empty area
                // keeps the selection, so the menu offers what applies to the selected rows
                // rather than the commands that empty the whole list.
                const QModelIndex index = ListV1_->indexAt(mouse->position().toPoint());
                if (index.isValid() && !ListV1_->selectionModel()->isRowSelected(index.row(), QModelIndex())) {
                    ListV1_->selectionModel()->setCurrentIndex(
                        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
                }
                ListV1MouseDown(mouse->globalPosition().toPoint());
                return true;
            }
            case QEvent::MouseButtonRelease:
                return static_cast<QMouseEvent*>(event)->button() == Qt::RightButton;
            case QEvent::ContextMenu:
                return true;  // the press already showed the menu
            case QEvent::MouseMove: {
                // Hand cursor over the rows.
                const auto* mouse = static_cast<QMouseEvent*>(event);
                const bool onrow = ListV1_->indexAt(mouse->position().toPoint()).isValid();
                ListV1_->viewport()->setCursor(onrow ? Qt::PointingHandCursor : Qt::ArrowCursor);
                return false;
            }
            default:
                return false;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}
