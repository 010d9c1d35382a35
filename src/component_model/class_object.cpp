#include "component_model/class_object.h"

#include "component_model/module_lifetime.h"

namespace tarselctl {

Status ClassObject::QueryInterface(const Guid& iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IID_Unknown || iid == IID_ClassFactory) {
        *object = static_cast<ClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

std::uint32_t ClassObject::AddRef() {
    const std::uint32_t refs = ++refs_;
    if (refs == 1) module_lifetime::ObjectCreated();
    return refs;
}

std::uint32_t ClassObject::Release() {
    const std::uint32_t refs = --refs_;
    if (refs == 0) module_lifetime::ObjectDestroyed();
    return refs;
}

Status ClassObject::CreateInstance(Unknown* outer, const Guid& iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    module_lifetime::RunFinishers();
    return create_(iid, object);
}

Status ClassObject::LockServer(bool lock) {
    if (lock) {
        module_lifetime::Lock();
        return S_OK;
    }
    return module_lifetime::Unlock() ? S_OK : E_UNEXPECTED;
}

}  // namespace tarselctl
