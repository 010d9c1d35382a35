// The real platform: standalone Asio's io_context is the host's message loop.
#pragma once

#include <memory>

#include <tarsel/platform.h>
#include <tarsel/export.h>

TARSEL_API_BEGIN

namespace asio { class io_context; }

namespace tarselctl {

/// Sockets, timers and services that run on one io_context. The control and everything it
/// creates must be used only on the thread that runs that io_context.
class TARSEL_API AsioPlatform : public Platform {
public:
    explicit AsioPlatform(asio::io_context& io);
    ~AsioPlatform() override;

    std::unique_ptr<Soquet> CreateSoquet() override;
    std::unique_ptr<Codawa> CreateCodawa() override;
    std::unique_ptr<Timer> CreateTimer() override;
    /// Writes the text to standard error (a console host has no dialog boxes).
    void ShowMessageBox(const String& text) override;
    /// Rethrows the exception from a handler of its own on the io_context, after the
    /// control's step: it leaves io_context::run().
    void ReportHandlerException(std::exception_ptr error) override;

    asio::io_context& Context() noexcept;

    struct Impl;
private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace tarselctl

TARSEL_API_END
