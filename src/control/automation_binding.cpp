// The control as an automation object: `_tarsel` by dispatch id, `__tarsel` through a
// connection point, the host's site, property storage and extent, and a lifetime that
// survives the host releasing its last reference from inside an event.
#include "control/automation_binding.h"

#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include <tarsel/platform.h>
#include <tarsel/property_bag.h>
#include <tarsel/tarsel.h>

#include "component_model/module_lifetime.h"
#include "component_model/server_class.h"

namespace tarselctl {
namespace {

const InterfaceDescription& DispatchTable() { return *TarselTypeLibrary().DispatchInterface; }

class TarselObject;

/// The connection point of `__tarsel`. It shares its owner's lifetime and reference count.
class EventPoint final : public ConnectionPoint {
public:
    explicit EventPoint(TarselObject& owner) : owner_(owner) {}

    Status QueryInterface(const Guid& iid, void** object) override;
    std::uint32_t AddRef() override;
    std::uint32_t Release() override;

    Status GetConnectionInterface(Guid* iid) override {
        if (!iid) return E_POINTER;
        *iid = IID___tarsel;
        return S_OK;
    }

    Status Advise(Unknown* sink, std::uint32_t* cookie) override {
        if (!sink || !cookie) return E_POINTER;
        *cookie = 0;
        Ref<Dispatch> target;
        if (Failed(sink->QueryInterface(IID___tarsel, target.put())) &&
            Failed(sink->QueryInterface(IID_Dispatch, target.put())))
            return CONNECT_E_CANNOTCONNECT;
        if (!target) return CONNECT_E_CANNOTCONNECT;
        *cookie = nextCookie_++;
        sinks_.emplace(*cookie, std::move(target));
        return S_OK;
    }

    Status Unadvise(std::uint32_t cookie) override {
        const auto it = sinks_.find(cookie);
        if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
        // Take the sink out before releasing it: its Release may call back into the point.
        Ref<Dispatch> sink = std::move(it->second);
        sinks_.erase(it);
        return S_OK;
    }

    /// The connected sinks, each with a reference held, so that one unadvising (or being
    /// released) inside an event does not disturb the event's walk over the others.
    std::vector<Ref<Dispatch>> Snapshot() const {
        std::vector<Ref<Dispatch>> sinks;
        sinks.reserve(sinks_.size());
        for (const auto& entry : sinks_) sinks.push_back(entry.second);
        return sinks;
    }

    void DisconnectAll() {
        std::map<std::uint32_t, Ref<Dispatch>> sinks;
        sinks.swap(sinks_);
    }

private:
    TarselObject& owner_;
    std::map<std::uint32_t, Ref<Dispatch>> sinks_;
    std::uint32_t nextCookie_ = 1;
};

/// Advised on the control; turns each native event into a call by event id on every sink of
/// the connection point, and carries by-reference results back to the control.
class EventBridge final : public tarselEvents {
public:
    explicit EventBridge(TarselObject& owner) : owner_(owner) {}

    void Trace(const String& msg) override { Fire(dispid::event::Trace, {Variant::FromString(msg)}); }
    void Connected() override { Fire(dispid::event::Connected, {}); }
    void DisConnected(Long code, const String& msg) override {
        Fire(dispid::event::DisConnected, {Variant::FromLong(code), Variant::FromString(msg)});
    }
    void CommandDone(Integer code, const String& FtpCommand, const String& msg) override {
        Fire(dispid::event::CommandDone, {Variant::FromInteger(code),
                                          Variant::FromString(FtpCommand),
                                          Variant::FromString(msg)});
    }
    void GetOpen(const String& SaveFileName) override {
        Fire(dispid::event::GetOpen, {Variant::FromString(SaveFileName)});
    }
    void GetData(ByteArray& Data) override { FireBytes(dispid::event::GetData, Data); }
    void GetClose() override { Fire(dispid::event::GetClose, {}); }
    void PutOpen(const String& LoadFileName) override {
        Fire(dispid::event::PutOpen, {Variant::FromString(LoadFileName)});
    }
    void PutData(ByteArray& Data) override { FireBytes(dispid::event::PutData, Data); }
    void PutClose() override { Fire(dispid::event::PutClose, {}); }
    void DirOpen() override { Fire(dispid::event::DirOpen, {}); }
    void DirData(String& Data) override { Fire(dispid::event::DirData, {Variant::RefString(&Data)}); }
    void DirClose() override { Fire(dispid::event::DirClose, {}); }
    void TransError(Long Ecode, const String& Description, const String& Where) override {
        Fire(dispid::event::TransError, {Variant::FromLong(Ecode), Variant::FromString(Description),
                                         Variant::FromString(Where)});
    }

private:
    // The host's array has its own lower bound; only the elements travel back.
    void FireBytes(DispId id, ByteArray& data) {
        SafeByteArray array{0, std::move(data)};
        Fire(id, {Variant::RefBytes(&array)});
        data = std::move(array.Elements);
    }

