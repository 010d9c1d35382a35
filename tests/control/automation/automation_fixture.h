// A host that reaches the control only through the automation binding: the class object
// makes the instance, the site brings it to life on the scripted platform, and every call
// goes by dispatch id.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <tarsel/automation.h>
#include <tarsel/property_bag.h>

#include "support/fake_platform.h"

namespace tarselctl {

/// An event sink as a host writes one: a dispatch object that answers the event interface.
/// It records each call as "Name(arg,arg)" with the event's name from the type library, and
/// lets a test act from inside an event through `onEvent`. It lives on the test's stack, so
/// its reference count only tells whether the control still holds it.
class RecordingSink final : public Dispatch {
public:
    std::vector<std::string> events;
    std::function<void(DispId, std::span<Variant>)> onEvent;
    bool recordTraces = false;
    std::uint32_t refs = 0;

    Status QueryInterface(const Guid& iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (!(iid == IID_Unknown || iid == IID_Dispatch || iid == IID___tarsel))
            return E_NOINTERFACE;
        *object = static_cast<Dispatch*>(this);
        AddRef();
        return S_OK;
    }
    std::uint32_t AddRef() override { return ++refs; }
    std::uint32_t Release() override { return --refs; }

    Status GetIDsOfNames(std::span<const String>, std::vector<DispId>&) override { return E_NOTIMPL; }
    Status GetTypeInfo(const InterfaceDescription** info) override {
        *info = TarselTypeLibrary().EventInterface;
        return S_OK;
    }

    Status Invoke(DispId id, InvokeKind kind, std::span<Variant> args, Variant*, ExceptionInfo*,
                  std::uint32_t*) override {
        EXPECT_EQ(kind, DISPATCH_METHOD);
        const MemberDescription* event = TarselTypeLibrary().EventInterface->FindMember(id);
        std::string line = event ? ToUtf8(String(event->Name)) : "?" + std::to_string(id);
        if (!args.empty()) {
            line += "(";
            for (std::size_t i = 0; i < args.size(); ++i) {
                if (i) line += ",";
                line += Text(args[i]);
            }
            line += ")";
        }
        if (id != dispid::event::Trace || recordTraces) events.push_back(line);
        if (onEvent) onEvent(id, args);
        return S_OK;
    }

    /// A value as the recorded line shows it; a byte array shows its bytes as text.
    static std::string Text(const Variant& v) {
        switch (v.Type()) {
            case VarType::String: return (v.IsByRef() ? "&" : "") + ToUtf8(v.AsString());
            case VarType::Integer: return std::to_string(v.AsInteger());
            case VarType::Long: return std::to_string(v.AsLong());
            case VarType::Boolean: return v.AsBoolean() ? "True" : "False";
            case VarType::ByteArray: {
                const ByteArray& b = v.AsBytes().Elements;
                return (v.IsByRef() ? "&[" : "[") + std::string(b.begin(), b.end()) + "]";
            }
            case VarType::Empty: return "Empty";
        }
        return "?";
    }
};

class AutomationTest : public ::testing::Test {
protected:
    explicit AutomationTest(FakePlatform::CodawaKind kind = FakePlatform::CodawaKind::Real)
        : platform(kind) {
        Ref<ClassFactory> factory;
        EXPECT_EQ(DllGetClassObject(&CLSID_tarsel, &IID_ClassFactory, factory.put()), S_OK);
        EXPECT_EQ(factory->CreateInstance(nullptr, IID__tarsel, object.put()), S_OK);
        Ref<ObjectWithSite> siteable = object.As<ObjectWithSite>(IID_ObjectWithSite);
        EXPECT_EQ(siteable->SetSite(ControlSite{&platform, &bag}), S_OK);
    }

    // Declared so that the object goes first, then the sink it holds, then the platform.
    FakePlatform platform;
    MemoryPropertyBag bag;
    RecordingSink sink;
    Ref<Dispatch> object;
    ExceptionInfo exception;
    std::uint32_t argError = 0xFFFFFFFF;

    Status Invoke(DispId id, InvokeKind kind, std::vector<Variant> args, Variant* result = nullptr) {
        exception = ExceptionInfo();
        argError = 0xFFFFFFFF;
        return object->Invoke(id, kind, args, result, &exception, &argError);
    }
    Status Call(DispId id, std::vector<Variant> args = {}) {
        return Invoke(id, DISPATCH_METHOD, std::move(args));
    }
    Status Put(DispId id, Variant value) { return Invoke(id, DISPATCH_PROPERTYPUT, {std::move(value)}); }
    Variant Get(DispId id) {
        Variant result;
        EXPECT_EQ(Invoke(id, DISPATCH_PROPERTYGET, {}, &result), S_OK) << "reading " << id;
        return result;
    }
    String GetString(DispId id) { return Get(id).AsString(); }

    static Variant Str(const char16_t* text) { return Variant::FromString(text); }

    /// Connects `sink` to the object's event point; returns the cookie.
    std::uint32_t ConnectSink(Unknown& which) {
        Ref<ConnectionPointContainer> container =
            object.As<ConnectionPointContainer>(IID_ConnectionPointContainer);
        Ref<ConnectionPoint> point;
        EXPECT_EQ(container->FindConnectionPoint(IID___tarsel, point.put()), S_OK);
        std::uint32_t cookie = 0;
        EXPECT_EQ(point->Advise(&which, &cookie), S_OK);
        return cookie;
    }

    void DisconnectSink(std::uint32_t cookie) {
        Ref<ConnectionPoint> point;
        object.As<ConnectionPointContainer>(IID_ConnectionPointContainer)
            ->FindConnectionPoint(IID___tarsel, point.put());
        EXPECT_EQ(point->Unadvise(cookie), S_OK);
    }

    FakeSoquet& s1() { return *platform.soquets.at(0); }
    FakeSoquet& s3() { return *platform.soquets.at(2); }
    FakeTimer& t1() { return *platform.timers.at(0); }
    void Reply(const std::string& text) { s1().Receive(text + "\r\n"); }

    /// Connect and log in by dispatch id; the control is idle afterwards.
    void ConnectAndLogin() {
        ASSERT_EQ(Call(dispid::Connect, {Str(u"ftp.example"), Str(u"user"), Str(u"pw")}), S_OK);
        s1().Connect();
        Reply("220 ready");
        Reply("331 pw");
        Reply("230 ok");
        Variant idle;
        ASSERT_EQ(Invoke(dispid::IsIdle, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, &idle), S_OK);
        ASSERT_EQ(idle.AsBoolean(), True);
        s1().ClearSent();
        sink.events.clear();
    }
};

}  // namespace tarselctl
