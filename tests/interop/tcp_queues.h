// What the kernel's TCP queues say about a command that got no reply from a real server.
//
// When a client waits for a reply, the bytes tell who stalled: a reply the client has not read
// sits in the client's receive queue; a command the server has not read sits in the server's
// receive queue. Both ends run on this machine, so /proc/net/tcp lists both. The interop
// tests use this to name a server that stopped serving a connection as the cause of a failure
// (and only then: everything else is the client's failure until shown otherwise).
#pragma once

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace tcp_queues {

/// One IPv4 TCP socket as /proc/net/tcp lists it. Addresses stay in the kernel's own
/// notation: they are only compared, never shown.
struct TcpEntry {
    std::uint32_t localAddr = 0;
    std::uint16_t localPort = 0;
    std::uint32_t remoteAddr = 0;
    std::uint16_t remotePort = 0;
    int state = 0;                ///< 1 = established, 8 = close-wait, 10 = listen, ...
    std::uint32_t txQueue = 0;    ///< bytes sent and not yet acknowledged by the peer
    std::uint32_t rxQueue = 0;    ///< bytes received and not yet read by the program
    std::uint64_t inode = 0;
};

namespace detail {

inline bool ParseHex(std::string_view text, std::uint64_t& value) {
    if (text.empty() || text.size() > 16) return false;
    value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else return false;
        value = value * 16 + static_cast<std::uint64_t>(digit);
    }
    return true;
}

// "0100007F:5DE0" -> address and port.
inline bool ParseEndpoint(std::string_view text, std::uint32_t& addr, std::uint16_t& port) {
    const auto colon = text.find(':');
    std::uint64_t a = 0, p = 0;
    if (colon == std::string_view::npos || !ParseHex(text.substr(0, colon), a) ||
        !ParseHex(text.substr(colon + 1), p) || a > 0xFFFFFFFFu || p > 0xFFFFu)
        return false;
    addr = static_cast<std::uint32_t>(a);
    port = static_cast<std::uint16_t>(p);
    return true;
}

inline std::string ReadWhole(const char* path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace detail

/// The entries of a /proc/net/tcp text; the heading and malformed lines are skipped.
inline std::vector<TcpEntry> ParseProcNetTcp(std::string_view text) {
    std::vector<TcpEntry> entries;
    std::istringstream lines{std::string(text)};
    std::string line;
    while (std::getline(lines, line)) {
        // sl local rem st tx:rx tr:when retrnsmt uid timeout inode ...
        std::istringstream fields(line);
        std::string sl, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        if (!(fields >> sl >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
              timeout >> inode) ||
            sl.empty() || sl.back() != ':')
            continue;
        TcpEntry e;
        std::uint64_t st = 0, tx = 0, rx = 0;
        const auto colon = queues.find(':');
        if (!detail::ParseEndpoint(local, e.localAddr, e.localPort) ||
            !detail::ParseEndpoint(remote, e.remoteAddr, e.remotePort) ||
            !detail::ParseHex(state, st) || colon == std::string::npos ||
            !detail::ParseHex(std::string_view(queues).substr(0, colon), tx) ||
            !detail::ParseHex(std::string_view(queues).substr(colon + 1), rx) ||
            inode.find_first_not_of("0123456789") != std::string::npos || inode.empty())
            continue;
        e.state = static_cast<int>(st);
        e.txQueue = static_cast<std::uint32_t>(tx);
        e.rxQueue = static_cast<std::uint32_t>(rx);
        e.inode = std::strtoull(inode.c_str(), nullptr, 10);
        entries.push_back(e);
    }
    return entries;
}

/// The machine's IPv4 TCP sockets, as this moment's /proc/net/tcp lists them.
inline std::vector<TcpEntry> ReadProcNetTcp() {
    return ParseProcNetTcp(detail::ReadWhole("/proc/net/tcp"));
}

/// The inode numbers of the sockets process `pid` holds open.
inline std::set<std::uint64_t> SocketInodesOf(pid_t pid) {
    std::set<std::uint64_t> inodes;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return inodes;
    while (const dirent* entry = ::readdir(d)) {
        char target[64];
        const std::string link = dir + "/" + entry->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        const std::string_view text(target, static_cast<std::size_t>(n));
        constexpr std::string_view kPrefix = "socket:[";
        if (text.substr(0, kPrefix.size()) != kPrefix || text.back() != ']') continue;
        const std::string digits(text.substr(kPrefix.size(), text.size() - kPrefix.size() - 1));
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) continue;
        inodes.insert(std::strtoull(digits.c_str(), nullptr, 10));
    }
    ::closedir(d);
    return inodes;
}

/// Why a reply did not come, as far as the queues show it.
struct Verdict {
    bool serverStalled = false;  ///< shown: the server has left bytes sent to it unread
    std::string explanation;
};

/// Looks at the connections of `client` (its socket inodes) while it waits for a reply on
/// its control connection to port `serverPort` on this machine. The server counts as stalled
/// only when it leaves bytes of one of those connections unread while the client has read
/// everything and has every byte of its control connection acknowledged. A server that read
/// the command and said nothing is not blamed: it may be waiting for the end of a line the
/// client never finished.
inline Verdict ExplainMissingReply(const std::vector<TcpEntry>& table,
                                   const std::set<std::uint64_t>& client,
                                   std::uint16_t serverPort) {
    constexpr int kListen = 10;
    std::vector<const TcpEntry*> mine;
    const TcpEntry* control = nullptr;
    for (const TcpEntry& e : table) {
        if (client.count(e.inode) == 0 || e.state == kListen) continue;
        mine.push_back(&e);
        if (e.remotePort == serverPort) control = &e;
    }
    if (control == nullptr)
        return {false, "the client holds no connection to port " + std::to_string(serverPort)};
    const auto peerOf = [&](const TcpEntry& m) -> const TcpEntry* {
        for (const TcpEntry& e : table)
            if (e.localAddr == m.remoteAddr && e.localPort == m.remotePort &&
                e.remoteAddr == m.localAddr && e.remotePort == m.localPort)
                return &e;
        return nullptr;
    };
    const auto name = [&](const TcpEntry& m) {
        return std::string(&m == control ? "control" : "data") + " connection from port " +
               std::to_string(m.localPort);
    };
    for (const TcpEntry* m : mine)
        if (m->rxQueue > 0)
            return {false, std::to_string(m->rxQueue) + " bytes wait unread in the client's " +
                               name(*m) + ": the client stopped reading"};
    if (control->txQueue > 0)
        return {false, std::to_string(control->txQueue) + " bytes of the client's " +
                           name(*control) + " are not yet acknowledged by the server's side"};
    for (const TcpEntry* m : mine)
        if (const TcpEntry* peer = peerOf(*m); peer != nullptr && peer->rxQueue > 0)
            return {true, "the server has not read the last " + std::to_string(peer->rxQueue) +
                              " bytes the client sent on the " + name(*m) +
                              " (they wait in the server's receive queue): it stopped serving "
                              "that connection"};
    const TcpEntry* peer = peerOf(*control);
    if (peer == nullptr)
        return {false, "the server's end of the " + name(*control) + " is gone"};
    if (peer->txQueue > 0)
        return {false, std::to_string(peer->txQueue) + " bytes of the server are on their way "
                                                       "to the client's " + name(*control)};
    return {false, "the server read every byte the client sent on the " + name(*control) +
                       " and sent nothing back"};
}

}  // namespace tcp_queues
