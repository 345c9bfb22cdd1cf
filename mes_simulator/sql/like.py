"""LIKE without backtracking: a pattern is cut at its % into pieces of fixed width, which are
found left to right, each at the first place it fits (which is always right when every piece
has a fixed width).  The time is at most the value's length times the pattern's, whatever the
pattern: `REPLICATE('a', 60) LIKE '%a%a%a%a%a%a%a%b'` answers at once."""

import functools
import re


def _element(pattern, n, escape):
    """(regular expression of the one character at pattern[n], index after it)."""
    ch = pattern[n]
    if ch == escape and n + 1 < len(pattern):
        return re.escape(pattern[n + 1]), n + 2
    if ch == "_":
        return ".", n + 1
    if ch == "[":
        end = pattern.find("]", n + 1)
        if end >= 0:
            body = pattern[n + 1:end]
            return "[" + ("^" + body[1:] if body.startswith("^") else body) + "]", end + 1
    return re.escape(ch), n + 1


@functools.lru_cache(maxsize=256)
def compile_like(pattern, escape=None):
    """(pieces, anchored at the start, anchored at the end): pieces are compiled expressions of
    fixed width, in order, with their widths."""
    pieces, current, width, n = [], [], 0, 0
    while n < len(pattern):
        if pattern[n] == "%":  # an escaped one is read with its escape (_element)
            pieces.append((current, width))
            current, width = [], 0
            n += 1
            continue
        regex, n = _element(pattern, n, escape)
        current.append(regex)
        width += 1
    pieces.append((current, width))
    flags = re.IGNORECASE | re.DOTALL
    compiled = [(re.compile("".join(p), flags), w) for p, w in pieces]
    return compiled, len(pieces)


def like(value, pattern, escape=None):
    """value LIKE pattern [ESCAPE escape], case-insensitive; trailing blanks of value ignored."""
    value = value.rstrip(" ")
    pieces, count = compile_like(pattern, escape)
    if count == 1:
        regex, width = pieces[0]
        return len(value) == width and regex.fullmatch(value) is not None
    first, width = pieces[0]
    if first.match(value) is None:
        return False
    pos = width
    for regex, width in pieces[1:-1]:
        found = regex.search(value, pos)
        if found is None:
            return False
        pos = found.end()
    last, width = pieces[-1]
    start = len(value) - width
    return start >= pos and last.fullmatch(value, start) is not None
