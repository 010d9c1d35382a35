// The control as an in-process automation server: variants, the dispatch interface `_tarsel`,
// the event interface `__tarsel` behind a connection point, the type library `TARSELCTL`, the
// class factory and the registry of classes that self-registration writes to.
//
// The binding is a small component model of its own, shaped like the one automation hosts
// know: every object is reached through abstract interfaces with QueryInterface, AddRef and
// Release; calls answer a Status code; members are reached by dispatch id. Arguments are
// passed in declaration order (first argument first).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <tarsel/types.h>
#include <tarsel/export.h>

TARSEL_API_BEGIN

namespace tarselctl {

class Platform;
class PropertyBag;

// ---------------------------------------------------------------------------------------------
// Status codes

/// Result of every call of the binding: 0 or more is success, negative is failure.
using Status = std::int32_t;

inline constexpr Status S_OK = 0;
inline constexpr Status S_FALSE = 1;
inline constexpr Status E_NOTIMPL = static_cast<Status>(0x80004001);
inline constexpr Status E_NOINTERFACE = static_cast<Status>(0x80004002);
inline constexpr Status E_POINTER = static_cast<Status>(0x80004003);
inline constexpr Status E_FAIL = static_cast<Status>(0x80004005);
inline constexpr Status E_UNEXPECTED = static_cast<Status>(0x8000FFFF);
inline constexpr Status E_OUTOFMEMORY = static_cast<Status>(0x8007000E);
inline constexpr Status E_INVALIDARG = static_cast<Status>(0x80070057);
inline constexpr Status DISP_E_UNKNOWNINTERFACE = static_cast<Status>(0x80020001);
inline constexpr Status DISP_E_MEMBERNOTFOUND = static_cast<Status>(0x80020003);
inline constexpr Status DISP_E_PARAMNOTFOUND = static_cast<Status>(0x80020004);
inline constexpr Status DISP_E_TYPEMISMATCH = static_cast<Status>(0x80020005);
inline constexpr Status DISP_E_UNKNOWNNAME = static_cast<Status>(0x80020006);
inline constexpr Status DISP_E_EXCEPTION = static_cast<Status>(0x80020009);
inline constexpr Status DISP_E_OVERFLOW = static_cast<Status>(0x8002000A);
inline constexpr Status DISP_E_BADPARAMCOUNT = static_cast<Status>(0x8002000E);
inline constexpr Status DISP_E_PARAMNOTOPTIONAL = static_cast<Status>(0x8002000F);
inline constexpr Status CLASS_E_NOAGGREGATION = static_cast<Status>(0x80040110);
inline constexpr Status CLASS_E_CLASSNOTAVAILABLE = static_cast<Status>(0x80040111);
inline constexpr Status CONNECT_E_NOCONNECTION = static_cast<Status>(0x80040200);
inline constexpr Status CONNECT_E_CANNOTCONNECT = static_cast<Status>(0x80040202);
inline constexpr Status SELFREG_E_TYPELIB = static_cast<Status>(0x80040200);
inline constexpr Status SELFREG_E_CLASS = static_cast<Status>(0x80040201);

constexpr bool Succeeded(Status status) { return status >= 0; }
constexpr bool Failed(Status status) { return status < 0; }

/// The status an automation error of `number` travels under (facility "control", 0x800A....).
constexpr Status StatusOfAutomationError(Long number) {
    return static_cast<Status>(0x800A0000u | (static_cast<std::uint32_t>(number) & 0xFFFFu));
}

// ---------------------------------------------------------------------------------------------
// Identifiers

/// 128-bit identifier of a class, an interface or a type library.
struct TARSEL_API Guid {
    std::uint32_t Data1 = 0;
    std::uint16_t Data2 = 0;
    std::uint16_t Data3 = 0;
    std::array<std::uint8_t, 8> Data4{};

