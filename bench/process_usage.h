// What the benchmark process itself uses: resident memory now and at its peak, CPU time.
#pragma once

#include <sys/resource.h>

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

/// User and system CPU time of the process so far.
inline double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace benchusage
