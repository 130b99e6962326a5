// System-wide hot keys: O, S, T and P with a chord of modifiers (Ctrl+Alt by default) grabbed on
// the X11 root window, so they reach the program while another program has the focus and while
// the main window is hidden. Ctrl alone can be chosen, but then Ctrl+S and the others no longer
// reach any other program (an editor would not save), so it is not the default.
// Wayland offers no global key grabs to ordinary clients; there the keys are simply unavailable.
#pragma once

#include <QAbstractNativeEventFilter>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace veltrin {

struct HotKeyDef {
    const char* name;  // the key's identifier, kept from the atom names of the original keys
    char letter;       // with the chord's modifiers
};

// Which modifiers make the four letters hot keys. The values are those of the settings file.
enum class HotKeyChord : int { Off = 0, CtrlAlt = 1, Ctrl = 2 };

// A stored value as a chord: anything unknown is the default, Ctrl+Alt.
HotKeyChord HotKeyChordFromSetting(int value);
// "Ctrl+Alt+S", "Ctrl+S"; empty for Off.
QString HotKeyText(HotKeyChord chord, char letter);

// Table order is the registration order and the index the callback receives.
inline constexpr std::array<HotKeyDef, 4> kHotKeys = {{
    {"myhotkey_o_open_1", 'O'},
    {"myhotkey_s_save_2", 'S'},
    {"myhotkey_t_ping_3", 'T'},
    {"myhotkey_t_stop_4", 'P'},
}};

class GlobalHotKeys : public QAbstractNativeEventFilter {
public:
    // `pressed` runs on the GUI thread with the index into kHotKeys.
    explicit GlobalHotKeys(std::function<void(int index)> pressed, HotKeyChord chord = HotKeyChord::CtrlAlt);
    ~GlobalHotKeys() override;  // releases the keys
    GlobalHotKeys(const GlobalHotKeys&) = delete;
    GlobalHotKeys& operator=(const GlobalHotKeys&) = delete;

    // Grabs the four keys (call after the QGuiApplication exists). Returns false when global hot
    // keys are unavailable on this display (Wayland, offscreen, no X connection) or the chord is
    // Off; then nothing is grabbed. Keys that another program already holds are listed by Failed().
    bool Register();
    // Takes effect at the next Register.
    void SetChord(HotKeyChord chord) { chord_ = chord; }
    HotKeyChord Chord() const { return chord_; }
    // Ungrabs whatever Register grabbed; safe to call twice.
    void Release();

    bool Available() const { return available_; }
    bool Registered() const { return registered_; }
    // Indexes into kHotKeys whose grab failed.
    const std::vector<int>& Failed() const { return failed_; }
    // One line for a status or a log: "off", "unavailable", "all registered" or the keys that
    // failed ("held by another program: Ctrl+Alt+O").
    QString Describe() const;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    struct Grab {
        int index;
        std::uint8_t keycode;
        std::uint16_t modifiers;
    };
    std::function<void(int)> pressed_;
    void* connection_ = nullptr;  // xcb_connection_t*, owned by Qt
    std::uint32_t root_ = 0;
    std::uint16_t numlock_ = 0;
    std::uint16_t base_ = 0;  // the chord's modifier bits on this server
    HotKeyChord chord_;
    std::vector<Grab> grabs_;
    std::vector<int> failed_;
    bool available_ = false;
    bool registered_ = false;
    bool filtering_ = false;
    std::shared_ptr<int> token_ = std::make_shared<int>(0);  // renewed by Release
};

}  // namespace veltrin
