// curl_multi_bench: the workload of scale_bench, done by libcurl's multi interface on one
// thread, for comparison.
//
//   curl_multi_bench login HOST PORT N        log N connections in (anonymous), keep them idle
//   curl_multi_bench get HOST PORT N FILE     then download FILE on all of them at once
//
// The login is a transfer with CURLOPT_NOBODY on the server's root, on a fresh connection each:
// curl logs in and keeps the connection in the multi handle's cache; the downloads then reuse
// those connections, so that both phases measure what they measure for scale_bench. Both
// programs print how many sockets they hold once logged in (`sockets`), which shows that N
// sessions are really open. Passive mode with PASV (EPSV off), as
// the control uses. At most kLoginsInFlight logins run at once, for the reason scale_bench
// gives. Prints one line of key=value pairs; exits 1 when a transfer failed.
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "scale_report.h"

namespace {

constexpr std::size_t kLoginsInFlight = 64;
/// Seconds of silence after which a transfer counts as failed (connect, reply, data).
constexpr long kStallSeconds = 30;

struct Transfer {
    CURL* easy = nullptr;
    std::uint64_t bytes = 0;
};

std::size_t Discard(char*, std::size_t size, std::size_t count, void* user) {
    static_cast<Transfer*>(user)->bytes += size * count;
    return size * count;
}

class CurlBench {
public:
    CurlBench(std::string host, std::string port, std::size_t n)
        : base_("ftp://" + host + ":" + port + "/"), n_(n), transfers_(n) {
        multi_ = curl_multi_init();
        // Every idle connection stays cached, none is closed to make room.
        curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, static_cast<long>(n));
        for (auto& t : transfers_) {
            t.easy = curl_easy_init();
            curl_easy_setopt(t.easy, CURLOPT_PRIVATE, &t);
            curl_easy_setopt(t.easy, CURLOPT_USERPWD, "anonymous:bench@example.org");
            curl_easy_setopt(t.easy, CURLOPT_FTP_USE_EPSV, 0L);
            // The same limits as the tarsel sessions: a stalled server fails a transfer
            // instead of holding the run.
            curl_easy_setopt(t.easy, CURLOPT_CONNECTTIMEOUT, kStallSeconds);
            curl_easy_setopt(t.easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, kStallSeconds);
            curl_easy_setopt(t.easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
            curl_easy_setopt(t.easy, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
            curl_easy_setopt(t.easy, CURLOPT_WRITEFUNCTION, Discard);
            curl_easy_setopt(t.easy, CURLOPT_WRITEDATA, &t);
        }
    }
    ~CurlBench() {
        for (auto& t : transfers_) curl_easy_cleanup(t.easy);
        curl_multi_cleanup(multi_);
    }

    double LogInAll() {
        const auto start = std::chrono::steady_clock::now();
        std::size_t next = 0;
        std::size_t running = 0;
        auto addNext = [&] {
            Transfer& t = transfers_[next++];
            curl_easy_setopt(t.easy, CURLOPT_URL, base_.c_str());
            curl_easy_setopt(t.easy, CURLOPT_NOBODY, 1L);
            // Without this a login would reuse the cached connection of one that finished,
            // and N logins would make only as many connections as run at once.
            curl_easy_setopt(t.easy, CURLOPT_FRESH_CONNECT, 1L);
            curl_multi_add_handle(multi_, t.easy);
            ++running;
        };
        while (next < n_ && running < kLoginsInFlight) addNext();
        while (running > 0) {
            running -= Run();
            while (next < n_ && running < kLoginsInFlight) addNext();
        }
        return Seconds(start);
    }

    double GetAll(const std::string& file) {
        const std::string url = base_ + file;
        const auto start = std::chrono::steady_clock::now();
        for (auto& t : transfers_) {
            curl_easy_setopt(t.easy, CURLOPT_URL, url.c_str());
            curl_easy_setopt(t.easy, CURLOPT_NOBODY, 0L);
            curl_easy_setopt(t.easy, CURLOPT_FRESH_CONNECT, 0L);
            curl_multi_add_handle(multi_, t.easy);
        }
        std::size_t running = n_;
        while (running > 0) running -= Run();
        return Seconds(start);
    }

    std::size_t Failures() const { return failures_; }
    std::uint64_t Bytes() const {
        std::uint64_t sum = 0;
        for (const auto& t : transfers_) sum += t.bytes;
        return sum;
    }

private:
    static double Seconds(std::chrono::steady_clock::time_point start) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    /// One turn of the loop; returns how many transfers finished in it (they leave the multi
    /// handle, their connections stay in its cache). Waits for the sockets only when nothing
    /// finished, so that the end of the last transfer is seen at once.
    std::size_t Run() {
        int still = 0;
        curl_multi_perform(multi_, &still);
        std::size_t finished = 0;
        int queued = 0;
        while (CURLMsg* m = curl_multi_info_read(multi_, &queued)) {
            if (m->msg != CURLMSG_DONE) continue;
            if (m->data.result != CURLE_OK) {
                // The first few only: thousands of identical lines would hide the table.
                if (++failures_ <= 5)
                    std::cerr << "transfer failed: " << curl_easy_strerror(m->data.result) << "\n";
            }
            curl_multi_remove_handle(multi_, m->easy_handle);
            ++finished;
        }
        if (finished == 0) {
            int ready = 0;
            curl_multi_poll(multi_, nullptr, 0, 1000, &ready);
        }
        return finished;
    }

    std::string base_;
    std::size_t n_;
    std::vector<Transfer> transfers_;
    CURLM* multi_ = nullptr;
    std::size_t failures_ = 0;
};

int Usage() {
    std::cerr << "usage: curl_multi_bench login HOST PORT N\n"
                 "       curl_multi_bench get HOST PORT N FILE\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) return Usage();
    const std::string mode = argv[1];
    const std::size_t n = std::strtoul(argv[4], nullptr, 10);
    if (n == 0 || (mode != "login" && mode != "get") || (mode == "get" && argc < 6)) return Usage();

    curl_global_init(CURL_GLOBAL_DEFAULT);
    int status = 0;
    {
        // Measured before the easy handles exist: each one is part of a connection's cost.
        const long baseKib = benchusage::ResidentKib();
        CurlBench bench(argv[2], argv[3], n);
        status = benchusage::RunScalePhases("curl", mode, n, bench, mode == "get" ? argv[5] : "", baseKib);
    }
    curl_global_cleanup();
    return status;
}
