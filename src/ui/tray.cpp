#include "ui/tray.h"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QWidget>
#include <utility>

#include "ui/pictures.h"

namespace veltrin {

MainTray::MainTray(QWidget* window, TrayCommands commands)
    : QObject(window), window_(window), commands_(std::move(commands)) {
    createActions();
}

void MainTray::createActions() {
    menu_ = new QMenu(window_);
    menu_->setObjectName(QStringLiteral("popmu1"));
    pingAction_ = menu_->addAction(QStringLiteral("&Ping"));
    pingAction_->setObjectName(QStringLiteral("stop2"));
    connect(pingAction_, &QAction::triggered, this, [this] {
        if (commands_.ping) commands_.ping();
    });
    stopAction_ = menu_->addAction(QStringLiteral("&Stop"));
    stopAction_->setObjectName(QStringLiteral("s1"));
    connect(stopAction_, &QAction::triggered, this, [this] {
        if (commands_.stop) commands_.stop();
    });
    menu_->addSeparator();
    exitAction_ = menu_->addAction(QStringLiteral("E&xit"));
    exitAction_->setObjectName(QStringLiteral("Exit1"));
    connect(exitAction_, &QAction::triggered, this, [this] {
        if (commands_.exit) commands_.exit();
    });
}

void MainTray::createTrayIcon() {
    icon_ = new QSystemTrayIcon(window_);
    icon_->setObjectName(QStringLiteral("trayicon"));
    icon_->setToolTip(tip_);
    icon_->setContextMenu(menu_);  // the right button shows popmu1
    connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && commands_.restore) commands_.restore();  // left button
    });
}

void MainTray::setIcon(bool running) {
    if (!icon_) return;
    green_ = running;
    icon_->setIcon(green_ ? GreenIco() : RedIco());
}

void MainTray::updateIcon(bool running) {
    if (intray_) setIcon(running);
}

void MainTray::prepare(bool running) {
    if (!icon_) createTrayIcon();
    setIcon(running);
}

void MainTray::show() {
    icon_->show();
    intray_ = true;
}

void MainTray::leave() {
    if (icon_) icon_->hide();
    intray_ = false;
}

void MainTray::setToolTip(const QString& tip) {
    tip_ = tip;
    if (icon_) icon_->setToolTip(tip_);
}

void MainTray::hideIcon() {
    if (icon_) icon_->hide();
}

}  // namespace veltrin
