#include "media/x11_connection.hpp"

namespace tessarine {

X11Connection::X11Connection(const std::string& displayName,
                             const std::vector<std::uint8_t>& cookie)
    : displayName_(displayName) {
    int screenNumber = 0;
    const char* name = displayName.empty() ? nullptr : displayName.c_str();
    if (cookie.empty()) {
        connection_ = xcb_connect(name, &screenNumber);
    } else {
        static const char kMethod[] = "MIT-MAGIC-COOKIE-1";
        std::vector<char> data(cookie.begin(), cookie.end());
        std::string method = kMethod;
        xcb_auth_info_t auth{static_cast<int>(method.size()), method.data(),
                             static_cast<int>(data.size()), data.data()};
        connection_ = xcb_connect_to_display_with_auth_info(name, &auth, &screenNumber);
    }
    if (xcb_connection_has_error(connection_)) {
        xcb_disconnect(connection_);
        throw X11ConnectError("cannot connect to X display \"" + displayName + "\"");
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection_));
    for (int i = 0; i < screenNumber && it.rem > 0; ++i)
        xcb_screen_next(&it);
    if (it.rem == 0) {
        xcb_disconnect(connection_);
        throw X11ConnectError("X display \"" + displayName + "\" has no screen");
    }
    screen_ = it.data;
}

X11Connection::~X11Connection() {
    xcb_disconnect(connection_);
}

std::uint8_t X11Connection::check(xcb_void_cookie_t cookie) const {
    XcbPtr<xcb_generic_error_t> error(xcb_request_check(connection_, cookie));
    if (error)
        return error->error_code ? error->error_code : std::uint8_t{1};
    return failed() ? std::uint8_t{1} : std::uint8_t{0};
}

bool X11Connection::alive() const {
    return xcbReply(xcb_get_input_focus_reply, connection_, xcb_get_input_focus(connection_)) !=
           nullptr;
}

xcb_atom_t X11Connection::internAtom(const std::string& name, bool onlyIfExists) const {
    auto reply = xcbReply(xcb_intern_atom_reply, connection_,
                          xcb_intern_atom(connection_, onlyIfExists ? 1 : 0,
                                          static_cast<std::uint16_t>(name.size()), name.data()));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

std::string X11Connection::atomName(xcb_atom_t atom) const {
    auto reply =
        xcbReply(xcb_get_atom_name_reply, connection_, xcb_get_atom_name(connection_, atom));
    if (!reply)
        return {};
    return std::string(xcb_get_atom_name_name(reply.get()),
                       static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get())));
}

} // namespace tessarine
