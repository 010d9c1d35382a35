// A TLS server on 127.0.0.1 for the Asio socket's TLS tests, driven by the test's io_context:
// it accepts any number of connections, handshakes as the server, and then echoes, records,
// sends or closes as each test asks.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/read_until.hpp>
#include <asio/ssl.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>

#include <tarsel/types.h>

#include "asio_platform/test_certificates.h"

namespace tarselctl::testing {

class TlsLoopbackServer {
public:
    /// One accepted connection and what the server saw on it.
    struct Session {
        explicit Session(asio::ip::tcp::socket s, asio::ssl::context& ctx)
            : stream(std::move(s), ctx) {}
        asio::ssl::stream<asio::ip::tcp::socket> stream;
        bool secured = false;
        bool handshakeFailed = false;
        bool reused = false;
        std::string plainLine;     ///< the line read in the clear before the handshake
        std::string incoming;      ///< decrypted bytes received
        bool ended = false;        ///< reading stopped
        asio::error_code endError; ///< eof: close_notify came; stream_truncated: it did not
        bool tcpClosed = false;    ///< after close_notify, the client's FIN came too
        std::string outgoing, pending;
        bool writing = false;
        std::size_t answered = 0;  ///< bytes of `incoming` whose lines have been answered
    };

    TlsLoopbackServer(asio::io_context& io, const TestPki& pki)
        : context_(asio::ssl::context::tls_server),
          acceptor_(io, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0)) {
        context_.use_certificate_chain(asio::buffer(pki.serverCertPem));
        context_.use_private_key(asio::buffer(pki.serverKeyPem), asio::ssl::context::pem);
        Accept();
    }

    String Port() const { return FromUtf8(std::to_string(acceptor_.local_endpoint().port())); }

    /// Echo what each session receives back to it.
    bool echo = false;
    /// Read one line in the clear and answer "234 go\r\n" before the handshake (explicit TLS).
    bool plainFirst = false;
    /// Sent in the clear as each connection is accepted (an FTP greeting), before the rest.
    std::string greeting;
    /// When set, each complete line received protected (CR LF included) is answered with what
    /// this returns (nothing when empty), instead of the echo: an FTP dialogue over TLS.
    std::function<std::string(const std::string& line)> answer;
    /// Read exactly this many bytes in the clear, answer nothing, then handshake.
    std::size_t plainLength = 0;
    /// How long a secured session waits before it reads (a slow reader).
    std::chrono::milliseconds readDelay{0};

    std::vector<std::shared_ptr<Session>> sessions;

    Session& Last() { return *sessions.back(); }

    /// Writes `data`, then ends the connection: with close_notify, or by closing the TCP
    /// socket without one.
    void SendThenClose(Session& s, std::string data, bool closeNotify) {
        s.outgoing = std::move(data);
        s.writing = true;
        asio::async_write(s.stream, asio::buffer(s.outgoing),
                          [&s, closeNotify](const asio::error_code&, std::size_t) {
                              s.writing = false;
                              if (closeNotify)
                                  s.stream.async_shutdown([&s](const asio::error_code&) {
                                      asio::error_code ignored;
                                      s.stream.next_layer().close(ignored);
                                  });
                              else
                                  s.stream.next_layer().close();
                          });
    }

private:
    void Accept() {
        acceptor_.async_accept([this](const asio::error_code& ec, asio::ip::tcp::socket socket) {
            if (ec) return;
            auto s = std::make_shared<Session>(std::move(socket), context_);
            sessions.push_back(s);
            if (!greeting.empty()) {
                asio::error_code ignored;
                asio::write(s->stream.next_layer(), asio::buffer(greeting), ignored);
            }
            if (plainLength > 0)
                ReadPlainBytes(s);
            else if (plainFirst)
                ReadPlainLine(s);
            else
                Handshake(s);
            Accept();
        });
    }

    void ReadPlainLine(const std::shared_ptr<Session>& s) {
        auto buffer = std::make_shared<asio::streambuf>();
        asio::async_read_until(s->stream.next_layer(), *buffer, "\r\n",
                               [this, s, buffer](const asio::error_code& ec, std::size_t n) {
                                   if (ec) return;
                                   s->plainLine.assign(
                                       asio::buffers_begin(buffer->data()),
                                       asio::buffers_begin(buffer->data()) + n);
                                   s->outgoing = "234 go\r\n";
                                   asio::async_write(s->stream.next_layer(),
                                                     asio::buffer(s->outgoing),
                                                     [this, s](const asio::error_code& ec2,
                                                               std::size_t) {
                                                         if (!ec2) Handshake(s);
                                                     });
                               });
    }

    void ReadPlainBytes(const std::shared_ptr<Session>& s) {
        s->plainLine.resize(plainLength);
        asio::async_read(s->stream.next_layer(), asio::buffer(s->plainLine),
                         [this, s](const asio::error_code& ec, std::size_t) {
                             if (!ec) Handshake(s);
                         });
    }

    void Handshake(const std::shared_ptr<Session>& s) {
        s->stream.async_handshake(asio::ssl::stream_base::server,
                                  [this, s](const asio::error_code& ec) {
                                      if (ec) {
                                          s->handshakeFailed = true;
                                          return;
                                      }
                                      s->secured = true;
                                      s->reused = SSL_session_reused(s->stream.native_handle());
                                      if (readDelay.count() == 0) {
                                          Read(s);
                                          return;
                                      }
                                      auto timer = std::make_shared<asio::steady_timer>(
                                          s->stream.get_executor(), readDelay);
                                      timer->async_wait([this, s, timer](const asio::error_code&) {
                                          Read(s);
                                      });
                                  });
    }

    void Read(const std::shared_ptr<Session>& s) {
        auto buffer = std::make_shared<std::string>(64 * 1024, '\0');
        s->stream.async_read_some(asio::buffer(*buffer), [this, s, buffer](
                                                             const asio::error_code& ec,
                                                             std::size_t n) {
            if (ec) {
                s->ended = true;
                s->endError = ec;
                if (ec == asio::error::eof) WaitForTcpClose(s);
                return;
            }
            s->incoming.append(buffer->data(), n);
            if (answer) {
                for (std::size_t end; (end = s->incoming.find("\r\n", s->answered)) != std::string::npos;) {
                    const std::string line = s->incoming.substr(s->answered, end + 2 - s->answered);
                    s->answered = end + 2;
                    s->pending += answer(line);
                }
                Echo(s);
            } else if (echo) {
                s->pending.append(buffer->data(), n);
                Echo(s);
            }
            Read(s);
        });
    }

    void Echo(const std::shared_ptr<Session>& s) {
        if (s->writing || s->pending.empty()) return;
        s->outgoing = std::move(s->pending);
        s->pending.clear();
        s->writing = true;
        asio::async_write(s->stream, asio::buffer(s->outgoing),
                          [this, s](const asio::error_code& ec, std::size_t) {
                              s->writing = false;
                              if (!ec) Echo(s);
                          });
    }

    /// After the client's close_notify, nothing more should come: the next read on the TCP
    /// socket shows whether the client also closed it.
    void WaitForTcpClose(const std::shared_ptr<Session>& s) {
        auto byte = std::make_shared<char>();
        s->stream.next_layer().async_read_some(
            asio::buffer(byte.get(), 1), [s, byte](const asio::error_code& ec, std::size_t) {
                if (ec) s->tcpClosed = true;
            });
    }

    asio::ssl::context context_;
    asio::ip::tcp::acceptor acceptor_;
};

}  // namespace tarselctl::testing
