// The transfer queue against servers that cut, mix or misreport what they send, and hosts
// that act inside its events: no job finishes that is not whole, and the order holds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <tarsel/transfer_queue.h>

#include "support/fake_ftp_server.h"
#include "support/fake_platform.h"
#include "support/platform_per_control.h"
#include "support/queue_order_rules.h"

namespace tarselctl {
namespace {

std::string Bytes(std::size_t n, char seed) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(seed + i % 23));
    return s;
}

/// A host that writes each download into a string, as a file at offsets, truncating on a rewind.
struct Host final : TransferQueueEvents {
    std::map<JobId, std::string> files, uploads;
    std::map<JobId, QueueJobError> failed;
    std::map<JobId, String> finished;
    std::vector<std::string> log;
    std::size_t empties = 0;
    std::function<void(const std::string& event, JobId job)> inside;

    void Act(const std::string& event, JobId job) {
        log.push_back(event + " " + std::to_string(job));
        if (inside) inside(event, job);
    }
    void JobStarted(JobId job, int) override { Act("started", job); }
    void JobRewind(JobId job, std::uint64_t offset) override {
        files[job].resize(offset);
        Act("rewind", job);
    }
    void JobData(JobId job, std::uint64_t offset, ByteArray& data) override {
        std::string& f = files[job];
        if (f.size() < offset + data.size()) f.resize(offset + data.size(), '?');
        std::copy(data.begin(), data.end(), f.begin() + static_cast<std::ptrdiff_t>(offset));
        Act("data", job);
    }
    void JobPutData(JobId job, std::uint64_t offset, ByteArray& data) override {
        const std::string& source = uploads[job];
        if (offset < source.size())
            data.assign(source.begin() + static_cast<std::ptrdiff_t>(offset),
                        source.begin() + static_cast<std::ptrdiff_t>(std::min(source.size(), offset + 64)));
        Act("put", job);
    }
    void JobFinished(JobId job, const String& message) override {
        finished[job] = message;
        Act("finished", job);
    }
    void JobFailed(JobId job, const QueueJobError& error) override {
        failed[job] = error;
        Act("failed", job);
    }
    void QueueEmpty() override {
        ++empties;
        Act("empty", 0);
    }
};

class QueueIntegrityTest : public ::testing::Test {
protected:
    QueueIntegrityTest() : settings(templatePlatform), rules(host) {
        settings.InitProperties();
        settings.put_Passive(True);
    }
    void MakeQueue(int connections, int retries = 3) {
        queue = std::make_unique<TransferQueue>(hosts, settings, QueueServer{u"ftp.example", u"me", u"pw"},
                                                connections, rules);
        queue->maxRetries = retries;
    }
    JobId Add(QueueJob job) {
        const JobId id = queue->Add(std::move(job));
        rules.Added(id);
        return id;
    }
    bool Cancel(JobId id) {
        const bool result = queue->Cancel(id);
        rules.CancelReturned(id, result);
        return result;
    }
    static QueueJob Download(const std::string& name, std::uint64_t offset = 0,
                             std::uint64_t length = QueueJob::kToEnd, std::uint64_t size = QueueJob::kUnknown) {
        QueueJob job{QueueJob::Kind::Download, FromUtf8(name), offset, length};
        job.size = size;
        return job;
    }
    void ExpectOrderKept() {
        EXPECT_THAT(rules.Violations(), ::testing::IsEmpty());
        EXPECT_TRUE(rules.AllEnded());
    }

    FakePlatform templatePlatform;
    tarsel settings;
    PlatformPerControl hosts{true};
    Host host;
    QueueOrderRules rules;
    std::unique_ptr<TransferQueue> queue;
};

// ---- cut: the server reports success with bytes missing

