"""Seeds of replicate runs: derived from the run's seed and the replicate
number only, so replicate k is the same whatever else runs and wherever."""

from __future__ import annotations

__all__ = ["replicate_seed", "replicate_seeds"]

_MASK = (1 << 64) - 1
_GAMMA = 0x9E3779B97F4A7C15


def _mix(z: int) -> int:
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK
    return z ^ (z >> 31)


def replicate_seed(seed: int, replicate: int) -> int:
    """The seed of replicate `replicate` (from 1) of a run seeded `seed`.

    Replicate 1 uses the run's seed itself, so a run's first replicate is
    the plain run; replicate k > 1 uses the (k - 1)-th output of a SplitMix64
    stream started at the seed.

    Examples
    --------
    >>> replicate_seed(7, 1)
    7
    >>> replicate_seed(7, 2) == replicate_seed(7, 2) != replicate_seed(7, 3)
    True
    """
    if replicate < 1:
        raise ValueError(f"replicate numbers start at 1, got {replicate}")
    if replicate == 1:
        return seed
    return _mix((seed + (replicate - 1) * _GAMMA) & _MASK)


def replicate_seeds(seed: int, n: int) -> list[int]:
    """The seeds of replicates 1 .. n."""
    return [replicate_seed(seed, k) for k in range(1, n + 1)]
