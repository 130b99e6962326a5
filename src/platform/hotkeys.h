// System-wide hot keys: Ctrl+O, Ctrl+S, Ctrl+T and Ctrl+P grabbed on the X11 root window, so they
// reach the program while another program has the focus and while the main window is hidden.
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
    char letter;       // with Control
};

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
    explicit GlobalHotKeys(std::function<void(int index)> pressed);
    ~GlobalHotKeys() override;  // releases the keys
    GlobalHotKeys(const GlobalHotKeys&) = delete;
    GlobalHotKeys& operator=(const GlobalHotKeys&) = delete;

    // Grabs the four keys (call after the QGuiApplication exists). Returns false when global hot
    // keys are unavailable on this display (Wayland, offscreen, no X connection); then nothing
    // is grabbed. Keys that another program already holds are listed by Failed().
    bool Register();
    // Ungrabs whatever Register grabbed; safe to call twice.
    void Release();

    bool Available() const { return available_; }
    bool Registered() const { return registered_; }
    // Indexes into kHotKeys whose grab failed.
    const std::vector<int>& Failed() const { return failed_; }
    // One line for a status or a log: "unavailable", "all registered" or the keys that failed.
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
    std::vector<Grab> grabs_;
    std::vector<int> failed_;
    bool available_ = false;
    bool registered_ = false;
    bool filtering_ = false;
    std::shared_ptr<int> token_ = std::make_shared<int>(0);  // renewed by Release
};

}  // namespace veltrin
