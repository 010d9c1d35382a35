// Former home of a listing-line cutter; lines are cut by command/line_cutter.h now. Kept only
// for files that still include it.
#pragma once

#include "command/line_cutter.h"
