// What a transfer's bytes must add up to: the checks a download or upload passes before the
// queue calls it done, as a pure function of what is known, so that they are tested alone.
#pragma once

#include <cstdint>
#include <string>

#include <tarsel/transfer_queue.h>

namespace tarselctl {

/// One attempt at a job, everything counted in the server's bytes.
struct TransferLedger {
    static constexpr std::uint64_t kUnknown = QueueJob::kUnknown;

    /// The job's first byte and, for a range, its length (QueueJob::kToEnd otherwise).
    std::uint64_t offset = 0;
    std::uint64_t length = QueueJob::kToEnd;
    /// The whole file's size as known from the host, SIZE or an earlier announcement.
    std::uint64_t fileSize = kUnknown;
    /// Where this attempt started (its REST offset, or the job's offset).
    std::uint64_t attemptStart = 0;
    /// Bytes this attempt's data connection brought.
    std::uint64_t attemptBytes = 0;
    /// "(N bytes)" of this attempt's preliminary reply; -1 when none.
    std::int64_t announced = -1;
    /// The server counts the bytes that travel (TYPE I); in TYPE A it counts others.
    bool countable = true;

    struct Verdict {
        QueueIntegrity integrity = QueueIntegrity::None;
        std::string text;
        explicit operator bool() const { return integrity != QueueIntegrity::None; }
    };
    /// While bytes arrive: more than the file holds from where the attempt started.
    Verdict CheckArrived() const;
    /// When the server has reported success: every known size agrees with what came.
    Verdict CheckComplete() const;
    /// After an upload of `sent` bytes from `offset`: the server's SIZE `stored`.
    static Verdict CheckStored(std::uint64_t offset, std::uint64_t sent, std::uint64_t stored);
};

}  // namespace tarselctl
