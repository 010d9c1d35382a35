// libFuzzer target: the transfer queue over up to three scripted servers that cut downloads
// and report success, ignore or refuse REST, answer a cut with 226 or not at all, keep part
// of an upload, with a host that adds, cancels, cancels all or closes inside any event. The
// input's first bytes pick the servers and the jobs, the rest picks what the host does at
// each event. Judged after every run:
//  - the queue's order (tests/support/queue_order_rules.h): one end per job, nothing after
//    it, events only after Add returned, no JobFinished after Cancel returned true,
//    QueueEmpty only when every job has ended, no handler inside another;
//  - every job ends once time has passed (no hang);
//  - a download that finished with its size known holds exactly the file's bytes.
// A broken rule aborts with its description.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <tarsel/transfer_queue.h>

#include "support/fake_ftp_server.h"
#include "support/fake_platform.h"
#include "support/platform_per_control.h"
#include "support/queue_order_rules.h"

namespace {

using namespace tarselctl;

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    bool Bit() { return (Byte() & 1) != 0; }
    bool Empty() const { return at_ >= size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

struct ServerScript {
    bool honourRest = true, refuseRest = false, answerSize = true, cut226 = false, silent = false;
    std::size_t piece = 16;
    /// Bytes sent by the first attempts at a download (0: all).
    std::vector<std::size_t> limits;
    std::size_t keep = 0;  // bytes kept of the first upload (0: all)
};

struct Host final : TransferQueueEvents {
    std::map<JobId, std::string> files;
    std::map<JobId, std::string> uploads;
    std::map<JobId, bool> finished;
    std::function<void()> inside;
    void JobStarted(JobId job, int attempt) override {
        if (Trail()) std::fprintf(stderr, "started %llu #%d\n", static_cast<unsigned long long>(job), attempt);
        Act();
    }
    void JobRewind(JobId job, std::uint64_t offset) override {
        if (Trail()) std::fprintf(stderr, "rewind %llu @%llu\n", static_cast<unsigned long long>(job), static_cast<unsigned long long>(offset));
        files[job].resize(offset);
        Act();
    }
    void JobData(JobId job, std::uint64_t offset, ByteArray& data) override {
        std::string& f = files[job];
        if (f.size() < offset + data.size()) f.resize(offset + data.size(), '?');
        std::copy(data.begin(), data.end(), f.begin() + static_cast<std::ptrdiff_t>(offset));
        if (Trail()) std::fprintf(stderr, "data %llu @%llu +%zu\n", static_cast<unsigned long long>(job), static_cast<unsigned long long>(offset), data.size());
        Act();
    }
    void JobPutData(JobId job, std::uint64_t offset, ByteArray& data) override {
        const std::string& source = uploads[job];
        if (offset < source.size())
            data.assign(source.begin() + static_cast<std::ptrdiff_t>(offset),
                        source.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(source.size(), offset + 7)));
        Act();
    }
    void JobLine(JobId, const String&) override { Act(); }
    void JobFinished(JobId job, const String&) override {
        if (Trail()) std::fprintf(stderr, "finished %llu\n", static_cast<unsigned long long>(job));
        finished[job] = true;
        Act();
    }
    void JobFailed(JobId job, const QueueJobError& e) override {
        if (Trail())
            std::fprintf(stderr, "failed %llu %d %s\n", static_cast<unsigned long long>(job), e.code, ToUtf8(e.message).c_str());
        Act();
    }
    void Trace(int connection, const String& msg) override {
        if (Trail()) std::fprintf(stderr, "[%d] %s\n", connection, ToUtf8(msg).c_str());
    }
    void QueueEmpty() override { Act(); }
    void Act() {
        if (inside) inside();
    }
    /// QUEUE_FUZZ_TRAIL=1: every event of the run on standard error.
    static bool Trail() {
        static const bool on = std::getenv("QUEUE_FUZZ_TRAIL") != nullptr;
        return on;
    }
};

[[noreturn]] void Finding(const std::string& what) {
    std::fprintf(stderr, "queue_fuzz: %s\n", what.c_str());
    std::abort();
}

/// Bytes without a period, so that no stretch of the file equals another by chance.
std::string Content(std::size_t n, char seed) {
    std::string s;
    std::uint32_t x = 2463534242u + static_cast<std::uint8_t>(seed);
    for (std::size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s.push_back(static_cast<char>(x >> 24));
    }
    return s;
}

/// As an event loop would: every server's next step in turn, then the host's short timers
/// (the queue's delivery), until nothing is left.
void RunLoop(PlatformPerControl& loop) {
    for (int round = 0; round < 200000; ++round) {
        if (loop.Step()) continue;
        if (!loop.TickShortTimers()) return;
    }
    Finding("the servers never went quiet");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const int connections = 1 + in.Byte() % 3;
    ServerScript scripts[3];
    bool restTrusted = true;
    for (ServerScript& s : scripts) {
        const std::uint8_t flags = in.Byte();
        s.honourRest = (flags & 1) == 0;
        s.refuseRest = (flags & 2) != 0;
        s.answerSize = (flags & 4) == 0;
        s.cut226 = (flags & 8) != 0;
        s.silent = (flags & 16) != 0;
        s.piece = 1 + in.Byte() % 64;
        for (int i = in.Byte() % 3; i > 0; --i) s.limits.push_back(in.Byte());
        s.keep = in.Byte() % 4 == 0 ? in.Byte() : 0;
        restTrusted = restTrusted && s.honourRest;
    }
    const std::string content = Content(64 + in.Byte(), 'a');

    FakePlatform templatePlatform;
    tarsel settings(templatePlatform);
    settings.InitProperties();
    settings.put_Passive(in.Bit() ? True : False);
    settings.put_ReplyTimeout(3);
    settings.put_TransTimeout(3);

    PlatformPerControl loop(true);
    std::vector<std::unique_ptr<std::vector<std::size_t>>> limits;
    loop.setup = [&](FakeFtpServer& s, std::size_t i) {
        const ServerScript& script = scripts[i % 3];
        s.downloads["f"] = content;
        s.honourRest = script.honourRest;
        if (script.refuseRest) s.replies["REST"] = "502 REST not implemented";
        s.answerSize = script.answerSize;
        if (script.cut226) s.cutReply = "226 Transfer complete";
        s.silentAfterCut = script.silent;
        s.piece = script.piece;
        limits.push_back(std::make_unique<std::vector<std::size_t>>(script.limits));
        std::vector<std::size_t>* left = limits.back().get();
        s.sendLimit = [left](const std::string&, std::uint64_t) {
            if (left->empty()) return std::string::npos;
            const std::size_t n = left->front();
            left->erase(left->begin());
            return n;
        };
        const std::size_t keep = script.keep;
        auto kept = std::make_shared<bool>(false);
        if (keep > 0)
            s.keepLimit = [keep, kept](const std::string&) {
                if (*kept) return std::string::npos;
                *kept = true;
                return keep;
            };
    };

    Host host;
    QueueOrderRules judge(host);
    TransferQueue queue(loop, settings, QueueServer{u"h", u"u", u"p"}, connections, judge);
    queue.maxRetries = in.Byte() % 3;
    std::vector<JobId> jobs;
    std::map<JobId, QueueJob> requests;
    auto add = [&]() {
        const std::uint8_t pick = in.Byte();
        QueueJob job{QueueJob::Kind::Download, u"f"};
        switch (pick % 6) {
        case 0: break;
        case 1: job.size = content.size(); break;
        case 2:
            job.offset = in.Byte() % content.size();
            job.length = 1 + in.Byte();
            job.size = content.size();
            break;
        case 3: job.kind = QueueJob::Kind::Upload; job.remote = u"up"; break;
        case 4: job.kind = QueueJob::Kind::List; job.remote = u""; break;
        case 5: job.remote = u"bad\r\nname"; break;
        }
        const JobId id = queue.Add(job);
        if (Host::Trail())
            std::fprintf(stderr, "add %llu: kind %d offset %llu length %lld size %lld\n", static_cast<unsigned long long>(id),
                         static_cast<int>(job.kind), static_cast<unsigned long long>(job.offset),
                         static_cast<long long>(job.length), static_cast<long long>(job.size));
        judge.Added(id);
        jobs.push_back(id);
        requests[id] = job;
        if (job.kind == QueueJob::Kind::Upload) host.uploads[id] = Content(1 + in.Byte() * 3, 'u');
    };
    auto act = [&]() {
        const std::uint8_t what = in.Byte();
        if (what < 200) return;
        switch (what % 4) {
        case 0: add(); break;
        case 1:
            if (!jobs.empty()) {
                const JobId id = jobs[in.Byte() % jobs.size()];
                judge.CancelReturned(id, queue.Cancel(id));
            }
            break;
        case 2: queue.CancelAll(); break;
        case 3: queue.Close(); break;
        }
    };
    for (int n = 1 + in.Byte() % 4; n > 0; --n) add();
    host.inside = act;
    for (int round = 0; round < 60 && !judge.AllEnded(); ++round) {
        RunLoop(loop);
        if (!in.Empty()) act();
        // A second passes: the queue's timers, and every control's (time-outs, keep-alive).
        for (std::size_t i = 0; i < loop.hostTimers.size(); ++i) loop.hostTimers[i]->Tick();
        // By index: a tick may open a connection, which adds a platform and its timers.
        for (std::size_t i = 0; i < loop.platforms.size(); ++i)
            for (std::size_t j = 0; j < loop.platforms[i]->timers.size(); ++j) loop.platforms[i]->timers[j]->Tick();
    }
    host.inside = nullptr;
    RunLoop(loop);

    if (!judge.Violations().empty()) Finding(judge.Violations().front());
    if (!judge.AllEnded()) Finding("a job never ended");
    for (const auto& [id, request] : requests) {
        if (!host.finished[id] || request.kind != QueueJob::Kind::Download || request.size == QueueJob::kUnknown)
            continue;
        const bool range = request.length != QueueJob::kToEnd;
        // A server that accepts REST and sends from the start gives a middle range the wrong
        // bytes in the right number; the range that runs to the end sees it, so a file is
        // never whole from such a server, but a single middle range cannot tell.
        if (range && !restTrusted) continue;
        const std::string& got = host.files[id];
        const std::string want = range ? content.substr(request.offset, request.length) : content;
        const std::string have = range && got.size() >= request.offset ? got.substr(request.offset) : got;
        if (have != want) Finding("job " + std::to_string(id) + " finished with other bytes than the file's");
    }
    return 0;
}
