#include "ui/mainfm.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QCloseEvent>
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
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "engine/global_unit.h"
#include "logs/logfiles.h"
#include "logs/logops.h"
#include "monitor/checkthread.h"
#include "platform/autostart.h"
#include "platform/filetype.h"
#include "platform/hotkeys.h"
#include "platform/traceroute.h"
#include "settings/mailreport.h"
#include "settings/paths.h"
#include "settings/probehost.h"
#include "settings/settingsfile.h"
#include "ui/addmore.h"
#include "ui/addone.h"
#include "ui/aboutfm.h"
#include "ui/appexit.h"
#include "ui/addresslistmodel.h"
#include "ui/alerts.h"
#include "ui/columnheader.h"
#include "ui/detailfm.h"
#include "ui/dialogs.h"
#include "ui/handover.h"
#include "ui/mailsetting.h"
#include "ui/pictures.h"
#include "ui/topfm.h"

namespace {

const QString kTitle = QStringLiteral("Veltrin Ping Utility");

// Start-up runs each step on its own: a failing step ends silently and the next one runs.
template <class Step>
bool Guarded(Step&& step) {
    try {
        step();
        return true;
    } catch (...) {
        return false;
    }
}

std::string LocalPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

// The interval field as a stored value: a decimal integer, else 3. No lower bound here.
std::int32_t IntervalFromField(const QString& text) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 10);
    return ok ? value : 3;
}

}  // namespace

Tmainform::Tmainform(const QStringList& arguments, QWidget* parent) : QMainWindow(parent) {
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
        if (traytippending_ || !tray_) return;
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
    monitor_->SetCheckFactory([this](veltrin::HandOver& handover) -> std::unique_ptr<veltrin::Worker> {
        const veltrin::Tgolbal* golbal = veltrin::Golbal();
        std::string host = golbal ? golbal->probehost : std::string();
        if (host.empty()) host = veltrin::kDefaultProbeHost;
        return std::make_unique<veltrin::tcheckthread>(
            handover, host, [this](std::string title) { SetCaption(QString::fromStdString(title)); });
    });

    // The tray icon's menu popmu1. Its "Exit" ends the program at once: no close sequence.
    traymenu_ = new QMenu(this);
    traymenu_->setObjectName(QStringLiteral("popmu1"));
    QAction* stop2 = traymenu_->addAction(QStringLiteral("Ping"));
    stop2->setObjectName(QStringLiteral("stop2"));
    connect(stop2, &QAction::triggered, this, [this] {
        pingbtnClick();
        UpdateTrayIcon();
    });
    QAction* s1 = traymenu_->addAction(QStringLiteral("Stop"));
    s1->setObjectName(QStringLiteral("s1"));
    connect(s1, &QAction::triggered, this, [this] {
        stopbtnClick();
        UpdateTrayIcon();
    });
    traymenu_->addSeparator();
    QAction* Exit1 = traymenu_->addAction(QStringLiteral("Exit"));
    Exit1->setObjectName(QStringLiteral("Exit1"));
    connect(Exit1, &QAction::triggered, this, [] { veltrin::EndApplication(); });

    painttimer_ = new QTimer(this);
    painttimer_->setSingleShot(true);
    painttimer_->setInterval(0);
    connect(painttimer_, &QTimer::timeout, this, &Tmainform::FormPaint);

    BuildActions();
    BuildMenus();
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
    const bool filetypeok = Guarded([this] { RegisterFileType(); });
    Guarded([this, filetypeok] {
        DetectAutoStart();
        // A failed registration also shows the item checked.
        if (!filetypeok) {
            autostartchecked_ = true;
            Autorun1_->setChecked(true);
        }
    });
    Guarded([this] { SetUpHotKeys(); });
    Guarded([this] { LoadLocation(); });
    detailopen_ = false;  // created and running start false in the monitor itself
    Guarded([this] { ReadSettings(); });
    {
        const veltrin::Tgolbal* golbal = veltrin::Golbal();
        columns_ = new veltrin::ColumnHeader(ListV1_, proxy_, model_, golbal ? golbal->inipath : std::string(), this);
    }
    Guarded([this, &arguments] { LoadArgumentFile(arguments); });
    Guarded([this] { CreateTopWindow(); });
    Guarded([this] { pingbtnClick(); });
    RequestPaint();
}

