// A host that knows nothing of the control but the path of its library: it loads the library,
// registers it, finds its record, creates an instance through the class object, connects its
// event sink, logs in to a real FTP server and downloads a file by dispatch ids alone, then
// lets everything go and unregisters.
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tarsel/asio_platform.h>
#include <tarsel/automation.h>
#include <tarsel/property_bag.h>

#include "interop/ftp_server_env.h"

namespace tarselctl {
namespace {

using ::testing::Contains;

std::string LibraryPath() {
#ifdef TARSEL_LIBRARY_PATH
    return TARSEL_LIBRARY_PATH;
#else
    // This test program is linked with the library as well; ask the loader where it is.
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&DllCanUnloadNow), &info) == 0 || !info.dli_fname) return {};
    return info.dli_fname;
#endif
}

template <class F>
F Symbol(void* library, const char* name) {
    return reinterpret_cast<F>(::dlsym(library, name));
}

/// The host's event sink: reacts to events by their ids and drives the next step by id.
class DownloadHost final : public Dispatch {
public:
    DownloadHost(asio::io_context& io, std::u16string file) : io_(io), file_(std::move(file)) {}

    Dispatch* control = nullptr;
    std::vector<std::string> events;
    std::string received;
    std::vector<Status> failures;

    Status QueryInterface(const Guid& iid, void** object) override {
        *object = nullptr;
        if (!(iid == IID_Unknown || iid == IID_Dispatch || iid == IID___tarsel)) return E_NOINTERFACE;
        *object = static_cast<Dispatch*>(this);
        AddRef();
        return S_OK;
    }
    std::uint32_t AddRef() override { return ++refs; }
    std::uint32_t Release() override { return --refs; }
    Status GetIDsOfNames(std::span<const String>, std::vector<DispId>&) override { return E_NOTIMPL; }
    Status GetTypeInfo(const InterfaceDescription**) override { return E_NOTIMPL; }

    Status Invoke(DispId id, InvokeKind, std::span<Variant> args, Variant*, ExceptionInfo*,
                  std::uint32_t*) override {
        switch (id) {
            case dispid::event::Connected: events.push_back("Connected"); break;
            case dispid::event::CommandDone: {
                const Integer code = args[0].AsInteger();
                const String op = args[1].AsString();
                events.push_back("CommandDone(" + std::to_string(code) + "," + ToUtf8(op) + ")");
                if (code != 0) {
                    Step(dispid::Abend, {});
                } else if (op == u"Connect") {
                    Step(dispid::GetFile, {Variant::FromString(file_), Variant::FromString(u"local.bin")});
                } else if (op == u"GetFile") {
                    Step(dispid::DisConnect, {});
                }
                break;
            }
            case dispid::event::GetOpen: events.push_back("GetOpen(" + ToUtf8(args[0].AsString()) + ")"); break;
            case dispid::event::GetData: {
                const ByteArray& bytes = args[0].AsBytes().Elements;
                received.append(bytes.begin(), bytes.end());
                break;
            }
            case dispid::event::GetClose: events.push_back("GetClose"); break;
            case dispid::event::TransError:
                events.push_back("TransError(" + std::to_string(args[0].AsLong()) + ")");
                break;
            case dispid::event::DisConnected:
                events.push_back("DisConnected(" + std::to_string(args[0].AsLong()) + ")");
                io_.stop();
                break;
            default: break;
        }
        return S_OK;
    }

    std::uint32_t refs = 0;

private:
    void Step(DispId id, std::vector<Variant> args) {
        const Status status = control->Invoke(id, DISPATCH_METHOD, args, nullptr, nullptr, nullptr);
        if (Failed(status)) failures.push_back(status);
    }

    asio::io_context& io_;
    std::u16string file_;
};