TEST_F(QueueIntegrityTest, CutFilesFailOrAreResumedWholeNeverFinishedShort) {
    const std::string content = Bytes(1000, 'a');
    int attempts = 0;
    hosts.setup = [&](FakeFtpServer& s, std::size_t) {
        s.downloads["f"] = content;
        s.answerSize = true;
        // The first attempt stops after 400 bytes, and so does the first resumed one after
        // 100 more; 226 each time, and no size in the 150.
        s.sendLimit = [&](const std::string&, std::uint64_t rest) {
            ++attempts;
            return attempts == 1 ? 400 : attempts == 2 ? 100 : std::string::npos;
            (void)rest;
        };
    };
    MakeQueue(1);
    const JobId whole = Add(Download("f", 0, QueueJob::kToEnd, 1000));
    hosts.Run();
    EXPECT_EQ(host.files[whole], content);
    EXPECT_TRUE(host.finished.count(whole));
    // Each resume asked first whether the file is still the same, and fetched the 64 bytes
    // before its offset again to compare them with those it has.
    EXPECT_THAT(hosts.Lines(0, "REST"), ::testing::ElementsAre("REST 336", "REST 372"));
    EXPECT_EQ(hosts.Lines(0, "SIZE").size(), 2u);

    // A range cut short by every attempt, and a whole file of unknown size whose listing
    // said more: both fail as short, after their tries.
    attempts = 100;
    hosts.servers[0]->sendLimit = [](const std::string&, std::uint64_t) { return std::size_t{30}; };
    queue->maxRetries = 1;
    const JobId range = Add(Download("f", 100, 200, 1000));
    const JobId listed = Add(Download("f", 0, QueueJob::kToEnd, 1000));
    hosts.Run();
    ASSERT_TRUE(host.failed.count(range));
    EXPECT_EQ(host.failed[range].integrity, QueueIntegrity::Short);
    EXPECT_EQ(host.failed[range].attempts, 2);
    ASSERT_TRUE(host.failed.count(listed));
    EXPECT_EQ(host.failed[listed].integrity, QueueIntegrity::Short);
    ExpectOrderKept();
}

// ---- mixed: bytes of another file or from another place

TEST_F(QueueIntegrityTest, IgnoredRestAndChangedFilesNeverMixTwoVersions) {
    const std::string first = Bytes(1000, 'a');
    const std::string second = Bytes(900, 'q');
    bool cut = true;
    hosts.setup = [&](FakeFtpServer& s, std::size_t) {
        s.downloads["f"] = first;
        s.answerSize = true;
        s.honourRest = false;  // REST accepted, then the file is sent from byte 0
        s.sendLimit = [&](const std::string&, std::uint64_t) {
            const bool now = cut;
            cut = false;
            return now ? std::size_t{400} : std::string::npos;
        };
    };
    MakeQueue(1, 1);
    // The listing said 1000 bytes: the cut is seen; the resumed attempt asks again for the
    // bytes before its offset, and they come back different.
    const JobId ignored = Add(Download("f", 0, QueueJob::kToEnd, 1000));
    hosts.Run();
    ASSERT_TRUE(host.failed.count(ignored));
    EXPECT_EQ(host.failed[ignored].integrity, QueueIntegrity::Changed);
    EXPECT_FALSE(host.finished.count(ignored));
    // With one more try the file starts over without REST and comes whole.
    queue->maxRetries = 2;
    cut = true;
    const JobId again = Add(Download("f", 0, QueueJob::kToEnd, 1000));
    hosts.Run();
    EXPECT_TRUE(host.files[again] == first);
    EXPECT_TRUE(host.finished.count(again));
    queue->maxRetries = 1;
    // A first attempt from an offset has nothing to compare: the count shows it, more than
    // the file holds from the offset.
    cut = false;
    const JobId counted = Add(Download("f", 500, QueueJob::kToEnd, 1000));
    hosts.Run();
    ASSERT_TRUE(host.failed.count(counted));
    EXPECT_EQ(host.failed[counted].integrity, QueueIntegrity::Long);

    // A file replaced between attempts: the whole-file job starts over and ends with the new
    // file alone; a range of it fails.
    hosts.servers[0]->honourRest = true;
    cut = true;
    hosts.servers[0]->onData = [&](std::string_view) {
        if (!cut) hosts.servers[0]->downloads["f"] = second;
    };
    const JobId changed = Add(Download("f", 0, QueueJob::kToEnd, 1000));
    hosts.Run();
    EXPECT_EQ(host.files[changed], second);
    EXPECT_THAT(host.log, ::testing::Contains("rewind " + std::to_string(changed)));
    hosts.servers[0]->onData = nullptr;

    hosts.servers[0]->downloads["f"] = first;
    cut = true;
    hosts.servers[0]->onData = [&](std::string_view) {
        if (!cut) hosts.servers[0]->downloads["f"] = second;
    };
    const JobId range = Add(Download("f", 0, 600, 1000));
    hosts.Run();
    ASSERT_TRUE(host.failed.count(range));
    EXPECT_EQ(host.failed[range].integrity, QueueIntegrity::Changed);

    // Same size, another time: MDTM tells, when the job knows the time.
    hosts.servers[0]->onData = nullptr;
    hosts.servers[0]->downloads["f"] = first;
    hosts.servers[0]->replies["MDTM"] = "213 20260102030405";
    cut = true;
    QueueJob timed = Download("f", 0, QueueJob::kToEnd, 1000);
    timed.modified = u"20260101000000";
    const JobId retimed = Add(timed);
    hosts.Run();
    EXPECT_EQ(host.files[retimed], first);
    EXPECT_THAT(host.log, ::testing::Contains("rewind " + std::to_string(retimed)));
    ExpectOrderKept();
}

