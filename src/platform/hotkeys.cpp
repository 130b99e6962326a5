#include "platform/hotkeys.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QStringList>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace veltrin {

namespace {

constexpr xcb_keysym_t kNumLockSym = 0xff7f;  // XK_Num_Lock
constexpr xcb_keysym_t kAltSym = 0xffe9;      // XK_Alt_L

// Lower-case letter keysyms equal their ASCII codes (XK_a .. XK_z).
xcb_keysym_t LetterSym(char letter) {
    return static_cast<xcb_keysym_t>(letter >= 'A' && letter <= 'Z' ? letter - 'A' + 'a' : letter);
}

xcb_connection_t* X11Connection() {
    auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (gui == nullptr || QGuiApplication::platformName() != QLatin1String("xcb")) return nullptr;
    auto* x11 = gui->nativeInterface<QNativeInterface::QX11Application>();
    return x11 != nullptr ? x11->connection() : nullptr;
}

// The modifier bit that a key sets on this server (Num Lock usually Mod2, Alt usually Mod1), 0
// when none.
std::uint16_t ModifierMask(xcb_connection_t* c, xcb_key_symbols_t* syms, xcb_keysym_t sym) {
    std::unique_ptr<xcb_keycode_t, decltype(&std::free)> numcodes(xcb_key_symbols_get_keycode(syms, sym),
                                                                   &std::free);
    if (!numcodes) return 0;
    std::unique_ptr<xcb_get_modifier_mapping_reply_t, decltype(&std::free)> map(
        xcb_get_modifier_mapping_reply(c, xcb_get_modifier_mapping(c), nullptr), &std::free);
    if (!map) return 0;
    const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(map.get());
    const int per = map->keycodes_per_modifier;
    for (int mod = 0; mod < 8; ++mod) {
        for (int k = 0; k < per; ++k) {
            const xcb_keycode_t code = codes[mod * per + k];
            if (code == 0) continue;
            for (const xcb_keycode_t* n = numcodes.get(); *n != XCB_NO_SYMBOL; ++n)
                if (*n == code) return static_cast<std::uint16_t>(1u << mod);
        }
    }
    return 0;
}

}  // namespace

HotKeyChord HotKeyChordFromSetting(int value) {
    switch (value) {
        case static_cast<int>(HotKeyChord::Off):
            return HotKeyChord::Off;
        case static_cast<int>(HotKeyChord::Ctrl):
            return HotKeyChord::Ctrl;
        default:
            return HotKeyChord::CtrlAlt;
    }
}

QString HotKeyText(HotKeyChord chord, char letter) {
    switch (chord) {
        case HotKeyChord::Off:
            return {};
        case HotKeyChord::Ctrl:
            return QStringLiteral("Ctrl+%1").arg(QLatin1Char(letter));
        case HotKeyChord::CtrlAlt:
            break;
    }
    return QStringLiteral("Ctrl+Alt+%1").arg(QLatin1Char(letter));
}

GlobalHotKeys::GlobalHotKeys(std::function<void(int)> pressed, HotKeyChord chord)
    : pressed_(std::move(pressed)), chord_(chord) {}

GlobalHotKeys::~GlobalHotKeys() { Release(); }

