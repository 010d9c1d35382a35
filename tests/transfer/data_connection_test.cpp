// Setting up data connections: the PORT argument, the PASV reply, the listener and a data
// connection that comes up for no transfer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transfer/transfer_dialogue.h"
#include "transfer/data_address_text.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// ---- pure conversions

TEST(BuildPortArgument, FirstOctetIsTheHighByteAndP1TheHighByteOfThePort) {
    struct Case {
        Long address;
        Long port;
        const char16_t* want;
    };
    const Case cases[] = {
        {static_cast<Long>(0xC0A80005u), 1025, u"192,168,0,5,4,1"},
        {0x0A000001, 65535, u"10,0,0,1,255,255"},  // seven hex digits: the leading zero is restored
        {0x0A000001, -1, u"10,0,0,1,255,255"},     // the same port as a signed 16-bit value
        {0x7F000001, 32768, u"127,0,0,1,128,0"},
        {0x7F000001, -32768, u"127,0,0,1,128,0"},
        {0x7F000001, 40000, u"127,0,0,1,156,64"},
        {0x7F000001, 40000 - 65536, u"127,0,0,1,156,64"},
        {0, 0, u"0,0,0,0,0,0"},
        {-1, 256, u"255,255,255,255,1,0"},
        {0x01020304, 21, u"1,2,3,4,0,21"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BuildPortArgument(c.address, c.port), c.want)
            << std::hex << c.address << " port " << std::dec << c.port;
    }
}

TEST(ParsePasvReply, SixNumericFieldsBetweenTheFirstParenthesesOrNothing) {
    struct Case {
        const char16_t* reply;
        const char16_t* host;
        const char16_t* port;
    };
    const Case cases[] = {
        {u"227 Entering Passive Mode (192,168,0,5,4,1).", u"192.168.0.5", u" 1025"},
        {u"227 Entering Passive Mode (192,168,0,5,4,1,9)", u"192.168.0.5", u" 1025"},
        {u"227 ( 10, 0, 0, 1, 4, 1)", u"10.0.0.1", u" 1025"},
        {u"227 (192 ,168 ,0 ,5 ,4 ,1 )", u"192.168.0.5", u" 1025"},
        {u"227 (192,168,000,005,004,001)", u"192.168.0.5", u" 1025"},
        {u"227 (127,0,0,1,255,255)", u"127.0.0.1", u" 65535"},
        // An octet or port byte outside 0-255 is no address; passed on as a host text it
        // would reach the name resolver.
        {u"227 (300,1,1,1,0,21)", u"", u""},
        {u"227 (-1,1,1,1,0,21)", u"", u""},
        {u"227 (1,1,1,1,-1,21)", u"", u""},
        {u"227 (1,1,1,1,4,-1)", u"", u""},
        {u"227 (1,1,1,1,4,256)", u"", u""},
        {u"227 (99999999999999999999,1,1,1,4,1)", u"", u""},
        {u"227 (1,2,3,4,5,6) (9,9,9,9,9,9)", u"1.2.3.4", u" 1286"},
        {u"227 (192,168,0,5,4)", u"", u""},
        {u"227 =192,168,0,5,4,1", u"", u""},
        {u"227 Entering Passive Mode (192,168,0,5,4,1", u"", u""},
        {u"227 )192,168,0,5,4,1(", u"", u""},
        {u"227 (192,168,x,5,4,1)", u"", u""},
        {u"227 (192,168,,5,4,1)", u"", u""},
        {u"227 (192,168,0,5,4,1a)", u"", u""},
        {u"227 (1,2,3,4,40000,1)", u"", u""},  // beyond a 16-bit field
        {u"227 ()", u"", u""},
    };
    for (const Case& c : cases) {
        String host = u"stale", port = u"stale";
        ParsePasvReply(c.reply, host, port);
        EXPECT_EQ(host, c.host) << ToUtf8(c.reply);
        EXPECT_EQ(port, c.port) << ToUtf8(c.reply);
    }
}

// ---- active mode: the listener and its PORT command

TEST_F(TransferTest, XprtOpensAListenerAndSendsItsAddressAsPort) {
    struct Case {
        Long address;
        Long freePort;
        const char* line;
    };
    const Case cases[] = {
        {static_cast<Long>(0xC0A80005u), 1025, "PORT 192,168,0,5,4,1"},
        {0x0A000001, 65535, "PORT 10,0,0,1,255,255"},
        {0x7F000001, 40000, "PORT 127,0,0,1,156,64"},
    };
    for (const Case& c : cases) {
        ClearLogs();
        s1().localAddress = c.address;
        s2().freePort = c.freePort;
        control.GetFile(u"f");
        Reply(kTypeOk);
        EXPECT_THAT(platform.calls,
                    ElementsAre("Soquet1.Send(TYPE I\\r\\n)", "Soquet2.CloseSocket", "Soquet3.CloseSocket",
                                "Soquet2.ListenAt(127.0.0.1,0)", "Soquet3.SetupPhase(-1)",
                                "Soquet1.Send(" + std::string(c.line) + "\\r\\n)"));
        EXPECT_EQ(recorder.events.back(), "Trace(GetFile>>" + std::string(c.line) + ")");
        EXPECT_EQ(tarselInspector::Cmd(control), u"PORT");
        EXPECT_FALSE(t2().enabled) << "no time-out while the server has not connected";
        Reply("500 stop here");
    }
}