    friend constexpr bool operator==(const Guid&, const Guid&) = default;
};

/// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hexadecimal.
TARSEL_API std::string GuidToString(const Guid& guid);
/// Parses the form GuidToString writes (braces optional, either case); nullopt otherwise.
TARSEL_API std::optional<Guid> GuidFromString(std::string_view text);

/// Interfaces of the binding.
extern TARSEL_API const Guid IID_Unknown;
extern TARSEL_API const Guid IID_Dispatch;
extern TARSEL_API const Guid IID_ClassFactory;
extern TARSEL_API const Guid IID_ConnectionPointContainer;
extern TARSEL_API const Guid IID_ConnectionPoint;
extern TARSEL_API const Guid IID_ObjectWithSite;
extern TARSEL_API const Guid IID_PersistPropertyBag;
extern TARSEL_API const Guid IID_ViewExtent;
/// The control's dispatch interface and its event interface.
extern TARSEL_API const Guid IID__tarsel;
extern TARSEL_API const Guid IID___tarsel;
/// The control class and its type library.
extern TARSEL_API const Guid CLSID_tarsel;
extern TARSEL_API const Guid LIBID_TARSELCTL;

// ---------------------------------------------------------------------------------------------
// Variant

/// Type tags of the values a Variant carries (the numbers automation uses for them).
enum class VarType : std::uint16_t {
    Empty = 0,
    Integer = 2,
    Long = 3,
    String = 8,
    Boolean = 11,
    ByteArray = 0x2011,  // one-dimensional array of unsigned bytes
};

/// A one-dimensional byte array with its own lower bound; its count is Elements.size().
struct TARSEL_API SafeByteArray {
    Long LowerBound = 0;
    ByteArray Elements;

    friend bool operator==(const SafeByteArray&, const SafeByteArray&) = default;
};

/// An automation value, or a reference to one owned by the caller (for by-reference
/// arguments: the callee writes through the reference and the caller reads the result).
///
/// Boolean and Integer are both 16-bit, so values are made with the named constructors.
/// A Boolean variant holds only True or False; any non-zero value given becomes True.
class TARSEL_API Variant {
public:
    /// The empty value.
    Variant() = default;

    static Variant FromBoolean(tarselctl::Boolean value);
    static Variant FromInteger(tarselctl::Integer value);
    static Variant FromLong(tarselctl::Long value);
    static Variant FromString(tarselctl::String value);
    static Variant FromBytes(SafeByteArray value);

    /// References; the target must outlive the variant and every copy of it.
    static Variant RefBoolean(tarselctl::Boolean* target);
    static Variant RefInteger(tarselctl::Integer* target);
    static Variant RefLong(tarselctl::Long* target);
    static Variant RefString(tarselctl::String* target);
    static Variant RefBytes(SafeByteArray* target);

    /// The type of the value, whether held or referenced.
    VarType Type() const noexcept { return type_; }
    bool IsByRef() const noexcept { return byRef_; }
    bool IsEmpty() const noexcept { return type_ == VarType::Empty; }

    /// The value, held or referenced. Throws std::invalid_argument when Type() differs.
    tarselctl::Boolean AsBoolean() const;
    tarselctl::Integer AsInteger() const;
    tarselctl::Long AsLong() const;
    const tarselctl::String& AsString() const;
    const SafeByteArray& AsBytes() const;

    /// Writable access to the value (the referenced storage for a reference), or nullptr
    /// when Type() differs. Writing a Boolean through BooleanPtr should write True or False.
    tarselctl::Boolean* BooleanPtr() noexcept;
    tarselctl::Integer* IntegerPtr() noexcept;
    tarselctl::Long* LongPtr() noexcept;
    tarselctl::String* StringPtr() noexcept;
    SafeByteArray* BytesPtr() noexcept;

    /// A copy that holds the value itself (a reference is followed).
    Variant Dereferenced() const;