bool GlobalHotKeys::Register() {
    Release();
    failed_.clear();
    available_ = false;
    if (chord_ == HotKeyChord::Off) return false;
    xcb_connection_t* c = X11Connection();
    if (c == nullptr || xcb_connection_has_error(c) != 0) return false;
    const xcb_setup_t* setup = xcb_get_setup(c);
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
    if (screens.rem == 0 || screens.data == nullptr) return false;
    connection_ = c;
    root_ = screens.data->root;
    available_ = true;

    std::unique_ptr<xcb_key_symbols_t, decltype(&xcb_key_symbols_free)> syms(xcb_key_symbols_alloc(c),
                                                                            &xcb_key_symbols_free);
    numlock_ = syms ? ModifierMask(c, syms.get(), kNumLockSym) : 0;
    base_ = XCB_MOD_MASK_CONTROL;
    if (chord_ == HotKeyChord::CtrlAlt) {
        const std::uint16_t alt = syms ? ModifierMask(c, syms.get(), kAltSym) : 0;
        base_ |= alt != 0 ? alt : static_cast<std::uint16_t>(XCB_MOD_MASK_1);
    }
    // A held Caps Lock or Num Lock is part of the modifier state the server compares, so each
    // key is grabbed once per combination of them; otherwise it would not fire while either is on.
    std::vector<std::uint16_t> variants = {base_, static_cast<std::uint16_t>(base_ | XCB_MOD_MASK_LOCK)};
    if (numlock_ != 0) {
        variants.push_back(static_cast<std::uint16_t>(base_ | numlock_));
        variants.push_back(static_cast<std::uint16_t>(base_ | XCB_MOD_MASK_LOCK | numlock_));
    }

    for (int index = 0; index < static_cast<int>(kHotKeys.size()); ++index) {
        std::unique_ptr<xcb_keycode_t, decltype(&std::free)> codes(
            syms ? xcb_key_symbols_get_keycode(syms.get(), LetterSym(kHotKeys[index].letter)) : nullptr, &std::free);
        std::vector<Grab> mine;
        bool ok = codes != nullptr && codes.get()[0] != XCB_NO_SYMBOL;
        for (const xcb_keycode_t* code = codes.get(); ok && *code != XCB_NO_SYMBOL; ++code) {
            for (const std::uint16_t mods : variants) {
                // A checked grab: another client's grab of the same combination answers with
                // BadAccess, which only a checked request reports back to us.
                const xcb_void_cookie_t cookie = xcb_grab_key_checked(c, 0, root_, mods, *code,
                                                                      XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
                std::unique_ptr<xcb_generic_error_t, decltype(&std::free)> error(xcb_request_check(c, cookie),
                                                                                 &std::free);
                if (error) {
                    ok = false;
                    break;
                }
                mine.push_back({index, *code, mods});
            }
        }
        if (ok) {
            grabs_.insert(grabs_.end(), mine.begin(), mine.end());
        } else {
            // Half a key is no key: give back what was taken for it.
            for (const Grab& g : mine) xcb_ungrab_key(c, g.keycode, root_, g.modifiers);
            failed_.push_back(index);
        }
    }
    xcb_flush(c);
    if (!filtering_) {
        QCoreApplication::instance()->installNativeEventFilter(this);
        filtering_ = true;
    }
    registered_ = true;
    return true;
}

void GlobalHotKeys::Release() {
    if (filtering_) {
        if (QCoreApplication::instance() != nullptr) QCoreApplication::instance()->removeNativeEventFilter(this);
        filtering_ = false;
    }
    // The connection belongs to Qt and is gone once the application object is; grabs die with
    // the connection then anyway.
    auto* c = static_cast<xcb_connection_t*>(connection_);
    if (c != nullptr && !grabs_.empty() && X11Connection() == c && xcb_connection_has_error(c) == 0) {
        for (const Grab& g : grabs_) xcb_ungrab_key(c, g.keycode, root_, g.modifiers);
        xcb_flush(c);
    }
    grabs_.clear();
    token_ = std::make_shared<int>(0);
    connection_ = nullptr;
    registered_ = false;
}

QString GlobalHotKeys::Describe() const {
    if (chord_ == HotKeyChord::Off) return QStringLiteral("off");
    if (!available_) return QStringLiteral("unavailable");
    if (failed_.empty()) return QStringLiteral("all registered");
    QStringList keys;
    for (const int i : failed_) keys << HotKeyText(chord_, kHotKeys[i].letter);
    return QStringLiteral("held by another program: ") + keys.join(QStringLiteral(", "));
}

bool GlobalHotKeys::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (grabs_.empty() || message == nullptr || eventType != QByteArrayLiteral("xcb_generic_event_t")) return false;
    const auto* ev = static_cast<const xcb_generic_event_t*>(message);
    const std::uint8_t type = ev->response_type & 0x7f;
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE) return false;
    const auto* key = static_cast<const xcb_key_press_event_t*>(message);
    if (key->event != root_) return false;
    // Mouse buttons and the lock keys do not change which hot key this is.
    const std::uint16_t relevant = static_cast<std::uint16_t>(
        key->state & (XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_2 | XCB_MOD_MASK_3 |
                      XCB_MOD_MASK_4 | XCB_MOD_MASK_5) & ~numlock_);
    if (relevant != base_) return false;
    const auto hit = std::find_if(grabs_.begin(), grabs_.end(), [&](const Grab& g) { return g.keycode == key->detail; });
    if (hit == grabs_.end()) return false;
    if (type == XCB_KEY_PRESS && pressed_) {
        const int index = hit->index;
        // The command may open a modal dialog; run it after the event is handled, not inside
        // the X event dispatch. The token drops the call if the keys were released meanwhile.
        std::weak_ptr<int> alive = token_;
        auto pressed = pressed_;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [alive, pressed, index] {
                if (!alive.expired()) pressed(index);
            },
            Qt::QueuedConnection);
    }
    return true;
}

}  // namespace veltrin
