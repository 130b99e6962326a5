// The main window's widgets: the menu bar and list menus (from tables), the tool bar, the
// interval group and the address list.
#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QShortcut>
#include <QTableView>
#include <QToolBar>
#include <initializer_list>

#include "engine/global_unit.h"
#include "settings/settingsfile.h"
#include "ui/addresslistmodel.h"
#include "ui/listselection.h"
#include "ui/mainfm.h"
#include "ui/pictures.h"
#include "ui/replytable.h"
#include "ui/sparkdelegate.h"

// ---- layout ---------------------------------------------------------------------------------

void Tmainform::BuildActions() {
    pmselected_ = new QMenu(this);
    pmselected_->setObjectName(QStringLiteral("pmselected"));
    pmnone_ = new QMenu(this);
    pmnone_->setObjectName(QStringLiteral("pmnone"));
}

namespace {

// One menu entry: a separator when `name` is null.
struct MenuItem {
    const char* name;
    const char* caption;
    void (Tmainform::*command)();
};

void FillMenu(QMenu* menu, Tmainform* window, std::initializer_list<MenuItem> items) {
    for (const MenuItem& item : items) {
        if (item.name == nullptr) {
            menu->addSeparator();
            continue;
        }
        QAction* action = menu->addAction(QString::fromLatin1(item.caption));
        action->setObjectName(QString::fromLatin1(item.name));
        QObject::connect(action, &QAction::triggered, window, item.command);
    }
}

QMenu* AddMenu(QMenuBar* bar, const char* name, const char* caption) {
    QMenu* menu = bar->addMenu(QString::fromLatin1(caption));
    menu->setObjectName(QString::fromLatin1(name));
    return menu;
}

constexpr MenuItem kSeparator{nullptr, nullptr, nullptr};

}  // namespace

