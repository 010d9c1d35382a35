// The registry of classes and the library's entry points.
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include <tarsel/automation.h>

namespace tarselctl {
namespace {

/// Points the registry at a fresh directory for one test and restores the environment.
class RegistryDirectory {
public:
    explicit RegistryDirectory(const std::string& name)
        : path_(std::filesystem::path(::testing::TempDir()) / name) {
        std::filesystem::remove_all(path_);
        Save("TARSEL_REGISTRY_DIR", saved_[0]);
        Save("XDG_DATA_HOME", saved_[1]);
        Save("HOME", saved_[2]);
        ::setenv("TARSEL_REGISTRY_DIR", path_.c_str(), 1);
    }
    ~RegistryDirectory() {
        Restore("TARSEL_REGISTRY_DIR", saved_[0]);
        Restore("XDG_DATA_HOME", saved_[1]);
        Restore("HOME", saved_[2]);
        std::filesystem::remove_all(path_);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    static void Save(const char* name, std::optional<std::string>& slot) {
        if (const char* v = std::getenv(name)) slot = v;
    }
    static void Restore(const char* name, const std::optional<std::string>& slot) {
        if (slot) ::setenv(name, slot->c_str(), 1);
        else ::unsetenv(name);
    }
    std::filesystem::path path_;
    std::optional<std::string> saved_[3];
};

RegistryRecord SampleRecord() {
    RegistryRecord r;
    r.ClassId = CLSID_tarsel;
    r.Name = u"tarsel";
    r.LibraryPath = "/opt/lib dir/libtarsel.so.0";
    r.TypeLibraryId = LIBID_TARSELCTL;
    r.TypeLibraryName = u"TARSELCTL";
    r.TypeLibraryMajor = 1;
    r.TypeLibraryMinor = 65535;
    r.DispatchInterface = IID__tarsel;
    r.EventInterface = IID___tarsel;
    return r;
}

TEST(ComponentRegistryTest, DefaultDirectoryFollowsTheEnvironment) {
    RegistryDirectory scope("registry_env");
    EXPECT_EQ(ComponentRegistry::DefaultDirectory(), scope.path());
    ::setenv("TARSEL_REGISTRY_DIR", "", 1);
    ::setenv("XDG_DATA_HOME", "/data/home", 1);
    EXPECT_EQ(ComponentRegistry::DefaultDirectory(), "/data/home/tarsel/registry");
    ::unsetenv("XDG_DATA_HOME");
    ::setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(ComponentRegistry::DefaultDirectory(), "/home/someone/.local/share/tarsel/registry");
}

TEST(ComponentRegistryTest, RecordsAreWrittenFoundAndRemoved) {
    RegistryDirectory scope("registry_records");
    const ComponentRegistry registry(scope.path() / "nested");
    EXPECT_EQ(registry.Find(CLSID_tarsel), std::nullopt);
    EXPECT_FALSE(registry.Remove(CLSID_tarsel));

    registry.Write(SampleRecord());  // makes the directories it needs
    EXPECT_EQ(registry.Find(CLSID_tarsel), SampleRecord());
    RegistryRecord moved = SampleRecord();
    moved.LibraryPath = "/elsewhere/libtarsel.so";
    registry.Write(moved);
    EXPECT_EQ(registry.Find(CLSID_tarsel), moved);

    EXPECT_TRUE(registry.Remove(CLSID_tarsel));
    EXPECT_EQ(registry.Find(CLSID_tarsel), std::nullopt);
}

TEST(ComponentRegistryTest, DamagedRecordsAreReportedNotGuessed) {
    RegistryDirectory scope("registry_damaged");
    const ComponentRegistry registry(scope.path());
    registry.Write(SampleRecord());
    const std::filesystem::path file = scope.path() / (GuidToString(CLSID_tarsel) + ".record");
    ASSERT_TRUE(std::filesystem::exists(file));
    for (const char* text : {"ClassId={46848393-42CE-4235-9937-98ADE7C3C160}\n",
                             "ClassId=garbage\n",
                             "ClassId={00000000-0000-0000-0000-000000000000}\nName=x\n"}) {
        std::ofstream(file, std::ios::trunc) << text;
        EXPECT_THROW(registry.Find(CLSID_tarsel), std::runtime_error) << text;
    }
}

TEST(SelfRegistrationTest, RegisterRecordsThisLibraryAndUnregisterRemovesIt) {
    RegistryDirectory scope("registry_self");
    ASSERT_EQ(DllRegisterServer(), S_OK);
    const std::optional<RegistryRecord> record = ComponentRegistry(scope.path()).Find(CLSID_tarsel);
    ASSERT_TRUE(record.has_value());
    // The module that holds the code registers itself: here the test program, which links
    // the library's objects (a host that loads the shared library records the library).
    EXPECT_EQ(record->LibraryPath, std::filesystem::canonical("/proc/self/exe").string());
    EXPECT_EQ(record->Name, u"tarsel");
    EXPECT_EQ(record->TypeLibraryName, u"TARSELCTL");
    EXPECT_EQ(record->TypeLibraryId, LIBID_TARSELCTL);
    EXPECT_EQ(record->DispatchInterface, IID__tarsel);
    EXPECT_EQ(record->EventInterface, IID___tarsel);

    ASSERT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_EQ(ComponentRegistry(scope.path()).Find(CLSID_tarsel), std::nullopt);
    EXPECT_EQ(DllUnregisterServer(), S_OK);  // nothing to remove is no failure
}

TEST(SelfRegistrationTest, RegistrationThatCannotWriteFails) {
    RegistryDirectory scope("registry_blocked");
    std::filesystem::create_directories(scope.path().parent_path());
    std::ofstream(scope.path()) << "a file where the directory should be";
    EXPECT_EQ(DllRegisterServer(), SELFREG_E_CLASS);
}

TEST(ClassObjectTest, MakesInstancesOfTarselOnlyAndCountsWhatIsAlive) {
    ASSERT_EQ(DllCanUnloadNow(), S_OK);
    Ref<ClassFactory> factory;
    const Guid other{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(DllGetClassObject(&other, &IID_ClassFactory, factory.put()), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(DllGetClassObject(&CLSID_tarsel, &IID_Dispatch, factory.put()), E_NOINTERFACE);
    ASSERT_EQ(DllGetClassObject(&CLSID_tarsel, &IID_ClassFactory, factory.put()), S_OK);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // a class object handed out counts

    Ref<Unknown> instance;
    struct Outer final : Unknown {
        Status QueryInterface(const Guid&, void**) override { return E_NOINTERFACE; }
        std::uint32_t AddRef() override { return 1; }
        std::uint32_t Release() override { return 1; }
    } outer;
    EXPECT_EQ(factory->CreateInstance(&outer, IID_Unknown, instance.put()), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_ClassFactory, instance.put()), E_NOINTERFACE);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_Unknown, instance.put()), S_OK);
    Ref<PersistPropertyBag> persist = instance.As<PersistPropertyBag>(IID_PersistPropertyBag);
    Ref<ViewExtent> extent = instance.As<ViewExtent>(IID_ViewExtent);
    EXPECT_TRUE(persist && extent);
    // Every interface answers for the same object.
    Ref<Unknown> identity = extent.As<Unknown>(IID_Unknown);
    EXPECT_EQ(identity.get(), instance.get());

    factory.reset();
    persist.reset();
    extent.reset();
    identity.reset();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // the instance
    instance.reset();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);

    ASSERT_EQ(DllGetClassObject(&CLSID_tarsel, &IID_ClassFactory, factory.put()), S_OK);
    EXPECT_EQ(factory->LockServer(true), S_OK);
    factory.reset();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // the lock
    Ref<ClassFactory> again;
    ASSERT_EQ(DllGetClassObject(&CLSID_tarsel, &IID_ClassFactory, again.put()), S_OK);
    EXPECT_EQ(again->LockServer(false), S_OK);
    EXPECT_EQ(again->LockServer(false), E_UNEXPECTED);  // no lock left to take back
    again.reset();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

}  // namespace
}  // namespace tarselctl
