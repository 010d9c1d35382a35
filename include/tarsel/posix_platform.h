// The platform for any event loop: non-blocking POSIX sockets, OpenSSL and c-ares, driven by
// the host's own loop through a small interface.
#pragma once

#include <memory>

#include <tarsel/platform.h>
#include <tarsel/export.h>

TARSEL_API_BEGIN

namespace tarselctl {

/// The directions a descriptor is to be watched in.
enum class WatchFor { None = 0, Read = 1, Write = 2, ReadWrite = 3 };

/// What the library asks of the host's event loop. The adapters under <tarsel/loops/> are
/// ready-made implementations for epoll, libuv, GLib and Qt.
///
/// Rules the library keeps, so that an adapter can be small:
///  - It always decides the directions itself, TLS included: a TLS read may have to wait for
///    the socket to be writable and a write for it to be readable. The host watches exactly
///    what it was last told for each descriptor, level-triggered, and nothing more.
///  - WatchDescriptor(fd, None) comes before the descriptor is closed; the host forgets it
///    then (and may see it again, reused, in a later WatchDescriptor).
///  - There is one timer. SetTimer replaces whatever was armed; it is never asked for 0 ms:
///    work that is due runs inside the call that made it due, before that call returns.
///  - These functions are called on the loop's thread, from inside PosixPlatform's calls and
///    from the control's methods; they must not call back into the platform.
class TARSEL_API LoopHost {
public:
    virtual ~LoopHost() = default;
    /// Watch `fd` for `directions` (None: stop watching it), replacing the previous wish.
    virtual void WatchDescriptor(int fd, WatchFor directions) = 0;
    /// Call PosixPlatform::TimerDue after `milliseconds` (1 or more), replacing the timer
    /// armed before; -1 cancels it.
    virtual void SetTimer(long long milliseconds) = 0;
};

/// Sockets, timers and services for a host that runs its own loop. The control and
/// everything it creates are used on the loop's one thread; every event of the control is
/// raised there, inside DescriptorReady or TimerDue (or synchronously inside a method of the
/// control, as on any platform).
///
/// The host calls DescriptorReady when a descriptor it watches is ready, and TimerDue when
/// the timer is due. Neither blocks; any work they make due (an event handler that sends,
/// closes or connects) is done before they return. A host may call the control from inside
/// its event handlers, and from anywhere else on the loop's thread: work such a call leaves
/// for later is announced through a descriptor of the platform's own, never a 0 ms timer.
class TARSEL_API PosixPlatform : public Platform {
public:
    /// `host` must outlive the platform and everything it creates.
    explicit PosixPlatform(LoopHost& host);
    ~PosixPlatform() override;
    PosixPlatform(const PosixPlatform&) = delete;
    PosixPlatform& operator=(const PosixPlatform&) = delete;

    std::unique_ptr<Soquet> CreateSoquet() override;
    std::unique_ptr<Codawa> CreateCodawa() override;
    std::unique_ptr<Timer> CreateTimer() override;
    /// Writes the text to standard error.
    void ShowMessageBox(const String& text) override;

    /// `fd` is ready: readable, writable, or both (an error or hang-up counts as both).
    /// A descriptor the platform no longer watches is ignored.
    void DescriptorReady(int fd, bool readable, bool writable);
    /// The timer armed by SetTimer is due (early or late calls are harmless).
    void TimerDue();

    struct Impl;
private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace tarselctl

TARSEL_API_END
