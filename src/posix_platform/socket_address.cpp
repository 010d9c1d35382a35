#include "posix_platform/socket_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace tarselctl {

namespace {

/// The IPv4 address inside an IPv4-mapped IPv6 one.
bool MappedIpv4(const sockaddr_storage& endpoint, in_addr& out) {
    if (endpoint.ss_family != AF_INET6) return false;
    const auto& six = reinterpret_cast<const sockaddr_in6&>(endpoint);
    if (!IN6_IS_ADDR_V4MAPPED(&six.sin6_addr)) return false;
    std::memcpy(&out, six.sin6_addr.s6_addr + 12, 4);
    return true;
}

}  // namespace

std::optional<sockaddr_storage> NumericEndpoint(const std::string& text, std::uint16_t port) {
    sockaddr_storage endpoint{};
    auto& four = reinterpret_cast<sockaddr_in&>(endpoint);
    if (::inet_pton(AF_INET, text.c_str(), &four.sin_addr) == 1) {
        four.sin_family = AF_INET;
        four.sin_port = htons(port);
        return endpoint;
    }
    auto& six = reinterpret_cast<sockaddr_in6&>(endpoint);
    if (::inet_pton(AF_INET6, text.c_str(), &six.sin6_addr) == 1) {
        six.sin6_family = AF_INET6;
        six.sin6_port = htons(port);
        return endpoint;
    }
    return std::nullopt;
}

socklen_t EndpointLength(const sockaddr_storage& endpoint) {
    return endpoint.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

bool IsIpv4(const sockaddr_storage& endpoint) { return endpoint.ss_family == AF_INET; }

String AddressText(const sockaddr_storage& endpoint) {
    char text[INET6_ADDRSTRLEN] = "";
    in_addr four{};
    if (endpoint.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(endpoint).sin_addr, text,
                    sizeof text);
    } else if (MappedIpv4(endpoint, four)) {
        ::inet_ntop(AF_INET, &four, text, sizeof text);
    } else if (endpoint.ss_family == AF_INET6) {
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(endpoint).sin6_addr, text,
                    sizeof text);
    }
    return FromUtf8(text);
}

std::uint16_t PortOf(const sockaddr_storage& endpoint) {
    if (endpoint.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(endpoint).sin_port);
    if (endpoint.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(endpoint).sin6_port);
    return 0;
}

String EndpointText(const sockaddr_storage& endpoint) {
    return AddressText(endpoint) + u":" + FromUtf8(std::to_string(PortOf(endpoint)));
}

std::uint32_t Ipv4Value(const sockaddr_storage& endpoint) {
    in_addr four{};
    if (endpoint.ss_family == AF_INET)
        four = reinterpret_cast<const sockaddr_in&>(endpoint).sin_addr;
    else if (!MappedIpv4(endpoint, four))
        return 0;
    return ntohl(four.s_addr);
}

std::optional<sockaddr_storage> LocalEnd(int fd) {
    sockaddr_storage endpoint{};
    socklen_t length = sizeof endpoint;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&endpoint), &length) != 0) return std::nullopt;
    return endpoint;
}

std::optional<sockaddr_storage> PeerEnd(int fd) {
    sockaddr_storage endpoint{};
    socklen_t length = sizeof endpoint;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&endpoint), &length) != 0) return std::nullopt;
    return endpoint;
}

}  // namespace tarselctl
