// Another X client for the real-window tests: its own X connection with a window that takes
// the keyboard focus and listens for keys, as a program the user switched to would.
#pragma once

#include <QTest>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>

namespace veltrin::testing {

// Another program: its own X connection with a focused window that listens for keys.
class OtherClient {
public:
    OtherClient() {
        c_ = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(c_)) return;
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        root_ = screen->root;
        window_ = xcb_generate_id(c_);
        const uint32_t values[] = {screen->white_pixel, XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE};
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, root_, 100, 100, 300, 200, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK,
                          values);
        xcb_map_window(c_, window_);
        xcb_flush(c_);
        syms_ = xcb_key_symbols_alloc(c_);
    }
    ~OtherClient() {
        if (syms_) xcb_key_symbols_free(syms_);
        xcb_disconnect(c_);
    }
    bool ok() const { return xcb_connection_has_error(c_) == 0; }
    xcb_window_t window() const { return window_; }
    // Gives the window the keyboard focus once it is on screen. True when the server says so.
    bool Focus() {
        for (int i = 0; i < 100; ++i) {
            std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> attrs(
                xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, window_), nullptr), &std::free);
            if (attrs && attrs->map_state == XCB_MAP_STATE_VIEWABLE) break;
            QTest::qWait(50);
        }
        xcb_set_input_focus(c_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
        xcb_flush(c_);
        std::unique_ptr<xcb_get_input_focus_reply_t, decltype(&std::free)> focus(
            xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr), &std::free);
        return focus && focus->focus == window_;
    }
    xcb_keycode_t Code(char letter) {
        std::unique_ptr<xcb_keycode_t, decltype(&std::free)> codes(xcb_key_symbols_get_keycode(syms_, letter), &std::free);
        return codes ? codes.get()[0] : 0;
    }
    // Key presses of `letter` this client received since the last Forget (counted, so a
    // condition may ask twice).
    int Presses(char letter) {
        while (xcb_generic_event_t* ev = xcb_poll_for_event(c_)) {
            if ((ev->response_type & 0x7f) == XCB_KEY_PRESS)
                ++presses_[reinterpret_cast<xcb_key_press_event_t*>(ev)->detail];
            std::free(ev);
        }
        return presses_[Code(letter)];
    }
    void Forget() {
        Presses('s');
        presses_.clear();
    }
    // Takes <modifiers>+<letter> first (Ctrl by default; Ctrl+Alt is Control | Mod1), as another
    // program holding the key would. True when granted.
    bool Grab(char letter, std::uint16_t modifiers = XCB_MOD_MASK_CONTROL) {
        auto cookie = xcb_grab_key_checked(c_, 0, root_, modifiers, Code(letter), XCB_GRAB_MODE_ASYNC,
                                           XCB_GRAB_MODE_ASYNC);
        xcb_generic_error_t* error = xcb_request_check(c_, cookie);
        std::free(error);
        return error == nullptr;
    }

private:
    xcb_connection_t* c_ = nullptr;
    xcb_window_t root_ = 0;
    xcb_window_t window_ = 0;
    xcb_key_symbols_t* syms_ = nullptr;
    std::map<xcb_keycode_t, int> presses_;
};

}  // namespace veltrin::testing
