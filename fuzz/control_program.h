// The input language of the control fuzzer: a little program of server, network, timer
// and host steps, read one step at a time. Shared by the fuzz target, which runs it, and by
// the seed writer, which writes transcripts in it.
//
// Every step is an opcode byte (taken modulo the number of opcodes) and its operands, one
// byte each unless noted. A program may end anywhere; missing operands read as 0.
//
//   Receive   n, n%64+1 bytes    the server sends raw bytes on the control connection
//   Reply     i                  the server sends kReplies[i] (a whole reply, CR LF included)
//   Greet                        the control connection comes up (when it is being opened)
//   Close     s                  the peer closes socket s (0 control, 1 listener, 2 data)
//   Error     s, e               socket s reports error kErrors[e] (then, for a connection,
//                                its close, as a real socket does)
//   SendDone  s                  a Send of the control's (s even: control, odd: data) is out
//   Accept    p                  the server connects to the listener (p odd: from an
//                                address that is not the server's)
//   DataUp                       the data connection comes up (when it is being opened)
//   Data      n, n%64+1 bytes    the server sends raw bytes on the data connection
//   DataText  i                  the server sends kDataTexts[i] on the data connection
//   Tick      t, n               timer t%2 (0 keep-alive, 1 time-outs) ticks n%8+1 times
//   Call      c, a, b            the host calls kCalls[c] with arguments kArgs[a], kArgs[b]
//   Arm       e, k, c, a, b, f   from inside the (k%4+1)-th next event e (kEvents), the host
//                                calls kCalls[c] with kArgs[a], kArgs[b]; f odd: the handler
//                                then throws
//   Property  p, v               the host writes property p (kProperties) with value v
//   Flood     s, b, k            if s is 0xF0 or 0xF1: the server sends (k%48+1) * 32 KiB of byte b
//                                without a line end (s even: control connection, odd: data
//                                connection); a run floods at most a little over 1 MiB
//   Diagnose  s                  socket s reports a diagnostic text
//   Blocking  s, v               sends on socket s (0 control, else data) keep SendReady
//                                False until SendDone (v odd) or not
//   PutPlan   n, n%8 sizes       the host's next upload blocks; size 0 ends the upload with
//                                an empty array, 255 by leaving the array as handed over
//   Secure    s                  the TLS handshake asked of socket s (even: control, odd:
//                                data) completes, if one was asked for on its connection
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarselctl::fuzzing {

enum Op : std::uint8_t {
    kReceive, kReply, kGreet, kClose, kError, kSendDone, kAccept, kDataUp, kData, kDataText,
    kTick, kCall, kArm, kProperty, kFlood, kDiagnose, kBlocking, kPutPlan, kSecure, kOpCount
};

enum Call : std::uint8_t {
    kConnect, kLogin, kDisConnect, kAbend, kAbort, kCd, kCwd, kPwd, kFileSize, kNoop, kDelete,
    kMkDir, kRmDir, kRename, kSite, kQuote, kDir, kLs, kGetFile, kPutFile, kAppendFile,
    kWriteProperty, kCallCount
};

enum Event : std::uint8_t {
    kOnTrace, kOnConnected, kOnDisConnected, kOnCommandDone, kOnGetOpen, kOnGetData, kOnGetClose,
    kOnPutOpen, kOnPutData, kOnPutClose, kOnDirOpen, kOnDirData, kOnDirClose, kOnTransError,
    kEventCount
};

enum Property : std::uint8_t {
    kTraceOn, kPassive, kFiletype, kFileCode, kSysCode, kAccount, kPreCommand, kRest, kPort,
    kNoopTime, kConnectTimeout, kTransTimeout, kReplyTimeout, kDataPeerCheck, kTlsMode, kHostCode,
    kPropertyCount
};

/// Replies the server may send whole, each with its CR LF.
inline const std::vector<std::string> kReplies = {
    "220 ready\r\n",
    "331 password please\r\n",
    "230 logged in\r\n",
    "332 account please\r\n",
    "200 ok\r\n",
    "227 Entering Passive Mode (127,0,0,1,39,16).\r\n",
    "150 opening data connection\r\n",
    "226 transfer complete\r\n",
    "250 ok\r\n",
    "257 \"/\" is current\r\n",
    "213 1234\r\n",
    "350 restarting\r\n",
    "221 bye\r\n",
    "421 closing\r\n",
    "425 no data connection\r\n",
    "426 transfer aborted\r\n",
    "530 not logged in\r\n",
    "550 no such file\r\n",
    "220-welcome\r\n",
    "230 users max\r\n",
    "2 mirrors are available\r\n",
    "220 end of welcome\r\n",
    "227 Entering Passive Mode (300,-1,0,1,39,16).\r\n",
    "227 no address\r\n",
    "227 (127,0,0,1,99999,1)\r\n",
    "125 data connection already open\r\n",
    "200 ok\n",
    "250 ok\r",
    "200 \x82\xa0\x82\xa2\r\n",
    std::string("200 nul\0inside\r\n", 16),
    "550-first\r\n550 last\r\n",
    "331 pw\r\n230 ok\r\n",
    "234 proceed with negotiation\r\n",
    "229 Entering Extended Passive Mode (|||6446|)\r\n",
    "200 \xE6\x97\xA5\xF0\x9F\x98\x80 \xE6\x97\r\n",
};

/// Texts the server may send on the data connection.
inline const std::vector<std::string> kDataTexts = {
    "-rw-r--r-- 1 ftp ftp 12 Jan 01 a.txt\r\ndrwxr-xr-x 2 ftp ftp 4096 Jan 01 pub\r\n",
    "one\r\ntwo\r\nthree",
    "\r\n",
    "lf only\nline\n",
    "cut\r",
    "\n",
    "\x93\xfa\x96\x7b\x8c\xea.txt\r\n",
    "\xa4\xa2\xa4\xa4\r\n",
    "\x1b$B$\"$$\x1b(B\r\n",
    "binary\x00\xff\x80 data",
};

/// Arguments of the host's calls, hostile ones among them.
inline const std::vector<std::u16string> kArgs = {
    u"",
    u"a.txt",
    u"pub",
    u"x\r\nDELE y",
    u"\u00e9.txt",
    u"\U0001F600",
    std::u16string(u"a\0b", 3),
    u"XPRT",
    u"EXPC",
    u"PASS x",
    u"  spaced  ",
    u"\uff76\uff85",
    u"\u65e5\u672c\u8a9e.txt",
    std::u16string(300, u'n'),
    u"\n",
    u"RETR x",
    u"127.0.0.1",
    u"ftp.example",
    u"21",
    u"0",
    u"x\ry",
    u"SYST\r\nFEAT",
};

/// The errors a socket may report.
struct ErrorReport {
    std::int32_t number;
    const char16_t* text1;
    const char16_t* text2;
};
inline const std::vector<ErrorReport> kErrors = {
    {111, u"Connection refused", u"connect"},
    {104, u"Connection reset by peer", u"read"},
    {32, u"Broken pipe", u"write"},
    {110, u"Connection timed out", u"connect"},
    {-2, u"Name or service not known", u"resolve"},
    {24, u"Too many open files", u"accept"},
};

/// Writes programs step by step; used by the seed writer and by tests of the target.
class ProgramWriter {
public:
    ProgramWriter& Step(Op op, std::vector<std::uint8_t> operands = {}) {
        bytes.push_back(op);
        bytes.insert(bytes.end(), operands.begin(), operands.end());
        return *this;
    }
    ProgramWriter& Raw(Op op, const std::string& text) {
        for (std::size_t at = 0; at < text.size(); at += 64) {
            const std::string piece = text.substr(at, 64);
            bytes.push_back(op);
            bytes.push_back(static_cast<std::uint8_t>(piece.size() - 1));
            bytes.insert(bytes.end(), piece.begin(), piece.end());
        }
        return *this;
    }
    ProgramWriter& Reply(const std::string& reply) {
        for (std::size_t i = 0; i < kReplies.size(); ++i)
            if (kReplies[i] == reply) return Step(kReply, {static_cast<std::uint8_t>(i)});
        return Raw(kReceive, reply);
    }
    ProgramWriter& Call(fuzzing::Call call, std::uint8_t a = 0, std::uint8_t b = 0) {
        return Step(kCall, {call, a, b});
    }
    ProgramWriter& Arm(Event event, fuzzing::Call call, std::uint8_t nth = 0, bool thenThrow = false,
                       std::uint8_t a = 0, std::uint8_t b = 0) {
        return Step(kArm, {event, nth, call, a, b, static_cast<std::uint8_t>(thenThrow ? 1 : 0)});
    }
    ProgramWriter& Set(fuzzing::Property property, std::uint8_t value) {
        return Step(kProperty, {property, value});
    }
    /// Connect and log in: greeting, 331, 230.
    ProgramWriter& Login() {
        return Call(kConnect, 16, 1)
            .Step(kGreet)
            .Reply("220 ready\r\n")
            .Reply("331 password please\r\n")
            .Reply("230 logged in\r\n");
    }

    std::vector<std::uint8_t> bytes;
};

}  // namespace tarselctl::fuzzing