Tmainform::~Tmainform() {
    // The hot keys go back to the desktop first. The monitor's workers (the connectivity check
    // among them) are stopped and joined by the monitor before the list they read goes away.
    hotkeys_.reset();
    topform_.reset();
    monitor_.reset();
}

// ---- layout ---------------------------------------------------------------------------------

void Tmainform::BuildActions() {
    pmselected_ = new QMenu(this);
    pmselected_->setObjectName(QStringLiteral("pmselected"));
    pmnone_ = new QMenu(this);
    pmnone_->setObjectName(QStringLiteral("pmnone"));
}

namespace {

QAction* Item(QMenu* menu, const char* name, const QString& caption) {
    QAction* action = menu->addAction(caption);
    action->setObjectName(QString::fromLatin1(name));
    return action;
}

}  // namespace

void Tmainform::BuildMenus() {
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu1"));

    QMenu* files1 = bar->addMenu(QStringLiteral("File"));
    files1->setObjectName(QStringLiteral("files1"));
    connect(Item(files1, "OPen1", QStringLiteral("Import address from file")), &QAction::triggered, this,
            &Tmainform::ImportAddressFile);
    connect(Item(files1, "save1", QStringLiteral("Save address log")), &QAction::triggered, this,
            &Tmainform::SaveAddressLog);

    QMenu* edit1 = bar->addMenu(QStringLiteral("Edit"));
    edit1->setObjectName(QStringLiteral("edit1"));
    connect(Item(edit1, "add1", QStringLiteral("Add an address")), &QAction::triggered, this,
            &Tmainform::ShowAddOneDialog);
    connect(Item(edit1, "addaddresses1", QStringLiteral("Add a group")), &QAction::triggered, this,
            &Tmainform::ShowAddGroupDialog);
    edit1->addSeparator();
    connect(Item(edit1, "importfromfile1", QStringLiteral("Import from file")), &QAction::triggered, this,
            &Tmainform::ImportAddressFile);
    edit1->addSeparator();
    connect(Item(edit1, "deleteanaddress1", QStringLiteral("Delete an address")), &QAction::triggered, this,
            &Tmainform::DeleteSelectedAddresses);
    connect(Item(edit1, "deleteaddresses1", QStringLiteral("Delete addresses")), &QAction::triggered, this,
            &Tmainform::ClearAllAddresses);
    edit1->addSeparator();
    connect(Item(edit1, "clearalladdress1", QStringLiteral("Clear all addresses")), &QAction::triggered, this,
            &Tmainform::ClearAllAddresses);

    QMenu* setting1 = bar->addMenu(QStringLiteral("Run"));
    setting1->setObjectName(QStringLiteral("setting1"));
    connect(Item(setting1, "start1", QStringLiteral("Start ")), &QAction::triggered, this,
            &Tmainform::pingbtnClick);
    connect(Item(setting1, "stop1", QStringLiteral("Stop ")), &QAction::triggered, this,
            &Tmainform::stopbtnClick);
    setting1->addSeparator();
    Autorun1_ = Item(setting1, "Autorun1", QStringLiteral("Auto start"));
    Autorun1_->setCheckable(true);
    connect(Autorun1_, &QAction::triggered, this, &Tmainform::Autorun1Click);

    QAction* help1 = bar->addAction(QStringLiteral("Setting"));
    help1->setObjectName(QStringLiteral("help1"));
    connect(help1, &QAction::triggered, this, &Tmainform::ShowSettingsWindow);

    QMenu* help2 = bar->addMenu(QStringLiteral("Help"));
    help2->setObjectName(QStringLiteral("help2"));
    connect(Item(help2, "howtouse1", QStringLiteral("How to use ?")), &QAction::triggered, this,
            &Tmainform::ShowHelp);
    help2->addSeparator();
    connect(Item(help2, "AboutKorbel1", QStringLiteral("About ")), &QAction::triggered, this,
            &Tmainform::ShowAboutBox);

    // List menus.
    connect(Item(pmselected_, "ds", QStringLiteral("Delete last address")), &QAction::triggered, this,
            &Tmainform::DeleteLastAddress);
    connect(Item(pmselected_, "Detele1", QStringLiteral("Delete selected address(es)")), &QAction::triggered,
            this, &Tmainform::DeleteSelectedAddresses);
    pmselected_->addSeparator();
    connect(Item(pmselected_, "savelog1", QStringLiteral("Save address log")), &QAction::triggered, this,
            &Tmainform::SaveAddressLog);
    pmselected_->addSeparator();
    connect(Item(pmselected_, "moredetailinfo1", QStringLiteral("More detail info...")), &QAction::triggered,
            this, &Tmainform::MoreDetailInfo);
    connect(Item(pmselected_, "IP1", QStringLiteral("IP Tracert ")), &QAction::triggered, this,
            &Tmainform::IP1Click);

    connect(Item(pmnone_, "addaaddress1", QStringLiteral("Add an address")), &QAction::triggered, this,
            &Tmainform::ShowAddOneDialog);
    connect(Item(pmnone_, "addmore1", QStringLiteral("Add a group")), &QAction::triggered, this,
            &Tmainform::ShowAddGroupDialog);
    pmnone_->addSeparator();
    connect(Item(pmnone_, "deletealladdress2", QStringLiteral("Delete all address")), &QAction::triggered,
            this, &Tmainform::ClearAllAddresses);
    connect(Item(pmnone_, "deleteanaddress2", QStringLiteral("Delete an address")), &QAction::triggered, this,
            &Tmainform::ClearAllAddresses);
    pmnone_->addSeparator();
    connect(Item(pmnone_, "importaddressfromfile2", QStringLiteral("Import address from file")),
            &QAction::triggered, this, &Tmainform::ImportAddressFile);
}

