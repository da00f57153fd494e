#include "platform/x11/xtest_input.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include <xcb/randr.h>
#include <xcb/xtest.h>

#include "platform/x11/randr_query.hpp"
#include "platform/x11/xcb_handles.hpp"

namespace tavelin::x11 {
namespace {

// Left modifier keysyms, in the order of ModifierFlags: Shift_L, Control_L, Alt_L, Super_L.
constexpr std::array<xcb_keysym_t, 4> modifierKeysyms{0xffe1, 0xffe3, 0xffe9, 0xffeb};

std::uint8_t buttonOf(int button) {
    switch (button) {
    case 0: return 1;
    case 2: return 3;
    default: return 2;
    }
}

std::int16_t rootCoordinate(double global, std::int32_t origin) {
    const double root = std::round(global) + origin;
    return static_cast<std::int16_t>(std::clamp(root, -32768.0, 32767.0));
}

// Whole wheel clicks in `amount` pixels plus what is left from before; a change of
// direction drops the leftover so that it does not swallow the first click back.
int wheelClicks(double& remainder, std::int32_t amount) {
    if (amount == 0) return 0;
    if ((remainder > 0) != (amount > 0)) remainder = 0;
    remainder += amount;
    const int clicks = static_cast<int>(std::trunc(remainder / X11InputPoster::pixelsPerWheelClick));
    remainder -= clicks * X11InputPoster::pixelsPerWheelClick;
    return clicks;
}

// Reads Net/DoubleClickTime from the XSETTINGS blob of a settings manager.
std::optional<std::int32_t> doubleClickTime(const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    const auto card = [&](std::size_t bytes) -> std::optional<std::uint32_t> {
        if (at + bytes > size) return std::nullopt;
        std::uint32_t value = 0;
        const bool bigEndian = data[0] == 1;
        for (std::size_t i = 0; i < bytes; ++i) {
            const std::uint8_t byte = data[at + (bigEndian ? i : bytes - 1 - i)];
            value = (value << 8) | byte;
        }
        at += bytes;
        return value;
    };
    const auto padded = [](std::size_t length) { return (length + 3) & ~std::size_t{3}; };
    if (size < 12) return std::nullopt;
    at = 8;
    const auto count = card(4);
    for (std::uint32_t i = 0; count && i < *count; ++i) {
        if (at + 4 > size) return std::nullopt;
        const std::uint8_t type = data[at];
        at += 2;
        const auto nameLength = card(2);
        if (!nameLength || at + padded(*nameLength) > size) return std::nullopt;
        const std::string_view name(reinterpret_cast<const char*>(data + at), *nameLength);
        at += padded(*nameLength) + 4; // and the serial of its last change
        if (type == 0) {
            const auto value = card(4);
            if (!value) return std::nullopt;
            if (name == "Net/DoubleClickTime") return static_cast<std::int32_t>(*value);
        } else if (type == 1) {
            const auto length = card(4);
            if (!length) return std::nullopt;
            at += padded(*length);
        } else if (type == 2) {
            at += 8;
        } else {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

} // namespace

struct X11InputPoster::Impl {
    explicit Impl(const std::string& displayName) : connection(displayName) {
        xtest = connection.hasExtension(&xcb_test_id);
        randr = connection.hasExtension(&xcb_randr_id);
        if (randr) {
            // Announcing 1.5 makes the server send the CRTC and output notifies.
            reply(connection.get(), xcb_randr_query_version_reply, xcb_randr_query_version(connection, 1, 5));
            xcb_randr_select_input(connection, connection.root(),
                                   XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                       XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
            xcb_flush(connection);
        }
    }

    // The only events on this connection are RandR and keyboard mapping changes; any of
    // them may move the primary output or the modifier keys.
    void dropStaleCaches() {
        while (auto* raw = xcb_poll_for_event(connection)) {
            Reply<xcb_generic_event_t> event(raw);
            primary.reset();
            modifierKeys.reset();
        }
    }

    RootRect primaryOrigin() {
        if (!primary) primary = randr ? primaryRect(connection) : RootRect{};
        return *primary;
    }

    const std::array<xcb_keycode_t, 4>& modifierKeycodes() {
        if (modifierKeys) return *modifierKeys;
        modifierKeys.emplace();
        modifierKeys->fill(0);
        const auto* setup = xcb_get_setup(connection);
        const int count = setup->max_keycode - setup->min_keycode + 1;
        auto mapping =
            reply(connection.get(), xcb_get_keyboard_mapping_reply,
                  xcb_get_keyboard_mapping(connection, setup->min_keycode, static_cast<std::uint8_t>(count)));
        if (!mapping || mapping->keysyms_per_keycode == 0) return *modifierKeys;
        const auto* keysyms = xcb_get_keyboard_mapping_keysyms(mapping.get());
        const int perKeycode = mapping->keysyms_per_keycode;
        const int total = xcb_get_keyboard_mapping_keysyms_length(mapping.get());
        for (std::size_t i = 0; i < modifierKeysyms.size(); ++i) {
            for (int k = 0; k < total && (*modifierKeys)[i] == 0; ++k) {
                if (keysyms[k] == modifierKeysyms[i])
                    (*modifierKeys)[i] = static_cast<xcb_keycode_t>(setup->min_keycode + k / perKeycode);
            }
        }
        return *modifierKeys;
    }

    // Presses the keys of `flags` that are not down already; returns what it pressed.
    std::vector<xcb_keycode_t> pressModifiers(ModifierFlags flags) {
        const std::array<bool, 4> wanted{flags.shift, flags.control, flags.alt, flags.meta};
        std::vector<xcb_keycode_t> pressed;
        if (std::none_of(wanted.begin(), wanted.end(), [](bool on) { return on; })) return pressed;
        const auto keys = modifierKeycodes();
        auto keymap = reply(connection.get(), xcb_query_keymap_reply, xcb_query_keymap(connection));
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const xcb_keycode_t key = keys[i];
            if (!wanted[i] || key == 0) continue;
            if (keymap && (keymap->keys[key / 8] & (1u << (key % 8)))) continue;
            xcb_test_fake_input(connection, XCB_KEY_PRESS, key, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
            pressed.push_back(key);
        }
        return pressed;
    }

    void releaseModifiers(const std::vector<xcb_keycode_t>& pressed) {
        for (auto key = pressed.rbegin(); key != pressed.rend(); ++key)
            xcb_test_fake_input(connection, XCB_KEY_RELEASE, *key, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    }

    // XTEST reports a motion even when the pointer stays where it is. Before a button
    // or wheel event, where it usually is already, that would be a stray motion event
    // for the application, so the pointer is asked first.
    void moveTo(double x, double y, bool onlyIfElsewhere) {
        const RootRect origin = primaryOrigin();
        const std::int16_t rootX = rootCoordinate(x, origin.x);
        const std::int16_t rootY = rootCoordinate(y, origin.y);
        if (onlyIfElsewhere) {
            auto pointer = reply(connection.get(), xcb_query_pointer_reply,
                                 xcb_query_pointer(connection, connection.root()));
            if (pointer && pointer->same_screen && pointer->root_x == rootX && pointer->root_y == rootY) return;
        }
        xcb_test_fake_input(connection, XCB_MOTION_NOTIFY, 0 /* absolute */, XCB_CURRENT_TIME, connection.root(),
                            rootX, rootY, 0);
    }

    void click(std::uint8_t button, int times) {
        for (int i = 0; i < times; ++i) {
            xcb_test_fake_input(connection, XCB_BUTTON_PRESS, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
            xcb_test_fake_input(connection, XCB_BUTTON_RELEASE, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        }
    }

    bool finish() {
        xcb_flush(connection);
        return !connection.broken();
    }

    bool usable() {
        if (!xtest || connection.broken()) return false;
        dropStaleCaches();
        return true;
    }

    Connection connection;
    bool xtest = false;
    bool randr = false;
    std::optional<RootRect> primary;
    std::optional<std::array<xcb_keycode_t, 4>> modifierKeys;
    xcb_atom_t settingsSelection = XCB_ATOM_NONE;
    xcb_atom_t settingsProperty = XCB_ATOM_NONE;
    double verticalRemainder = 0;
    double horizontalRemainder = 0;
};

X11InputPoster::X11InputPoster(const std::string& displayName) : impl_(std::make_unique<Impl>(displayName)) {}

X11InputPoster::~X11InputPoster() = default;

bool X11InputPoster::post(const MouseEvent& event) {
    if (!impl_->usable()) return false;
    const auto modifiers = impl_->pressModifiers(event.flags);
    const bool button = event.type != MouseEventType::moved && event.type != MouseEventType::leftDragged &&
                        event.type != MouseEventType::rightDragged && event.type != MouseEventType::otherDragged;
    impl_->moveTo(event.x, event.y, button);
    switch (event.type) {
    case MouseEventType::leftDown:
    case MouseEventType::rightDown:
    case MouseEventType::otherDown:
        xcb_test_fake_input(impl_->connection, XCB_BUTTON_PRESS, buttonOf(event.button), XCB_CURRENT_TIME, XCB_NONE,
                            0, 0, 0);
        break;
    case MouseEventType::leftUp:
    case MouseEventType::rightUp:
    case MouseEventType::otherUp:
        xcb_test_fake_input(impl_->connection, XCB_BUTTON_RELEASE, buttonOf(event.button), XCB_CURRENT_TIME,
                            XCB_NONE, 0, 0, 0);
        break;
    default: // moves and drags: the server knows which buttons are held
        break;
    }
    impl_->releaseModifiers(modifiers);
    return impl_->finish();
}

bool X11InputPoster::postScroll(double x, double y, std::int32_t vertical, std::int32_t horizontal,
                                ModifierFlags flags) {
    if (!impl_->usable()) return false;
    const auto modifiers = impl_->pressModifiers(flags);
    impl_->moveTo(x, y, true);
    const int up = wheelClicks(impl_->verticalRemainder, vertical);
    const int left = wheelClicks(impl_->horizontalRemainder, horizontal);
    impl_->click(up > 0 ? 4 : 5, std::abs(up));
    impl_->click(left > 0 ? 6 : 7, std::abs(left));
    impl_->releaseModifiers(modifiers);
    return impl_->finish();
}

std::chrono::milliseconds X11InputPoster::doubleClickInterval() {
    // A settings manager (the desktop's, if any) owns the selection and publishes the
    // value as a property of its window.
    auto& connection = impl_->connection;
    if (impl_->settingsSelection == XCB_ATOM_NONE) {
        impl_->settingsSelection = connection.atom("_XSETTINGS_S0");
        impl_->settingsProperty = connection.atom("_XSETTINGS_SETTINGS");
    }
    const xcb_atom_t selection = impl_->settingsSelection;
    const xcb_atom_t property = impl_->settingsProperty;
    if (selection == XCB_ATOM_NONE || property == XCB_ATOM_NONE) return defaultDoubleClickInterval;
    auto owner = reply(connection.get(), xcb_get_selection_owner_reply, xcb_get_selection_owner(connection, selection));
    if (!owner || owner->owner == XCB_NONE) return defaultDoubleClickInterval;
    auto settings = reply(connection.get(), xcb_get_property_reply,
                          xcb_get_property(connection, false, owner->owner, property, XCB_ATOM_ANY, 0, 16384));
    if (!settings || settings->format != 8) return defaultDoubleClickInterval;
    const auto time = doubleClickTime(static_cast<const std::uint8_t*>(xcb_get_property_value(settings.get())),
                                      static_cast<std::size_t>(xcb_get_property_value_length(settings.get())));
    return time && *time > 0 ? std::chrono::milliseconds(*time) : defaultDoubleClickInterval;
}

void X11InputPoster::sync() {
    reply(impl_->connection.get(), xcb_get_input_focus_reply, xcb_get_input_focus(impl_->connection));
}

} // namespace tavelin::x11
