#include <tarsel/asio_platform.h>

#include <iostream>

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "asio_platform/asio_soquet.h"
#include "asio_platform/asio_timer.h"
#include "asio_platform/console_message_box.h"
#include "asio_platform/pending_accepts.h"
#include "asio_platform/shared_read_buffer.h"

namespace tarselctl {

struct AsioPlatform::Impl {
    explicit Impl(asio::io_context& context)
        : io(context),
          accepts(std::make_shared<PendingAccepts>()),
          reads(std::make_shared<SharedReadBuffer>()) {}
    asio::io_context& io;
    /// Shared with every socket, so that a listener's announced connections can be taken
    /// by another socket, and so that sockets may outlive the platform object.
    std::shared_ptr<PendingAccepts> accepts;
    /// Every plain connection of the platform reads into this one buffer.
    std::shared_ptr<SharedReadBuffer> reads;
};

AsioPlatform::AsioPlatform(asio::io_context& io) : impl_(std::make_shared<Impl>(io)) {}

AsioPlatform::~AsioPlatform() = default;

std::unique_ptr<Soquet> AsioPlatform::CreateSoquet() {
    return std::make_unique<AsioSoquet>(impl_->io, impl_->accepts, impl_->reads);
}

std::unique_ptr<Codawa> AsioPlatform::CreateCodawa() { return tarselctl::CreateCodawa(); }

std::unique_ptr<Timer> AsioPlatform::CreateTimer() { return std::make_unique<AsioTimer>(impl_->io); }

void AsioPlatform::ShowMessageBox(const String& text) { ShowConsoleMessageBox(std::cerr, text); }

asio::io_context& AsioPlatform::Context() noexcept { return impl_->io; }

void AsioPlatform::ReportHandlerException(std::exception_ptr error) {
    asio::post(impl_->io, [error] { std::rethrow_exception(error); });
}

}  // namespace tarselctl