    void Fire(DispId id, std::vector<Variant> args);

    TarselObject& owner_;
};

class TarselObject final : public Dispatch,
                           public ConnectionPointContainer,
                           public ObjectWithSite,
                           public PersistPropertyBag,
                           public ViewExtent {
public:
    TarselObject() : point_(*this), bridge_(*this) { module_lifetime::ObjectCreated(); }

    // ---- Unknown
    Status QueryInterface(const Guid& iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (iid == IID_Unknown || iid == IID_Dispatch || iid == IID__tarsel) {
            *object = static_cast<Dispatch*>(this);
        } else if (iid == IID_ConnectionPointContainer) {
            *object = static_cast<ConnectionPointContainer*>(this);
        } else if (iid == IID_ObjectWithSite) {
            *object = static_cast<ObjectWithSite*>(this);
        } else if (iid == IID_PersistPropertyBag) {
            *object = static_cast<PersistPropertyBag*>(this);
        } else if (iid == IID_ViewExtent) {
            *object = static_cast<ViewExtent*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }

    std::uint32_t AddRef() override { return ++refs_; }

    std::uint32_t Release() override {
        if (refs_ == 0) return 0;  // an extra Release must not destroy the object twice
        const std::uint32_t refs = --refs_;
        if (refs == 0) {
            if (depth_ > 0) {
                dying_ = true;  // the outermost call still running finishes the object
            } else {
                delete this;
            }
        }
        return refs;
    }

    // ---- Dispatch
    Status GetIDsOfNames(std::span<const String> names, std::vector<DispId>& ids) override {
        ids.assign(names.size(), DISPID_UNKNOWN);
        if (names.empty()) return E_INVALIDARG;
        const MemberDescription* member = DispatchTable().FindMember(names[0]);
        if (!member) return DISP_E_UNKNOWNNAME;
        ids[0] = member->Id;
        bool allKnown = true;
        for (std::size_t i = 1; i < names.size(); ++i) {
            const int position = member->FindParam(names[i]);
            if (position < 0) {
                allKnown = false;
            } else {
                ids[i] = position;
            }
        }
        return allKnown ? S_OK : DISP_E_UNKNOWNNAME;
    }

    Status Invoke(DispId id, InvokeKind kind, std::span<Variant> args, Variant* result,
                  ExceptionInfo* exception, std::uint32_t* argError) override;

    Status GetTypeInfo(const InterfaceDescription** info) override {
        if (!info) return E_POINTER;
        *info = &DispatchTable();
        return S_OK;
    }

    // ---- ConnectionPointContainer
    Status FindConnectionPoint(const Guid& iid, ConnectionPoint** point) override {
        if (!point) return E_POINTER;
        *point = nullptr;
        if (!(iid == IID___tarsel)) return CONNECT_E_NOCONNECTION;
        point_.AddRef();
        *point = &point_;
        return S_OK;
    }

    // ---- ObjectWithSite
    Status SetSite(const ControlSite& site) override {
        if (!site.platform) return E_POINTER;
        if (control_) return E_UNEXPECTED;
        try {
            control_ = std::make_unique<tarsel>(*site.platform);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_FAIL;
        }
        platform_ = site.platform;
        siteProperties_ = site.properties;
        cookie_ = control_->Advise(bridge_);
        return S_OK;
    }

    // ---- PersistPropertyBag
    Status InitNew(ExceptionInfo* exception) override {
        CallScope scope(*this, true);
        if (!control_) return E_UNEXPECTED;
        return Guarded(exception, [&] { control_->InitProperties(); });
    }

    Status Load(PropertyBag* bag, ExceptionInfo* exception) override {
        CallScope scope(*this, true);
        if (!control_) return E_UNEXPECTED;
        PropertyBag* storage = bag ? bag : siteProperties_;
        if (!storage) return E_POINTER;
        return Guarded(exception, [&] { control_->ReadProperties(*storage); });
    }

    Status Save(PropertyBag* bag, ExceptionInfo* exception) override {
        CallScope scope(*this, true);
        if (!control_) return E_UNEXPECTED;
        PropertyBag* storage = bag ? bag : siteProperties_;
        if (!storage) return E_POINTER;
        return Guarded(exception, [&] { control_->WriteProperties(*storage); });
    }

    // ---- ViewExtent
    Status SetExtent(Long width, Long height) override {
        CallScope scope(*this, true);
        if (!control_) return E_UNEXPECTED;
        return Guarded(nullptr, [&] { control_->Resize(width, height); });
    }

    Status GetExtent(Long* width, Long* height) override {
        if (!width || !height) return E_POINTER;
        if (!control_) return E_UNEXPECTED;
        *width = control_->get_Width();
        *height = control_->get_Height();
        return S_OK;
    }

    // ---- for the connection point and the event bridge
    EventPoint& Point() { return point_; }

    /// Marks a call into the object (from the host, or an event from the control) for as
    /// long as it runs. When the last reference went during the call, the outermost call
    /// finishes the object on its way out.
    class CallScope {
    public:
        CallScope(TarselObject& object, bool fromHost) : object_(object) {
            if (object_.depth_++ == 0) object_.outermostFromHost_ = fromHost;
        }
        ~CallScope() {
            if (--object_.depth_ == 0 && object_.dying_) object_.FinishDying();
        }
        CallScope(const CallScope&) = delete;
        CallScope& operator=(const CallScope&) = delete;

    private:
        TarselObject& object_;
    };

private:
    ~TarselObject() override {
        if (control_) {
            control_->Unadvise(cookie_);
            control_.reset();
        }
        point_.DisconnectAll();
        module_lifetime::ObjectDestroyed();
    }

    // Runs `call`, turning what it throws into a status (and `*exception`).
    template <class F>
    static Status Guarded(ExceptionInfo* exception, F&& call) {
        try {
            call();
            return S_OK;
        } catch (const AutomationError& e) {
            if (exception) {
                exception->Number = e.Number();
                exception->Source = e.Source();
                exception->Description = e.Description();
                exception->HelpFile.clear();
                exception->SCode = StatusOfAutomationError(e.Number());
            }
            return DISP_E_EXCEPTION;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (const std::exception& e) {
            if (exception) {
                exception->Number = 0;
                exception->Source = u"tarsel";
                exception->Description = FromUtf8(e.what());
                exception->HelpFile.clear();
                exception->SCode = E_FAIL;
            }
            return DISP_E_EXCEPTION;
        } catch (...) {
            return E_FAIL;
        }
    }

    Variant GetProperty(DispId id) const;
    void PutProperty(DispId id, const Variant& value);
    Variant CallMethod(DispId id, std::span<const Variant> args);

    // The last reference went while a call was running; that call has now returned.
    void FinishDying() {
        if (outermostFromHost_ || !control_) {
            // Nothing of the control is running any more: the host's call has returned.
            delete this;
            return;
        }
        // The event came from a socket or timer callback of the control, which is still on
        // the stack below. Silence the control now and destroy it from the host's loop.
        control_->Unadvise(cookie_);
        point_.DisconnectAll();
        try {
            reaper_ = platform_->CreateTimer();
            reaper_->SetTickHandler([this] { Reap(); });
            reaper_->put_Interval(1);
            reaper_->put_Enabled(true);
        } catch (...) {
            // Without a timer the next host call into the library finishes the object.
            reaper_.reset();
            module_lifetime::FinishLater([this] { delete this; });
        }
    }

    // A tick of the object's own timer: no code of the control is on the stack.
    void Reap() {
        reaper_->put_Enabled(false);
        control_.reset();
        // The timer whose tick is running is freed by the next host call into the library.
        module_lifetime::FinishLater([this] { delete this; });
    }

    EventPoint point_;
    EventBridge bridge_;
    std::unique_ptr<tarsel> control_;
    Platform* platform_ = nullptr;
    PropertyBag* siteProperties_ = nullptr;
    Long cookie_ = 0;
    std::uint32_t refs_ = 1;
    int depth_ = 0;
    bool outermostFromHost_ = true;
    bool dying_ = false;
    std::unique_ptr<Timer> reaper_;
};

Status EventPoint::QueryInterface(const Guid& iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!(iid == IID_Unknown || iid == IID_ConnectionPoint)) return E_NOINTERFACE;
    *object = static_cast<ConnectionPoint*>(this);
    AddRef();
    return S_OK;
}

std::uint32_t EventPoint::AddRef() { return owner_.AddRef(); }
std::uint32_t EventPoint::Release() { return owner_.Release(); }

void EventBridge::Fire(DispId id, std::vector<Variant> args) {
    TarselObject::CallScope scope(owner_, false);
    for (const Ref<Dispatch>& sink : owner_.Point().Snapshot()) {
        // Each sink gets its own copy of the by-value arguments; by-reference ones share the
        // control's storage, so what one sink leaves the next one sees.
        std::vector<Variant> copy = args;
        ExceptionInfo ignored;
        std::uint32_t argError = 0;
        try {
            sink->Invoke(id, DISPATCH_METHOD, copy, nullptr, &ignored, &argError);
        } catch (...) {
            // Event results are not the control's business, and a sink's exception must not
            // unwind through the control's socket handlers.
        }
    }
}

Status TarselObject::Invoke(DispId id, InvokeKind kind, std::span<Variant> args, Variant* result,
                            ExceptionInfo* exception, std::uint32_t* argError) {
    CallScope scope(*this, true);
    if (!control_) return E_UNEXPECTED;
    const MemberDescription* member = DispatchTable().FindMember(id);
    if (!member) return DISP_E_MEMBERNOTFOUND;

    enum class Access { Get, Put, Call } access;
    VarType resultType = member->Type;
    std::vector<ParamDescription> params(member->Params.begin(), member->Params.end());
    if (member->Kind == MemberKind::Method) {
        if (!(kind & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
        access = Access::Call;
    } else if (kind & DISPATCH_PROPERTYPUT) {
        if (member->Kind != MemberKind::ReadWriteProperty) return DISP_E_MEMBERNOTFOUND;
        access = Access::Put;
        params = {ParamDescription{u"value", member->Type, false, false, u""}};
        resultType = VarType::Empty;
    } else if (kind & DISPATCH_PROPERTYGET) {
        access = Access::Get;
    } else {
        return DISP_E_MEMBERNOTFOUND;
    }

    std::size_t required = 0;
    while (required < params.size() && !params[required].Optional) ++required;
    if (args.size() < required || args.size() > params.size()) return DISP_E_BADPARAMCOUNT;

    std::vector<Variant> values(params.size());
    for (std::size_t i = 0; i < params.size(); ++i) {
        const bool omitted = i >= args.size() || (params[i].Optional && args[i].IsEmpty());
        if (omitted) {
            values[i] = Variant::FromString(String(params[i].Default));
            continue;
        }
        const Status converted = args[i].ConvertTo(params[i].Type, values[i]);
        if (Failed(converted)) {
            if (argError) *argError = static_cast<std::uint32_t>(i);
            return converted;
        }
    }

    Variant value;
    const Status status = Guarded(exception, [&] {
        switch (access) {
            case Access::Get: value = GetProperty(id); break;
            case Access::Put: PutProperty(id, values[0]); break;
            case Access::Call: value = CallMethod(id, values); break;
        }
    });
    if (Succeeded(status) && result) *result = resultType == VarType::Empty ? Variant() : value;
    return status;
}

Variant TarselObject::GetProperty(DispId id) const {
    const tarsel& c = *control_;
    switch (id) {
        case dispid::TraceOn: return Variant::FromBoolean(c.TraceOn);
#define TARSEL_PROPERTY(type, name, access, order, id, copy) \
        case dispid::name: return Variant::From##type(c.get_##name());
#define TARSEL_STORED_PROPERTY(type, name, order, id, key, def, saveAt, loadAt, load) \
        TARSEL_PROPERTY(type, name, RW, order, id, Own)
#include <tarsel/properties.def>
    }
    throw std::logic_error("a property of the dispatch table has no reader");
}

void TarselObject::PutProperty(DispId id, const Variant& v) {
    tarsel& c = *control_;
    switch (id) {
        case dispid::TraceOn: c.TraceOn = v.AsBoolean(); return;
// A read-only property never gets here: Invoke refuses to write it.
#define TARSEL_WRITER_RO(type, name)
#define TARSEL_WRITER_RW(type, name) \
        case dispid::name: c.put_##name(v.As##type()); return;
#define TARSEL_PROPERTY(type, name, access, order, id, copy) TARSEL_WRITER_##access(type, name)
#define TARSEL_STORED_PROPERTY(type, name, order, id, key, def, saveAt, loadAt, load) \
        TARSEL_WRITER_RW(type, name)
#include <tarsel/properties.def>
#undef TARSEL_WRITER_RW
#undef TARSEL_WRITER_RO
    }
    throw std::logic_error("a property of the dispatch table has no writer");
}

Variant TarselObject::CallMethod(DispId id, std::span<const Variant> a) {
    tarsel& c = *control_;
    auto s = [&](std::size_t i) -> const String& { return a[i].AsString(); };
    switch (id) {
        case dispid::ShowAboutBox: c.ShowAboutBox(); break;
        case dispid::Connect: c.Connect(s(0), s(1), s(2)); break;
        case dispid::Abend: c.Abend(); break;
        case dispid::DisConnect: c.DisConnect(); break;
        case dispid::Login: c.Login(s(0), s(1)); break;
        case dispid::Cd: c.Cd(s(0)); break;
        case dispid::Cwd: c.Cwd(s(0)); break;
        case dispid::Pwd: c.Pwd(); break;
        case dispid::FileSize: c.FileSize(s(0)); break;
        case dispid::Dir: c.Dir(s(0)); break;
        case dispid::Ls: c.Ls(s(0)); break;
        case dispid::GetFile: c.GetFile(s(0), s(1)); break;
        case dispid::PutFile: c.PutFile(s(0), s(1)); break;
        case dispid::AppendFile: c.AppendFile(s(0)); break;
        case dispid::Noop: c.Noop(); break;
        case dispid::Delete: c.Delete(s(0)); break;
        case dispid::MkDir: c.MkDir(s(0)); break;
        case dispid::RmDir: c.RmDir(s(0)); break;
        case dispid::Rename: c.Rename(s(0), s(1)); break;
        case dispid::Abort: c.Abort(); break;
        case dispid::SiteCommand: c.SiteCommand(s(0)); break;
        case dispid::QuoteCommand: c.QuoteCommand(s(0)); break;
        case dispid::IsIdle: return Variant::FromBoolean(c.IsIdle());
        default: throw std::logic_error("a method of the dispatch table has no binding");
    }
    return Variant();
}

}  // namespace

Status CreateTarselObject(const Guid& iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    TarselObject* created = nullptr;
    try {
        created = new TarselObject();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    // The object starts with one reference; the query adds the caller's, then ours goes.
    const Status status = created->QueryInterface(iid, object);
    static_cast<Dispatch*>(created)->Release();
    return status;
}

const ServerClass& LibraryServerClass() {
    static const ServerClass served{TarselTypeLibrary(), &CreateTarselObject};
    return served;
}

}  // namespace tarselctl