    /// The value converted to `type` as automation converts it: numbers between the numeric
    /// types (range-checked), text to and from numbers and truth values ("True"/"False" or a
    /// number), empty to "", 0 or False. DISP_E_TYPEMISMATCH when the value has no such form,
    /// DISP_E_OVERFLOW when a number does not fit; `out` is then left unchanged.
    Status ConvertTo(VarType type, Variant& out) const;

    /// Same type and equal values, references followed.
    friend bool operator==(const Variant& a, const Variant& b);

    /// Readable form for diagnostics: "Long(30)", "String(abc)", "ByRef String(x)".
    std::string Describe() const;

private:
    using Storage = std::variant<std::monostate, std::int16_t, Long, String, SafeByteArray,
                                 std::int16_t*, Long*, String*, SafeByteArray*>;
    VarType type_ = VarType::Empty;
    bool byRef_ = false;
    Storage value_;
};

// ---------------------------------------------------------------------------------------------
// Descriptions: the type library as data

using DispId = Long;
/// The dispatch id GetIDsOfNames gives a name it does not know.
inline constexpr DispId DISPID_UNKNOWN = -1;

/// Dispatch ids of `_tarsel` and `__tarsel`.
namespace dispid {
// The properties' ids come from their rows in <tarsel/properties.def>; TraceOn, the methods
// and the events are listed here.
#define TARSEL_PROPERTY(type, name, access, order, id, copy) inline constexpr DispId name = id;
#define TARSEL_STORED_PROPERTY(type, name, order, id, key, def, saveAt, loadAt, load) \
    inline constexpr DispId name = id;
#include <tarsel/properties.def>
inline constexpr DispId TraceOn = 0x40030030;
inline constexpr DispId ShowAboutBox = -552;
inline constexpr DispId Connect = 0x60030035;
inline constexpr DispId Abend = 0x60030036;
inline constexpr DispId DisConnect = 0x60030037;
inline constexpr DispId Login = 0x60030038;
inline constexpr DispId Cd = 0x60030039;
inline constexpr DispId Cwd = 0x6003003A;
inline constexpr DispId Pwd = 0x6003003B;
inline constexpr DispId FileSize = 0x6003003C;
inline constexpr DispId Dir = 0x6003003D;
inline constexpr DispId Ls = 0x6003003E;
inline constexpr DispId GetFile = 0x6003003F;
inline constexpr DispId PutFile = 0x60030040;
inline constexpr DispId AppendFile = 0x60030041;
inline constexpr DispId Noop = 0x60030042;
inline constexpr DispId Delete = 0x60030043;
inline constexpr DispId MkDir = 0x60030044;
inline constexpr DispId RmDir = 0x60030045;
inline constexpr DispId Rename = 0x60030046;
inline constexpr DispId Abort = 0x60030047;
inline constexpr DispId SiteCommand = 0x60030048;
inline constexpr DispId QuoteCommand = 0x60030049;
inline constexpr DispId IsIdle = 0x6003004A;

/// Events of `__tarsel`: the id is also the index by which the control raises the event.
namespace event {
inline constexpr DispId Trace = 1;
inline constexpr DispId Connected = 2;
inline constexpr DispId DisConnected = 3;
inline constexpr DispId CommandDone = 4;
inline constexpr DispId GetOpen = 5;
inline constexpr DispId GetData = 6;
inline constexpr DispId GetClose = 7;
inline constexpr DispId PutOpen = 8;
inline constexpr DispId PutData = 9;
inline constexpr DispId PutClose = 10;
inline constexpr DispId DirOpen = 11;
inline constexpr DispId DirData = 12;
inline constexpr DispId DirClose = 13;
inline constexpr DispId TransError = 14;
}  // namespace event
}  // namespace dispid

/// How Invoke reaches a member; a host may combine Method and PropertyGet.
using InvokeKind = std::uint16_t;
inline constexpr InvokeKind DISPATCH_METHOD = 1;
inline constexpr InvokeKind DISPATCH_PROPERTYGET = 2;
inline constexpr InvokeKind DISPATCH_PROPERTYPUT = 4;

enum class MemberKind : std::uint8_t {
    /// A property with a reader and a writer (two consecutive accessors, the reader first).
    ReadWriteProperty,
    /// A property with a reader only.
    ReadOnlyProperty,
    Method,
};

struct TARSEL_API ParamDescription {
    std::u16string_view Name;
    VarType Type = VarType::Empty;
    bool ByRef = false;
    bool Optional = false;
    /// The value an omitted optional argument takes.
    std::u16string_view Default;
};

struct TARSEL_API MemberDescription {
    /// 1-based position in the interface.
    int Order = 0;
    std::u16string_view Name;
    MemberKind Kind = MemberKind::Method;
    DispId Id = 0;
    /// A property's type, a method's result type, or Empty for a method without a result.
    VarType Type = VarType::Empty;
    std::span<const ParamDescription> Params;

