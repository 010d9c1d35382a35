// Every member of `_tarsel` reached by dispatch id: what it does, and how it fails.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "control/automation/automation_fixture.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAre;

class InvokeTest : public AutomationTest {
protected:
    void ExpectError(Status status, Long number, const String& source, const String& description) {
        EXPECT_EQ(status, DISP_E_EXCEPTION);
        EXPECT_EQ(exception.Number, number);
        EXPECT_EQ(ToUtf8(exception.Source), ToUtf8(source));
        EXPECT_EQ(ToUtf8(exception.Description), ToUtf8(description));
        EXPECT_TRUE(exception.HelpFile.empty());
        EXPECT_EQ(exception.SCode, StatusOfAutomationError(number));
    }
};

TEST_F(InvokeTest, EveryPropertyIsWrittenAndReadBack) {
    struct Case {
        DispId id;
        Variant written;
        Variant read;
    };
    const Case cases[] = {
        {dispid::TraceOn, Variant::FromBoolean(False), Variant::FromBoolean(False)},
        {dispid::port, Str(u"2121"), Str(u"2121")},
        // A number given for a text property arrives as its decimal text.
        {dispid::port, Variant::FromLong(990), Str(u"990")},
        {dispid::port, Str(u"not a port"), Str(u"not a port")},
        // The control stores only -1 and 0; any other number counts as true.
        {dispid::Passive, Variant::FromInteger(5), Variant::FromBoolean(True)},
        {dispid::Account, Str(u"acct"), Str(u"acct")},
        {dispid::Rest, Str(u"1024"), Str(u"1024")},
        {dispid::PreCommand, Str(u"SITE A\r\nSITE B"), Str(u"SITE A\r\nSITE B")},
        {dispid::Filetype, Str(u"binary"), Str(u"I")},
        {dispid::Filetype, Str(u"a"), Str(u"A")},
        {dispid::Filetype, Str(u""), Str(u"")},
        {dispid::FileCode, Str(u"jis"), Str(u"JIS")},
        {dispid::FileCode, Str(u"none"), Str(u"BIN")},
        {dispid::SysCode, Str(u"sjis"), Str(u"SJIS")},
        {dispid::NoopTime, Variant::FromLong(-5), Variant::FromLong(-5)},
        {dispid::NoopTime, Str(u" 30 "), Variant::FromLong(30)},
        {dispid::ConnectTimeout, Variant::FromInteger(15), Variant::FromLong(15)},
        {dispid::TransTimeout, Variant::FromLong(60), Variant::FromLong(60)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.id) + " <- " + c.written.Describe());
        ASSERT_EQ(Put(c.id, c.written), S_OK);
        EXPECT_EQ(Get(c.id), c.read) << Get(c.id).Describe();
    }
}

