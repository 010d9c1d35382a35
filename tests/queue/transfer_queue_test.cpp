// The transfer queue over several controls, each answered by its own fake server, the
// servers stepped in turn as one event loop would interleave them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <tarsel/transfer_queue.h>

#include "support/fake_ftp_server.h"
#include "support/fake_platform.h"
#include "support/platform_per_control.h"

namespace tarselctl {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

struct Recorder final : TransferQueueEvents {
    std::vector<std::string> log;
    std::map<JobId, std::string> files;
    std::map<JobId, QueueJobError> errors;
    std::function<void(JobId, std::uint64_t)> onData;
    std::function<void(JobId)> onStarted, onFinished;
    std::function<void(JobId, std::uint64_t)> onPut;
    std::map<JobId, std::string> uploads;
    std::size_t uploadBlock = 1;

    void JobStarted(JobId job, int attempt) override {
        log.push_back("started " + std::to_string(job) + " #" + std::to_string(attempt));
        if (onStarted) onStarted(job);
    }
    void JobData(JobId job, std::uint64_t offset, ByteArray& data) override {
        std::string& f = files[job];
        if (f.size() < offset + data.size()) f.resize(offset + data.size(), '?');
        std::copy(data.begin(), data.end(), f.begin() + static_cast<std::ptrdiff_t>(offset));
        log.push_back("data " + std::to_string(job) + " @" + std::to_string(offset));
        if (onData) onData(job, offset);
    }
    void JobPutData(JobId job, std::uint64_t offset, ByteArray& data) override {
        if (onPut) onPut(job, offset);
        const std::string& source = uploads[job];
        if (offset < source.size())
            data.assign(source.begin() + static_cast<std::ptrdiff_t>(offset),
                        source.begin() + static_cast<std::ptrdiff_t>(std::min(source.size(), offset + uploadBlock)));
    }
    void JobLine(JobId job, const String& line) override {
        log.push_back("line " + std::to_string(job) + " " + ToUtf8(line));
    }
    void JobFinished(JobId job, const String& msg) override {
        log.push_back("finished " + std::to_string(job) + (msg.empty() ? "" : " " + ToUtf8(msg)));
        if (onFinished) onFinished(job);
    }
    void JobFailed(JobId job, const QueueJobError& e) override {
        errors[job] = e;
        log.push_back("failed " + std::to_string(job) + " " + std::to_string(e.code) +
                      (e.cancelled ? " cancelled" : "") + (e.restRefused ? " rest" : ""));
    }
    void QueueEmpty() override { log.push_back("empty"); }

    std::vector<std::string> Ends() const {
        std::vector<std::string> out;
        for (const auto& l : log)
            if (l.rfind("data", 0) != 0 && l.rfind("line", 0) != 0) out.push_back(l);
        return out;
    }
};

std::string Bytes(std::size_t n, char seed) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(seed + i % 23));
    return s;
}

class TransferQueueTest : public ::testing::Test {
protected:
    TransferQueueTest() : settings(templatePlatform) {
        settings.InitProperties();
        settings.put_Passive(True);
        settings.put_port(u"21");
    }
    std::unique_ptr<TransferQueue> MakeQueue(int connections) {
        return std::make_unique<TransferQueue>(hosts, settings, QueueServer{u"ftp.example", u"me", u"pw"},
                                               connections, rec);
    }
    static QueueJob Download(const std::string& name, std::uint64_t offset = 0,
                             std::uint64_t length = QueueJob::kToEnd) {
        return QueueJob{QueueJob::Kind::Download, FromUtf8(name), offset, length};
    }

    FakePlatform templatePlatform;
    tarsel settings;
    PlatformPerControl hosts{true};
    Recorder rec;
};

