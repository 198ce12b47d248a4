#include "net/link_classifier.hpp"

#include <arpa/inet.h>
#include <cstring>
#include <fstream>
#include <ifaddrs.h>
#include <net/if_arp.h>
#include <netinet/in.h>

namespace tessarine {

TransportLink classifyInterface(const std::string& interfaceName,
                                const std::filesystem::path& sysClassNet) {
    if (interfaceName.empty() || interfaceName.find('/') != std::string::npos)
        return TransportLink::other;
    const auto entry = sysClassNet / interfaceName;
    std::error_code ec;
    if (std::filesystem::exists(entry / "wireless", ec) ||
        std::filesystem::exists(entry / "phy80211", ec))
        return TransportLink::wifi;
    std::ifstream typeFile(entry / "type");
    int type = -1;
    if (typeFile >> type && type == ARPHRD_ETHER)
        return TransportLink::cable;
    return TransportLink::other;
}

std::optional<std::string> interfaceForAddress(const asio::ip::address& address) {
    asio::ip::address wanted = address;
    if (wanted.is_v6() && wanted.to_v6().is_v4_mapped())
        wanted = asio::ip::make_address_v4(asio::ip::v4_mapped, wanted.to_v6());

    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return std::nullopt;
    std::optional<std::string> found;
    for (ifaddrs* entry = list; entry && !found; entry = entry->ifa_next) {
        if (!entry->ifa_addr)
            continue;
        if (entry->ifa_addr->sa_family == AF_INET && wanted.is_v4()) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            asio::ip::address_v4::bytes_type bytes;
            std::memcpy(bytes.data(), &in->sin_addr, bytes.size());
            if (asio::ip::address_v4(bytes) == wanted.to_v4())
                found = entry->ifa_name;
        } else if (entry->ifa_addr->sa_family == AF_INET6 && wanted.is_v6()) {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
            asio::ip::address_v6::bytes_type bytes;
            std::memcpy(bytes.data(), &in6->sin6_addr, bytes.size());
            // Scope ids differ in how they are reported; the address decides.
            if (asio::ip::address_v6(bytes) == asio::ip::address_v6(wanted.to_v6().to_bytes()))
                found = entry->ifa_name;
        }
    }
    ::freeifaddrs(list);
    return found;
}

TransportLink linkForLocalAddress(const asio::ip::address& address) {
    const auto name = interfaceForAddress(address);
    return name ? classifyInterface(*name) : TransportLink::other;
}

} // namespace tessarine
