// The program's pictures, drawn in code so they need no image files: the tool-bar strip, the
// status pictures, the tray and application icons and the top window's emblem.
// Call after the QGuiApplication exists; each picture is drawn once and cached.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace veltrin {

inline constexpr int kToolbarImages = 7;
inline constexpr int kToolbarImageSize = 16;

// "TOOLBARBMP": seven 16 x 16 images side by side (112 x 16): import, save, add one, add a
// group, delete one, delete all, help.
const QPixmap& ToolbarStrip();
// One image of the strip, 0..6 (an empty pixmap for other indexes).
QPixmap ToolbarImage(int index);

// "GREENBMP" / "REDBMP": the 16 x 16 status pictures for a running and a stopped monitor.
const QPixmap& GreenBmp();
const QPixmap& RedBmp();

// "GREENICO" / "REDICO": tray icons for a running and a stopped monitor (16, 22, 24, 32, 48).
const QIcon& GreenIco();
const QIcon& RedIco();

// "GRAPINGiCO": the application icon, from the desktop icon's SVG (any size).
inline constexpr char kAppIconResource[] = ":/icons/org.veltrin.VeltrinPing.svg";
const QIcon& AppIcon();

// "T1BMP": 32 x 32 round emblem on a white background (white is the transparent colour).
const QPixmap& T1Bmp();

// ---- crisp at any scale ----------------------------------------------------------------------
// The same pictures as icons drawn from their vector form at whatever size and device pixel
// ratio they are shown (QT_SCALE_FACTOR=2, high-density screens): never an upscaled 16-pixel
// image. The fixed-size pixmaps above stay for the files and tests that want exactly those.
QIcon ToolbarIcon(int index);  // 0..6 as ToolbarImage; a null icon for other indexes
const QIcon& GreenLamp();      // GREENBMP / REDBMP as icons
const QIcon& RedLamp();

}  // namespace veltrin