TEST_F(TransferQueueTest, SpreadsJobsOverLazilyOpenedConnectionsAndSendsTypeOncePerConnection) {
    std::map<std::string, std::string> files;
    for (int i = 0; i < 6; ++i) files["f" + std::to_string(i)] = Bytes(40 + i, static_cast<char>('a' + i));
    hosts.setup = [&](FakeFtpServer& s, std::size_t) { s.downloads = files; };
    auto queue = MakeQueue(3);
    std::vector<JobId> ids;
    for (int i = 0; i < 6; ++i) ids.push_back(queue->Add(Download("f" + std::to_string(i))));
    EXPECT_EQ(queue->Connections(), 3u);  // no more than asked, although six wait
    hosts.Run();

    ASSERT_EQ(hosts.servers.size(), 3u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(rec.files[ids[i]], files["f" + std::to_string(i)]);
    for (std::size_t s = 0; s < 3; ++s) {
        EXPECT_FALSE(hosts.Lines(s, "RETR").empty()) << "server " << s << " got no job";
        EXPECT_EQ(hosts.Lines(s, "TYPE").size(), 1u) << "server " << s;
    }
    EXPECT_EQ(std::count(rec.log.begin(), rec.log.end(), "empty"), 1);
    EXPECT_EQ(rec.log.back(), "empty");

    // One waiting job on an idle, logged-in connection opens nothing new.
    queue->Add(Download("f1"));
    EXPECT_EQ(queue->Connections(), 3u);
    hosts.Run();
    EXPECT_EQ(hosts.servers.size(), 3u);
    EXPECT_EQ(rec.log.back(), "empty");
}

class LostConnectionTest : public TransferQueueTest, public ::testing::WithParamInterface<bool> {};

TEST_P(LostConnectionTest, IsReplacedAndItsDownloadResumedOrRestarted) {
    const bool refuseRest = GetParam();
    const std::string content = Bytes(100, 'A');
    int pieces = 0;
    hosts.setup = [&](FakeFtpServer& s, std::size_t) {
        s.file = content;
        if (refuseRest) s.replies["REST"] = "502 REST not implemented";
        s.onData = [&pieces, this](std::string_view) {
            // The network goes right after the second piece has arrived.
            if (++pieces == 2)
                hosts.platforms[0]->posted.push_front([this] { hosts.platforms[0]->soquets[0]->Close(); });
        };
    };
    auto queue = MakeQueue(1);
    const JobId id = queue->Add(Download("big"));
    hosts.Run();
    EXPECT_EQ(rec.files[id], content);
    // The resumed attempt asks again for some bytes before its offset, to compare them.
    EXPECT_THAT(hosts.Lines(0, "REST"), ElementsAre("REST 16"));
    EXPECT_EQ(rec.Ends().back(), "empty");
    if (!refuseRest) {
        EXPECT_THAT(rec.Ends(), ElementsAre("started 1 #1", "started 1 #2", "finished 1 Transfer complete", "empty"));
        EXPECT_THAT(rec.log, Contains("data 1 @32"));
    } else {
        // The server cannot resume: the next attempt starts from the beginning, without
        // REST, and the bytes come again at their own offsets.
        EXPECT_EQ(std::count(rec.log.begin(), rec.log.end(), "data 1 @0"), 2);
        EXPECT_EQ(hosts.Lines(0, "RETR").size(), 2u);
    }
}

INSTANTIATE_TEST_SUITE_P(Rest, LostConnectionTest, ::testing::Values(false, true));

TEST_F(TransferQueueTest, RangeEndsByAbortAndRefusedRestFailsTheRange) {
    const std::string content = Bytes(100, 'a');
    hosts.setup = [&](FakeFtpServer& s, std::size_t i) {
        s.file = content;
        if (i == 1) s.replies["REST"] = "502 REST not implemented";
    };
    auto queue = MakeQueue(1);
    const JobId range = queue->Add(Download("f", 10, 20));
    hosts.Run();
    EXPECT_EQ(rec.files[range].substr(10), content.substr(10, 20));
    EXPECT_THAT(hosts.Lines(0, "REST"), ElementsAre("REST 10"));
    EXPECT_EQ(rec.log.back(), "empty");
    EXPECT_EQ(rec.Ends()[1], "finished 1");

    // A server that never answers the cut: the job has ended all the same, and after a few
    // seconds the connection is closed and the next job gets a new one.
    hosts.servers[0]->silentAfterCut = true;
    const JobId silent = queue->Add(Download("f", 0, 40));
    const JobId next = queue->Add(Download("f"));
    hosts.Run();
    EXPECT_EQ(rec.files[silent].substr(0, 40), content.substr(0, 40));
    EXPECT_EQ(rec.Ends().back(), "finished 2");
    FakeTimer* timer = nullptr;
    for (FakeTimer* t : hosts.hostTimers)
        if (t->interval == 1000) timer = t;
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(timer->TickN(10), 5);  // it stops once nothing waits any more
    hosts.Run();
    EXPECT_EQ(rec.files[next], content);
    EXPECT_EQ(rec.log.back(), "empty");

    // A second queue meets a server that refuses REST: a range cannot be had from it.
    hosts.servers[0]->silentAfterCut = false;
    Recorder second;
    TransferQueue refusing(hosts, settings, QueueServer{u"h", u"u", u"p"}, 1, second);
    const JobId failed = refusing.Add(Download("f", 50, 10));
    hosts.Run();
    ASSERT_TRUE(second.errors.count(failed));
    EXPECT_TRUE(second.errors[failed].restRefused);
    EXPECT_EQ(second.errors[failed].code, 502);
    EXPECT_EQ(second.errors[failed].attempts, 1);
    EXPECT_THAT(second.log, Not(Contains("data 1 @50")));
}

TEST_F(TransferQueueTest, CancelFromInsideEvents) {
    hosts.setup = [&](FakeFtpServer& s, std::size_t) { s.file = Bytes(200, 'k'); };
    auto queue = MakeQueue(1);
    const JobId first = queue->Add(Download("a"));
    const JobId second = queue->Add(Download("b"));
    const JobId third = queue->Add(Download("c"));
    // The running job cancels itself at its first bytes and cancels the one behind it.
    rec.onData = [&](JobId job, std::uint64_t) {
        if (job != first) return;
        queue->Cancel(first);
        queue->Cancel(second);
    };
    hosts.Run();
    EXPECT_TRUE(rec.errors[first].cancelled);
    EXPECT_TRUE(rec.errors[second].cancelled);
    EXPECT_EQ(rec.errors[second].attempts, 0);
    EXPECT_EQ(rec.files[third], Bytes(200, 'k'));
    EXPECT_THAT(rec.Ends(), ElementsAre("started 1 #1", "failed 2 0 cancelled", "failed 1 426 cancelled",
                                        "started 3 #1", "finished 3 Transfer complete", "empty"));
    EXPECT_EQ(std::count(rec.log.begin(), rec.log.end(), "data 1 @0"), 1);  // none after the cancel
    EXPECT_FALSE(queue->Cancel(first));

    // CancelAll from inside a transfer's data, with a job waiting: every job fails, then the
    // queue is empty once.
    rec = Recorder();
    rec.onData = [&](JobId, std::uint64_t) { queue->CancelAll(); };
    queue->Add(Download("x"));
    queue->Add(Download("y"));
    hosts.Run();
    EXPECT_THAT(rec.Ends(), ElementsAre("started 4 #1", "failed 5 0 cancelled", "failed 4 426 cancelled", "empty"));

    // A job cancelled from its own start (the attempt is under way by then) fails, cancelled,
    // with none of its bytes.
    rec = Recorder();
    rec.onStarted = [&](JobId job) { EXPECT_TRUE(queue->Cancel(job)); };
    queue->Add(Download("z"));
    hosts.Run();
    ASSERT_EQ(rec.Ends().size(), 3u);
    EXPECT_EQ(rec.Ends()[0], "started 6 #1");
    EXPECT_TRUE(rec.errors[6].cancelled);
    EXPECT_EQ(rec.Ends()[2], "empty");
    EXPECT_TRUE(rec.files[6].empty());
}

TEST_F(TransferQueueTest, JobAddedInsideFinishedPostponesEmptyAndOtherKindsReport) {
    hosts.setup = [&](FakeFtpServer& s, std::size_t) {
        s.listing = "one\r\ntwo\r\n";
        s.replies["MKD"] = "257 \"d\" created";
        s.replies["SIZE"] = "213 4242";
        s.replies["DELE"] = "550 No such file";
        s.replies["MDTM"] = "213 20200102030405";
    };
    auto queue = MakeQueue(1);
    bool added = false;
    rec.onFinished = [&](JobId) {
        if (!added) queue->Add(QueueJob{QueueJob::Kind::Size, u"f"});
        added = true;
    };
    queue->Add(QueueJob{QueueJob::Kind::MakeDirectory, u"d"});
    hosts.Run();
    queue->Add(QueueJob{QueueJob::Kind::NameList, u""});
    queue->Add(QueueJob{QueueJob::Kind::Remove, u"gone"});
    queue->Add(QueueJob{QueueJob::Kind::Quote, u"MDTM some file"});
    hosts.Run();
    EXPECT_THAT(rec.Ends(), ElementsAre("started 1 #1", "finished 1 \"d\" created", "started 2 #1",
                                        "finished 2 4242", "empty", "started 3 #1", "finished 3 Transfer complete",
                                        "started 4 #1", "failed 4 550", "started 5 #1", "finished 5 20200102030405",
                                        "empty"));
    EXPECT_THAT(hosts.Lines(0, "MDTM"), ElementsAre("MDTM some file"));
    EXPECT_THAT(rec.log, Contains("line 3 two"));
    EXPECT_EQ(rec.errors[4].operation, u"Delete");
}

TEST_F(TransferQueueTest, UploadBlocksNeverEndTheUploadEarlyAndALostUploadStartsOver) {
    std::string source = Bytes(37, 'u');
    source[5] = source[6] = source[36] = '\0';  // lone zero bytes, one of them last
    hosts.setup = [&](FakeFtpServer& s, std::size_t) { s.replies["SIZE"] = "550 SIZE not allowed"; };
    auto queue = MakeQueue(1);
    const JobId up = queue->Add(QueueJob{QueueJob::Kind::Upload, u"up.bin"});
    rec.uploads[up] = source;
    rec.uploadBlock = 1;  // the host hands one byte at a time
    hosts.Run();
    EXPECT_EQ(hosts.servers[0]->files["up.bin"], source);
    EXPECT_EQ(rec.log.back(), "empty");

    // The connection goes in the middle of an upload: the server kept nothing it could
    // tell the size of, so the upload starts again with STOR.
    rec = Recorder();
    const JobId again = queue->Add(QueueJob{QueueJob::Kind::Upload, u"again.bin"});
    rec.uploads[again] = source;
    rec.uploadBlock = 4;
    bool cut = false;
    rec.onPut = [&](JobId, std::uint64_t offset) {
        if (offset < 8 || cut) return;
        cut = true;
        hosts.platforms[0]->posted.push_front([this] { hosts.platforms[0]->soquets[0]->Close(); });
    };
    hosts.Run();
    EXPECT_EQ(hosts.servers[0]->files["again.bin"], source);
    EXPECT_EQ(hosts.Lines(0, "STOR again.bin").size(), 2u);
    // One SIZE before the second attempt, one after it to check what the server kept.
    EXPECT_EQ(hosts.Lines(0, "SIZE again.bin").size(), 2u);
}

TEST_F(TransferQueueTest, LoginsRefusedLowerTheLimitOrFailTheJobs) {
    hosts.setup = [&](FakeFtpServer& s, std::size_t i) {
        if (i >= 1) s.replies["USER"] = "421 Too many connections from your address";
    };
    auto queue = MakeQueue(2);
    queue->Add(Download("a"));
    queue->Add(Download("b"));
    queue->Add(Download("c"));
    hosts.Run();
    EXPECT_EQ(queue->ConnectionLimit(), 1);
    EXPECT_EQ(std::count_if(rec.log.begin(), rec.log.end(),
                            [](const std::string& l) { return l.rfind("finished", 0) == 0; }),
              3);

    // Nobody gets in: the jobs fail with the login's refusal instead of waiting for ever.
    Recorder refused;
    PlatformPerControl closedDoor{true};
    closedDoor.setup = [](FakeFtpServer& s, std::size_t) { s.replies["PASS"] = "530 Login incorrect"; };
    TransferQueue denied(closedDoor, settings, QueueServer{u"h", u"u", u"p"}, 2, refused);
    denied.Add(Download("a"));
    denied.Add(Download("b"));
    closedDoor.Run();
    EXPECT_THAT(refused.Ends(), ElementsAre("failed 1 530", "failed 2 530", "empty"));
    EXPECT_EQ(refused.errors[1].operation, u"Connect");
}

}  // namespace
}  // namespace tarselctl
