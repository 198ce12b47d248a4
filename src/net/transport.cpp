#include "net/transport.hpp"

namespace tessarine {

std::string_view toString(TransportKind kind) {
    switch (kind) {
    case TransportKind::wifi:
        return "wifi";
    case TransportKind::cable:
        return "cable";
    }
    return "wifi";
}

std::string_view toString(TransportLink link) {
    switch (link) {
    case TransportLink::wifi:
        return "wifi";
    case TransportLink::cable:
        return "cable";
    case TransportLink::other:
        return "other";
    }
    return "other";
}

std::string TransportState::description() const {
    switch (kind) {
    case Kind::idle:
        return "idle";
    case Kind::connecting:
        return "connecting";
    case Kind::connected:
        return "connected";
    case Kind::disconnected:
        return "disconnected(" + reason + ")";
    case Kind::failed:
        return "failed(" + reason + ")";
    }
    return "idle";
}

} // namespace tessarine
