// The start-up anchor: a plain Qt widgets window with the same kinds of widgets as the main
// window (menu bar with menus, a tool bar with drawn icons, a settings group with a field and
// two buttons, a sorted table view over a small model with a header, a status bar with labels,
// a tray menu), shown, then left to be measured. bench/startup_idle.py times it from start to
// mapped beside the program, in the same run, and stops it; on its own it quits after 30 s.
//
//   veltrin-startup-anchor [--quit-when-mapped]
#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <cstring>

namespace {

QIcon DrawnIcon(int index) {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(20, 60, 140), 1.5));
    p.setBrush(QColor::fromHsv(index * 50 % 360, 160, 220));
    if (index % 2 == 0)
        p.drawEllipse(QRectF(2, 2, 12, 12));
    else
        p.drawRoundedRect(QRectF(2, 3, 12, 10), 2, 2);
    p.end();
    return QIcon(pixmap);
}

class AnchorWindow : public QMainWindow {
  public:
    AnchorWindow() {
        setWindowTitle(QStringLiteral("Qt widgets anchor"));
        setWindowIcon(DrawnIcon(0));

        const char* menus[][5] = {{"File", "Import...", "Save...", "Exit", nullptr},
                                  {"Edit", "Add one", "Add group", "Delete", "Delete all"},
                                  {"Run", "Ping", "Stop", "Sweep", nullptr},
                                  {"Options", "Settings...", "Auto start", "Tray", nullptr},
                                  {"Help", "How to use", "About", nullptr, nullptr}};
        for (const auto& m : menus) {
            QMenu* menu = menuBar()->addMenu(QString::fromLatin1(m[0]));
            for (int i = 1; i < 5 && m[i] != nullptr; ++i) menu->addAction(QString::fromLatin1(m[i]));
        }

        QToolBar* bar = addToolBar(QStringLiteral("Tools"));
        bar->setMovable(false);
        for (int i = 0; i < 7; ++i) bar->addAction(DrawnIcon(i), QStringLiteral("Tool %1").arg(i));
        auto* lamp = new QLabel(bar);
        lamp->setPixmap(DrawnIcon(3).pixmap(16, 16));
        bar->addWidget(lamp);

        auto* central = new QWidget(this);
        auto* layout = new QVBoxLayout(central);
        auto* group = new QGroupBox(QStringLiteral("Settings"), central);
        auto* row = new QHBoxLayout(group);
        row->addWidget(new QLabel(QStringLiteral("Interval"), group));
        row->addWidget(new QLineEdit(QStringLiteral("3"), group));
        row->addWidget(new QPushButton(QStringLiteral("Start"), group));
        row->addWidget(new QPushButton(QStringLiteral("Stop"), group));
        row->addStretch(1);
        layout->addWidget(group);

        auto* model = new QStandardItemModel(8, 9, this);
        for (int r = 0; r < model->rowCount(); ++r)
            for (int c = 0; c < model->columnCount(); ++c)
                model->setItem(r, c, new QStandardItem(QStringLiteral("127.0.0.%1").arg(r * 9 + c + 1)));
        model->setHorizontalHeaderLabels({QStringLiteral("Addresses"), QStringLiteral("TTL"), QStringLiteral("Time"),
                                          QStringLiteral("Bytes"), QStringLiteral("Sent"), QStringLiteral("Lost"),
                                          QStringLiteral("Loss"), QStringLiteral("Last"), QStringLiteral("History")});
        auto* proxy = new QSortFilterProxyModel(this);
        proxy->setSourceModel(model);
        auto* view = new QTableView(central);
        view->setModel(proxy);
        view->setSortingEnabled(true);
        view->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
        view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 4);
        layout->addWidget(view, 1);
        setCentralWidget(central);

        statusBar()->addWidget(new QLabel(QStringLiteral("0 of 72 answering"), this));
        statusBar()->addPermanentWidget(new QLabel(QStringLiteral("Ready"), this));

        // The main window's tray menu is made at start; its icon only when it goes to the tray.
        traymenu_ = new QMenu(this);
        for (const char* item : {"Ping", "Stop", "Restore", "Exit"}) traymenu_->addAction(QString::fromLatin1(item));

        resize(585, 592);
    }

  private:
    QMenu* traymenu_ = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const bool quitwhenmapped = argc > 1 && std::strcmp(argv[1], "--quit-when-mapped") == 0;
    AnchorWindow window;
    window.show();
    if (quitwhenmapped) QTimer::singleShot(0, &app, &QApplication::quit);
    QTimer::singleShot(30000, &app, &QApplication::quit);  // never left behind
    return app.exec();
}