// ---- cancelled: Cancel that returned true is a failure, whatever the server says

TEST_F(QueueIntegrityTest, CancelMeansFailedEvenWhenTheServerAnswersTheCutWith226) {
    hosts.setup = [&](FakeFtpServer& s, std::size_t) {
        s.file = Bytes(500, 'c');
        s.cutReply = "226 Transfer complete";
    };
    MakeQueue(1);
    const JobId job = Add(Download("f"));
    host.inside = [&](const std::string& event, JobId id) {
        if (event == "data" && id == job) {
            EXPECT_TRUE(Cancel(job));
        }
    };
    hosts.Run();
    ASSERT_TRUE(host.failed.count(job));
    EXPECT_TRUE(host.failed[job].cancelled);

    // Cancel inside the data that completes a range: the end is decided, Cancel says so.
    host.inside = nullptr;
    const JobId range = Add(Download("f", 0, 16));
    bool refused = false;
    host.inside = [&](const std::string& event, JobId id) {
        if (event == "data" && id == range) refused = !Cancel(range);
    };
    hosts.Run();
    EXPECT_TRUE(refused);
    EXPECT_TRUE(host.finished.count(range));
    ExpectOrderKept();
}

// ---- nested: the host acts inside every event in turn

TEST_F(QueueIntegrityTest, HostActingInsideAnyEventKeepsTheOrder) {
    const std::string content = Bytes(120, 'n');
    // One run: two connections (the second refuses REST), a whole file, a range, a name the
    // control refuses; the host adds, cancels, cancels all or closes inside event `actAt`.
    auto scenario = [&](int actAt, int action, std::vector<std::string>& violations, bool& allEnded) {
        PlatformPerControl loop(true);
        Host events;
        QueueOrderRules judge(events);
        loop.setup = [&](FakeFtpServer& s, std::size_t i) {
            s.downloads["a"] = content;
            s.downloads["b"] = content;
            s.answerSize = true;
            if (i == 1) s.replies["REST"] = "502 no REST";
        };
        TransferQueue q(loop, settings, QueueServer{u"h", u"u", u"p"}, 2, judge);
        q.maxRetries = 1;
        std::vector<JobId> jobs;
        auto add = [&](QueueJob job) {
            const JobId id = q.Add(std::move(job));
            judge.Added(id);
            jobs.push_back(id);
        };
        int seen = 0;
        events.inside = [&](const std::string&, JobId) {
            if (seen++ != actAt) return;
            switch (action) {
            case 0: add(Download("b")); break;
            case 1: judge.CancelReturned(jobs.front(), q.Cancel(jobs.front())); break;
            case 2: q.CancelAll(); break;
            case 3: q.Close(); break;
            }
        };
        add(Download("a"));
        add(Download("b", 40, 50, 120));
        add(Download("gone\r\nDELE x"));  // refused by the control at once
        for (int i = 0; i < 10 && !judge.AllEnded(); ++i) {
            loop.Run();
            for (FakeTimer* t : loop.hostTimers) t->Tick();
        }
        loop.Run();
        violations = judge.Violations();
        allEnded = judge.AllEnded();
        return seen;
    };
    std::vector<std::string> violations;
    bool allEnded = false;
    const int events = scenario(-1, 0, violations, allEnded);
    EXPECT_THAT(violations, ::testing::IsEmpty());
    ASSERT_GT(events, 10);
    for (int at = 0; at < events; ++at)
        for (int action = 0; action < 4; ++action) {
            scenario(at, action, violations, allEnded);
            EXPECT_THAT(violations, ::testing::IsEmpty()) << "act " << action << " inside event " << at;
            EXPECT_TRUE(allEnded) << "act " << action << " inside event " << at;
        }
}

TEST_F(QueueIntegrityTest, AddReturnsTheIdBeforeAnyEventOfItsJob) {
    hosts.setup = [&](FakeFtpServer& s, std::size_t) { s.file = "x"; };
    MakeQueue(1);
    Add(Download("f"));
    hosts.Run();
    // A connection is idle now: a job the control refuses at once still fails after Add.
    const std::size_t before = host.log.size();
    const JobId refused = Add(Download("bad\nname"));
    EXPECT_EQ(host.log.size(), before);
    hosts.Run();
    ASSERT_TRUE(host.failed.count(refused));
    ExpectOrderKept();
}

// ---- converted: offsets count the server's bytes

