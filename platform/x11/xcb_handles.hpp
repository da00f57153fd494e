#pragma once

// Owners for the C handles of xcb: every reply, error and connection is freed by its
// owner, on every path.

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include <xcb/xcb.h>

namespace tavelin::x11 {

struct FreeDeleter {
    void operator()(void* pointer) const noexcept { std::free(pointer); }
};

// A reply or event that xcb allocated with malloc.
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;
using Error = std::unique_ptr<xcb_generic_error_t, FreeDeleter>;

// The display server could not be reached or lacks what we need; the text is one
// sentence for the user.
class XError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Waits for the reply of `cookie`; a null reply when the request failed, with the error
// in `error` when one is given.
template <class ReplyFunction, class Cookie>
auto reply(xcb_connection_t* connection, ReplyFunction function, Cookie cookie, Error* error = nullptr) {
    xcb_generic_error_t* raw = nullptr;
    auto* result = function(connection, cookie, &raw);
    Error owned(raw);
    if (error) *error = std::move(owned);
    return Reply<std::remove_pointer_t<decltype(result)>>(result);
}

// Sends nothing more than the request and waits for its outcome: an error, or nothing.
inline Error check(xcb_connection_t* connection, xcb_void_cookie_t cookie) {
    return Error(xcb_request_check(connection, cookie));
}

// One connection to the display server and its first screen.
class Connection {
public:
    // `name` empty means $DISPLAY. Throws XError.
    explicit Connection(const std::string& name = {}) {
        int screenNumber = 0;
        raw_.reset(xcb_connect(name.empty() ? nullptr : name.c_str(), &screenNumber));
        if (xcb_connection_has_error(raw_.get())) {
            const char* shown = name.empty() ? std::getenv("DISPLAY") : name.c_str();
            throw XError("Tavelin could not connect to the display server at \"" + std::string(shown ? shown : "") +
                         "\".");
        }
        auto iterator = xcb_setup_roots_iterator(xcb_get_setup(raw_.get()));
        for (int i = 0; i < screenNumber && iterator.rem; ++i) xcb_screen_next(&iterator);
        if (!iterator.rem) throw XError("The display server has no screen to show displays on.");
        screen_ = iterator.data;
    }

    xcb_connection_t* get() const { return raw_.get(); }
    operator xcb_connection_t*() const { return raw_.get(); }
    xcb_screen_t* screen() const { return screen_; }
    xcb_window_t root() const { return screen_->root; }
    bool broken() const { return xcb_connection_has_error(raw_.get()) != 0; }

    // Whether the server offers the extension (the data is cached by xcb).
    bool hasExtension(xcb_extension_t* extension) const {
        const auto* data = xcb_get_extension_data(raw_.get(), extension);
        return data && data->present;
    }

    xcb_atom_t atom(const std::string& name, bool onlyIfExists = false) const {
        auto answer = reply(raw_.get(), xcb_intern_atom_reply,
                            xcb_intern_atom(raw_.get(), onlyIfExists, static_cast<std::uint16_t>(name.size()),
                                            name.c_str()));
        return answer ? answer->atom : xcb_atom_t{XCB_ATOM_NONE};
    }

private:
    struct Disconnect {
        void operator()(xcb_connection_t* connection) const noexcept { xcb_disconnect(connection); }
    };
    std::unique_ptr<xcb_connection_t, Disconnect> raw_;
    xcb_screen_t* screen_ = nullptr;
};

} // namespace tavelin::x11
