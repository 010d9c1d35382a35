// The TCP socket as the TLS layer of a connection sees it.
#pragma once

#include <cstddef>
#include <utility>

#include <asio/buffer.hpp>
#include <asio/error.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>

namespace tarselctl {

/// Passes the TLS layer's reads and writes through to a connection's socket, except that once
/// `closing` is set every read ends at once with end-of-file. Asio's TLS shutdown writes our
/// close_notify and then reads until the peer's arrives; this ends that read at once, so that
/// closing never waits for a peer that may never answer.
class TlsTransport {
public:
    using executor_type = asio::ip::tcp::socket::executor_type;
    using lowest_layer_type = asio::ip::tcp::socket::lowest_layer_type;

    TlsTransport(asio::ip::tcp::socket& socket, const bool& closing)
        : socket_(&socket), closing_(&closing) {}

    executor_type get_executor() { return socket_->get_executor(); }
    lowest_layer_type& lowest_layer() { return socket_->lowest_layer(); }
    const lowest_layer_type& lowest_layer() const { return socket_->lowest_layer(); }

    template <class MutableBuffers, class Handler>
    void async_read_some(const MutableBuffers& buffers, Handler&& handler) {
        // A zero-length read is how the TLS layer defers a completion; it must still complete.
        if (*closing_ && asio::buffer_size(buffers) != 0) {
            asio::post(socket_->get_executor(),
                       [h = std::forward<Handler>(handler)]() mutable {
                           h(asio::error_code(asio::error::eof), std::size_t{0});
                       });
            return;
        }
        socket_->async_read_some(buffers, std::forward<Handler>(handler));
    }

    template <class ConstBuffers, class Handler>
    void async_write_some(const ConstBuffers& buffers, Handler&& handler) {
        socket_->async_write_some(buffers, std::forward<Handler>(handler));
    }

private:
    asio::ip::tcp::socket* socket_;
    const bool* closing_;
};

}  // namespace tarselctl
