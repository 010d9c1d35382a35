// The one read buffer that every plain connection of a platform reads into.
#pragma once

#include <cstddef>
#include <tarsel/types.h>

namespace tarselctl {

/// Lends one buffer to whichever connection has bytes waiting, for as long as it takes to
/// read them and raise OnReceived. Every event runs on the loop's one thread and the bytes
/// are handed on before the next read, so one buffer serves every socket of an io_context:
/// an idle connection holds no buffer at all, and a thousand idle sessions cost what the
/// kernel needs for them, not a thousand read buffers.
///
/// A handler that runs the loop from inside OnReceived (a nested poll) would make a second
/// read start while the first one's bytes are still being handled; that read gets a buffer
/// of its own instead.
class SharedReadBuffer {
public:
    /// The buffer lent for one read; returned when the loan ends.
    class Loan {
    public:
        /// A buffer of exactly `size` bytes, whose contents are unspecified.
        Loan(SharedReadBuffer& owner, std::size_t size) : owner_(owner.inUse_ ? nullptr : &owner) {
            ByteArray& buffer = Buffer();
            if (owner_ != nullptr) owner_->inUse_ = true;
            // Shrinking costs nothing and growing fills only the new part, so the buffer
            // follows the reads' sizes without clearing a whole read's worth for every
            // short reply.
            buffer.resize(size);
        }
        ~Loan() {
            if (owner_ != nullptr) owner_->inUse_ = false;
        }
        Loan(const Loan&) = delete;
        Loan& operator=(const Loan&) = delete;

        /// The bytes; a handler may consume, keep or move them.
        ByteArray& Buffer() { return owner_ != nullptr ? owner_->buffer_ : own_; }

    private:
        SharedReadBuffer* owner_;
        ByteArray own_;
    };

    /// Bytes the buffer holds now (for tests and measurements).
    std::size_t Capacity() const noexcept { return buffer_.capacity(); }

private:
    ByteArray buffer_;
    bool inUse_ = false;
};

}  // namespace tarselctl
