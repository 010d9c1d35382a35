// The one description of the control's automation interfaces: the members of `_tarsel` and
// the events of `__tarsel`, with their order, names, kinds, dispatch ids and arguments. The
// dispatch binding, name look-up and the type library a host enumerates all read this table.
#include <tarsel/automation.h>

#include <array>
#include <iterator>

namespace tarselctl {

namespace {

// Constant-initialised, so the descriptions below never see them unset, whatever order the
// library's static objects are built in.
constexpr Guid kDispatchIid{0xEBE897E9, 0xE76A, 0x4DD6, {0xA2, 0x87, 0x5A, 0xCA, 0xCB, 0xA7, 0x9D, 0x08}};
constexpr Guid kEventIid{0x95A5E086, 0xDE77, 0x412D, {0xA5, 0x5D, 0x12, 0x53, 0xB8, 0x64, 0xED, 0x64}};
constexpr Guid kClassId{0x46848393, 0x42CE, 0x4235, {0x99, 0x37, 0x98, 0xAD, 0xE7, 0xC3, 0xC1, 0x60}};
constexpr Guid kLibId{0x264A997B, 0xA9A0, 0x47EA, {0xA3, 0xB4, 0x3B, 0xE0, 0x98, 0x67, 0xE9, 0xC5}};

using P = ParamDescription;
constexpr VarType S = VarType::String;

constexpr P Arg(std::u16string_view name, VarType type) { return P{name, type, false, false, u""}; }
constexpr P ByRef(std::u16string_view name, VarType type) { return P{name, type, true, false, u""}; }
// Every optional argument of the interface is text and takes "" when left out.
constexpr P Optional(std::u16string_view name) { return P{name, S, false, true, u""}; }

constexpr std::span<const P> kNoParams{};

constexpr P kConnect[] = {Arg(u"RemoteHost", S), Arg(u"Username", S), Arg(u"Password", S)};
constexpr P kLogin[] = {Arg(u"Username", S), Arg(u"Password", S)};
constexpr P kDirectory[] = {Arg(u"Directory", S)};
constexpr P kFile[] = {Arg(u"File", S)};
constexpr P kOptionalFile[] = {Optional(u"File")};
constexpr P kFileAndOptionalLocal[] = {Arg(u"File", S), Optional(u"LocalFile")};
constexpr P kRename[] = {Arg(u"FileFrom", S), Arg(u"FileTo", S)};
constexpr P kLocalCommand[] = {Arg(u"LocalCommand", S)};
constexpr P kExtraCommand[] = {Arg(u"ExtraCommand", S)};

using K = MemberKind;
constexpr K RW = K::ReadWriteProperty;
constexpr K RO = K::ReadOnlyProperty;
constexpr K M = K::Method;

// Text literal of a row's name: u"name".
#define TARSEL_TEXT(text) u##text
#define TARSEL_NAME(name) TARSEL_TEXT(#name)

// The properties, from their rows.
constexpr MemberDescription kPropertyMembers[] = {
#define TARSEL_PROPERTY(type, name, access, order, id, copy) \
    {order, TARSEL_NAME(name), access, dispid::name, VarType::type, kNoParams},
#define TARSEL_STORED_PROPERTY(type, name, order, id, key, def, saveAt, loadAt, load) \
    {order, TARSEL_NAME(name), RW, dispid::name, VarType::type, kNoParams},
#include <tarsel/properties.def>
};

// The rest of `_tarsel`: the host's TraceOn switch and the methods.
constexpr MemberDescription kOtherMembers[] = {
    {1, u"TraceOn", RW, dispid::TraceOn, VarType::Boolean, kNoParams},
    {12, u"ShowAboutBox", M, dispid::ShowAboutBox, VarType::Empty, kNoParams},
    {13, u"Connect", M, dispid::Connect, VarType::Empty, kConnect},
    {14, u"Abend", M, dispid::Abend, VarType::Empty, kNoParams},
    {15, u"DisConnect", M, dispid::DisConnect, VarType::Empty, kNoParams},
    {16, u"Login", M, dispid::Login, VarType::Empty, kLogin},
    {17, u"Cd", M, dispid::Cd, VarType::Empty, kDirectory},
    {18, u"Cwd", M, dispid::Cwd, VarType::Empty, kDirectory},
    {19, u"Pwd", M, dispid::Pwd, VarType::Empty, kNoParams},
    {20, u"FileSize", M, dispid::FileSize, VarType::Empty, kFile},
    {21, u"Dir", M, dispid::Dir, VarType::Empty, kOptionalFile},
    {22, u"Ls", M, dispid::Ls, VarType::Empty, kOptionalFile},
    {23, u"GetFile", M, dispid::GetFile, VarType::Empty, kFileAndOptionalLocal},
    {24, u"PutFile", M, dispid::PutFile, VarType::Empty, kFileAndOptionalLocal},
    {25, u"AppendFile", M, dispid::AppendFile, VarType::Empty, kFile},
    {26, u"Noop", M, dispid::Noop, VarType::Empty, kNoParams},
    {27, u"Delete", M, dispid::Delete, VarType::Empty, kFile},
    {28, u"MkDir", M, dispid::MkDir, VarType::Empty, kDirectory},
    {29, u"RmDir", M, dispid::RmDir, VarType::Empty, kDirectory},
    {30, u"Rename", M, dispid::Rename, VarType::Empty, kRename},
    {31, u"Abort", M, dispid::Abort, VarType::Empty, kNoParams},
    {32, u"SiteCommand", M, dispid::SiteCommand, VarType::Empty, kLocalCommand},
    {33, u"QuoteCommand", M, dispid::QuoteCommand, VarType::Empty, kExtraCommand},
    {34, u"IsIdle", M, dispid::IsIdle, VarType::Boolean, kNoParams},
};

constexpr std::size_t kMemberCount = std::size(kPropertyMembers) + std::size(kOtherMembers);

// Both lists placed at their positions. Fails to compile when a position is out of range or
// taken twice (the interface's order is what hosts compiled against).
constexpr std::array<MemberDescription, kMemberCount> InInterfaceOrder() {
    std::array<MemberDescription, kMemberCount> members{};
    std::array<bool, kMemberCount> placed{};
    auto place = [&](const MemberDescription& member) {
        const std::size_t at = static_cast<std::size_t>(member.Order - 1);
        if (member.Order < 1 || at >= kMemberCount || placed[at])
            throw "a member's position is out of range or taken twice";
        placed[at] = true;
        members[at] = member;
    };
    for (const MemberDescription& member : kPropertyMembers) place(member);
    for (const MemberDescription& member : kOtherMembers) place(member);
    return members;
}

constexpr std::array<MemberDescription, kMemberCount> kDispatchMembers = InInterfaceOrder();

constexpr P kMsg[] = {Arg(u"msg", S)};
constexpr P kDisConnected[] = {Arg(u"code", VarType::Long), Arg(u"msg", S)};
constexpr P kCommandDone[] = {Arg(u"code", VarType::Integer), Arg(u"FtpCommand", S), Arg(u"msg", S)};
constexpr P kSaveFileName[] = {Arg(u"SaveFileName", S)};
constexpr P kBytesByRef[] = {ByRef(u"Data", VarType::ByteArray)};
constexpr P kLoadFileName[] = {Arg(u"LoadFileName", S)};
constexpr P kTextByRef[] = {ByRef(u"Data", S)};
constexpr P kTransError[] = {Arg(u"Ecode", VarType::Long), Arg(u"Description", S), Arg(u"Where", S)};

namespace ev = dispid::event;
constexpr VarType E = VarType::Empty;

constexpr MemberDescription kEventMembers[] = {
    {1, u"Trace", M, ev::Trace, E, kMsg},
    {2, u"Connected", M, ev::Connected, E, kNoParams},
    {3, u"DisConnected", M, ev::DisConnected, E, kDisConnected},
    {4, u"CommandDone", M, ev::CommandDone, E, kCommandDone},
    {5, u"GetOpen", M, ev::GetOpen, E, kSaveFileName},
    {6, u"GetData", M, ev::GetData, E, kBytesByRef},
    {7, u"GetClose", M, ev::GetClose, E, kNoParams},
    {8, u"PutOpen", M, ev::PutOpen, E, kLoadFileName},
    {9, u"PutData", M, ev::PutData, E, kBytesByRef},
    {10, u"PutClose", M, ev::PutClose, E, kNoParams},
    {11, u"DirOpen", M, ev::DirOpen, E, kNoParams},
    {12, u"DirData", M, ev::DirData, E, kTextByRef},
    {13, u"DirClose", M, ev::DirClose, E, kNoParams},
    {14, u"TransError", M, ev::TransError, E, kTransError},
};

constexpr InterfaceDescription kDispatchInterface{u"_tarsel", kDispatchIid, kDispatchMembers};
constexpr InterfaceDescription kEventInterface{u"__tarsel", kEventIid, kEventMembers};

constexpr TypeLibraryDescription kTypeLibrary{
    u"TARSELCTL", kLibId, 1, 0, u"tarsel", kClassId, &kDispatchInterface, &kEventInterface,
};

}  // namespace

const Guid IID__tarsel = kDispatchIid;
const Guid IID___tarsel = kEventIid;
const Guid CLSID_tarsel = kClassId;
const Guid LIBID_TARSELCTL = kLibId;

const TypeLibraryDescription& TarselTypeLibrary() { return kTypeLibrary; }

}  // namespace tarselctl
