#include "queue/transfer_ledger.h"

namespace tarselctl {

namespace {

using Verdict = TransferLedger::Verdict;

Verdict Found(QueueIntegrity integrity, std::uint64_t got, std::uint64_t due, const char* what) {
    return Verdict{integrity, std::to_string(got) + " of " + std::to_string(due) + " bytes" + what};
}

}  // namespace

Verdict TransferLedger::CheckArrived() const {
    if (!countable) return {};
    const std::uint64_t at = attemptStart + attemptBytes;
    if (fileSize != kUnknown && at > fileSize)
        return Found(QueueIntegrity::Long, at, fileSize, " (more than the file holds: the server ignored REST or the file grew)");
    // With a restart offset servers differ in what they announce (the whole file or what is
    // left), so only an announcement for the whole file bounds the bytes.
    if (announced >= 0 && attemptStart == 0 && attemptBytes > static_cast<std::uint64_t>(announced))
        return Found(QueueIntegrity::Long, attemptBytes, static_cast<std::uint64_t>(announced), " (more than announced)");
    return {};
}

Verdict TransferLedger::CheckComplete() const {
    if (!countable) return {};
    if (Verdict over = CheckArrived()) return over;
    const std::uint64_t at = attemptStart + attemptBytes;
    if (length != QueueJob::kToEnd) {
        std::uint64_t end = offset + length;
        if (fileSize != kUnknown && fileSize < end) end = fileSize;
        if (at < end) return Found(QueueIntegrity::Short, at - offset, end - offset, " of the range");
        return {};
    }
    if (fileSize != kUnknown && at < fileSize) return Found(QueueIntegrity::Short, at, fileSize, "");
    if (announced >= 0) {
        const auto n = static_cast<std::uint64_t>(announced);
        const bool agrees = attemptStart == 0 ? attemptBytes == n : (attemptBytes == n || at == n);
        if (!agrees && at < n) return Found(QueueIntegrity::Short, at, n, " announced");
    }
    return {};
}

Verdict TransferLedger::CheckStored(std::uint64_t offset, std::uint64_t sent, std::uint64_t stored) {
    if (stored == offset + sent) return {};
    return Verdict{stored < offset + sent ? QueueIntegrity::Short : QueueIntegrity::UploadSize,
                   "the server holds " + std::to_string(stored) + " of " + std::to_string(offset + sent) + " bytes"};
}

}  // namespace tarselctl
