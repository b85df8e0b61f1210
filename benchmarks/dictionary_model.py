"""Tcl's dictionary order in plain Python: the model that the benchmarks time and the fuzz
target checks DictionaryCompare against.

The algorithm of DictionaryCompare written out over read positions in the two texts. Reading
past the end of a text gives NUL, for the digit tests only: where a text ends is told by its
length, so a NUL inside a text is a character, and a text that agrees with a shorter one up to
the shorter one's end is the greater (by the code of its next character, or 1 for NUL).
"""


def code(c):
    if len(c) != 1:  # the lower case of U+0130 is two characters
        raise ValueError("only single characters can be converted")
    return ord(c)


def dictionary_compare(left, right, simple_lower=True):
    """Negative, zero or positive as `left` sorts before, with or after `right`.

    With `simple_lower` (what DictionaryCompare does, as Tcl does), a character whose lower
    case is several characters (U+0130) compares as the first of them; without it, such a
    character raises ValueError."""
    left, right = str(left), str(right)
    il = ir = 0
    secondary = 0

    def at(s, i):
        return s[i] if i < len(s) else "\0"

    while True:
        if at(right, ir).isdigit() and at(left, il).isdigit():
            # Leading zeros are skipped, keeping one digit; more of them sorts later, as a
            # secondary choice.
            zeros = 0
            while at(right, ir) == "0" and at(right, ir + 1).isdigit():
                ir += 1
                zeros -= 1
            while at(left, il) == "0" and at(left, il + 1).isdigit():
                il += 1
                zeros += 1
            if secondary == 0:
                secondary = zeros
            # The longer run is larger; between runs of equal length the first differing digit.
            diff = 0
            while True:
                if diff == 0:
                    diff = ord(at(left, il)) - ord(at(right, ir))
                ir += 1
                il += 1
                if not at(right, ir).isdigit():
                    if at(left, il).isdigit():
                        return 1
                    if diff != 0:
                        return diff
                    break
                if not at(left, il).isdigit():
                    return -1
            continue
        if il >= len(left) or ir >= len(right):
            if il < len(left):
                diff = ord(left[il]) or 1
            elif ir < len(right):
                diff = -(ord(right[ir]) or 1)
            else:
                diff = 0
            break
        uni_left, uni_right = left[il], right[ir]
        il += 1
        ir += 1
        lower_left, lower_right = uni_left.lower(), uni_right.lower()
        if simple_lower:
            lower_left, lower_right = lower_left[0], lower_right[0]
        diff = code(lower_left) - code(lower_right)
        if diff != 0:
            return diff
        if secondary == 0:
            secondary = ord(uni_left) - ord(uni_right)
    return diff if diff != 0 else secondary