void Tmainform::BuildMenus() {
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu1"));

    // Every caption carries a mnemonic (Alt+letter), unique within its menu.
    FillMenu(AddMenu(bar, "files1", "&File"), this,
             {{"OPen1", "&Import address from file", &Tmainform::ImportAddressFile},
              {"save1", "&Save address log", &Tmainform::SaveAddressLog},
              kSeparator,
              {"exit1", "E&xit", &Tmainform::ExitCommand}});
    FillMenu(AddMenu(bar, "edit1", "&Edit"), this,
             {{"add1", "&Add an address", &Tmainform::ShowAddOneDialog},
              {"addaddresses1", "Add a &group", &Tmainform::ShowAddGroupDialog},
              kSeparator,
              {"importfromfile1", "&Import from file", &Tmainform::ImportAddressFile},
              kSeparator,
              {"deleteanaddress1", "&Delete an address", &Tmainform::DeleteSelectedAddresses},
              {"deleteaddresses1", "De&lete addresses", &Tmainform::ClearAllAddresses},
              kSeparator,
              {"clearalladdress1", "&Clear all addresses", &Tmainform::ClearAllAddresses}});
    QMenu* setting1 = AddMenu(bar, "setting1", "&Run");
    FillMenu(setting1, this,
             {{"start1", "&Start ", &Tmainform::pingbtnClick}, {"stop1", "S&top ", &Tmainform::stopbtnClick}, kSeparator});
    // The sweep pace: every row once per interval, for long lists. Kept in the settings file;
    // ApplyReachSettings reads it back at start-up.
    QAction* sweep1 = setting1->addAction(QStringLiteral("S&weep every row each interval"));
    sweep1->setObjectName(QStringLiteral("sweep1"));
    sweep1->setCheckable(true);
    connect(sweep1, &QAction::toggled, this, [this](bool on) {
        monitor_->SetSweep(on);
        const veltrin::Tgolbal* golbal = veltrin::Golbal();
        if (golbal != nullptr && !golbal->inipath.empty() &&
            veltrin::LoadPingInteger(golbal->inipath, veltrin::kSweepKey, 0) != (on ? 1 : 0))
            veltrin::SavePingInteger(golbal->inipath, veltrin::kSweepKey, on ? 1 : 0);
    });
    Autorun1_ = setting1->addAction(QStringLiteral("&Auto start"));
    Autorun1_->setObjectName(QStringLiteral("Autorun1"));
    Autorun1_->setCheckable(true);
    connect(Autorun1_, &QAction::triggered, this, &Tmainform::Autorun1Click);

    QAction* help1 = bar->addAction(QStringLiteral("&Setting"));
    help1->setObjectName(QStringLiteral("help1"));
    connect(help1, &QAction::triggered, this, &Tmainform::ShowSettingsWindow);

    FillMenu(AddMenu(bar, "help2", "&Help"), this,
             {{"howtouse1", "&How to use ?", &Tmainform::ShowHelp},
              kSeparator,
              {"AboutKorbel1", "&About ", &Tmainform::ShowAboutBox}});

    // List menus.
    FillMenu(pmselected_, this,
             {{"ds", "Delete &last address", &Tmainform::DeleteLastAddress},
              {"Detele1", "&Delete selected address(es)", &Tmainform::DeleteSelectedAddresses},
              kSeparator,
              {"savelog1", "&Save address log", &Tmainform::SaveAddressLog},
              kSeparator,
              {"moredetailinfo1", "&More detail info...", &Tmainform::MoreDetailInfo},
              {"IP1", "IP &Tracert ", &Tmainform::IP1Click}});
    FillMenu(pmnone_, this,
             {{"addaaddress1", "&Add an address", &Tmainform::ShowAddOneDialog},
              {"addmore1", "Add a &group", &Tmainform::ShowAddGroupDialog},
              kSeparator,
              {"deletealladdress2", "Delete a&ll address", &Tmainform::ClearAllAddresses},
              {"deleteanaddress2", "&Delete an address", &Tmainform::ClearAllAddresses},
              kSeparator,
              {"importaddressfromfile2", "&Import address from file", &Tmainform::ImportAddressFile}});
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
        QAction* action = ToolBar1_->addAction(veltrin::ToolbarIcon(b.image), b.hint);
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
    ListV1_->setModel(proxy_);  // sorts the view only
    // Lime text on the dark frame colour.
    veltrin::StyleReplyTable(ListV1_, veltrin::ReplyTableLook{QColor(16, 16, 16), {150, 80, 100, 200, 60, 60, 60, 100}});
    ListV1_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ListV1_->setCornerButtonEnabled(false);
    ListV1_->setTabKeyNavigation(false);
    ListV1_->setAlternatingRowColors(false);
    ListV1_->setTextElideMode(Qt::ElideRight);
    // Uniform rows keep a list of 100,000 addresses as cheap as one of ten.
    QHeaderView* rows = ListV1_->verticalHeader();
    rows->setDefaultSectionSize(ListV1_->fontMetrics().height() + 4);
    QHeaderView* columns = ListV1_->horizontalHeader();
    columns->setSectionResizeMode(QHeaderView::Interactive);
    columns->setHighlightSections(false);
    columns->setSectionsClickable(false);
    columns->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    QPalette palette = ListV1_->palette();
    palette.setColor(QPalette::Inactive, QPalette::Highlight,
                     palette.color(QPalette::Active, QPalette::Highlight));
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     palette.color(QPalette::Active, QPalette::HighlightedText));
    ListV1_->setPalette(palette);
    model_->SetViewPalette(palette);  // state colours to suit the list's own colours
    // The header keeps the ordinary colours, its empty end included.
    QPalette headerpalette = QApplication::palette(columns);
    headerpalette.setColor(QPalette::Base, headerpalette.color(QPalette::Button));
    headerpalette.setColor(QPalette::Window, headerpalette.color(QPalette::Button));
    columns->setPalette(headerpalette);

    ListV1_->setMouseTracking(true);
    ListV1_->viewport()->installEventFilter(this);
    mirror_ = new veltrin::SelectionMirror(ListV1_, model_, proxy_, list_, this);
    ListV1_->setItemDelegateForColumn(veltrin::AddressListModel::HistoryColumn, new veltrin::SparklineDelegate(ListV1_));
    connect(ListV1_, &QAbstractItemView::doubleClicked, this, [this] { ListV1DblClick(); });
    // The keys a list has: Delete removes the selected rows (asking first when there are several),
    // Enter opens the detail window of the one selected row, as a double-click does.
    for (const QKeySequence& keys : {QKeySequence(Qt::Key_Delete)})
        connect(new QShortcut(keys, ListV1_, nullptr, nullptr, Qt::WidgetShortcut), &QShortcut::activated, this,
                &Tmainform::DeleteSelectedAddresses);
    for (const QKeySequence& keys : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)})
        connect(new QShortcut(keys, ListV1_, nullptr, nullptr, Qt::WidgetShortcut), &QShortcut::activated, this,
                &Tmainform::ListV1DblClick);
    layout->addWidget(ListV1_);

    setTabOrder(Edit2_, pingbtn_);
    setTabOrder(pingbtn_, stopbtn_);
    setTabOrder(stopbtn_, ListV1_);
}
