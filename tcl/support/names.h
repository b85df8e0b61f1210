// The interned-name table: one list per module, from which both the declarations and the
// interning are made, so the two cannot drift.
#pragma once

#include "module.h"

// A module writes its names once, as an X-macro list of (identifier, text) pairs:
//
//     #define HISTORY_NAMES(X) X(enabled, "enabled") X(w_set, "::set")
//     ORTAN_NAME_TABLE(Names, HISTORY_NAMES)
//     Names S;                     // S.enabled, S.w_set
//     ...  if (!S.intern()) return -1;   // in the module's exec function
//
// A text may stand under two identifiers where the code uses it in two roles (an attribute
// name and a Tcl word, say: `set` and `w_set`); the comment beside such a pair says so.
#define ORTAN_NAME_DECLARE_(id, text) PyObject *id = nullptr;
#define ORTAN_NAME_ENTRY_(id, text) ortan::InternedName{&id, text},
#define ORTAN_NAME_TABLE(Type, LIST)                                                               \
    struct Type {                                                                                  \
        LIST(ORTAN_NAME_DECLARE_)                                                                  \
        bool intern() { return ortan::intern_all({LIST(ORTAN_NAME_ENTRY_)}); }                     \
    };
