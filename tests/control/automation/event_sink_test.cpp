// The events of `__tarsel` at a host's sink: by id, arguments in order, by-reference results
// carried back, and a host that lets go of the control from inside an event.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "control/automation/automation_fixture.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAre;

class EventSinkTest : public AutomationTest {
protected:
    EventSinkTest() { cookie = ConnectSink(sink); }

    void StartPassive(DispId method, std::vector<Variant> args) {
        ASSERT_EQ(Put(dispid::Passive, Variant::FromBoolean(True)), S_OK);
        ASSERT_EQ(Call(method, std::move(args)), S_OK);
        Reply("200 type set");
        Reply("227 Entering Passive Mode (127,0,0,1,200,10)");
        s3().Connect();
    }

    std::uint32_t cookie = 0;
};

TEST_F(EventSinkTest, DownloadArrivesAsEventsByIdWithTheirArguments) {
    std::vector<std::string> types;
    sink.onEvent = [&](DispId id, std::span<Variant> args) {
        if (id != dispid::event::CommandDone) return;
        for (const Variant& a : args) types.push_back(a.Describe().substr(0, a.Describe().find('(')));
    };
    ASSERT_EQ(Call(dispid::Connect, {Str(u"ftp.example"), Str(u"user"), Str(u"pw")}), S_OK);
    s1().Connect();
    Reply("220 ready");
    Reply("230 ok");
    EXPECT_THAT(sink.events, ElementsAre("Connected", "CommandDone(0,Connect,ok)"));
    EXPECT_THAT(types, ElementsAre("Integer", "String", "String"));
    sink.events.clear();

    StartPassive(dispid::GetFile, {Str(u"a.txt")});  // LocalFile left out
    s3().Receive("hello");
    Reply("150 sending");
    s3().Close();
    Reply("226 done");
    EXPECT_THAT(sink.events, ElementsAre("GetOpen()", "GetData(&[hello])", "GetClose",
                                         "CommandDone(0,GetFile,done)"));
}

TEST_F(EventSinkTest, TracesAndDisconnectsCarryTheirTexts) {
    sink.recordTraces = true;
    ConnectAndLogin();
    sink.recordTraces = true;
    ASSERT_EQ(Call(dispid::Pwd), S_OK);
    s1().Error(10054, u"Connection reset", u"recv");
    s1().Close();
    EXPECT_THAT(sink.events, ElementsAre("Trace(Pwd>>PWD)", "TransError(-7,connection lost,control)",
                                         "CommandDone(-1,Pwd,Connection reset(recv))",
                                         "DisConnected(10054,Connection reset(recv))"));
}

TEST_F(EventSinkTest, WhatTheSinkLeavesInPutDataIsUploaded) {
    ConnectAndLogin();
    int blocks = 0;
    sink.onEvent = [&](DispId id, std::span<Variant> args) {
        if (id != dispid::event::PutData) return;
        ASSERT_EQ(args.size(), 1u);
        ASSERT_TRUE(args[0].IsByRef());
        SafeByteArray* data = args[0].BytesPtr();
        ASSERT_NE(data, nullptr);
        // A host array may start at another index; only the elements count.
        data->LowerBound = 1;
        data->Elements = ++blocks == 1 ? ByteArray{'a', 'b', 'c'} : ByteArray{};
    };
    StartPassive(dispid::PutFile, {Str(u"up.txt"), Str(u"local.txt")});
    Reply("150 go ahead");
    EXPECT_EQ(s3().sent, "abc");
    s3().SendDone();
    EXPECT_EQ(s3().state(), FakeSoquet::State::Idle);  // the empty block ended the upload
    EXPECT_EQ(blocks, 2);
    ASSERT_FALSE(sink.events.empty());
    EXPECT_EQ(sink.events.front(), "PutOpen(local.txt)");
    EXPECT_EQ(sink.events.back(), "PutClose");
}

TEST_F(EventSinkTest, ByReferenceResultsPassFromSinkToSinkAndBackToTheControl) {
    RecordingSink second;
    const std::uint32_t secondCookie = ConnectSink(second);
    EXPECT_NE(secondCookie, cookie);
    ConnectAndLogin();
    second.events.clear();
    sink.onEvent = [](DispId id, std::span<Variant> args) {
        if (id == dispid::event::DirData) *args[0].StringPtr() += u" (seen)";
    };
    StartPassive(dispid::Dir, {});
    s3().Receive("file.txt\r\n");
    EXPECT_THAT(second.events, ElementsAre("DirOpen", "DirData(&file.txt (seen))"));
    DisconnectSink(secondCookie);  // it lives on this stack frame only
    EXPECT_EQ(second.refs, 0u);
}

