// Loopback fixtures for the Asio socket tests: a recording event sink, a peer on 127.0.0.1
// driven by the same io_context, and a bounded loop runner so that a failure cannot hang.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <tarsel/soquet.h>
#include <tarsel/types.h>

namespace tarselctl::testing {

/// Runs the loop until `done` holds or `limit` passes; returns `done()`.
inline bool RunUntil(asio::io_context& io, const std::function<bool()>& done,
                     std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        if (io.stopped()) io.restart();
        io.run_one_for(std::chrono::milliseconds(20));
    }
    return done();
}

/// Runs the loop for `span`, whatever happens (to show that nothing more arrives).
inline void RunFor(asio::io_context& io, std::chrono::milliseconds span) {
    RunUntil(io, [] { return false; }, span);
}

/// Records every event of one socket; optional hooks run inside the events.
struct RecordingSink : SoquetEvents {
    std::vector<std::string> log;  ///< "connected", "received", "senddone", "closed", "error", "request", "secured"
    std::string received;
    std::size_t largestRead = 0;
    Long errorNumber = 0;
    String errorText, errorStep;
    std::vector<Long> requests;
    std::vector<std::string> diagnostics;

    std::function<void()> onConnected, onSendDone, onClosed, onError, onSecured;
    std::function<void(std::string&)> onReceived;
    /// Runs with the platform's own buffer (onReceived gets a copy as text).
    std::function<void(ByteArray&)> onReceivedBytes;
    std::function<void(Long)> onAcceptRequest;
    std::function<void(const std::string&)> onDiagnostic;

    std::size_t Count(const std::string& event) const {
        std::size_t n = 0;
        for (const auto& e : log) n += e == event;
        return n;
    }
    bool Has(const std::string& event) const { return Count(event) > 0; }

    void OnConnected() override { Note("connected", onConnected); }
    void OnSendDone() override { Note("senddone", onSendDone); }
    void OnClosed() override { Note("closed", onClosed); }
    void OnSecured() override { Note("secured", onSecured); }
    void OnReceivedBytes(ByteArray& data) override {
        if (!onReceivedBytes) {
            SoquetEvents::OnReceivedBytes(data);
            return;
        }
        NoteReceived(data);
        onReceivedBytes(data);
    }
    void OnReceived(std::string& data) override {
        NoteReceived(data);
        if (onReceived) onReceived(data);
    }
    template <class Bytes>
    void NoteReceived(const Bytes& data) {
        log.push_back("received");
        received.append(data.begin(), data.end());
        largestRead = std::max(largestRead, data.size());
    }
    void OnAcceptRequest(Long id) override {
        log.push_back("request");
        requests.push_back(id);
        if (onAcceptRequest) onAcceptRequest(id);
    }
    void OnError(Long number, const String& text1, const String& text2) override {
        errorNumber = number;
        errorText = text1;
        errorStep = text2;
        Note("error", onError);
    }
    void OnDiagnostic(const String& text) override {
        diagnostics.push_back(ToUtf8(text));
        if (onDiagnostic) onDiagnostic(diagnostics.back());
    }

private:
    void Note(const char* event, const std::function<void()>& hook) {
        log.push_back(event);
        if (hook) hook();
    }
};

/// The far end of a connection: accepts once on 127.0.0.1 and can send, drain and close.
struct LoopbackPeer {
    explicit LoopbackPeer(asio::io_context& io)
        : acceptor(io, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0)) {
        acceptor.async_accept([this](const asio::error_code& ec, asio::ip::tcp::socket s) {
            if (!ec) socket.emplace(std::move(s));
        });
    }

    String Port() const { return FromUtf8(std::to_string(acceptor.local_endpoint().port())); }
    bool Connected() const { return socket.has_value(); }

    /// Sends `data`, then closes the connection when `closeAfter`.
    void Send(std::string data, bool closeAfter) {
        outgoing = std::move(data);
        asio::async_write(*socket, asio::buffer(outgoing),
                          [this, closeAfter](const asio::error_code&, std::size_t) {
                              sent = true;
                              if (closeAfter) socket->close();
                          });
    }

    /// Reads everything into `incoming` until the connection ends.
    void Drain() {
        buffer.resize(64 * 1024);
        socket->async_read_some(asio::buffer(buffer), [this](const asio::error_code& ec,
                                                             std::size_t n) {
            if (ec) {
                ended = true;
                return;
            }
            incoming.append(buffer.data(), n);
            Drain();
        });
    }

    /// Drops the connection with a reset instead of an orderly close.
    void Reset() {
        socket->set_option(asio::socket_base::linger(true, 0));
        socket->close();
    }

    asio::ip::tcp::acceptor acceptor;
    std::optional<asio::ip::tcp::socket> socket;
    std::string outgoing, incoming, buffer;
    bool sent = false, ended = false;
};

/// `size` bytes in which a lost, repeated or reordered chunk shows.
inline std::string Pattern(std::size_t size, unsigned seed) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + seed + i / 4093) % 251);
    return s;
}

/// A port on which nothing listens (bound once, then released).
inline String ClosedPort(asio::io_context& io) {
    asio::ip::tcp::acceptor probe(io, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    return FromUtf8(std::to_string(probe.local_endpoint().port()));
}

}  // namespace tarselctl::testing
