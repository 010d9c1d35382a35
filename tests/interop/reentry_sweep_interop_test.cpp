// A host that calls Abort, or Abend, from inside its k-th event of a transfer, for every k, on
// the real servers: a download, an upload and a listing, active and passive, plain and TLS.
// Then time passes beyond every time-out. The event-rule checker judges every run, and once a
// run has ended nothing more may reach its host, however long it waits.
//
// The runs of one server go side by side on one loop, a few at a time, and stay alive after
// they end, so that one wait covers the time-outs of all of them. pyftpdlib is left out: its
// session processes keep spinning on the processor after some of these ends, which would slow
// every test run after this one.
//
// The runs go on the Asio platform, and on the POSIX platform (on the epoll loop) against
// vsftpd, plain and TLS: the same sweep, the same rules.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <tarsel/asio_platform.h>
#include <tarsel/loops/epoll_loop.h>
#include <tarsel/posix_platform.h>
#include <tarsel/tarsel.h>

#include "asio_platform/loopback.h"
#include "interop/ftp_server_env.h"
#include "support/event_rules.h"

namespace tarselctl {
namespace {

using namespace std::chrono_literals;

enum class Job { Get, Put, Dir };
enum class Act { None, Abort, Abend };

constexpr Long kTimeout = 1;  // seconds: ConnectTimeout and TransTimeout of every run
constexpr std::size_t kFileSize = 6 * 1024;
constexpr std::size_t kSideBySide = 30;

const char* JobName(Job job) { return job == Job::Get ? "get" : job == Job::Put ? "put" : "dir"; }

// One host: a control, the rules (advised first, so they see each event before the host acts
// on it), and the host's own sink, which acts inside its k-th event of the transfer.
class SweptHost : public tarselEvents {
public:
    SweptHost(Platform& platform, const FtpServer& server, bool tls, Job job, bool passive, Act act, int k,
        std::string remote)
        : control(platform), rules(&control), job(job), passive(passive), act(act), k(k), job_(job), act_(act), k_(k),
          remote_(std::move(remote)) {
        control.Advise(rules);
        control.Advise(*this);
        control.put_port(FromUtf8(server.port));
        control.put_Passive(passive ? True : False);
        control.put_ConnectTimeout(kTimeout);
        control.put_TransTimeout(kTimeout);
        // pure-ftpd says nothing after a cut data connection: the wait for its reply ends.
        control.put_ReplyTimeout(3);
        if (tls) {
            control.put_TlsMode(u"explicit");
            control.put_TlsCaFile(FromUtf8(std::getenv("TARSEL_TLS_CA")));
        }
        control.Connect(FromUtf8(server.host), FromUtf8(server.user), FromUtf8(server.pass));
        rules.Sample();
    }

    /// The run has ended: its connection is closed, or the transfer's operation is over.
    bool Ended() const { return control.get_FtpCommand().empty() || (started_ && control.IsIdle() == True); }

    tarsel control;
    EventRules rules;
    /// Events of the transfer, from its start (traces included).
    int seen = 0;
    std::size_t events = 0;

private:
    void Count() {
        ++events;
        if (!started_) return;
        if (++seen != k_ || act_ == Act::None) return;
        rules.Note(act_ == Act::Abort ? "host: Abort()" : "host: Abend()");
        if (act_ == Act::Abort) control.Abort();
        else control.Abend();
        rules.Sample();
    }

    void Trace(const String&) override { Count(); }
    void Connected() override { Count(); }
    void DisConnected(Long, const String&) override { Count(); }
    void CommandDone(Integer code, const String& op, const String&) override {
        Count();
        if (op != u"Connect" || started_) return;
        if (code != 0) {
            control.Abend();
            return;
        }
        started_ = true;
        if (job_ == Job::Get) control.GetFile(FromUtf8(remote_), u"local");
        else if (job_ == Job::Put) control.PutFile(FromUtf8(remote_), u"local");
        else control.Dir();
        rules.Sample();
    }
    void GetOpen(const String&) override { Count(); }
    void GetData(ByteArray&) override { Count(); }
    void GetClose() override { Count(); }
    void PutOpen(const String&) override { Count(); }
    void PutData(ByteArray& data) override {
        Count();
        // Two blocks, then the end signal.
        if (blocks_++ < 2) data.assign(3 * 1024, 'u');
        else data.clear();
        rules.PutAnswered(data);
    }
    void PutClose() override { Count(); }
    void DirOpen() override { Count(); }
    void DirData(String&) override { Count(); }
    void DirClose() override { Count(); }
    void TransError(Long, const String&, const String&) override { Count(); }

public:
    const Job job;
    const bool passive;
    const Act act;
    const int k;

private:
    Job job_;
    Act act_;
    int k_;
    std::string remote_;
    bool started_ = false;
    int blocks_ = 0;
};

struct SweepCase {
    const char* server;
    bool tls;
    /// On the POSIX platform (epoll loop) rather than the Asio one.
    bool posix = false;
};

/// The platform a sweep runs on, and a bounded run of its loop.
class SweepLoop {
public:
    explicit SweepLoop(bool posix) {
        if (posix) {
            epoll_ = std::make_unique<EpollLoop>();
            platform_ = std::make_unique<PosixPlatform>(*epoll_);
        } else {
            platform_ = std::make_unique<AsioPlatform>(io_);
        }
    }
    Platform& Get() { return *platform_; }
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        if (!epoll_) return tarselctl::testing::RunUntil(io_, done, limit);
        auto& posix = static_cast<PosixPlatform&>(*platform_);
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline) epoll_->RunOnce(posix, 10ms);
        return done();
    }

private:
    asio::io_context io_;
    std::unique_ptr<EpollLoop> epoll_;
    std::unique_ptr<Platform> platform_;
};