TEST_F(QueueIntegrityTest, ConvertedFilesAreNeverCutIntoRanges) {
    settings.put_FileCode(u"SJIS");
    hosts.setup = [&](FakeFtpServer& s, std::size_t) { s.file = "abc\r\n"; };
    MakeQueue(1);
    const JobId range = Add(Download("f", 10, 20));
    const JobId whole = Add(Download("f"));
    hosts.Run();
    ASSERT_TRUE(host.failed.count(range));
    EXPECT_EQ(host.failed[range].integrity, QueueIntegrity::Converted);
    EXPECT_TRUE(host.finished.count(whole));
    ExpectOrderKept();
}

// ---- upload: what the server kept is checked

TEST_F(QueueIntegrityTest, UploadsAreCheckedAfterwardsAndAnyContentGoes) {
    const std::string source = Bytes(300, 'u');
    int stores = 0;
    hosts.setup = [&](FakeFtpServer& s, std::size_t) {
        s.answerSize = true;
        // The first upload loses all but 100 bytes, and the server says 226.
        s.keepLimit = [&](const std::string&) { return ++stores == 1 ? std::size_t{100} : std::string::npos; };
    };
    MakeQueue(1);
    const JobId up = Add(QueueJob{QueueJob::Kind::Upload, u"up.bin"});
    host.uploads[up] = source;
    hosts.Run();
    EXPECT_EQ(hosts.servers[0]->files["up.bin"], source);
    EXPECT_TRUE(host.finished.count(up));
    EXPECT_THAT(hosts.Lines(0, "APPE"), ::testing::ElementsAre("APPE up.bin"));

    // After a lost upload, a remote file larger than the local one is not appended to: it
    // is replaced.
    QueueJob big{QueueJob::Kind::Upload, u"big.bin"};
    big.size = source.size();
    const JobId replaced = Add(big);
    host.uploads[replaced] = source;
    int starts = 0;
    hosts.servers[0]->keepLimit = [&](const std::string&) { return starts == 1 ? std::size_t{50} : std::string::npos; };
    host.inside = [&](const std::string& event, JobId id) {
        if (event == "started" && id == replaced && ++starts == 2) hosts.servers[0]->files["big.bin"] = Bytes(500, 'z');
    };
    hosts.Run();
    EXPECT_EQ(hosts.servers[0]->files["big.bin"], source);
    EXPECT_TRUE(host.finished.count(replaced));
    EXPECT_THAT(hosts.Lines(0, "APPE big.bin"), ::testing::IsEmpty());
    host.inside = nullptr;

    // One zero byte, and a zero byte between blocks, are data like any other.
    hosts.servers[0]->keepLimit = nullptr;
    const JobId zero = Add(QueueJob{QueueJob::Kind::Upload, u"zero.bin"});
    host.uploads[zero] = std::string(1, '\0');
    hosts.Run();
    EXPECT_EQ(hosts.servers[0]->files["zero.bin"], std::string(1, '\0'));
    EXPECT_TRUE(host.finished.count(zero));
    ExpectOrderKept();
}

}  // namespace
}  // namespace tarselctl

namespace tarselctl {
namespace {

// ---- settings: what the template would store reaches every connection

TEST_F(QueueIntegrityTest, ConnectionsTakeTheTemplatesStoredSettingsAndUtf8WhenOffered) {
    settings.put_DirCommand(u"MLSD");
    hosts.setup = [&](FakeFtpServer& s, std::size_t) {
        s.replies["FEAT"] = "211-Features:\r\n MDTM\r\n UTF8\r\n211 End";
        s.replies["OPTS"] = "200 UTF8 set to on";
        s.listings["d"] = "type=file;size=3; caf\xc3\xa9.txt\r\n";
    };
    MakeQueue(1);
    queue->utf8WhenOffered = true;
    const JobId list = Add(QueueJob{QueueJob::Kind::List, u"d"});
    hosts.Run();
    EXPECT_TRUE(host.finished.count(list));
    EXPECT_THAT(hosts.Lines(0, "MLSD"), ::testing::ElementsAre("MLSD d"));
    EXPECT_THAT(hosts.Lines(0, "OPTS"), ::testing::ElementsAre("OPTS UTF8 ON"));
    // The name goes out as UTF-8, not in the template's EUC-JP.
    const JobId get = Add(Download("caf\u00e9.txt"));
    hosts.Run();
    EXPECT_THAT(hosts.Lines(0, "RETR"), ::testing::ElementsAre("RETR caf\xc3\xa9.txt"));
    EXPECT_TRUE(host.failed.count(get) || host.finished.count(get));
    ExpectOrderKept();
}

}  // namespace
}  // namespace tarselctl
