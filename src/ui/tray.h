// The main window's tray icon and its menu popmu1, in the shape of Qt's system tray example:
// the actions and the menu are made once, the icon itself only when the window first goes into
// the tray (a desktop without a tray host then never sees an empty icon).
#pragma once

#include <QObject>
#include <QString>
#include <functional>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace veltrin {

// What the tray's menu and icon do to the main window.
struct TrayCommands {
    std::function<void()> ping;     // "Ping": start, then refresh the icon
    std::function<void()> stop;     // "Stop": stop, then refresh the icon
    std::function<void()> restore;  // a left click on the icon brings the window back
    std::function<void()> exit;     // "Exit": ends the program at once, no close sequence
};

class MainTray : public QObject {
    Q_OBJECT

public:
    MainTray(QWidget* window, TrayCommands commands);

    QSystemTrayIcon* icon() const { return icon_; }  // null until the window first went into the tray
    QMenu* menu() const { return menu_; }
    bool inTray() const { return intray_; }
    bool green() const { return green_; }  // colour of the icon last set

    // The icon for the monitor's state now (running: green). Nothing before the icon exists.
    void setIcon(bool running);
    // Only an icon that is showing changes; while the window is shown there is none.
    void updateIcon(bool running);
    // Makes the icon if needed and gives it the state's colour; the window hides itself after.
    void prepare(bool running);
    void show();   // shows the icon: the window is in the tray now
    void leave();  // hides the icon: the window is back
    void hideIcon();  // hides the icon without leaving (the close sequence)
    // "Korbel" and the counts line; kept for an icon made later.
    void setToolTip(const QString& tip);

private:
    void createActions();
    void createTrayIcon();

    QWidget* window_;
    TrayCommands commands_;
    QMenu* menu_ = nullptr;  // popmu1: "Ping", "Stop", "-", "Exit"
    QAction* pingAction_ = nullptr;
    QAction* stopAction_ = nullptr;
    QAction* exitAction_ = nullptr;
    QSystemTrayIcon* icon_ = nullptr;
    bool intray_ = false;
    bool green_ = false;
    QString tip_ = QStringLiteral("Korbel");
};

}  // namespace veltrin
