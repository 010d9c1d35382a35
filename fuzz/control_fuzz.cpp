// libFuzzer target: the control, driven over the fake platform by a little program of
// server, network, timer and host steps (control_program.h), must keep every event order a
// host builds on, put nothing but whole command lines on the wire and keep its buffers
// bounded, whatever the server sends and whatever the host calls from inside its events.
// After every step the event rules are checked; the first broken rule aborts the run with
// the rule, the step and the recent events (lines starting "#" are the program's steps).
//
// Switches, read from the environment:
//   CONTROL_FUZZ_TRAIL=1      print the events of every run (to see what a seed does)
//   CONTROL_FUZZ_NO_FLOODS=1  skip the Flood steps: a run then costs a fraction of a
//                             millisecond instead of up to tens, for long runs that are about
//                             event order; the memory bounds need a run with floods
//   CONTROL_FUZZ_KNOWN=a|b    findings already reported (texts of their reports): a run that
//                             breaks a rule with one of them in its report ends quietly
//   CONTROL_FUZZ_PLATFORM=posix  the sockets are real: the POSIX platform on the epoll loop,
//                             the server's ends played on loopback (real_network.h); timers
//                             stay scripted. Steps a real socket cannot be made to take (a
//                             diagnostic, a listener's error, a send held back, a finished TLS
//                             handshake) do nothing there.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include <tarsel/tarsel.h>

#include "control_program.h"
#include "real_network.h"
#include "support/event_rules.h"
#include "support/fake_platform.h"
#include "support/tarsel_private_access.h"

