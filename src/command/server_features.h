// The features a server lists in its answer to FEAT (RFC 2389).
#pragma once

#include <vector>

#include <tarsel/types.h>

namespace tarselctl {

/// The feature lines of a whole FEAT reply (its lines joined by CR LF): every line between
/// the first and the last that begins with a blank, without its leading blanks ("MDTM",
/// "REST STREAM", "MLST type*;size*;"). A reply of one line lists none.
std::vector<String> FeatureLines(const String& reply);

/// Whether `features` holds `name` as the first word of a line, compared without regard
/// to case ("utf8" finds "UTF8", "REST" finds "REST STREAM").
bool ListsFeature(const std::vector<String>& features, const String& name);

}  // namespace tarselctl
