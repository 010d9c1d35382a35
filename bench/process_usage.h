// What the benchmark process itself uses: resident memory now and at its peak, CPU time.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace benchusage {

/// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"); -1 when it cannot be read.
inline long StatusKib(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

/// Resident memory now.
inline long ResidentKib() { return StatusKib("VmRSS"); }
/// Resident memory at its highest so far.
inline long PeakKib() { return StatusKib("VmHWM"); }

/// Sockets the process holds open: every descriptor that is one.
inline std::size_t OpenSockets() {
    std::size_t count = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        char target[64];
        const ssize_t n = readlink(entry.path().c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)).rfind("socket:", 0) == 0) ++count;
    }
    return count;
}

/// User and system CPU time of the process so far.
inline double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace benchusage