class ReentrySweep : public ::testing::TestWithParam<SweepCase> {
protected:
    SweepLoop loop{GetParam().posix};
    Platform& platform = loop.Get();
    std::vector<std::unique_ptr<SweptHost>> runs;
    int uploads = 0;

    std::string Remote(const FtpServer& server, Job job) {
        // pure-ftpd refuses to overwrite: every upload gets a name of its own.
        if (job == Job::Put) return server.upload + "/sweep-" + std::to_string(++uploads) + ".bin";
        return job == Job::Get ? "sweep.bin" : "";
    }

    bool RunBatch(std::size_t from) {
        return loop.RunUntil(
            [&] {
                return std::all_of(runs.begin() + static_cast<std::ptrdiff_t>(from), runs.end(),
                                   [](const auto& r) { return r->Ended(); });
            },
            30s);
    }
};

TEST_P(ReentrySweep, AbortOrAbendInsideEveryEventKeepsTheOrderAndNothingFollowsTheEnd) {
    const SweepCase c = GetParam();
    const auto found = FtpServerVariant(c.server);
    if (!found) GTEST_SKIP() << c.server << " is not running";
    if (c.tls && std::getenv("TARSEL_TLS_CA") == nullptr) GTEST_SKIP() << "no TARSEL_TLS_CA";
    const FtpServer server = *found;
    ASSERT_FALSE(server.root.empty());
    {
        std::ofstream file(server.root + "/sweep.bin", std::ios::binary | std::ios::trunc);
        file << std::string(kFileSize, 'd');
    }

    struct Plan {
        Job job;
        bool passive;
        Act act;
        int k;
    };
    std::vector<Plan> plans;
    for (Job job : {Job::Get, Job::Put, Job::Dir}) {
        for (bool passive : {true, false}) {
            // A run without a host action tells how many events the transfer has here.
            runs.push_back(std::make_unique<SweptHost>(platform, server, c.tls, job, passive, Act::None, 0,
                                                       Remote(server, job)));
            ASSERT_TRUE(RunBatch(runs.size() - 1)) << JobName(job) << " never ended";
            const int total = runs.back()->seen;
            ASSERT_GT(total, 3) << JobName(job) << "\n" << runs.back()->rules.Trail();
            runs.back()->control.Abend();
            for (Act act : {Act::Abort, Act::Abend})
                for (int k = 1; k <= total; ++k) plans.push_back(Plan{job, passive, act, k});
        }
    }
    runs.clear();

    // A run that ends idle (after Abort) keeps its connection while time passes, and servers
    // limit the connections of one address: the runs go in groups, each group waiting out
    // every time-out its runs could have left once all of them have ended.
    for (std::size_t next = 0; next < plans.size();) {
        runs.clear();
        // Runs that Abend hold no connection once ended, so more of them fit in a group.
        const std::size_t group = plans[next].act == Act::Abend ? kSideBySide * 3 / 2 : kSideBySide;
        for (; next < plans.size() && runs.size() < group && plans[next].act == plans[0 + next].act; ++next) {
            const Plan& p = plans[next];
            runs.push_back(std::make_unique<SweptHost>(platform, server, c.tls, p.job, p.passive, p.act, p.k,
                                                       Remote(server, p.job)));
        }
        ASSERT_TRUE(RunBatch(0)) << "a run never ended";
        std::vector<std::size_t> atEnd;
        for (const auto& r : runs) atEnd.push_back(r->events);
        loop.RunUntil([] { return false; }, std::chrono::milliseconds(kTimeout * 2000 + 500));
        for (std::size_t i = 0; i < runs.size(); ++i) {
            const SweptHost& r = *runs[i];
            const std::string which = std::string(JobName(r.job)) + (r.passive ? " passive" : " active") +
                                      (r.act == Act::Abort ? " Abort" : " Abend") + " at " + std::to_string(r.k);
            EXPECT_TRUE(r.rules.ok()) << which << ":\n" << r.rules.violations.front();
            EXPECT_EQ(r.events, atEnd[i]) << which << ": an event after the end\n" << r.rules.Trail();
        }
        for (const auto& r : runs) r->control.Abend();
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, ReentrySweep,
                         ::testing::Values(SweepCase{"vsftpd", false}, SweepCase{"pureftpd", false},
                                           SweepCase{"proftpd", false},
                                           SweepCase{"vsftpd_tls", true}, SweepCase{"proftpd_tls", true},
                                           SweepCase{"pureftpd_tls", true},
                                           SweepCase{"vsftpd", false, true}, SweepCase{"vsftpd_tls", true, true}),
                         [](const auto& info) {
                             return std::string(info.param.server) + (info.param.posix ? "_posix" : "");
                         });

}  // namespace
}  // namespace tarselctl