void Tmainform::BuildToolBar() {
    ToolBar1_ = addToolBar(QStringLiteral("ToolBar1"));
    ToolBar1_->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1_->setMovable(false);
    ToolBar1_->setFloatable(false);
    ToolBar1_->setContextMenuPolicy(Qt::PreventContextMenu);
    ToolBar1_->setIconSize(QSize(veltrin::kToolbarImageSize, veltrin::kToolbarImageSize));
    ToolBar1_->setFixedHeight(34);
    ToolBar1_->layout()->setSpacing(1);  // the one-pixel gap between buttons
    ToolBar1_->toggleViewAction()->setVisible(false);

    struct Button {
        const char* name;
        int image;
        QString hint;
        void (Tmainform::*command)();
    };
    const Button buttons[] = {
        {"ToolButton1", 0, QStringLiteral("Import address from file"), &Tmainform::ImportAddressFile},
        {"ToolButton3", 1, QStringLiteral("Save address log"), &Tmainform::SaveAddressLog},
        {"One_inBtn", 2, QStringLiteral("Add an address"), &Tmainform::ShowAddOneDialog},
        {"more_inBtn", 3, QStringLiteral("Add a group"), &Tmainform::ShowAddGroupDialog},
        {"one_outBtn", 4, QStringLiteral("Delete an address"), &Tmainform::DeleteSelectedAddress},
        {"More_outBtn", 5, QStringLiteral("Delete all address"), &Tmainform::ClearAllAddresses},
        {"ToolButton13", 6, QStringLiteral("About help ...."), &Tmainform::ShowHelp},
    };
    for (const Button& b : buttons) {
        QAction* action = ToolBar1_->addAction(QIcon(veltrin::ToolbarImage(b.image)), b.hint);
        action->setObjectName(QString::fromLatin1(b.name));
        action->setToolTip(b.hint);
        connect(action, &QAction::triggered, this, b.command);
        if (QWidget* button = ToolBar1_->widgetForAction(action)) {
            button->setObjectName(QString::fromLatin1(b.name));
            button->setFixedWidth(39);
        }
    }
    auto* spacer = new QWidget(ToolBar1_);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    ToolBar1_->addWidget(spacer);
    Image1_ = new QLabel(ToolBar1_);
    Image1_->setObjectName(QStringLiteral("Image1"));
    Image1_->setFixedSize(33, 22);
    Image1_->setAlignment(Qt::AlignCenter);
    ToolBar1_->addWidget(Image1_);
}

