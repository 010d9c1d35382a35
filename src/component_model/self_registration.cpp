// The library's entry points: self-registration, the class object and the unload check.
#include <tarsel/automation.h>

#include <dlfcn.h>

#include <exception>
#include <filesystem>
#include <system_error>

#include "component_model/class_object.h"
#include "component_model/module_lifetime.h"
#include "component_model/server_class.h"

namespace tarselctl {
namespace {

ClassObject& ServedClassObject() {
    static ClassObject object(LibraryServerClass().create);
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

RegistryRecord ServedClassRecord() {
    const TypeLibraryDescription& lib = LibraryServerClass().library;
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

TARSEL_API Status DllRegisterServer() {
    try {
        ComponentRegistry(ComponentRegistry::DefaultDirectory()).Write(ServedClassRecord());
        return S_OK;
    } catch (...) {
        return SELFREG_E_CLASS;
    }
}

TARSEL_API Status DllUnregisterServer() {
    try {
        ComponentRegistry(ComponentRegistry::DefaultDirectory()).Remove(LibraryServerClass().library.ClassId);
        return S_OK;
    } catch (...) {
        return SELFREG_E_CLASS;
    }
}

TARSEL_API Status DllGetClassObject(const Guid* clsid,
                                                                const Guid* iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!clsid || !iid) return E_POINTER;
    if (!(*clsid == LibraryServerClass().library.ClassId)) return CLASS_E_CLASSNOTAVAILABLE;
    module_lifetime::RunFinishers();
    return ServedClassObject().QueryInterface(*iid, object);
}

TARSEL_API Status DllCanUnloadNow() {
    return module_lifetime::CanUnload() ? S_OK : S_FALSE;
}

TARSEL_API Status DllGetTypeLibrary(
    const TypeLibraryDescription** library) {
    if (!library) return E_POINTER;
    *library = &LibraryServerClass().library;
    return S_OK;
}

}  // extern "C"
