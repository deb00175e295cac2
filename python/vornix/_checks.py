"""Argument checks shared by the front end: each raises TypeError or
ValueError naming the argument and the accepted range, before any work."""

from __future__ import annotations

import math
import operator
from typing import Any

import numpy as np

__all__ = [
    "forbidden_name_character",
    "rate",
    "count",
    "optional_count",
    "probability",
    "optional_decay",
    "flag",
    "seed",
    "positive_count",
]

_U64_MAX = (1 << 64) - 1


def forbidden_name_character(name: str) -> str | None:
    """A description of the first character of `name` the tables cannot hold."""
    for char, text in (("\t", "a tab"), ("\n", "a newline"), ("\r", "a carriage return")):
        if char in name:
            return text
    return None


def _real(name: str, value: Any) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    return float(value)


def rate(name: str, value: Any) -> float:
    """A finite rate >= 0 (events per unit of the tree's time)."""
    x = _real(name, value)
    if not (math.isfinite(x) and x >= 0.0):
        raise ValueError(f"{name} must be a finite rate >= 0, got {value!r}")
    return x


def _integer(name: str, value: Any) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, got bool")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}") from None


def count(name: str, value: Any, upper: int = _U64_MAX) -> int:
    """An integer in 0..upper."""
    n = _integer(name, value)
    if not 0 <= n <= upper:
        raise ValueError(f"{name} must be an integer in 0..{upper}, got {n}")
    return n


def positive_count(name: str, value: Any, upper: int = _U64_MAX) -> int:
    """An integer in 1..upper."""
    n = _integer(name, value)
    if not 1 <= n <= upper:
        raise ValueError(f"{name} must be an integer in 1..{upper}, got {n}")
    return n


def optional_count(name: str, value: Any, none_means: str) -> int | None:
    """None, or an integer in 0..2**63-1."""
    if value is None:
        return None
    n = _integer(name, value)
    if not 0 <= n < (1 << 63):
        raise ValueError(f"{name} must be None ({none_means}) or an integer in 0..{(1 << 63) - 1}, got {n}")
    return n


def probability(name: str, value: Any) -> float:
    """A number in [0, 1]."""
    x = _real(name, value)
    if not 0.0 <= x <= 1.0:
        raise ValueError(f"{name} must be a probability in [0, 1], got {value!r}")
    return x


def optional_decay(name: str, value: Any) -> float:
    """None (uniform recipients, the core's -1) or a finite number >= 0."""
    if value is None:
        return -1.0
    x = _real(name, value)
    if not (math.isfinite(x) and x >= 0.0):
        raise ValueError(f"{name} must be None (uniform recipients) or a finite number >= 0, got {value!r}")
    return x


def flag(name: str, value: Any) -> bool:
    """True or False (a numpy boolean too)."""
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, got {type(value).__name__}")
    return bool(value)


def seed(value: Any) -> int:
    """A seed in 0..2**64-1; None draws a fresh one from the operating system."""
    if value is None:
        return int.from_bytes(np.random.SeedSequence().generate_state(2, np.uint32).tobytes(), "little")
    return count("seed", value)