void Tmainform::BuildSettingGroup(QWidget* parent) {
    auto* outer = new QVBoxLayout(parent);
    outer->setContentsMargins(4, 2, 4, 2);
    auto* GroupBox1 = new QGroupBox(QStringLiteral("Ping setting"), parent);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setFixedHeight(53);
    outer->addWidget(GroupBox1);

    auto* row = new QHBoxLayout(GroupBox1);
    row->setContentsMargins(10, 2, 10, 4);
    row->setSpacing(6);
    auto* Label1 = new QLabel(QStringLiteral("Ping interval"), GroupBox1);
    Label1->setObjectName(QStringLiteral("Label1"));
    Edit2_ = new QLineEdit(QStringLiteral("3"), GroupBox1);
    Edit2_->setObjectName(QStringLiteral("Edit2"));
    Edit2_->setFixedWidth(80);
    Edit2_->installEventFilter(this);
    auto* Label2 = new QLabel(QStringLiteral("T"), GroupBox1);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setToolTip(QStringLiteral("T=100 ms"));
    pingbtn_ = new QPushButton(QStringLiteral("Ping"), GroupBox1);
    pingbtn_->setObjectName(QStringLiteral("pingbtn"));
    stopbtn_ = new QPushButton(QStringLiteral("Stop"), GroupBox1);
    stopbtn_->setObjectName(QStringLiteral("stopbtn"));
    connect(pingbtn_, &QPushButton::clicked, this, &Tmainform::pingbtnClick);
    connect(stopbtn_, &QPushButton::clicked, this, &Tmainform::stopbtnClick);

    row->addWidget(Label1);
    row->addWidget(Edit2_);
    row->addWidget(Label2);
    row->addSpacing(40);
    row->addWidget(pingbtn_);
    row->addWidget(stopbtn_);
    row->addStretch(1);
}

