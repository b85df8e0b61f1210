// What only the operating system can tell: kept to this one file and its source.
#pragma once

#include "ref.h"

namespace ortan {

// The path of the loaded library (or program) whose code or data holds `address`, as str; an
// empty str for the main program where the system does not name it; None when no loaded file
// holds the address or the system cannot tell. Null with an exception set on failure.
Ref file_holding(const void *address);

} // namespace ortan