TEST_F(TransferTest, TheListenerTakesOneConnectionAndClosesBeforeAccepting) {
    control.Dir();
    ReplyUntilTransferCommand();
    platform.calls.clear();
    s2().AcceptRequest(42);
    EXPECT_THAT(platform.calls, ElementsAre("Soquet2.CloseSocket", "Soquet3.Accept(42)"));
    EXPECT_EQ(s2().state(), FakeSoquet::State::Idle);
}

// The listener only takes the server's data connection: a request from another address is
// left untaken (which closes it) and traced, and the listener goes on waiting.
TEST_F(TransferTest, ADataConnectionFromAnotherPeerIsRefusedAndTheListenerWaitsOn) {
    control.GetFile(u"f", u"l");
    ReplyUntilTransferCommand();
    platform.calls.clear();
    s2().AcceptRequest(41, u"127.0.0.2");
    EXPECT_THAT(platform.calls, IsEmpty());
    EXPECT_EQ(s2().state(), FakeSoquet::State::Listening);
    EXPECT_EQ(recorder.events.back(), "Trace(---Soquet2:refused data connection from 127.0.0.2)");
    s2().AcceptRequest(42, u"127.0.0.1");
    EXPECT_THAT(platform.calls, ElementsAre("Soquet2.CloseSocket", "Soquet3.Accept(42)"));
}

TEST_F(TransferTest, DataPeerCheckOffTakesTheFirstRequestFromAnyone) {
    control.put_DataPeerCheck(False);
    control.GetFile(u"f", u"l");
    ReplyUntilTransferCommand();
    platform.calls.clear();
    s2().AcceptRequest(41, u"10.9.8.7");
    EXPECT_THAT(platform.calls, ElementsAre("Soquet2.CloseSocket", "Soquet3.Accept(41)"));
}

// A listener that cannot be opened ends the operation before any PORT line exists.
TEST_F(TransferTest, AListenFailureEndsTheOperationBeforeAnythingIsSent) {
    s2().throwOnListen = true;
    s2().errorNumber = 98;
    s2().errorDescription = u"Address already in use";
    control.Dir();
    Reply(kTypeOk);
    EXPECT_THAT(s1().SentLines(), ElementsAre("TYPE A"));
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("TransError(98,Address already in use,listen)",
                            "CommandDone(-1,Dir,Address already in use)"));
    EXPECT_EQ(control.IsIdle(), True);
}

TEST_F(TransferTest, AListenerErrorEndsTheControlConnectionEvenDuringDisConnect) {
    control.Dir();
    ReplyUntilTransferCommand();
    s2().Error(10048, u"Address in use", u"Listen");
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("TransError(-7,connection lost,control)",
                            "CommandDone(-1,Dir,Address in use(Listen))",
                            "DisConnected(10048,Address in use(Listen))"));
    EXPECT_EQ(s1().state(), FakeSoquet::State::Idle);

    ConnectAndLogin();
    control.DisConnect();
    s2().Error(10050, u"Network down", u"Accept");
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("DisConnected(10050,Network down(Accept))"));
}

// ---- passive mode

TEST_F(TransferTest, APasvAddressIsConnectedToWithPort20AsTheThirdArgument) {
    control.put_Passive(True);
    // The reply's own address is followed only on request; by default the control
    // connection's peer is connected to.
    control.put_PasvAddress(True);
    control.GetFile(u"f");
    Reply(kTypeOk);
    Reply("227 Entering Passive Mode (192,168,0,5,4,1).");
    EXPECT_THAT(platform.calls, ::testing::Contains("Soquet3.ConnectTo(192.168.0.5, 1025,20)"));
    EXPECT_EQ(LastSent(), "RETR f");
}

class PasvWithoutAddress : public TransferTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(PasvWithoutAddress, EndsWithMinusOneAndNeverSendsTheTransferCommand) {
    const std::string reply = GetParam();
    control.put_Passive(True);
    control.put_ConnectTimeout(5);
    control.Dir(u"sub");
    Reply(kTypeOk);
    Reply(reply);

