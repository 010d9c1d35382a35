// Whole operations against a well-behaved server, with the n-th call into a socket, timer
// or converter failing, for n = 1, 2, ... until the operation gets through untouched. At
// every n the host's events stay well formed, the host hears of the failure, a success is
// a real one, and the control ends idle or disconnected instead of waiting for ever.
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <tarsel/tarsel.h>

#include "support/event_rules.h"
#include "support/fake_ftp_server.h"
#include "support/fake_platform.h"

namespace tarselctl {
namespace {

enum class Op { Connect, Dir, GetFile, PutFile, AppendFile };

const char* OpName(Op op) {
    switch (op) {
        case Op::Connect: return "Connect";
        case Op::Dir: return "Dir";
        case Op::GetFile: return "GetFile";
        case Op::PutFile: return "PutFile";
        case Op::AppendFile: return "AppendFile";
    }
    return "?";
}

// The host: hands over its upload in blocks, keeps what it is given, notes every outcome.
class SweepHost : public tarselEvents {
public:
    explicit SweepHost(EventRules& rules) : rules_(rules) {}

    std::string upload = "Pack my box with five dozen liquor jugs.";
    std::size_t block = 16;
    std::string received;
    std::string listing;
    struct Done {
        Integer code;
        std::string name;
    };
    std::vector<Done> done;
    bool transError = false;
    bool disconnected = false;

    void GetData(ByteArray& data) override { received.append(data.begin(), data.end()); }
    void DirData(String& line) override { listing += ToUtf8(line) + "\r\n"; }
    void PutData(ByteArray& data) override {
        const std::string next = upload.substr(std::min(uploaded_, upload.size()), block);
        uploaded_ += next.size();
        data.assign(next.begin(), next.end());
        rules_.PutAnswered(data);
    }
    void CommandDone(Integer code, const String& name, const String&) override {
        done.push_back({code, ToUtf8(name)});
    }
    void TransError(Long, const String&, const String&) override { transError = true; }
    void DisConnected(Long, const String&) override { disconnected = true; }

private:
    EventRules& rules_;
    std::size_t uploaded_ = 0;
};

FakePlatform& Injecting(FakePlatform& platform) {
    platform.injectFailures = true;
    return platform;
}

// One control, its server and its host; the platform counts every call from the start.
struct Session {
    explicit Session(bool passive) {
        control.Advise(rules);
        control.Advise(host);
        control.put_Passive(passive ? True : False);
        control.put_ConnectTimeout(3);
        control.put_TransTimeout(3);
        control.put_ReplyTimeout(3);
        rules.dataSocket = platform.soquets[2];
        rules.watchData = true;
        server.onData = [this](std::string_view bytes) { rules.DataArrived(bytes); };
    }
    ~Session() { platform.failures.Disarm(); }

    bool Busy() const { return control.IsIdle() == False && !control.get_FtpCommand().empty(); }

    // Runs the server and, while the control waits, the one-second ticks. False when the
    // control still waits with no timer left to end the wait.
    bool Settle() {
        if (!server.Run()) return false;
        for (int second = 0; second < 60 && Busy(); ++second) {
            bool ticked = false;
            for (FakeTimer* timer : platform.timers) {
                if (timer && timer->enabled) ticked = timer->Tick() || ticked;
            }
            rules.Sample();
            if (!server.Run() || !ticked) break;
        }
        return !Busy();
    }

    // Calls the operation; true when the call raised an error to the host.
    bool Call(Op op) {
        bool threw = false;
        try {
            switch (op) {
                case Op::Connect: control.Connect(u"127.0.0.1", u"user", u"pw"); break;
                case Op::Dir: control.Dir(); break;
                case Op::GetFile: control.GetFile(u"fox.txt", u"fox.local"); break;
                case Op::PutFile: control.PutFile(u"up.txt", u"up.local"); break;
                case Op::AppendFile: control.AppendFile(u"up.txt"); break;
            }
        } catch (const AutomationError&) {
            threw = true;
        }
        rules.Sample();
        return threw;
    }

