// The type library against the member table of the interface documentation, member by member.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <tarsel/automation.h>

namespace tarselctl {
namespace {

struct ExpectedParam {
    std::u16string name;
    VarType type;
    bool byRef = false;
    bool optional = false;
};

struct ExpectedMember {
    std::u16string name;
    MemberKind kind;
    DispId id;
    VarType type;
    std::vector<ExpectedParam> params;
};

constexpr VarType S = VarType::String;
constexpr VarType B = VarType::Boolean;
constexpr VarType L = VarType::Long;
constexpr VarType None = VarType::Empty;
constexpr MemberKind RW = MemberKind::ReadWriteProperty;
constexpr MemberKind RO = MemberKind::ReadOnlyProperty;
constexpr MemberKind M = MemberKind::Method;

// Written out from the documentation, not from the library's table.
const std::vector<ExpectedMember> kExpectedDispatch = {
    {u"TraceOn", RW, 0x40030030, B, {}},
    {u"port", RW, 0x6803000D, S, {}},
    {u"Passive", RW, 0x6803000C, B, {}},
    {u"Account", RW, 0x6803000B, S, {}},
    {u"Rest", RW, 0x6803000A, S, {}},
    {u"PreCommand", RW, 0x68030008, S, {}},
    {u"Copyright", RW, 0x68030007, S, {}},
    {u"Filetype", RW, 0x68030006, S, {}},
    {u"FileCode", RW, 0x68030005, S, {}},
    {u"SysCode", RW, 0x68030004, S, {}},
    {u"FtpCommand", RO, 0x68030003, S, {}},
    {u"ShowAboutBox", M, -552, None, {}},
    {u"Connect", M, 0x60030035, None, {{u"RemoteHost", S}, {u"Username", S}, {u"Password", S}}},
    {u"Abend", M, 0x60030036, None, {}},
    {u"DisConnect", M, 0x60030037, None, {}},
    {u"Login", M, 0x60030038, None, {{u"Username", S}, {u"Password", S}}},
    {u"Cd", M, 0x60030039, None, {{u"Directory", S}}},
    {u"Cwd", M, 0x6003003A, None, {{u"Directory", S}}},
    {u"Pwd", M, 0x6003003B, None, {}},
    {u"FileSize", M, 0x6003003C, None, {{u"File", S}}},
    {u"Dir", M, 0x6003003D, None, {{u"File", S, false, true}}},
    {u"Ls", M, 0x6003003E, None, {{u"File", S, false, true}}},
    {u"GetFile", M, 0x6003003F, None, {{u"File", S}, {u"LocalFile", S, false, true}}},
    {u"PutFile", M, 0x60030040, None, {{u"File", S}, {u"LocalFile", S, false, true}}},
    {u"AppendFile", M, 0x60030041, None, {{u"File", S}}},
    {u"Noop", M, 0x60030042, None, {}},
    {u"Delete", M, 0x60030043, None, {{u"File", S}}},
    {u"MkDir", M, 0x60030044, None, {{u"Directory", S}}},
    {u"RmDir", M, 0x60030045, None, {{u"Directory", S}}},
    {u"Rename", M, 0x60030046, None, {{u"FileFrom", S}, {u"FileTo", S}}},
    {u"Abort", M, 0x60030047, None, {}},
    {u"SiteCommand", M, 0x60030048, None, {{u"LocalCommand", S}}},
    {u"QuoteCommand", M, 0x60030049, None, {{u"ExtraCommand", S}}},
    {u"IsIdle", M, 0x6003004A, B, {}},
    {u"NoopTime", RW, 0x68030002, L, {}},
    {u"ConnectTimeout", RW, 0x68030001, L, {}},
    {u"TransTimeout", RW, 0x68030000, L, {}},
    // Added later, after every original member; the original ids above never move.
    {u"ReplyTimeout", RW, 0x6803000E, L, {}},
    {u"DataPeerCheck", RW, 0x6803000F, B, {}},
    {u"TlsMode", RW, 0x68030010, S, {}},
    {u"TlsCaFile", RW, 0x68030011, S, {}},
    {u"TlsVerify", RW, 0x68030012, B, {}},
    {u"HostCode", RW, 0x68030013, S, {}},
    {u"TlsAllowClearData", RW, 0x68030014, B, {}},
    {u"DirCommand", RW, 0x68030015, S, {}},
    {u"PasvAddress", RW, 0x68030016, B, {}},
    {u"TypeOnce", RW, 0x68030017, B, {}},
};

const std::vector<ExpectedMember> kExpectedEvents = {
    {u"Trace", M, 1, None, {{u"msg", S}}},
    {u"Connected", M, 2, None, {}},
    {u"DisConnected", M, 3, None, {{u"code", L}, {u"msg", S}}},
    {u"CommandDone", M, 4, None, {{u"code", VarType::Integer}, {u"FtpCommand", S}, {u"msg", S}}},
    {u"GetOpen", M, 5, None, {{u"SaveFileName", S}}},
    {u"GetData", M, 6, None, {{u"Data", VarType::ByteArray, true}}},
    {u"GetClose", M, 7, None, {}},
    {u"PutOpen", M, 8, None, {{u"LoadFileName", S}}},
    {u"PutData", M, 9, None, {{u"Data", VarType::ByteArray, true}}},
    {u"PutClose", M, 10, None, {}},
    {u"DirOpen", M, 11, None, {}},
    {u"DirData", M, 12, None, {{u"Data", S, true}}},
    {u"DirClose", M, 13, None, {}},
    {u"TransError", M, 14, None, {{u"Ecode", L}, {u"Description", S}, {u"Where", S}}},
};

void ExpectInterface(const InterfaceDescription& actual, const std::vector<ExpectedMember>& expected) {
    ASSERT_EQ(actual.Members.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const MemberDescription& m = actual.Members[i];
        const ExpectedMember& e = expected[i];
        const std::string where = "member " + std::to_string(i + 1) + " " + ToUtf8(e.name);
        EXPECT_EQ(m.Order, static_cast<int>(i + 1)) << where;
        EXPECT_EQ(std::u16string(m.Name), e.name) << where;
        EXPECT_EQ(m.Kind, e.kind) << where;
        EXPECT_EQ(m.Id, e.id) << where;
        EXPECT_EQ(m.Type, e.type) << where;
        ASSERT_EQ(m.Params.size(), e.params.size()) << where;
        for (std::size_t p = 0; p < e.params.size(); ++p) {
            EXPECT_EQ(std::u16string(m.Params[p].Name), e.params[p].name) << where;
            EXPECT_EQ(m.Params[p].Type, e.params[p].type) << where;
            EXPECT_EQ(m.Params[p].ByRef, e.params[p].byRef) << where;
            EXPECT_EQ(m.Params[p].Optional, e.params[p].optional) << where;
            if (e.params[p].optional) {
                EXPECT_EQ(std::u16string(m.Params[p].Default), u"") << where;
            }
        }
    }
}

TEST(DispatchTableTest, DispatchInterfaceListsTheThirtySevenMembersAsDocumented) {
    const TypeLibraryDescription& lib = TarselTypeLibrary();
    ASSERT_NE(lib.DispatchInterface, nullptr);
    EXPECT_EQ(std::u16string(lib.DispatchInterface->Name), u"_tarsel");
    EXPECT_EQ(lib.DispatchInterface->Iid, IID__tarsel);
    ExpectInterface(*lib.DispatchInterface, kExpectedDispatch);
}

TEST(DispatchTableTest, EventInterfaceListsTheFourteenEventsAsDocumented) {
    const TypeLibraryDescription& lib = TarselTypeLibrary();
    ASSERT_NE(lib.EventInterface, nullptr);
    EXPECT_EQ(std::u16string(lib.EventInterface->Name), u"__tarsel");
    EXPECT_EQ(lib.EventInterface->Iid, IID___tarsel);
    ExpectInterface(*lib.EventInterface, kExpectedEvents);
}

TEST(DispatchTableTest, TypeLibraryNamesTheClassAndBothInterfacesUnderDistinctIds) {
    const TypeLibraryDescription& lib = TarselTypeLibrary();
    EXPECT_EQ(std::u16string(lib.Name), u"TARSELCTL");
    EXPECT_EQ(std::u16string(lib.ClassName), u"tarsel");
    EXPECT_EQ(lib.ClassId, CLSID_tarsel);
    EXPECT_EQ(lib.LibId, LIBID_TARSELCTL);
    EXPECT_EQ(lib.MajorVersion, 1);
    EXPECT_EQ(lib.MinorVersion, 0);
    const std::vector<Guid> ids = {CLSID_tarsel, LIBID_TARSELCTL, IID__tarsel, IID___tarsel,
                                   IID_Unknown, IID_Dispatch, IID_ClassFactory,
                                   IID_ConnectionPoint, IID_ConnectionPointContainer,
                                   IID_ObjectWithSite, IID_PersistPropertyBag, IID_ViewExtent};
    for (std::size_t i = 0; i < ids.size(); ++i)
        for (std::size_t j = i + 1; j < ids.size(); ++j)
            EXPECT_FALSE(ids[i] == ids[j]) << GuidToString(ids[i]);

    const TypeLibraryDescription* exported = nullptr;
    ASSERT_EQ(DllGetTypeLibrary(&exported), S_OK);
    EXPECT_EQ(exported, &lib);
}

TEST(DispatchTableTest, MembersAreFoundByIdAndByNameInAnyCase) {
    const InterfaceDescription& table = *TarselTypeLibrary().DispatchInterface;
    const MemberDescription* getFile = table.FindMember(u"gEtFiLe");
    ASSERT_NE(getFile, nullptr);
    EXPECT_EQ(getFile->Id, dispid::GetFile);
    EXPECT_EQ(table.FindMember(dispid::GetFile), getFile);
    EXPECT_EQ(getFile->RequiredParams(), 1u);
    EXPECT_EQ(getFile->FindParam(u"LOCALFILE"), 1);
    EXPECT_EQ(getFile->FindParam(u"Remote"), -1);
    EXPECT_EQ(table.FindMember(u"PORT")->Id, dispid::port);
    EXPECT_EQ(table.FindMember(u"GetFil"), nullptr);
    EXPECT_EQ(table.FindMember(DispId{0x60030099}), nullptr);
}

}  // namespace
}  // namespace tarselctl
