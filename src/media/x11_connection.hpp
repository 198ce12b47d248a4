#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessarine {

// xcb hands out replies, errors and events allocated with malloc.
struct XcbFree {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using XcbPtr = std::unique_ptr<T, XcbFree>;

// Waits for the reply of `cookie`; a protocol error yields nullptr (and is
// consumed here, so it never shows up among the events).
template <typename ReplyFn, typename Cookie>
auto xcbReply(ReplyFn fn, xcb_connection_t* connection, Cookie cookie) {
    xcb_generic_error_t* error = nullptr;
    auto* reply = fn(connection, cookie, &error);
    std::free(error);
    return XcbPtr<std::remove_pointer_t<decltype(reply)>>(reply);
}

class X11ConnectError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One client connection to an X server, the first screen of which is used.
class X11Connection {
public:
    // An empty name means $DISPLAY. With a cookie, it is presented as
    // MIT-MAGIC-COOKIE-1 instead of what $XAUTHORITY holds. Throws
    // X11ConnectError when the server cannot be reached or refuses.
    explicit X11Connection(const std::string& displayName,
                           const std::vector<std::uint8_t>& cookie = {});
    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    xcb_connection_t* get() const { return connection_; }
    xcb_screen_t* screen() const { return screen_; }
    xcb_window_t root() const { return screen_->root; }
    int fd() const { return xcb_get_file_descriptor(connection_); }
    bool failed() const { return xcb_connection_has_error(connection_) != 0; }
    const std::string& displayName() const { return displayName_; }

    // Waits for a checked void request; returns the X error code, 0 on success.
    std::uint8_t check(xcb_void_cookie_t cookie) const;
    // One round trip: false when the server is gone.
    bool alive() const;
    xcb_atom_t internAtom(const std::string& name, bool onlyIfExists = false) const;
    std::string atomName(xcb_atom_t atom) const;

private:
    xcb_connection_t* connection_ = nullptr;
    xcb_screen_t* screen_ = nullptr;
    std::string displayName_;
};

} // namespace tessarine
