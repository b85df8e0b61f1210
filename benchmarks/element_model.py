"""Tcl's list-element quoting in plain Python: the model that the benchmarks time (as the same
rules in Python) and the fuzz target checks _Tcl_ScanElement and _Tcl_ConvertElement against.

Flags are collections of the names below, read by membership only (never changed), so that the
model applies to any plain collection the converter accepts.
"""

USE_BRACES = "USE_BRACES"
BRACES_UNMATCHED = "BRACES_UNMATCHED"
DONT_USE_BRACES = "TCL_DONT_USE_BRACES"
FLAG_NAMES = (USE_BRACES, BRACES_UNMATCHED, DONT_USE_BRACES)

_BLANK_ESCAPES = {"\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t", "\v": "\\v"}
_BACKSLASHED = set('[]$; \\"')
_ASKS_BRACES = set("[$; \f\n\r\t\v")
_UNQUOTABLE = frozenset((DONT_USE_BRACES, BRACES_UNMATCHED))


def scan_element(text):
    """The scanning rules: the flags of `text` as a set."""
    flags = {USE_BRACES} if not text or text[0] in '{"' else set()
    level, i, n = 0, 0, len(text)
    while i < n:
        c = text[i]
        if c == "{":
            level += 1
        elif c == "}":
            level -= 1
            if level < 0:
                flags |= _UNQUOTABLE
        elif c in _ASKS_BRACES:
            flags.add(USE_BRACES)
        elif c == "\\":
            if i + 1 == n or text[i + 1] == "\n":
                flags = set(_UNQUOTABLE)  # replaced: what was gathered is dropped
            else:
                flags.add(USE_BRACES)
                if text[i + 1] in "{}\\":
                    i += 1  # an escaped brace or backslash counts for nothing
        i += 1
    return set(_UNQUOTABLE) if level != 0 else flags


def convert_element(text, flags, first=False):
    """The quoting rules: `text` as a list element with the scanned `flags`. `first` is for the
    first element of a list, where a leading "#" is quoted too (it would start a comment)."""
    if not text:
        return "{}"
    hash_first = first and text[0] == "#"
    if (hash_first or USE_BRACES in flags) and DONT_USE_BRACES not in flags:
        return "{%s}" % text
    out = []
    start = 0
    unmatched = BRACES_UNMATCHED in flags
    if text[0] == "{" or hash_first:
        out.append("\\" + text[0])
        start = 1
        unmatched = unmatched or text[0] == "{"
    for c in text[start:]:
        if c in _BACKSLASHED or (unmatched and c in "{}"):
            out.append("\\" + c)
        elif c in _BLANK_ESCAPES:
            out.append(_BLANK_ESCAPES[c])
        else:
            out.append(c)
    return "".join(out)


def adds_unmatched(text, flags):
    """Whether converting `text` (not as the first element) adds BRACES_UNMATCHED to `flags`:
    when it backslash-quotes a text that starts with "{"."""
    return (
        bool(text)
        and text[0] == "{"
        and not (USE_BRACES in flags and DONT_USE_BRACES not in flags)
    )


def scribe_list(items):
    """A list of texts formatted as Tcl formats it."""
    return " ".join(convert_element(t, scan_element(t), i == 0) for i, t in enumerate(items))