TEST_F(EventSinkTest, UnadviseInsideAnEventStopsFurtherEventsAtOnce) {
    Ref<ConnectionPointContainer> container =
        object.As<ConnectionPointContainer>(IID_ConnectionPointContainer);
    Ref<ConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(IID___tarsel, point.put()), S_OK);
    sink.onEvent = [&](DispId id, std::span<Variant>) {
        if (id == dispid::event::Connected) {
            EXPECT_EQ(point->Unadvise(cookie), S_OK);
        }
    };
    ASSERT_EQ(Call(dispid::Connect, {Str(u"ftp.example"), Str(u"user"), Str(u"pw")}), S_OK);
    s1().Connect();
    Reply("230 ok");
    EXPECT_THAT(sink.events, ElementsAre("Connected"));
    EXPECT_EQ(sink.refs, 0u);
    EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
    Guid iid;
    EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
    EXPECT_EQ(iid, IID___tarsel);
    Ref<ConnectionPoint> none;
    EXPECT_EQ(container->FindConnectionPoint(IID_Dispatch, none.put()), CONNECT_E_NOCONNECTION);
}

TEST_F(EventSinkTest, SinkWithoutTheEventInterfaceIsRefused) {
    struct Plain final : Unknown {
        Status QueryInterface(const Guid&, void** o) override { *o = nullptr; return E_NOINTERFACE; }
        std::uint32_t AddRef() override { return 1; }
        std::uint32_t Release() override { return 1; }
    } plain;
    Ref<ConnectionPointContainer> container =
        object.As<ConnectionPointContainer>(IID_ConnectionPointContainer);
    Ref<ConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(IID___tarsel, point.put()), S_OK);
    std::uint32_t c = 7;
    EXPECT_EQ(point->Advise(&plain, &c), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(c, 0u);
}

// The host drops its last reference from inside an event raised by a socket callback: the
// control's own code is still below on the stack, so it must live until the host's loop has
// moved on, and then go.
TEST_F(EventSinkTest, LastReleaseInsideASocketEventDefersDestructionToTheLoop) {
    ConnectAndLogin();
    ASSERT_EQ(Call(dispid::Noop), S_OK);
    sink.onEvent = [&](DispId id, std::span<Variant>) {
        if (id == dispid::event::CommandDone) object.reset();
    };
    Reply("200 ok");
    EXPECT_THAT(sink.events, ElementsAre("CommandDone(0,Noop,ok)"));
    // Silenced at once: the sink is let go and hears nothing more.
    EXPECT_EQ(sink.refs, 0u);
    ASSERT_NE(platform.soquets[0], nullptr);
    ASSERT_EQ(platform.timers.size(), 3u);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    ASSERT_TRUE(platform.timers[2]->Tick());
    EXPECT_EQ(platform.soquets[0], nullptr);  // the control is gone
    EXPECT_EQ(DllCanUnloadNow(), S_OK);       // and so is the rest of the object
}

// The same inside an event that a host call raised: the object goes when that call returns.
TEST_F(EventSinkTest, LastReleaseInsideAnEventOfAHostCallEndsWithThatCall) {
    ConnectAndLogin();
    sink.recordTraces = true;
    Dispatch* raw = object.get();
    sink.onEvent = [&](DispId id, std::span<Variant>) {
        if (id == dispid::event::Trace) object.reset();
    };
    std::vector<Variant> none;
    EXPECT_EQ(raw->Invoke(dispid::Noop, DISPATCH_METHOD, none, nullptr, nullptr, nullptr), S_OK);
    EXPECT_THAT(sink.events, ElementsAre("Trace(Noop>>NOOP)"));
    EXPECT_EQ(platform.soquets[0], nullptr);
    EXPECT_EQ(sink.refs, 0u);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST_F(EventSinkTest, ReleasingTheObjectLetsGoOfItsSinksAndTheLibrary) {
    EXPECT_EQ(sink.refs, 1u);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    object.reset();
    EXPECT_EQ(sink.refs, 0u);
    EXPECT_EQ(platform.soquets[0], nullptr);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

}  // namespace
}  // namespace tarselctl