    /// Number of arguments a call must pass (the parameters before the first optional one).
    std::size_t RequiredParams() const;
    /// Position of the parameter with this name (compared without regard to case), or -1.
    int FindParam(std::u16string_view name) const;
};

struct TARSEL_API InterfaceDescription {
    std::u16string_view Name;
    Guid Iid;
    std::span<const MemberDescription> Members;

    /// The member with this dispatch id, or nullptr.
    const MemberDescription* FindMember(DispId id) const;
    /// The member with this name, compared without regard to case (ASCII), or nullptr.
    const MemberDescription* FindMember(std::u16string_view name) const;
};

struct TARSEL_API TypeLibraryDescription {
    std::u16string_view Name;
    Guid LibId;
    std::uint16_t MajorVersion = 0;
    std::uint16_t MinorVersion = 0;
    std::u16string_view ClassName;
    Guid ClassId;
    /// The class's default interface and its source of events.
    const InterfaceDescription* DispatchInterface = nullptr;
    const InterfaceDescription* EventInterface = nullptr;
};

/// The type library `TARSELCTL`.
TARSEL_API const TypeLibraryDescription& TarselTypeLibrary();

// ---------------------------------------------------------------------------------------------
// Interfaces

/// Identity and lifetime of every object of the binding. An object lives until its last
/// reference is released; it is never deleted directly.
class TARSEL_API Unknown {
public:
    /// On success stores an AddRef'ed pointer to the interface `iid` in `*object`.
    virtual Status QueryInterface(const Guid& iid, void** object) = 0;
    virtual std::uint32_t AddRef() = 0;
    virtual std::uint32_t Release() = 0;

protected:
    virtual ~Unknown() = default;
};

/// What a failed Invoke reports with DISP_E_EXCEPTION. An automation error of the control
/// arrives as its number, source and description; no help file is ever named.
struct TARSEL_API ExceptionInfo {
    Long Number = 0;
    String Source;
    String Description;
    String HelpFile;
    /// The status that stands for the error (StatusOfAutomationError(Number) for an
    /// automation error).
    Status SCode = 0;
};

/// Late-bound access to an object's members by dispatch id.
class TARSEL_API Dispatch : public Unknown {
public:
    /// names[0] is a member name, the rest names of its parameters; `ids` receives one id per
    /// name (parameters get their 0-based position). Names compare without regard to case.
    /// Unknown names get DISPID_UNKNOWN and the call answers DISP_E_UNKNOWNNAME.
    virtual Status GetIDsOfNames(std::span<const String> names, std::vector<DispId>& ids) = 0;
    /// Calls member `id` as `kind` with `args` in declaration order (a property write passes
    /// the new value as its one argument). `result`, `exception` and `argError` may be null.
    /// Fails with DISP_E_MEMBERNOTFOUND (no such member or accessor), DISP_E_BADPARAMCOUNT,
    /// DISP_E_TYPEMISMATCH or DISP_E_OVERFLOW (`*argError` = index of the argument), or
    /// DISP_E_EXCEPTION (`*exception` filled).
    virtual Status Invoke(DispId id, InvokeKind kind, std::span<Variant> args, Variant* result,
                          ExceptionInfo* exception, std::uint32_t* argError) = 0;
    /// The description of this dispatch interface.
    virtual Status GetTypeInfo(const InterfaceDescription** info) = 0;
};

/// One outgoing interface of an object; sinks connected here receive its events.
class TARSEL_API ConnectionPoint : public Unknown {
public:
    virtual Status GetConnectionInterface(Guid* iid) = 0;
    /// Connects a sink that answers the event interface (or plain Dispatch); the point holds a
    /// reference to it until Unadvise. `*cookie` is never 0.
    virtual Status Advise(Unknown* sink, std::uint32_t* cookie) = 0;
    /// CONNECT_E_NOCONNECTION for an unknown cookie. Safe from inside an event.
    virtual Status Unadvise(std::uint32_t cookie) = 0;
};

class TARSEL_API ConnectionPointContainer : public Unknown {
public:
    /// CONNECT_E_NOCONNECTION when the object has no such outgoing interface.
    virtual Status FindConnectionPoint(const Guid& iid, ConnectionPoint** point) = 0;
};

/// What the host gives a control it places: the platform that runs its message loop, makes
/// its sockets and timers, shows message boxes and knows the screen metrics, and, optionally,
/// the property storage that PersistPropertyBag uses when it is handed none.
struct TARSEL_API ControlSite {
    Platform* platform = nullptr;
    PropertyBag* properties = nullptr;
};

/// A control is created without a site; the site brings it to life (the control's start
/// values are set then). A site is given once; the platform must outlive the control.
class TARSEL_API ObjectWithSite : public Unknown {
public:
    /// E_POINTER without a platform; E_UNEXPECTED when the object already has a site.
    virtual Status SetSite(const ControlSite& site) = 0;
};

/// The host's lifecycle calls around its property storage. `bag` may be null to use the
/// site's. Errors of the control or the storage answer DISP_E_EXCEPTION with `*exception`.
class TARSEL_API PersistPropertyBag : public Unknown {
public:
    virtual Status InitNew(ExceptionInfo* exception) = 0;
    virtual Status Load(PropertyBag* bag, ExceptionInfo* exception) = 0;
    virtual Status Save(PropertyBag* bag, ExceptionInfo* exception) = 0;
};

/// The control's size in the host's units.
class TARSEL_API ViewExtent : public Unknown {
public:
    /// The host resizes the control (the control decides what size it keeps).
    virtual Status SetExtent(Long width, Long height) = 0;
    virtual Status GetExtent(Long* width, Long* height) = 0;
};

class TARSEL_API ClassFactory : public Unknown {
public:
    /// CLASS_E_NOAGGREGATION when `outer` is not null.
    virtual Status CreateInstance(Unknown* outer, const Guid& iid, void** object) = 0;
    /// A lock keeps DllCanUnloadNow from answering S_OK.
    virtual Status LockServer(bool lock) = 0;
};

/// Owning reference to an interface: releases it when destroyed.
template <class T>
class Ref {
public:
    Ref() = default;
    /// Adopts a reference the caller already owns (as QueryInterface returns it).
    static Ref Adopt(T* pointer) { Ref r; r.p_ = pointer; return r; }
    Ref(const Ref& other) : p_(other.p_) { if (p_) p_->AddRef(); }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref other) noexcept { std::swap(p_, other.p_); return *this; }
    ~Ref() { if (p_) p_->Release(); }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    /// The slot a call fills: QueryInterface-style (void**) or typed (T**).
    class OutSlot {
    public:
        explicit OutSlot(T** slot) noexcept : slot_(slot) {}
        operator void**() const noexcept { return reinterpret_cast<void**>(slot_); }
        operator T**() const noexcept { return slot_; }