void Tmainform::BuildList(QWidget* parent) {
    auto* layout = new QVBoxLayout(parent);
    layout->setContentsMargins(0, 0, 0, 0);
    ListV1_ = new QTableView(parent);
    ListV1_->setObjectName(QStringLiteral("ListV1"));
    ListV1_->setModel(proxy_);
    ListV1_->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListV1_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ListV1_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListV1_->setShowGrid(false);
    ListV1_->setWordWrap(false);
    ListV1_->setCornerButtonEnabled(false);
    ListV1_->setTabKeyNavigation(false);
    ListV1_->setAlternatingRowColors(false);
    ListV1_->setTextElideMode(Qt::ElideRight);
    // Uniform rows keep a list of 100,000 addresses as cheap as one of ten.
    QHeaderView* rows = ListV1_->verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(ListV1_->fontMetrics().height() + 4);
    QHeaderView* columns = ListV1_->horizontalHeader();
    columns->setSectionResizeMode(QHeaderView::Interactive);
    columns->setHighlightSections(false);
    columns->setSectionsClickable(false);
    columns->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    for (int c = 0; c < veltrin::AddressListModel::ColumnCount; ++c)
        columns->resizeSection(c, c == 0 ? 150 : c == 1 ? 80 : c == 2 ? 100 : c == 3 ? 200 : 70);

    // Lime text on the dark frame colour.
    QPalette palette = ListV1_->palette();
    const QColor dark(16, 16, 16);
    const QColor lime(0, 255, 0);
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Base, dark);
        palette.setColor(group, QPalette::Text, lime);
        palette.setColor(group, QPalette::Window, dark);
    }
    palette.setColor(QPalette::Inactive, QPalette::Highlight,
                     palette.color(QPalette::Active, QPalette::Highlight));
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     palette.color(QPalette::Active, QPalette::HighlightedText));
    ListV1_->setPalette(palette);
    model_->SetViewPalette(palette);
    // The header keeps the ordinary colours, its empty end included.
    QPalette headerpalette = QApplication::palette(columns);
    headerpalette.setColor(QPalette::Base, headerpalette.color(QPalette::Button));
    headerpalette.setColor(QPalette::Window, headerpalette.color(QPalette::Button));
    columns->setPalette(headerpalette);

    ListV1_->setMouseTracking(true);
    ListV1_->viewport()->installEventFilter(this);
    connect(ListV1_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (!syncing_) ViewToList();
    });
    connect(model_, &veltrin::AddressListModel::listSelectionChanged, this, [this] {
        if (!syncing_) ListToView();
    });
    connect(ListV1_, &QAbstractItemView::doubleClicked, this, [this] { ListV1DblClick(); });
    layout->addWidget(ListV1_);

    setTabOrder(Edit2_, pingbtn_);
    setTabOrder(pingbtn_, stopbtn_);
    setTabOrder(stopbtn_, ListV1_);
}

// ---- start-up steps --------------------------------------------------------------------------

void Tmainform::RegisterFileType() {
    QByteArray icon;
    QBuffer buffer(&icon);
    if (buffer.open(QIODevice::WriteOnly)) veltrin::AppIcon().pixmap(256, 256).save(&buffer, "PNG");
    if (!veltrin::RegisterSplFileType(QCoreApplication::applicationFilePath(), icon))
        throw std::runtime_error("file type");
}

void Tmainform::DetectAutoStart() {
    const veltrin::autostart::State state = veltrin::autostart::Detect();
    autostartchecked_ = state != veltrin::autostart::State::Absent;
    Autorun1_->setChecked(autostartchecked_);
}

void Tmainform::SetUpHotKeys() {
    // Ctrl+O, Ctrl+S, Ctrl+T and Ctrl+P for the whole desktop (X11). A key another program
    // holds stays with it, and where the display has no global keys (Wayland) there are none;
    // neither is reported.
    hotkeys_ = std::make_unique<veltrin::GlobalHotKeys>([this](int index) { HotKeyPressed(index); });
    hotkeys_->Register();
}

void Tmainform::HotKeyPressed(int index) {
    // Where no tray can show the hidden window's icon, a hot key is the way back to it.
    if (intray_ && !QSystemTrayIcon::isSystemTrayAvailable()) RestoreFromTray();
    switch (index) {
        case 0:
            ImportAddressFile();
            break;
        case 1:
            SaveAddressLog();
            break;
        case 2:
            pingbtnClick();
            UpdateTrayIcon();
            break;
        case 3:
            stopbtnClick();
            UpdateTrayIcon();
            break;
        default:
            break;
    }
}

void Tmainform::LoadLocation() {
    veltrin::Tgolbal* golbal = veltrin::Golbal();
    if (golbal == nullptr) return;
    veltrin::LoadLocationTable(veltrin::FindDataFile(veltrin::kLocationFileName), golbal->location);
}