TEST(AutomationHostTest, DownloadsAFileByDispatchIdsFromALoadedLibrary) {
    const std::optional<FtpServer> server = FtpServerNamed("vsftpd");
    if (!server || server->root.empty()) GTEST_SKIP() << "vsftpd is not running";

    // The fixture file, world-readable for the anonymous server.
    const std::string name = "automation_host_" + std::to_string(::getpid()) + ".bin";
    const std::filesystem::path served = std::filesystem::path(server->root) / name;
    std::string content;
    for (int i = 0; i < 200000; ++i) content.push_back(static_cast<char>((i * 7 + i / 251) & 0xFF));
    std::ofstream(served, std::ios::binary) << content;
    std::filesystem::permissions(served, std::filesystem::perms::owner_read |
                                             std::filesystem::perms::owner_write |
                                             std::filesystem::perms::group_read |
                                             std::filesystem::perms::others_read);

    const std::filesystem::path registryDir =
        std::filesystem::path(::testing::TempDir()) / ("automation_host_registry_" + std::to_string(::getpid()));
    std::filesystem::remove_all(registryDir);
    ::setenv("TARSEL_REGISTRY_DIR", registryDir.c_str(), 1);

    const std::string path = LibraryPath();
    ASSERT_FALSE(path.empty());
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    const auto registerServer = Symbol<DllRegisterServerFn>(library, "DllRegisterServer");
    const auto unregisterServer = Symbol<DllUnregisterServerFn>(library, "DllUnregisterServer");
    const auto getClassObject = Symbol<DllGetClassObjectFn>(library, "DllGetClassObject");
    const auto canUnloadNow = Symbol<DllCanUnloadNowFn>(library, "DllCanUnloadNow");
    ASSERT_TRUE(registerServer && unregisterServer && getClassObject && canUnloadNow);

    ASSERT_EQ(registerServer(), S_OK);
    const std::optional<RegistryRecord> record = ComponentRegistry(registryDir).Find(CLSID_tarsel);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->LibraryPath, std::filesystem::canonical(path).string());
    EXPECT_EQ(record->TypeLibraryName, u"TARSELCTL");

    {
        asio::io_context io;
        AsioPlatform platform(io);
        MemoryPropertyBag storage;
        DownloadHost host(io, FromUtf8(name));
        {
            Ref<ClassFactory> factory;
            ASSERT_EQ(getClassObject(&record->ClassId, &IID_ClassFactory, factory.put()), S_OK);
            Ref<Dispatch> object;
            ASSERT_EQ(factory->CreateInstance(nullptr, record->DispatchInterface, object.put()), S_OK);
            factory.reset();
            ASSERT_EQ(object.As<ObjectWithSite>(IID_ObjectWithSite)->SetSite({&platform, &storage}), S_OK);
            ExceptionInfo error;
            ASSERT_EQ(object.As<PersistPropertyBag>(IID_PersistPropertyBag)->InitNew(&error), S_OK);

            Ref<ConnectionPoint> point;
            ASSERT_EQ(object.As<ConnectionPointContainer>(IID_ConnectionPointContainer)
                          ->FindConnectionPoint(record->EventInterface, point.put()),
                      S_OK);
            std::uint32_t cookie = 0;
            ASSERT_EQ(point->Advise(&host, &cookie), S_OK);
            host.control = object.get();

            std::vector<Variant> port = {Variant::FromString(FromUtf8(server->port))};
            std::vector<Variant> passive = {Variant::FromBoolean(True)};
            std::vector<Variant> timeout = {Variant::FromLong(20)};
            ASSERT_EQ(object->Invoke(dispid::port, DISPATCH_PROPERTYPUT, port, nullptr, nullptr, nullptr), S_OK);
            ASSERT_EQ(object->Invoke(dispid::Passive, DISPATCH_PROPERTYPUT, passive, nullptr, nullptr, nullptr), S_OK);
            ASSERT_EQ(object->Invoke(dispid::ConnectTimeout, DISPATCH_PROPERTYPUT, timeout, nullptr, nullptr, nullptr), S_OK);
            ASSERT_EQ(object->Invoke(dispid::TransTimeout, DISPATCH_PROPERTYPUT, timeout, nullptr, nullptr, nullptr), S_OK);
            std::vector<Variant> login = {Variant::FromString(FromUtf8(server->host)),
                                          Variant::FromString(FromUtf8(server->user)),
                                          Variant::FromString(FromUtf8(server->pass))};
            ExceptionInfo connectError;
            ASSERT_EQ(object->Invoke(dispid::Connect, DISPATCH_METHOD, login, nullptr, &connectError, nullptr), S_OK)
                << ToUtf8(connectError.Description);

            io.run_for(std::chrono::seconds(60));

            EXPECT_TRUE(host.failures.empty());
            EXPECT_EQ(host.received.size(), content.size());
            EXPECT_TRUE(host.received == content);
            EXPECT_THAT(host.events, Contains("Connected"));
            EXPECT_THAT(host.events, Contains("CommandDone(0,Connect)"));
            EXPECT_THAT(host.events, Contains("GetOpen(local.bin)"));
            EXPECT_THAT(host.events, Contains("GetClose"));
            EXPECT_THAT(host.events, Contains("CommandDone(0,GetFile)"));
            ASSERT_FALSE(host.events.empty());
            EXPECT_EQ(host.events.back(), "DisConnected(0)");

            EXPECT_EQ(point->Unadvise(cookie), S_OK);
            EXPECT_EQ(canUnloadNow(), S_FALSE);  // the instance is still held
        }
        EXPECT_EQ(host.refs, 0u);
        EXPECT_EQ(canUnloadNow(), S_OK);
    }

    ASSERT_EQ(unregisterServer(), S_OK);
    EXPECT_EQ(ComponentRegistry(registryDir).Find(CLSID_tarsel), std::nullopt);
    EXPECT_EQ(::dlclose(library), 0);
    std::filesystem::remove(served);
    std::filesystem::remove_all(registryDir);
    ::unsetenv("TARSEL_REGISTRY_DIR");
}

}  // namespace
}  // namespace tarselctl