    EXPECT_THAT(s1().SentLines(), ElementsAre("TYPE A", "PASV"));
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("CommandDone(-1,Dir," + reply.substr(4) + ")"));
    EXPECT_EQ(control.IsIdle(), True);
    EXPECT_THAT(tarselInspector::Queue(control), IsEmpty());
    EXPECT_FALSE(t2().enabled) << "no time-out may be left armed";
    EXPECT_EQ(s3().state(), FakeSoquet::State::Idle);
    EXPECT_EQ(tarselInspector::DataPhase(control), 0);
    t2().TickN(10);
    EXPECT_EQ(recorder.NonTraceEvents().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Replies, PasvWithoutAddress,
                         ::testing::Values("227 =192,168,0,5,4,1", "227 Entering Passive Mode (192,168,0,5,4)",
                                           "227 Entering Passive Mode (a,b,c,d,e,f)",
                                           "227 Entering Passive Mode (127,0,0,1,0,0)"));

// ---- a data connection that opens while no transfer command is running

class DataConnectionWithoutTransfer : public TransferTest,
                                      public ::testing::WithParamInterface<bool> {};

TEST_P(DataConnectionWithoutTransfer, IsClosedWithATraceAndNoHostEvent) {
    if (GetParam()) {
        // A download whose final reply came before its close leaves that reply behind.
        control.GetFile(u"f");
        StartDataPhase();
        Reply(kComplete);
        s3().Close();
        ClearLogs();
    }
    control.QuoteCommand(u"XPRT");
    EXPECT_THAT(s1().SentLines(), ElementsAre(kPortLine));
    recorder.Clear();
    s2().AcceptRequest(3);
    s3().Connect();
    EXPECT_THAT(recorder.events, ElementsAre("Trace(---Soquet3_Connected:Invalid m_Cmd=PORT)"));
    EXPECT_EQ(s3().state(), FakeSoquet::State::Idle);
    EXPECT_EQ(control.IsIdle(), False) << "the reply to PORT is still due";
    Reply(kPortOk);
    EXPECT_THAT(recorder.NonTraceEvents(), ElementsAre("CommandDone(0,Quote,PORT ok)"));
}

INSTANTIATE_TEST_SUITE_P(FreshAndAfterATransfer, DataConnectionWithoutTransfer, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "AfterTransfer" : "Fresh"; });

TEST_F(TransferTest, WithTraceOffTheUnwantedDataConnectionIsClosedSilently) {
    control.TraceOn = False;
    control.QuoteCommand(u"xprt");
    s2().AcceptRequest(3);
    recorder.Clear();
    s3().Connect();
    EXPECT_THAT(recorder.events, IsEmpty());
    EXPECT_EQ(s3().state(), FakeSoquet::State::Idle);
}

// ---- diagnostics of the listener and the data connection

TEST_F(TransferTest, SocketDiagnosticsAreTracedOnlyWithTraceOn) {
    s2().Diagnostic(u"listening");
    s3().Diagnostic(u"connected");
    control.TraceOn = False;
    s2().Diagnostic(u"hidden");
    s3().Diagnostic(u"hidden");
    EXPECT_THAT(recorder.events, ElementsAre("Trace(---Soquet2:listening)", "Trace(---Soquet3:connected)"));
}

}  // namespace
}  // namespace tarselctl

namespace tarselctl {
namespace {
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Some servers connect to the PORT address before they answer PORT. That connection carries
// the transfer once its command has gone out, in download, listing and upload alike.
TEST_F(TransferTest, ActiveConnectionMadeBeforeThePortReplyCarriesTheTransfer) {
    control.GetFile(u"a.bin", u"local.bin");
    Reply(kTypeOk);
    ASSERT_EQ(LastSent(), kPortLine);
    s2().AcceptRequest(7);
    s3().Connect();
    EXPECT_THAT(recorder.NonTraceEvents(), IsEmpty()) << "nothing opens before RETR is sent";
    EXPECT_NE(s3().state(), FakeSoquet::State::Idle) << "the early connection is kept";
    Reply(kPortOk);
    EXPECT_EQ(LastSent(), "RETR a.bin");
    Reply(kOpening);
    s3().Receive("abc");
    s3().Close();
    Reply(kComplete);
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("GetOpen(local.bin)", "GetData(3)", "GetClose",
                            "CommandDone(0,GetFile,Transfer complete)"));
}

TEST_F(TransferTest, EarlyActiveConnectionThatClosesBeforeTheTransferCommandIsForgotten) {
    control.Dir();
    Reply(kTypeOk);
    s2().AcceptRequest(7);
    s3().Connect();
    s3().Close();
    Reply(kPortOk);
    EXPECT_EQ(LastSent(), "LIST");
    EXPECT_THAT(recorder.NonTraceEvents(), IsEmpty());
    Reply("425 Can't open data connection");
    EXPECT_THAT(recorder.NonTraceEvents(),
                ElementsAre("CommandDone(425,Dir,Can't open data connection)"));
}

}  // namespace
}  // namespace tarselctl
