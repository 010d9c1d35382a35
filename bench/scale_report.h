// The two phases of the scale benchmark and the one line each program prints, shared by the
// tarsel program and its libcurl peer so that both measure and report exactly alike.
#pragma once

#include <cstdio>
#include <string>

#include "process_usage.h"

namespace benchusage {

/// Logs in all of `bench`'s sessions, then for mode "get" downloads `file` on all of them at
/// once, and prints the key=value line bench/scale_bench.sh reads. `baseKib` is the resident
/// memory measured before the sessions existed. Returns the exit status: 0 when nothing failed.
template <class Bench>
int RunScalePhases(const char* impl, const std::string& mode, std::size_t n, Bench& bench,
                   const char* file, long baseKib) {
    const double loginSeconds = bench.LogInAll();
    const long idleKib = ResidentKib();
    std::printf("impl=%s phase=%s n=%zu failed=%zu sockets=%zu login_s=%.3f rss_base_kib=%ld "
                "rss_idle_kib=%ld per_conn_kib=%.1f",
                impl, mode.c_str(), n, bench.Failures(), OpenSockets(), loginSeconds, baseKib,
                idleKib, static_cast<double>(idleKib - baseKib) / static_cast<double>(n));
    if (mode == "get") {
        const double cpuBefore = CpuSeconds();
        const double seconds = bench.GetAll(file);
        const double cpu = CpuSeconds() - cpuBefore;
        std::printf(" bytes=%llu get_s=%.3f mb_s=%.1f cpu_s=%.3f peak_kib=%ld",
                    static_cast<unsigned long long>(bench.Bytes()), seconds,
                    static_cast<double>(bench.Bytes()) / 1e6 / seconds, cpu, PeakKib());
    }
    std::printf("\n");
    return bench.Failures() == 0 ? 0 : 1;
}

}  // namespace benchusage