void Tmainform::ReadSettings() {
    veltrin::Tgolbal* golbal = veltrin::Golbal();
    if (golbal == nullptr) return;
    golbal->inipath = veltrin::SettingsFilePath();
    veltrin::LoadSettings(golbal->inipath, golbal->mailsetting, golbal->interval, golbal->datalength);
    golbal->probehost = veltrin::LoadProbeHost(golbal->inipath);
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
    alerts_->SetNotify(reach.notifications);
    alerts_->SetMail(reach.mailalert);
}

void Tmainform::LoadArgumentFile(const QStringList& arguments) {
    if (arguments.size() != 1) return;
    const QFileInfo file(arguments.front());
    if (!file.exists() || file.isDir()) return;
    ImportAddressPath(file.filePath());
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
    OpenDetailWindow(this, address);
}

void Tmainform::UpdateTrayIcon() {
    // Only an icon that is showing changes; while the window is shown there is none.
    if (intray_) SetTrayIcon();
}

void Tmainform::SetTrayIcon() {
    if (!tray_) return;
    traygreen_ = monitor_->running();
    tray_->setIcon(traygreen_ ? veltrin::GreenIco() : veltrin::RedIco());
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

// ---- paint duties ---------------------------------------------------------------------------

void Tmainform::RequestPaint() {
    if (painttimer_ && !painttimer_->isActive()) painttimer_->start();
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
    if (Image1_) Image1_->setPixmap(statusgreen_ ? veltrin::GreenBmp() : veltrin::RedBmp());
}

// ---- monitor events --------------------------------------------------------------------------

void Tmainform::StatusChanged(bool) {
    RefreshStatusPicture();
}

void Tmainform::FatalError(const std::string& text) {
    veltrin::ShowNotice(this, QString::fromStdString(text));
    // Also ends the application when this happens before the event loop runs.
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

void Tmainform::RawSocketUnavailable(const std::string& hint) {
    rawsockethint_ = QString::fromStdString(hint);
    rawsocketpending_ = true;
    // Never block start-up or the step that told us: the notice follows once the window is up.
    if (isVisible()) QMetaObject::invokeMethod(this, &Tmainform::ShowRawSocketNotice, Qt::QueuedConnection);
}

void Tmainform::RowStatesChanged(const std::vector<veltrin::StateChange>& changes) {
    alerts_->Changes(changes);
}

QString Tmainform::TrayToolTip() const {
    return QStringLiteral("Korbel\n%1 of %2 answering").arg(model_->AnsweringCount()).arg(model_->RowTotal());
}

void Tmainform::ShowRawSocketNotice() {
    if (!rawsocketpending_) return;
    rawsocketpending_ = false;
    veltrin::ShowNotice(this, rawsockethint_);
}

// ---- list selection and mouse --------------------------------------------------------------

void Tmainform::ViewToList() {
    if (!ListV1_) return;
    std::vector<int> rows;
    if (!proxy_->Sorted()) {
        // Unsorted, view rows are list rows: ranges stay ranges.
        std::vector<std::pair<int, int>> spans;
        for (const QItemSelectionRange& range : ListV1_->selectionModel()->selection())
            spans.emplace_back(range.top(), range.bottom());
        std::sort(spans.begin(), spans.end());
        int next = 0;
        for (const auto& [top, bottom] : spans) {
            for (int r = std::max(top, next); r <= bottom && r < list_.Count(); ++r) rows.push_back(r);
            next = std::max(next, bottom + 1);
        }
    } else {
        for (const QItemSelectionRange& range : ListV1_->selectionModel()->selection())
            for (int r = range.top(); r <= range.bottom(); ++r) {
                const int row = proxy_->mapToSource(proxy_->index(r, 0)).row();
                if (row >= 0 && row < list_.Count()) rows.push_back(row);
            }
        std::sort(rows.begin(), rows.end());
        rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    }
    syncing_ = true;
    list_.SetSelection(rows);
    syncing_ = false;
}

void Tmainform::ListToView() {
    if (!ListV1_) return;
    QItemSelection selection;
    std::vector<int> rows = list_.SelectedRows();
    if (proxy_->Sorted()) {
        // The same rows in the view's order, so neighbours there still make one range.
        for (int& r : rows) r = proxy_->mapFromSource(model_->index(r, 0)).row();
        rows.erase(std::remove(rows.begin(), rows.end(), -1), rows.end());
        std::sort(rows.begin(), rows.end());
    }
    for (std::size_t i = 0; i < rows.size();) {
        std::size_t j = i;
        while (j + 1 < rows.size() && rows[j + 1] == rows[j] + 1) ++j;
        selection.select(proxy_->index(rows[i], 0),
                         proxy_->index(rows[j], veltrin::AddressListModel::ColumnCount - 1));
        i = j + 1;
    }
    syncing_ = true;
    ListV1_->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    syncing_ = false;
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
    switch (key->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            // Enter moves on, which leaves the field and stores the value.
            focusNextChild();
            return true;
        case Qt::Key_Backspace:
        case Qt::Key_Delete:
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
            return false;
        default:
            break;
    }
    const QString text = key->text();
    if (text.isEmpty()) return false;  // cursor keys and the like type nothing
    return !(text.size() == 1 && text.front() >= u'0' && text.front() <= u'9');
}

void Tmainform::Edit2Exit() {
    veltrin::Tgolbal* golbal = veltrin::Golbal();
    if (golbal) golbal->interval = IntervalFromField(Edit2_->text());
}

// ---- menus owned by later work --------------------------------------------------------------

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

void Tmainform::HideToTray() {
    if (!tray_) {
        tray_ = new QSystemTrayIcon(this);
        tray_->setObjectName(QStringLiteral("trayicon"));
        tray_->setContextMenu(traymenu_);  // the right button shows popmu1
        alerts_->SetTray(tray_);
        connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger) RestoreFromTray();  // left button
        });
    }
    tray_->setToolTip(TrayToolTip());
    SetTrayIcon();
    // Hidden, not minimised: without a tray the top window's double-click and the hot keys
    // still bring the window back.
    setWindowState(windowState() & ~Qt::WindowMinimized);
    hide();
    tray_->show();
    intray_ = true;
}

