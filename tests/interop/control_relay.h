// A TCP relay between tarsel-ftp and a real server's control port that a test can cut, to
// lose the control connection in the middle of a transfer the way a network does.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

/// Listens on 127.0.0.1 (an IPv4 server only) and forwards each connection to the server
/// byte for byte. Data connections do not pass through it: PASV and PORT name the real ends.
class ControlRelay {
public:
    ControlRelay(const std::string& host, const std::string& port) {
        server_.sin_family = AF_INET;
        server_.sin_port = htons(static_cast<std::uint16_t>(std::atoi(port.c_str())));
        if (::inet_pton(AF_INET, host.c_str(), &server_.sin_addr) != 1) return;
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in here{};
        here.sin_family = AF_INET;
        here.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof here;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&here), sizeof here) != 0 ||
            ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&here), &size) != 0 || ::pipe2(wake_, O_CLOEXEC) != 0)
            return;
        port_ = std::to_string(ntohs(here.sin_port));
        thread_ = std::thread([this] { Run(); });
    }
    ~ControlRelay() {
        Cut();
        if (thread_.joinable()) thread_.join();
        for (int fd : {listener_, wake_[0], wake_[1]})
            if (fd >= 0) ::close(fd);
    }
    ControlRelay(const ControlRelay&) = delete;
    ControlRelay& operator=(const ControlRelay&) = delete;

    /// The port to give tarsel-ftp; empty when the relay could not be set up.
    const std::string& Port() const { return port_; }
    /// Ends every relayed connection at once, both sides, and accepts no more.
    void Cut() {
        if (!cut_.exchange(true) && wake_[1] >= 0) (void)!::write(wake_[1], "x", 1);
    }

private:
    void Run() {
        std::vector<std::pair<int, int>> pairs;  // client, server
        while (true) {
            std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
            for (const auto& [client, server] : pairs) {
                fds.push_back({client, POLLIN, 0});
                fds.push_back({server, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), -1) < 0) continue;
            if (fds[0].revents != 0) break;
            if (fds[1].revents & POLLIN) {
                const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                if (client >= 0 && server >= 0 &&
                    ::connect(server, reinterpret_cast<const sockaddr*>(&server_), sizeof server_) == 0) {
                    pairs.emplace_back(client, server);
                } else {
                    if (client >= 0) ::close(client);
                    if (server >= 0) ::close(server);
                }
                continue;
            }
            for (std::size_t i = 0; i < pairs.size(); ++i) {
                const pollfd& fromClient = fds[2 + 2 * i];
                const pollfd& fromServer = fds[3 + 2 * i];
                const bool ok = (fromClient.revents == 0 || Forward(pairs[i].first, pairs[i].second)) &&
                                (fromServer.revents == 0 || Forward(pairs[i].second, pairs[i].first));
                if (!ok) {
                    ::close(pairs[i].first);
                    ::close(pairs[i].second);
                    pairs[i] = {-1, -1};
                }
            }
            std::erase_if(pairs, [](const auto& p) { return p.first < 0; });
        }
        for (const auto& [client, server] : pairs) {
            ::shutdown(client, SHUT_RDWR);
            ::shutdown(server, SHUT_RDWR);
            ::close(client);
            ::close(server);
        }
    }

    static bool Forward(int from, int to) {
        char buffer[16384];
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n <= 0) return false;
        for (ssize_t sent = 0; sent < n;) {
            const ssize_t m = ::write(to, buffer + sent, static_cast<std::size_t>(n - sent));
            if (m <= 0) return false;
            sent += m;
        }
        return true;
    }

    sockaddr_in server_{};
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::string port_;
    std::atomic<bool> cut_{false};
    std::thread thread_;
};