namespace {

using namespace tarselctl;
using namespace tarselctl::fuzzing;

// The control bounds a reply line and a listing line at 1 MiB each; one arrival may add a
// flood piece on top before the bound is applied.
constexpr std::size_t kFloodPiece = 64 * 1024;
constexpr std::size_t kLineBound = 1024 * 1024 + 2 * kFloodPiece;
// Everything the control buffers together: both lines, reply text at two bytes a character.
constexpr std::size_t kMemoryBound = 4 * kLineBound;
// Flooding costs time; a run floods at most this much, enough to pass a line's bound.
constexpr std::size_t kFloodBudget = kLineBound + 4 * kFloodPiece;

// What a host handler throws when the program says so.
struct HostThrow {};
// Ends a run that broke a rule already reported (see KnownFinding below).
struct KnownFinding {};

// A broken rule whose report (rule, detail and trail) holds one of the CONTROL_FUZZ_KNOWN
// texts ends its run quietly, so that a long run goes on looking for new findings while the
// known ones are being mended.
bool IsKnown(const std::string& report) {
    static const std::vector<std::string> known = [] {
        std::vector<std::string> texts;
        const char* list = std::getenv("CONTROL_FUZZ_KNOWN");
        std::string rest = list ? list : "";
        for (std::size_t bar; !rest.empty(); rest.erase(0, bar == std::string::npos ? bar : bar + 1)) {
            bar = rest.find('|');
            if (bar != 0) texts.push_back(rest.substr(0, bar));
        }
        return texts;
    }();
    for (const std::string& text : known)
        if (report.find(text) != std::string::npos) return true;
    return false;
}

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Done() const { return at_ >= size_; }
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::string Bytes(std::size_t n) {
        const std::size_t take = std::min(n, size_ - std::min(at_, size_));
        std::string out(reinterpret_cast<const char*>(data_ + at_), take);
        at_ += take;
        return out;
    }
    std::size_t Position() const { return at_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

class Session;

const char* const kStepNames[] = {
    "Receive", "Reply", "Greet", "Close", "Error", "SendDone", "Accept", "DataUp", "Data",
    "DataText", "Tick", "Call", "Arm", "Property", "Flood", "Diagnose", "Blocking", "PutPlan", "Secure"};
static_assert(sizeof kStepNames / sizeof kStepNames[0] == kOpCount);

// The host: answers PutData from its plan and, from inside the events the program armed,
// calls back into the control.
class Host : public tarselEvents {
public:
    explicit Host(Session& session) : s_(session) {}

    struct Armed {
        int countdown = 0;
        std::uint8_t call = 0, a = 0, b = 0;
        bool thenThrow = false;
    };
    Armed armed[kEventCount];
    std::deque<std::uint8_t> plan;

    void Trace(const String&) override { Fire(kOnTrace); }
    void Connected() override { Fire(kOnConnected); }
    void DisConnected(Long, const String&) override { Fire(kOnDisConnected); }
    void CommandDone(Integer, const String&, const String&) override { Fire(kOnCommandDone); }
    void GetOpen(const String&) override;
    void GetData(ByteArray&) override { Fire(kOnGetData); }
    void GetClose() override { Fire(kOnGetClose); }
    void PutOpen(const String&) override;
    void PutData(ByteArray& data) override;
    void PutClose() override { Fire(kOnPutClose); }
    void DirOpen() override { Fire(kOnDirOpen); }
    void DirData(String&) override { Fire(kOnDirData); }
    void DirClose() override { Fire(kOnDirClose); }
    void TransError(Long, const String&, const String&) override { Fire(kOnTransError); }

private:
    void Fire(Event event);

    Session& s_;
    std::size_t uploaded_ = 0;
};

class Session {
public:
    Session() {
        // Long enough to show how a broken rule came about, and to match known findings.
        rules.trailLength = 120;
        control.Advise(rules);
        control.Advise(host);
        rules.watchData = true;
        rules.dataSocket = real ? &real->sockets[2]->mirror : Socket(2);
    }

    void Run(Reader& in) {
        while (!in.Done()) {
            const std::size_t at = in.Position();
            try {
                Step(in);
            } catch (const HostThrow&) {
                // The host's own error, out of a call it made: nothing of the control's.
            }
            Check(at);
        }
    }

    void Perform(std::uint8_t call, std::uint8_t a, std::uint8_t b) {
        static const char* const kNames[] = {
            "Connect", "Login", "DisConnect", "Abend", "Abort", "Cd", "Cwd", "Pwd", "FileSize", "Noop",
            "Delete", "MkDir", "RmDir", "Rename", "SiteCommand", "QuoteCommand", "Dir", "Ls", "GetFile",
            "PutFile", "AppendFile", "property"};
        static_assert(sizeof kNames / sizeof kNames[0] == kCallCount);
        const String& x = kArgs[a % kArgs.size()];
        const String& y = kArgs[b % kArgs.size()];
        rules.Note(std::string("host: ") + kNames[call % kCallCount] + "(" + std::to_string(a % kArgs.size()) +
                   "," + std::to_string(b % kArgs.size()) + ")");
        try {
            switch (call % kCallCount) {
                case kConnect: control.Connect(x, y, u"pw"); break;
                case kLogin: control.Login(x, y); break;
                case kDisConnect: control.DisConnect(); break;
                case kAbend: control.Abend(); break;
                case kAbort: control.Abort(); break;
                case kCd: control.Cd(x); break;
                case kCwd: control.Cwd(x); break;
                case kPwd: control.Pwd(); break;
                case kFileSize: control.FileSize(x); break;
                case kNoop: control.Noop(); break;
                case kDelete: control.Delete(x); break;
                case kMkDir: control.MkDir(x); break;
                case kRmDir: control.RmDir(x); break;
                case kRename: control.Rename(x, y); break;
                case kSite: control.SiteCommand(x); break;
                case kQuote: control.QuoteCommand(x); break;
                case kDir: control.Dir(x); break;
                case kLs: control.Ls(x); break;
                case kGetFile: control.GetFile(x, y); break;
                case kPutFile: control.PutFile(x, y); break;
                case kAppendFile: control.AppendFile(x); break;
                case kWriteProperty: Write(a, b); break;
            }
        } catch (const AutomationError&) {
            // Refusals are the host's to see; the rules check what the control did.
        }
        rules.Sample();
    }

    void Write(std::uint8_t property, std::uint8_t v) {
        static const char16_t* const kFiletypes[] = {u"I", u"A", u"", u"L 8", u"x"};
        static const char16_t* const kFileCodes[] = {u"BIN", u"SJIS", u"EUC", u"JIS", u"x", u"UTF8"};
        static const char16_t* const kSysCodes[] = {u"SJIS", u"EUC", u"JIS", u"x", u"UTF8"};
        static const char16_t* const kTlsModes[] = {u"", u"explicit", u"implicit", u"x"};
        static const char16_t* const kHostCodes[] = {u"SJIS", u"UTF8", u"x"};
        static const char* const kNames[] = {
            "TraceOn", "Passive", "Filetype", "FileCode", "SysCode", "Account", "PreCommand", "Rest",
            "port", "NoopTime", "ConnectTimeout", "TransTimeout", "ReplyTimeout", "DataPeerCheck",
            "TlsMode", "HostCode"};
        static_assert(sizeof kNames / sizeof kNames[0] == kPropertyCount);
        rules.Note(std::string("host: ") + kNames[property % kPropertyCount] + " := value " + std::to_string(v));
        const Boolean flag = v & 1 ? True : False;
        const Long seconds = v % 8 - 1;
        const String& text = kArgs[v % kArgs.size()];
        switch (property % kPropertyCount) {
            case kTraceOn: control.TraceOn = flag; break;
            case kPassive: control.put_Passive(flag); break;
            case kFiletype: control.put_Filetype(kFiletypes[v % 5]); break;
            case kFileCode:
                // Converted data no longer matches its bytes from here on.
                rules.compareDownloads = rules.compareUploads = false;
                control.put_FileCode(kFileCodes[v % 6]);
                break;
            case kSysCode: control.put_SysCode(kSysCodes[v % 5]); break;
            case kTlsMode: control.put_TlsMode(kTlsModes[v % 4]); break;
            case kHostCode:
                rules.compareDownloads = rules.compareUploads = false;
                control.put_HostCode(kHostCodes[v % 3]);
                break;
            case kAccount: control.put_Account(text); break;
            case kPreCommand: control.put_PreCommand(text); break;
            case kRest: control.put_Rest(text); break;
            case kPort: control.put_port(text); break;
            case kNoopTime: control.put_NoopTime(seconds); break;
            case kConnectTimeout: control.put_ConnectTimeout(seconds); break;
            case kTransTimeout: control.put_TransTimeout(seconds); break;
            case kReplyTimeout: control.put_ReplyTimeout(seconds); break;
            case kDataPeerCheck: control.put_DataPeerCheck(flag); break;
        }
    }

    FakeSoquet* Socket(std::size_t i) { return platform.soquets[i]; }

    static bool RealSockets() {
        static const bool posix = [] {
            const char* name = std::getenv("CONTROL_FUZZ_PLATFORM");
            return name != nullptr && std::string(name) == "posix";
        }();
        return posix;
    }

    FakePlatform platform;
    std::unique_ptr<RealNetwork> real = RealSockets() ? std::make_unique<RealNetwork>() : nullptr;
    EventRules rules{&control};
    Host host{*this};
    tarsel control{real ? static_cast<Platform&>(*real) : platform};
    WireRules wire;

private:
    static bool Connection(const FakeSoquet* s) {
        return s->state() == FakeSoquet::State::Connecting || s->state() == FakeSoquet::State::Connected;
    }
    static bool Open(const FakeSoquet* s) { return s->state() == FakeSoquet::State::Connected; }

    void Step(Reader& in) {
        if (real) return RealStep(in);
        FakeSoquet* control1 = Socket(0);
        FakeSoquet* listener = Socket(1);
        FakeSoquet* data = Socket(2);
        // A Send of a connection that has ended completes never.
        for (std::size_t i = 0; i < 3; ++i)
            if (!Connection(Socket(i))) sendsDone_[i] = Socket(i)->sends.size();

        const std::uint8_t op = in.Byte() % kOpCount;
        if (op != kCall && op != kReply) rules.Note(std::string("step: ") + kStepNames[op]);
        switch (op) {
            case kReceive: {
                const std::string bytes = in.Bytes(in.Byte() % 64 + 1);
                if (Open(control1)) control1->Receive(bytes);
                break;
            }
            case kReply: {
                const std::string& reply = kReplies[in.Byte() % kReplies.size()];
                if (Open(control1)) control1->Receive(reply);
                break;
            }
            case kGreet:
                if (control1->state() == FakeSoquet::State::Connecting) control1->Connect();
                break;
            case kClose: {
                FakeSoquet* s = Socket(in.Byte() % 3);
                // A listener has no peer to close it.
                if (s != listener && Connection(s)) s->Close();
                break;
            }
            case kError: {
                FakeSoquet* s = Socket(in.Byte() % 3);
                const ErrorReport& e = kErrors[in.Byte() % kErrors.size()];
                if (s == listener) {
                    if (s->state() == FakeSoquet::State::Listening) s->Error(e.number, e.text1, e.text2);
                } else if (Connection(s)) {
                    // As a real socket: the error, then the close (unless the handler closed).
                    s->Error(e.number, e.text1, e.text2);
                    if (Connection(s)) s->Close();
                }
                break;
            }
            case kSendDone: {
                const std::size_t i = in.Byte() % 2 ? 2 : 0;
                FakeSoquet* s = Socket(i);
                if (Open(s) && sendsDone_[i] < s->sends.size()) {
                    ++sendsDone_[i];
                    s->SendDone();
                }
                break;
            }
            case kAccept: {
                const bool stranger = in.Byte() & 1;
                if (listener->state() == FakeSoquet::State::Listening)
                    listener->AcceptRequest(++requestId_, stranger ? u"10.0.0.9" : u"127.0.0.1");
                break;
            }
            case kDataUp:
                if (data->state() == FakeSoquet::State::Connecting) data->Connect();
                break;
            case kData: {
                const std::string bytes = in.Bytes(in.Byte() % 64 + 1);
                Deliver(data, bytes);
                break;
            }
            case kDataText:
                Deliver(data, kDataTexts[in.Byte() % kDataTexts.size()]);
                break;
            case kTick:
            case kCall:
            case kArm:
            case kProperty:
            case kPutPlan:
                HostStep(op, in, platform);
                break;
            case kFlood: {
                // Floods are slow; only a marked step (0xF0 or 0xF1) floods, so that most runs
                // stay quick while the bounds are still reached.
                const std::uint8_t target = in.Byte();
                const bool onData = target & 1;
                const std::string piece(kFloodPiece, static_cast<char>(in.Byte()));
                const std::size_t total = (in.Byte() % 48 + 1) * 32 * 1024;
                static const bool noFloods = std::getenv("CONTROL_FUZZ_NO_FLOODS") != nullptr;
                if ((target & 0xFE) != 0xF0 || noFloods) break;
                for (std::size_t sent = 0; sent < total && flooded_ < kFloodBudget; sent += kFloodPiece) {
                    flooded_ += kFloodPiece;
                    if (onData) {
                        Deliver(data, piece);
                    } else if (Open(control1)) {
                        control1->Receive(piece);
                    }
                    CheckMemory(in.Position());
                }
                break;
            }
            case kDiagnose:
                Socket(in.Byte() % 3)->Diagnostic(u"diagnostic text");
                break;
            case kBlocking: {
                FakeSoquet* s = in.Byte() % 2 ? data : control1;
                s->sendBlocksUntilDone = in.Byte() & 1;
                break;
            }
            case kSecure: {
                FakeSoquet* s = in.Byte() % 2 ? data : control1;
                if (Open(s) && s->tlsRequested && !s->secured) s->Secure();
                break;
            }
        }
    }

    // The steps of the host and of the timers, on whichever platform the sockets are.
    void HostStep(std::uint8_t op, Reader& in, FakePlatform& timers) {
        switch (op) {
            case kTick: {
                FakeTimer* timer = timers.timers[in.Byte() % 2];
                const int ticks = in.Byte() % 8 + 1;
                for (int i = 0; i < ticks && timer->Tick(); ++i) {
                    if (real) real->Settle();
                    Check(in.Position());
                }
                break;
            }
            case kCall: {
                const std::uint8_t c = in.Byte(), a = in.Byte(), b = in.Byte();
                Perform(c, a, b);
                break;
            }
            case kArm: {
                const std::uint8_t event = in.Byte() % kEventCount;
                Host::Armed& armed = host.armed[event];
                armed.countdown = in.Byte() % 4 + 1;
                armed.call = in.Byte();
                armed.a = in.Byte();
                armed.b = in.Byte();
                armed.thenThrow = in.Byte() & 1;
                break;
            }
            case kProperty: {
                const std::uint8_t p = in.Byte(), v = in.Byte();
                try {
                    Write(p, v);
                } catch (const AutomationError&) {
                }
                break;
            }
            case kPutPlan: {
                host.plan.clear();
                for (int n = in.Byte() % 8; n > 0; --n) host.plan.push_back(in.Byte());
                break;
            }
            default: break;
        }
    }

    // Step on real sockets: the same program, its network steps played by the far ends.
    void RealStep(Reader& in) {
        const std::uint8_t op = in.Byte() % kOpCount;
        if (op != kCall && op != kReply) rules.Note(std::string("step: ") + kStepNames[op]);
        RealNetwork& net = *real;
        RealSoquet* data = net.sockets[2];
        switch (op) {
            case kReceive: net.ServerSends(in.Bytes(in.Byte() % 64 + 1)); break;
            case kReply: net.ServerSends(kReplies[in.Byte() % kReplies.size()]); break;
            case kGreet: net.Greet(); break;
            case kClose: {
                const std::uint8_t s = in.Byte() % 3;
                if (s != 1) net.Close(s, false);
                break;
            }
            case kError: {
                const std::uint8_t s = in.Byte() % 3;
                in.Byte();
                if (s != 1) net.Close(s, true);
                break;
            }
            case kSendDone: in.Byte(); break;
            case kAccept: net.ConnectToListener(in.Byte() & 1); break;
            case kDataUp: net.DataUp(); break;
            case kData: RealDeliver(*data, in.Bytes(in.Byte() % 64 + 1)); break;
            case kDataText: RealDeliver(*data, kDataTexts[in.Byte() % kDataTexts.size()]); break;
            case kFlood: {
                const std::uint8_t target = in.Byte();
                const std::string piece(kFloodPiece, static_cast<char>(in.Byte()));
                const std::size_t total = (in.Byte() % 48 + 1) * 32 * 1024;
                static const bool noFloods = std::getenv("CONTROL_FUZZ_NO_FLOODS") != nullptr;
                if ((target & 0xFE) != 0xF0 || noFloods) break;
                for (std::size_t sent = 0; sent < total && flooded_ < kFloodBudget; sent += kFloodPiece) {
                    flooded_ += kFloodPiece;
                    if (target & 1) {
                        RealDeliver(*data, piece);
                    } else {
                        net.ServerSends(piece);
                    }
                    CheckMemory(in.Position());
                }
                break;
            }
            case kDiagnose: in.Byte(); break;
            case kBlocking: in.Byte(); in.Byte(); break;
            case kSecure: in.Byte(); break;
            default:
                // The host's steps and the timers' are the scripted platform's.
                HostStep(op, in, net.fake);
                break;
        }
        net.Settle();
    }

    void RealDeliver(RealSoquet& data, const std::string& bytes) {
        // Counted only when the connection is up to take them: then the control reads them
        // before anything else can happen on the loop.
        if (data.state != RealSoquet::State::Connected || !real->HasDataPeer()) return;
        rules.DataArrived(bytes);
        real->DataSends(bytes);
    }

    void Deliver(FakeSoquet* data, const std::string& bytes) {
        if (!Open(data)) return;
        rules.DataArrived(bytes);
        data->Receive(bytes);
    }

    void CheckMemory(std::size_t at) {
        const std::size_t reply = tarselInspector::ReplyBuffer(control).size();
        const std::size_t listing = tarselInspector::DirBuffer(control).size();
        const std::size_t held = BufferedBytes(control);
        if (reply > kLineBound || listing > kLineBound || held > kMemoryBound)
            Fail(at, "memory: the control holds " + std::to_string(held) + " bytes (reply line " +
                         std::to_string(reply) + ", listing line " + std::to_string(listing) + ")\n" +
                         rules.Trail());
    }

    void Check(std::size_t at) {
        rules.Sample();
        wire.Check(real ? real->sockets[0]->mirror : *Socket(0), rules.violations);
        if (!rules.ok()) Fail(at, rules.violations.front());
        CheckMemory(at);
    }

    [[noreturn]] static void Fail(std::size_t at, const std::string& what) {
        if (IsKnown(what)) throw KnownFinding{};
        std::fprintf(stderr, "\n==== broken rule at program byte %zu\n%s\n", at, what.c_str());
        std::abort();
    }

    std::size_t sendsDone_[3] = {0, 0, 0};
    Long requestId_ = 0;
    std::size_t flooded_ = 0;
};

void Host::Fire(Event event) {
    Armed& a = armed[event];
    if (a.countdown == 0 || --a.countdown > 0) return;
    s_.rules.Note("inside that event:");
    s_.Perform(a.call, a.a, a.b);
    if (a.thenThrow) {
        s_.rules.Note("the handler throws");
        throw HostThrow{};
    }
}

void Host::GetOpen(const String&) {
    s_.rules.compareDownloads = s_.control.get_FileCode() == u"BIN";
    Fire(kOnGetOpen);
}

void Host::PutOpen(const String&) {
    s_.rules.compareUploads = s_.control.get_FileCode() == u"BIN";
    uploaded_ = 0;
    Fire(kOnPutOpen);
}

void Host::PutData(ByteArray& data) {
    // The plan's sizes, then the end; without a plan, three blocks of five bytes.
    if (plan.empty() && uploaded_ == 0) plan = {5, 5, 5};
    if (plan.empty()) {
        data.clear();
    } else {
        const std::uint8_t size = plan.front();
        plan.pop_front();
        if (size == 0) {
            data.clear();
        } else if (size != 255) {
            data.resize(size);
            for (std::uint8_t& byte : data) byte = static_cast<std::uint8_t>('a' + uploaded_++ % 26);
        }
    }
    s_.rules.PutAnswered(data);
    Fire(kOnPutData);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool showTrail = std::getenv("CONTROL_FUZZ_TRAIL") != nullptr;
    Session session;
    if (showTrail) session.rules.trailLength = 400;
    Reader in(data, size);
    try {
        session.Run(in);
    } catch (const KnownFinding&) {
    }
    if (showTrail) std::fprintf(stderr, "%s", session.rules.Trail().c_str());
    return 0;
}
