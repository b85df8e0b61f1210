// Former name of pyapi.h (and of intern, now in module.h): kept until no file includes it.
#pragma once

#include "module.h"
#include "pyapi.h"