    private:
        T** slot_;
    };
    /// Releases what is held and hands out the slot for a call that fills it.
    OutSlot put() noexcept { reset(); return OutSlot(&p_); }
    void reset() noexcept { if (p_) { T* p = p_; p_ = nullptr; p->Release(); } }

    /// QueryInterface on what is held; empty on failure.
    template <class U>
    Ref<U> As(const Guid& iid) const {
        Ref<U> out;
        if (p_) p_->QueryInterface(iid, out.put());
        return out;
    }

private:
    T* p_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Registry

/// What self-registration records about a class.
struct TARSEL_API RegistryRecord {
    Guid ClassId;
    String Name;
    /// Absolute path of the shared library that serves the class.
    std::string LibraryPath;
    Guid TypeLibraryId;
    String TypeLibraryName;
    std::uint16_t TypeLibraryMajor = 0;
    std::uint16_t TypeLibraryMinor = 0;
    Guid DispatchInterface;
    Guid EventInterface;

    friend bool operator==(const RegistryRecord&, const RegistryRecord&) = default;
};

/// The registry of classes: a directory with one UTF-8 text file per class, named after its
/// class id ("{...}.record"), one "Key=Value" line per field. Files are replaced atomically.
class TARSEL_API ComponentRegistry {
public:
    explicit ComponentRegistry(std::filesystem::path directory);