TEST_F(InvokeTest, ReadOnlyAndFixedProperties) {
    const String banner = GetString(dispid::Copyright);
    EXPECT_EQ(banner, u"tarsel FTP client control version 0.1.0 - the tarsel project");
    EXPECT_EQ(Put(dispid::Copyright, Str(u"someone else")), S_OK);
    EXPECT_EQ(GetString(dispid::Copyright), banner);

    EXPECT_EQ(GetString(dispid::FtpCommand), u"");
    EXPECT_EQ(Put(dispid::FtpCommand, Str(u"Connect")), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(GetString(dispid::FtpCommand), u"");

    // TraceOn starts true.
    EXPECT_EQ(Get(dispid::TraceOn), Variant::FromBoolean(True));
}

TEST_F(InvokeTest, RejectedSettingsComeBackAsError54AndKeepTheirValue) {
    ExpectError(Put(dispid::Filetype, Str(u"X")), 54, u"FileType", u"Invalid File Type");
    EXPECT_EQ(GetString(dispid::Filetype), u"I");
    ExpectError(Put(dispid::FileCode, Str(u"")), 54, u"FileCode", u"Invalid File Kanji Code");
    EXPECT_EQ(GetString(dispid::FileCode), u"BIN");
    ExpectError(Put(dispid::SysCode, Str(u"ISO-2022-JP")), 54, u"SysCode", u"Invalid System Kanji Code");
    EXPECT_EQ(GetString(dispid::SysCode), u"EUC");
}

TEST_F(InvokeTest, OperationMethodsWithoutAConnectionFailWithNotIdling) {
    struct Case {
        DispId id;
        std::vector<Variant> args;
        const char16_t* source;
    };
    const Case cases[] = {
        {dispid::Login, {Str(u"u"), Str(u"p")}, u"User"},
        {dispid::Cd, {Str(u"d")}, u"Cd"},
        {dispid::Cwd, {Str(u"d")}, u"Cwd"},
        {dispid::Pwd, {}, u"Pwd"},
        {dispid::FileSize, {Str(u"f")}, u"Size"},
        {dispid::Dir, {}, u"Dir"},
        {dispid::Ls, {Str(u"*.txt")}, u"Ls"},
        {dispid::GetFile, {Str(u"f")}, u"GetFile"},
        {dispid::PutFile, {Str(u"f"), Str(u"local")}, u"PutFile"},
        {dispid::AppendFile, {Str(u"f")}, u"AppendFile"},
        {dispid::Noop, {}, u"Noop"},
        {dispid::Delete, {Str(u"f")}, u"Delete"},
        {dispid::MkDir, {Str(u"d")}, u"MkDir"},
        {dispid::RmDir, {Str(u"d")}, u"RmDir"},
        {dispid::Rename, {Str(u"a"), Str(u"b")}, u"Rename"},
        {dispid::SiteCommand, {Str(u"x")}, u"Site"},
        {dispid::QuoteCommand, {Str(u"x")}, u"Quote"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToUtf8(c.source));
        ExpectError(Call(c.id, c.args), 17, c.source, u"Not Idling");
    }
    // The connection-level methods have rules of their own and accept the call.
    EXPECT_EQ(Call(dispid::DisConnect), S_OK);
    EXPECT_EQ(Call(dispid::Abend), S_OK);
    EXPECT_EQ(Call(dispid::Abort), S_OK);
    EXPECT_THAT(platform.calls, ElementsAre("Soquet1.CloseSocket"));
}

TEST_F(InvokeTest, EachMethodSendsItsFirstLineOnAnIdleConnection) {
    struct Case {
        DispId id;
        std::vector<Variant> args;
        std::string firstLine;
        const char16_t* operation;
    };
    const Case cases[] = {
        {dispid::Login, {Str(u"other"), Str(u"secret")}, "USER other", u"User"},
        {dispid::Cd, {Str(u"")}, "CWD .", u"Cd"},
        {dispid::Cwd, {Str(u"pub")}, "CWD pub", u"Cwd"},
        {dispid::Pwd, {}, "PWD", u"Pwd"},
        {dispid::FileSize, {Str(u"f")}, "TYPE I", u"Size"},
        {dispid::Dir, {}, "TYPE A", u"Dir"},
        {dispid::Ls, {Str(u"*.txt")}, "TYPE A", u"Ls"},
        {dispid::GetFile, {Str(u"f")}, "TYPE I", u"GetFile"},
        {dispid::PutFile, {Str(u"f"), Str(u"local")}, "TYPE I", u"PutFile"},
        {dispid::AppendFile, {Str(u"f")}, "TYPE I", u"AppendFile"},
        {dispid::Noop, {}, "NOOP", u"Noop"},
        {dispid::Delete, {Str(u"f")}, "DELE f", u"Delete"},
        {dispid::MkDir, {Str(u"d")}, "MKD d", u"MkDir"},
        {dispid::RmDir, {Str(u"d")}, "RMD d", u"RmDir"},
        {dispid::Rename, {Str(u"a"), Str(u"b")}, "RNFR a", u"Rename"},
        {dispid::SiteCommand, {Str(u"CHMOD 644 f")}, "SITE CHMOD 644 f", u"Site"},
        {dispid::QuoteCommand, {Str(u"STAT")}, "STAT", u"Quote"},
        {dispid::DisConnect, {}, "QUIT", u"DisConnect"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToUtf8(c.operation));
        ConnectAndLogin();
        ASSERT_EQ(Call(c.id, c.args), S_OK);
        ASSERT_FALSE(s1().SentLines().empty());
        EXPECT_EQ(s1().SentLines().front(), c.firstLine);
        EXPECT_EQ(GetString(dispid::FtpCommand), c.operation);
        Variant idle;
        EXPECT_EQ(Invoke(dispid::IsIdle, DISPATCH_METHOD, {}, &idle), S_OK);
        EXPECT_EQ(idle, Variant::FromBoolean(False));
        // A second operation meanwhile is refused with the second one's name.
        ExpectError(Call(dispid::Pwd), 17, u"Pwd", u"Not Idling");
        // Abend ends the connection at once; the next round connects again.
        ASSERT_EQ(Call(dispid::Abend), S_OK);
        EXPECT_EQ(GetString(dispid::FtpCommand), u"");
    }
}

TEST_F(InvokeTest, ConnectReportsAlreadyConnectedAndSocketErrors) {
    ASSERT_EQ(Call(dispid::Connect, {Str(u"ftp.example"), Str(u"user"), Str(u"pw")}), S_OK);
    EXPECT_THAT(platform.calls, ElementsAre("Soquet1.ConnectTo(ftp.example,21,0)"));
    ExpectError(Call(dispid::Connect, {Str(u"ftp.example"), Str(u"user"), Str(u"pw")}), 59,
                u"Connect", u"AlreadyConnected");

    ASSERT_EQ(Call(dispid::Abend), S_OK);
    s1().throwOnConnect = true;
    ExpectError(Call(dispid::Connect, {Str(u"ftp.example"), Str(u"user"), Str(u"pw")}), 10061,
                u"TARSEL_Connect()", u"Connection refused");
}

TEST_F(InvokeTest, IsIdleAndTheAboutBox) {
    Variant idle;
    ASSERT_EQ(Invoke(dispid::IsIdle, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, &idle), S_OK);
    EXPECT_EQ(idle, Variant::FromBoolean(False));

    Variant none = Str(u"left over");
    ASSERT_EQ(Invoke(dispid::ShowAboutBox, DISPATCH_METHOD, {}, &none), S_OK);
    EXPECT_TRUE(none.IsEmpty());
    EXPECT_THAT(platform.messages,
                ElementsAre(u"tarsel FTP client control version 0.1.0 - the tarsel project"));
}

TEST_F(InvokeTest, NoopTimeWrittenWhileIdleStartsTheKeepAlive) {
    ConnectAndLogin();
    EXPECT_FALSE(t1().enabled);
    ASSERT_EQ(Put(dispid::NoopTime, Variant::FromLong(2)), S_OK);
    EXPECT_TRUE(t1().enabled);
    t1().TickN(3);
    EXPECT_THAT(s1().SentLines(), ElementsAre("NOOP"));
}

TEST_F(InvokeTest, BadCallsFailWithTheirStatusAndChangeNothing) {
    // No such member, or no such accessor.
    EXPECT_EQ(Call(0x60030099), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Invoke(dispid::port, DISPATCH_METHOD, {}), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Invoke(dispid::Pwd, DISPATCH_PROPERTYGET, {}), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Invoke(dispid::Pwd, DISPATCH_PROPERTYPUT, {Str(u"x")}), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Invoke(dispid::port, 0, {}), DISP_E_MEMBERNOTFOUND);

    // Argument counts.
    EXPECT_EQ(Call(dispid::Connect, {Str(u"h"), Str(u"u")}), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Call(dispid::Connect, {Str(u"h"), Str(u"u"), Str(u"p"), Str(u"x")}),
              DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Call(dispid::GetFile), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Call(dispid::Pwd, {Str(u"x")}), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Invoke(dispid::port, DISPATCH_PROPERTYGET, {Str(u"x")}), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Invoke(dispid::port, DISPATCH_PROPERTYPUT, {}), DISP_E_BADPARAMCOUNT);

    // Values without a form of the member's type; argError names the argument.
    EXPECT_EQ(Put(dispid::NoopTime, Str(u"thirty")), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argError, 0u);
    EXPECT_EQ(Put(dispid::NoopTime, Str(u"99999999999")), DISP_E_OVERFLOW);
    EXPECT_EQ(Put(dispid::port, Variant::FromBytes({0, {1, 2}})), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Call(dispid::Connect, {Str(u"h"), Variant::FromBytes({}), Str(u"p")}),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argError, 1u);

    EXPECT_EQ(Get(dispid::NoopTime), Variant::FromLong(0));
    EXPECT_EQ(GetString(dispid::port), u"21");
    EXPECT_TRUE(platform.calls.empty());
}

TEST_F(InvokeTest, OmittedOrEmptyOptionalArgumentsTakeTheEmptyText) {
    ConnectAndLogin();
    ASSERT_EQ(Put(dispid::Passive, Variant::FromBoolean(True)), S_OK);
    ASSERT_EQ(Call(dispid::Dir, {Variant()}), S_OK);
    Reply("200 type set");
    Reply("227 Entering Passive Mode (127,0,0,1,200,10)");
    EXPECT_THAT(s1().SentLines(), ElementsAre("TYPE A", "PASV", "LIST"));
}

TEST_F(InvokeTest, NamesMapToIdsWithoutRegardToCase) {
    std::vector<DispId> ids;
    const std::vector<String> names = {u"getfile", u"LOCALFILE", u"file"};
    EXPECT_EQ(object->GetIDsOfNames(names, ids), S_OK);
    EXPECT_THAT(ids, ElementsAre(dispid::GetFile, 1, 0));

    const std::vector<String> unknownArg = {u"Connect", u"Host"};
    EXPECT_EQ(object->GetIDsOfNames(unknownArg, ids), DISP_E_UNKNOWNNAME);
    EXPECT_THAT(ids, ElementsAre(dispid::Connect, DISPID_UNKNOWN));
    const std::vector<String> unknown = {u"Upload"};
    EXPECT_EQ(object->GetIDsOfNames(unknown, ids), DISP_E_UNKNOWNNAME);
    EXPECT_THAT(ids, ElementsAre(DISPID_UNKNOWN));

    // Every member of the table is found under its own name and id.
    for (const MemberDescription& m : TarselTypeLibrary().DispatchInterface->Members) {
        const std::vector<String> name = {String(m.Name)};
        ASSERT_EQ(object->GetIDsOfNames(name, ids), S_OK);
        EXPECT_EQ(ids[0], m.Id) << ToUtf8(name[0]);
    }
}

TEST(InvokeWithoutSiteTest, AnUnsitedObjectRefusesCallsButNamesItsMembers) {
    FakePlatform platform;  // outlives the object
    Ref<ClassFactory> factory;
    ASSERT_EQ(DllGetClassObject(&CLSID_tarsel, &IID_ClassFactory, factory.put()), S_OK);
    Ref<Dispatch> object;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_Dispatch, object.put()), S_OK);
    std::vector<Variant> none;
    Variant result;
    EXPECT_EQ(object->Invoke(dispid::port, DISPATCH_PROPERTYGET, none, &result, nullptr, nullptr),
              E_UNEXPECTED);
    std::vector<DispId> ids;
    const std::vector<String> names = {u"Port"};
    EXPECT_EQ(object->GetIDsOfNames(names, ids), S_OK);
    EXPECT_EQ(ids[0], dispid::port);

    Ref<ObjectWithSite> site = object.As<ObjectWithSite>(IID_ObjectWithSite);
    EXPECT_EQ(site->SetSite(ControlSite{}), E_POINTER);
    EXPECT_EQ(site->SetSite(ControlSite{&platform, nullptr}), S_OK);
    EXPECT_EQ(site->SetSite(ControlSite{&platform, nullptr}), E_UNEXPECTED);
    EXPECT_EQ(object->Invoke(dispid::port, DISPATCH_PROPERTYGET, none, &result, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(result.AsString(), u"21");
}

}  // namespace
}  // namespace tarselctl
