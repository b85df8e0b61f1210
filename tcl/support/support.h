// The shared layer every module includes.
#pragma once

#include "args.h"
#include "buffer.h"
#include "classes.h"
#include "errors.h"
#include "module.h"
#include "names.h"
#include "recursion.h"
#include "ref.h"
#include "tcl_library.h"
#include "text.h"
