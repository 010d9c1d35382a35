#include <tarsel/posix_platform.h>

#include <iostream>

#include "asio_platform/console_message_box.h"
#include "posix_platform/posix_services.h"
#include "posix_platform/posix_soquet.h"
#include "posix_platform/posix_timer.h"

namespace tarselctl {

struct PosixPlatform::Impl : PosixServices {
    using PosixServices::PosixServices;
};

PosixPlatform::PosixPlatform(LoopHost& host) : impl_(std::make_shared<Impl>(host)) {}

PosixPlatform::~PosixPlatform() = default;

std::unique_ptr<Soquet> PosixPlatform::CreateSoquet() { return std::make_unique<PosixSoquet>(impl_); }

std::unique_ptr<Codawa> PosixPlatform::CreateCodawa() { return tarselctl::CreateCodawa(); }

std::unique_ptr<Timer> PosixPlatform::CreateTimer() {
    return std::make_unique<PosixTimer>(impl_->reactor);
}

void PosixPlatform::ShowMessageBox(const String& text) { ShowConsoleMessageBox(std::cerr, text); }

void PosixPlatform::DescriptorReady(int fd, bool readable, bool writable) {
    // Held for the call: the host's handler may destroy the platform's last socket.
    const std::shared_ptr<Reactor> reactor = impl_->reactor;
    reactor->Ready(fd, readable, writable);
}

void PosixPlatform::TimerDue() {
    const std::shared_ptr<Reactor> reactor = impl_->reactor;
    reactor->Due();
}

}  // namespace tarselctl
