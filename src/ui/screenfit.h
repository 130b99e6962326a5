// Windows open fully on screen: at a large scale (QT_SCALE_FACTOR=2) or on a small screen the
// sizes the windows were laid out for can pass the screen's edge, and a window whose title bar
// is off screen cannot even be moved back by the user.
#pragma once

#include <QMargins>
#include <QRect>

class QWidget;

namespace veltrin {

// Where a window of `frame` (its outer rectangle) goes so that it lies within `area`: moved in,
// and made smaller first when it is larger and `resizable`. A window that cannot shrink keeps
// its size and its top left corner inside the area (the title bar stays reachable).
QRect FitRect(const QRect& frame, const QRect& area, bool resizable);

// Fits one top-level window into the available area of its screen (not the task bar's),
// counting the window manager's frame (estimated before the window is first mapped).
void FitOnScreen(QWidget* window);

// Installs, once, a watcher that fits every top-level window of the application as it is shown.
void FitWindowsOnScreen();

}  // namespace veltrin