    /// $TARSEL_REGISTRY_DIR when set and not empty, else $XDG_DATA_HOME/tarsel/registry, else
    /// $HOME/.local/share/tarsel/registry.
    static std::filesystem::path DefaultDirectory();

    const std::filesystem::path& Directory() const noexcept { return directory_; }
    /// Creates the directory when needed. Throws std::system_error on failure.
    void Write(const RegistryRecord& record) const;
    /// The record of `classId`, or nullopt when there is none. Throws std::runtime_error for
    /// a record that cannot be read or parsed.
    std::optional<RegistryRecord> Find(const Guid& classId) const;
    /// Whether a record was removed. Throws std::system_error on failure.
    bool Remove(const Guid& classId) const;

private:
    std::filesystem::path directory_;
};

}  // namespace tarselctl

// ---------------------------------------------------------------------------------------------
// Entry points of the shared library (look them up with dlsym after dlopen).

extern "C" {
/// Writes the class record of `tarsel` into ComponentRegistry::DefaultDirectory().
/// S_OK, or SELFREG_E_CLASS when the record cannot be written.
TARSEL_API tarselctl::Status DllRegisterServer();
/// Removes that record; S_OK also when there was none.
TARSEL_API tarselctl::Status DllUnregisterServer();
/// The class object of `clsid` (CLASS_E_CLASSNOTAVAILABLE for another class), queried for
/// `iid` (normally IID_ClassFactory).
TARSEL_API tarselctl::Status DllGetClassObject(const tarselctl::Guid* clsid, const tarselctl::Guid* iid,
                                    void** object);
/// S_OK when no object of the library is alive and no lock is held, else S_FALSE.
TARSEL_API tarselctl::Status DllCanUnloadNow();
/// The description of the type library `TARSELCTL`.
TARSEL_API tarselctl::Status DllGetTypeLibrary(const tarselctl::TypeLibraryDescription** library);
}

/// Function types of the entry points, for dlsym.
using DllRegisterServerFn = tarselctl::Status (*)();
using DllUnregisterServerFn = tarselctl::Status (*)();
using DllGetClassObjectFn = tarselctl::Status (*)(const tarselctl::Guid*, const tarselctl::Guid*,
                                                   void**);
using DllCanUnloadNowFn = tarselctl::Status (*)();
using DllGetTypeLibraryFn = tarselctl::Status (*)(const tarselctl::TypeLibraryDescription**);

TARSEL_API_END
