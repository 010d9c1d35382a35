// What a control made from a template takes from it: the settings a transfer queue gives
// every connection it opens.
#pragma once

#include <tarsel/tarsel.h>

namespace tarselctl {

/// Copies to `to` every stored setting of `from` (as ReadProperties would load them), the
/// properties marked Template in <tarsel/properties.def> (the time-outs) and TraceOn.
void CopyTemplateSettings(const tarsel& from, tarsel& to);

}  // namespace tarselctl
