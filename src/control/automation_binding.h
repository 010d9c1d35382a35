// Creation of the control as an automation object.
#pragma once

#include <tarsel/automation.h>

namespace tarselctl {

/// A new, unsited `tarsel` object queried for `iid` (it answers _tarsel, Dispatch,
/// ConnectionPointContainer, ObjectWithSite, PersistPropertyBag and ViewExtent).
Status CreateTarselObject(const Guid& iid, void** object);

}  // namespace tarselctl