void Tmainform::RestoreFromTray() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    if (tray_) tray_->hide();
    intray_ = false;
}

void Tmainform::CloseAndReport() {
    hide();
    if (tray_) tray_->hide();
    // The mail part: "all" replaces the mail text with the list's report lines; anything but
    // "nothing" or empty is mailed, and the result shown, before the program ends.
    try {
        if (veltrin::Tgolbal* golbal = veltrin::Golbal()) {
            veltrin::Tmailsetting& mail = golbal->mailsetting;
            if (mail.sendsetting == "all") mail.emailtext = veltrin::JoinCommaText(veltrin::MainLogLines(list_.Rows()));
            if (!(mail.sendsetting == "nothing" || mail.sendsetting.empty())) {
                const std::string result = veltrin::SendMail(mail);
                veltrin::ShowNotice(this, QString::fromStdString(result));
            }
        }
    } catch (...) {
        // A failed mail never keeps the program from ending.
    }
    veltrin::EndApplication();
}

// ---- events ---------------------------------------------------------------------------------

void Tmainform::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    RequestPaint();
    if (rawsocketpending_)
        QMetaObject::invokeMethod(this, &Tmainform::ShowRawSocketNotice, Qt::QueuedConnection);
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
                // Like a list view: a right press on an unselected row selects it first, one on
                // the empty area clears the selection.
                const QModelIndex index = ListV1_->indexAt(mouse->position().toPoint());
                if (!index.isValid()) {
                    ListV1_->clearSelection();
                } else if (!ListV1_->selectionModel()->isRowSelected(index.row(), QModelIndex())) {
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
