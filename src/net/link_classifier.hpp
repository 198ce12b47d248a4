#pragma once

#include "net/transport.hpp"

#include <asio/ip/address.hpp>

#include <filesystem>
#include <optional>
#include <string>

namespace tessarine {

// The link of a network interface, from its sysfs entry: a wireless device
// ("wireless" or "phy80211" present) is wifi, any other Ethernet-type device
// (ARPHRD_ETHER) is cable, everything else (loopback, tunnels, ...) is other.
TransportLink classifyInterface(const std::string& interfaceName,
                                const std::filesystem::path& sysClassNet = "/sys/class/net");

// The name of the local interface that holds address (IPv4-mapped IPv6
// addresses are matched as IPv4), if any.
std::optional<std::string> interfaceForAddress(const asio::ip::address& address);

// The link carrying traffic from a local address: other when no interface
// holds it.
TransportLink linkForLocalAddress(const asio::ip::address& address);

} // namespace tessarine
