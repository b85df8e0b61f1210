// The shared layer every module includes: the shapes that every module repeats, written once.
//
// What belongs here: the reference handle (ref.h) and the back-ports of newer C API calls
// (compat.h); the stack-first buffer with its one failure policy (buffer.h); the recursion guard;
// the C API wrappers for imports, attribute access, calls, weak references and exceptions
// (pyapi.h); the method descriptor and the class builder (classes.h); argument parsing (args.h);
// module init and interning, with the interned-name table (module.h, names.h); text scanning and
// building (text.h); the Tcl library handle (tcl_library.h); the owner thread of an interpreter
// (owner.h); the calls that the modules send through tkinter, with the causes of their errors
// (calls_api.h).
//
// What does not: anything only one module uses. A helper moves here when a second module needs
// it, and leaves the module then; it is not a framework.
#pragma once

#include "args.h"
#include "buffer.h"
#include "classes.h"
#include "module.h"
#include "names.h"
#include "owner.h"
#include "pyapi.h"
#include "recursion.h"
#include "ref.h"
#include "slots.h"
#include "tcl_library.h"
#include "text.h"