    // Whether what the operation delivered is what the server holds.
    bool Delivered(Op op) {
        switch (op) {
            case Op::Connect:
                return !server.lines.empty() && server.lines.back() == "PASS pw";
            case Op::Dir: return host.listing == server.listing;
            case Op::GetFile: return host.received == server.file;
            case Op::PutFile:
            case Op::AppendFile: return server.files["up.txt"] == host.upload;
        }
        return false;
    }

    FakePlatform platform;
    FakeFtpServer server{platform};
    EventRules rules{&control};
    SweepHost host{rules};
    tarsel control{Injecting(platform)};
    WireRules wire;
};

struct SweepCase {
    Op op;
    bool passive;
    FailCount::Mode mode;
};

std::string CaseName(const ::testing::TestParamInfo<SweepCase>& info) {
    const FailCount::Mode mode = info.param.mode;
    return std::string(OpName(info.param.op)) + (info.param.passive ? "Passive" : "Active") +
           (mode == FailCount::Mode::Throw           ? "Throwing"
            : mode == FailCount::Mode::ThrowAnywhere ? "ThrowingAnywhere"
                                                     : "Reporting");
}

class FailureSweep : public ::testing::TestWithParam<SweepCase> {};

TEST_P(FailureSweep, EveryFailingCallLeavesTheHostInformedAndTheControlSettled) {
    const SweepCase c = GetParam();
    const std::string name = OpName(c.op);
    // Distinct findings, keyed by what broke and which call failed, each with one example.
    std::map<std::string, std::string> findings;
    auto Finding = [&](const std::string& what, std::size_t n, const Session& s,
                       const std::string& detail) {
        const std::string key = what + " when " + s.platform.failures.firedAt + " fails";
        if (!findings.count(key))
            findings[key] = "n=" + std::to_string(n) + ": " + detail + "\n" + s.rules.Trail();
    };

    constexpr std::size_t kLimit = 2000;
    std::size_t n = 1;
    for (; n <= kLimit; ++n) {
        Session s(c.passive);
        if (c.op != Op::Connect) {
            s.Call(Op::Connect);
            ASSERT_TRUE(s.Settle() && s.control.IsIdle() == True) << "the login failed:\n" << s.rules.Trail();
            s.host.done.clear();
        }
        s.platform.failures.Arm(n, c.mode);
        const bool threw = s.Call(c.op);
        const bool settled = s.Settle();
        s.platform.failures.Disarm();
        s.wire.Check(*s.platform.soquets[0], s.rules.violations);

        const bool fired = s.platform.failures.fired;
        for (const std::string& v : s.rules.violations)
            Finding(v.substr(0, v.find(':')), n, s, v.substr(0, v.find('\n')));
        if (!settled)
            Finding("hang", n, s, "the control still runs \"" + ToUtf8(s.control.get_FtpCommand()) +
                                      "\" with no timer armed");
        bool succeeded = false;
        for (const auto& d : s.host.done)
            if (d.code == 0 && d.name == name) succeeded = true;
        if (succeeded && !s.host.transError && !s.Delivered(c.op))
            Finding("false-success", n, s, "CommandDone(0) but the data did not arrive whole");
        if (!fired) {
            // Nothing failed: this run is the operation as it should always go.
            EXPECT_TRUE(succeeded && s.Delivered(c.op)) << "without any failure:\n" << s.rules.Trail();
            break;
        }
        const bool told = threw || !s.host.done.empty() || s.host.transError || s.host.disconnected;
        if (!told) Finding("host-not-told", n, s, "no error, CommandDone, TransError or DisConnected");
    }
    EXPECT_LE(n, kLimit) << "the operation never got through";
    RecordProperty("failing_calls_swept", static_cast<int>(n - 1));
    for (const auto& [key, example] : findings) ADD_FAILURE() << name << ": " << key << "\n" << example;
}

std::vector<SweepCase> AllCases() {
    std::vector<SweepCase> cases;
    for (Op op : {Op::Connect, Op::Dir, Op::GetFile, Op::PutFile, Op::AppendFile})
        for (bool passive : {false, true})
            for (FailCount::Mode mode : {FailCount::Mode::Throw, FailCount::Mode::ThrowAnywhere,
                                         FailCount::Mode::Report})
                cases.push_back({op, passive, mode});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Operations, FailureSweep, ::testing::ValuesIn(AllCases()), CaseName);

}  // namespace
}  // namespace tarselctl
