"""The natural order of species names used by the output tables: by the
number the name's digits spell, then by the name's bytes."""

from __future__ import annotations

__all__ = ["natural_key"]

_LIMIT = (1 << 127) - 1


def natural_key(name: str) -> tuple[int, bytes]:
    """The sort key of `name`: (the number its ASCII digits spell, joined;
    0 when there are none or it exceeds 2**127 - 1), then its UTF-8 bytes.

    Examples
    --------
    >>> sorted(["s10", "s2", "b", "s1", "a"], key=natural_key)
    ['a', 'b', 's1', 's2', 's10']
    >>> natural_key("leaf_3_2")[0], natural_key("sp007")[0]
    (32, 7)
    """
    digits = "".join(c for c in name if "0" <= c <= "9")
    number = int(digits) if digits else 0
    if number > _LIMIT:
        number = 0
    return number, name.encode("utf-8")
