// TCP endpoints as sockaddr_storage, and their text as the socket component gives it.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>

#include <tarsel/types.h>

namespace tarselctl {

/// The numeric address `text` ("127.0.0.1", "::1", "[::1]" not accepted) with `port`; none
/// when it is no numeric address.
std::optional<sockaddr_storage> NumericEndpoint(const std::string& text, std::uint16_t port);
socklen_t EndpointLength(const sockaddr_storage& endpoint);
bool IsIpv4(const sockaddr_storage& endpoint);
/// The address in numeric form; an IPv4-mapped IPv6 address in its IPv4 form.
String AddressText(const sockaddr_storage& endpoint);
/// "ADDRESS:PORT".
String EndpointText(const sockaddr_storage& endpoint);
/// The IPv4 address (also of an IPv4-mapped one), first octet most significant; 0 otherwise.
std::uint32_t Ipv4Value(const sockaddr_storage& endpoint);
std::uint16_t PortOf(const sockaddr_storage& endpoint);
/// The local or peer end of `fd`; none when the system cannot tell.
std::optional<sockaddr_storage> LocalEnd(int fd);
std::optional<sockaddr_storage> PeerEnd(int fd);

}  // namespace tarselctl
