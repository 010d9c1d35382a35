// The creatable class a library serves, as its entry points (self-registration, the class
// object, the type library) see it.
#pragma once

#include <tarsel/automation.h>

#include "component_model/class_object.h"

namespace tarselctl {

/// What the entry points register, create and describe.
struct ServerClass {
    /// The type library; its ClassId names the class.
    const TypeLibraryDescription& library;
    /// Makes an instance of the class.
    ClassObject::Creator create;
};

/// The class of this library. Defined by the component the library is built around (the
/// control), so that this generic layer names no concrete class.
const ServerClass& LibraryServerClass();

}  // namespace tarselctl
