// The main window's keys: the desktop-wide hot keys (O, S, T, P with the chord the user chose),
// the same four as ordinary shortcuts inside the window, and File > Exit.
#include <QAction>
#include <QKeySequence>
#include <QLabel>
#include <QStatusBar>
#include <QSystemTrayIcon>

#include "engine/global_unit.h"
#include "platform/hotkeys.h"
#include "settings/paths.h"
#include "settings/settingsfile.h"
#include "ui/mainfm.h"

namespace {

const QString kTitle = QStringLiteral("Veltrin Ping Utility");

// The chord the settings file names; Ctrl+Alt when it names none.
veltrin::HotKeyChord StoredChord() {
    const veltrin::Tgolbal* golbal = veltrin::Golbal();
    const std::string path = golbal != nullptr && !golbal->inipath.empty() ? golbal->inipath : veltrin::SettingsFilePath();
    return veltrin::HotKeyChordFromSetting(veltrin::LoadPingInteger(path, veltrin::kHotKeysKey, veltrin::kHotKeysCtrlAlt));
}

}  // namespace

void Tmainform::SetUpHotKeys() {
    // Ctrl+Alt by default: Ctrl+O, Ctrl+S, Ctrl+T and Ctrl+P grabbed for the whole desktop would
    // take open, save, new tab and print away from every other program. Where the display has
    // no global keys (Wayland) there are none, and that is not reported.
    const veltrin::HotKeyChord chord = StoredChord();
    if (!hotkeys_)
        hotkeys_ = std::make_unique<veltrin::GlobalHotKeys>([this](int index) { HotKeyPressed(index); }, chord);
    else
        hotkeys_->SetChord(chord);
    hotkeys_->Register();
    TellHeldHotKeys();
}

void Tmainform::TellHeldHotKeys() {
    // A key another program already holds stays with it. Said once, in the status bar: a box at
    // every start would be a nuisance for something the user may not care about.
    QString text;
    if (hotkeys_ && hotkeys_->Registered() && !hotkeys_->Failed().empty()) {
        QStringList keys;
        for (const int index : hotkeys_->Failed())
            keys << veltrin::HotKeyText(hotkeys_->Chord(), veltrin::kHotKeys[static_cast<std::size_t>(index)].letter);
        text = QStringLiteral("Hot key held by another program: %1").arg(keys.join(QStringLiteral(", ")));
    }
    if (text == hotkeystold_) return;
    hotkeystold_ = text;
    // A label of the status bar rather than a message: a menu's hover tips would wipe that.
    auto* notice = statusBar()->findChild<QLabel*>(QStringLiteral("hotkeynotice"));
    if (notice == nullptr) {
        if (text.isEmpty()) return;
        notice = new QLabel(statusBar());
        notice->setObjectName(QStringLiteral("hotkeynotice"));
        statusBar()->addWidget(notice, 1);
    }
    notice->setText(text);
    notice->setVisible(!text.isEmpty());
}

void Tmainform::HotKeyPressed(int index) {
    // Where no tray can show the hidden window's icon, a hot key is the way back to it.
    if (InTray() && !QSystemTrayIcon::isSystemTrayAvailable()) RestoreFromTray();
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

void Tmainform::SetUpWindowKeys() {
    // Inside this window the plain Ctrl chords stay, whatever the desktop-wide setting; they
    // reach only this window, so they take nothing from other programs.
    const struct {
        const char* action;
        QKeySequence keys;
    } keys[] = {
        {"OPen1", QKeySequence(Qt::CTRL | Qt::Key_O)}, {"save1", QKeySequence(Qt::CTRL | Qt::Key_S)},
        {"start1", QKeySequence(Qt::CTRL | Qt::Key_T)}, {"stop1", QKeySequence(Qt::CTRL | Qt::Key_P)},
        {"exit1", QKeySequence(Qt::CTRL | Qt::Key_Q)},
    };
    for (const auto& k : keys) {
        if (QAction* action = findChild<QAction*>(QLatin1String(k.action))) {
            action->setShortcut(k.keys);
            action->setShortcutContext(Qt::WindowShortcut);
        }
    }
}

void Tmainform::ApplyDesktopSettings() {
    SetUpHotKeys();
    // The check reads the host before every probe; once it is off, the title it wrote goes.
    const veltrin::Tgolbal* golbal = veltrin::Golbal();
    if (golbal != nullptr && golbal->probehost.empty()) SetCaption(kTitle);
}

void Tmainform::ExitCommand() {
    // The same road as the window's close button: the close sequence with its report mail.
    SysCommand(SC_CLOSE);
}
