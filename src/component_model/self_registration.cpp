// The library's entry points: self-registration, the class object and the unload check.
#include <tarsel/automation.h>

#include <dlfcn.h>

#include <exception>
#include <filesystem>
#include <system_error>

#include "control/automation_binding.h"
#include "component_model/class_object.h"
#include "component_model/module_lifetime.h"

namespace tarselctl {
namespace {

ClassObject& TarselClassObject() {
    static ClassObject object(&CreateTarselObject);
    return object;
}

// The path of the shared library this code was loaded from, made absolute so the record
// stays valid whatever the host's working directory is later.
std::string ThisLibraryPath() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&DllRegisterServer), &info) == 0 || !info.dli_fname)
        throw std::runtime_error("the library cannot find its own path");
    std::error_code ec;
    std::filesystem::path path = std::filesystem::canonical(info.dli_fname, ec);
    if (ec) path = std::filesystem::absolute(info.dli_fname);
    return path.string();
}

RegistryRecord TarselRecord() {
    const TypeLibraryDescription& lib = TarselTypeLibrary();
    RegistryRecord r;
    r.ClassId = lib.ClassId;
    r.Name = String(lib.ClassName);
    r.LibraryPath = ThisLibraryPath();
    r.TypeLibraryId = lib.LibId;
    r.TypeLibraryName = String(lib.Name);
    r.TypeLibraryMajor = lib.MajorVersion;
    r.TypeLibraryMinor = lib.MinorVersion;
    r.DispatchInterface = lib.DispatchInterface->Iid;
    r.EventInterface = lib.EventInterface->Iid;
    return r;
}

}  // namespace
}  // namespace tarselctl

using namespace tarselctl;

extern "C" {

__attribute__((visibility("default"))) Status DllRegisterServer() {
    try {
        ComponentRegistry(ComponentRegistry::DefaultDirectory()).Write(TarselRecord());
        return S_OK;
    } catch (...) {
        return SELFREG_E_CLASS;
    }
}

__attribute__((visibility("default"))) Status DllUnregisterServer() {
    try {
        ComponentRegistry(ComponentRegistry::DefaultDirectory()).Remove(CLSID_tarsel);
        return S_OK;
    } catch (...) {
        return SELFREG_E_CLASS;
    }
}

__attribute__((visibility("default"))) Status DllGetClassObject(const Guid* clsid,
                                                                const Guid* iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!clsid || !iid) return E_POINTER;
    if (!(*clsid == CLSID_tarsel)) return CLASS_E_CLASSNOTAVAILABLE;
    module_lifetime::RunFinishers();
    return TarselClassObject().QueryInterface(*iid, object);
}

__attribute__((visibility("default"))) Status DllCanUnloadNow() {
    return module_lifetime::CanUnload() ? S_OK : S_FALSE;
}

__attribute__((visibility("default"))) Status DllGetTypeLibrary(
    const TypeLibraryDescription** library) {
    if (!library) return E_POINTER;
    *library = &TarselTypeLibrary();
    return S_OK;
}

}  // extern "C"
