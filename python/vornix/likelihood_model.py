"""One reconciliation model with its rates: which likelihood function scores
a batch, and with which settings.

Models
------
``"undated"``
    Events are counted per species branch, not per unit of time: at each
    branch a gene lineage speciates, duplicates, is transferred (to any other
    branch) or is lost with probabilities proportional to 1, `dup`,
    `transfer` and `loss`. These rates are per-branch event weights, not
    per-time rates, and are not comparable with a simulator's rates.
``"reldated"``
    As ``"undated"``, but a transfer only reaches branches that coexist in
    time with the donor.
``"dated"``
    Rates per lineage per unit of the species tree's time, integrated along
    dated branches in time slices of at least `n_steps` Euler steps each:
    comparable with the simulators' rates.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Literal

import numpy as np
import numpy.typing as npt
import vornix_core

from vornix.living_species import LivingSpecies

__all__ = ["MODELS", "ORIGINATIONS", "LikelihoodModel", "ModelName", "Origination"]

ModelName = Literal["undated", "reldated", "dated"]
Origination = Literal["root", "uniform"]
MODELS: tuple[str, ...] = ("undated", "reldated", "dated")
ORIGINATIONS: dict[str, int] = {"root": 0, "uniform": 1}


def _rate(name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    v = float(value)
    if not (math.isfinite(v) and v >= 0.0):
        raise ValueError(f"{name} must be a finite rate >= 0, got {v!r}")
    return v


@dataclass(frozen=True)
class LikelihoodModel:
    """A model and its parameters, checked.

    Examples
    --------
    >>> LikelihoodModel.make("dated", dup=0.2, transfer=0.1, loss=0.3, n_steps=4)
    LikelihoodModel(name='dated', dup=0.2, transfer=0.1, loss=0.3, n_steps=4, origination=0)
    >>> LikelihoodModel.make("other", dup=0, transfer=0, loss=0)
    Traceback (most recent call last):
        ...
    ValueError: model must be one of 'undated', 'reldated', 'dated', not 'other'
    """

    name: str
    dup: float
    transfer: float
    loss: float
    n_steps: int = 1
    origination: int = 0

    @classmethod
    def make(cls, name: str, *, dup: float, transfer: float, loss: float, n_steps: int = 1,
             origination: str = "root") -> LikelihoodModel:
        if name not in MODELS:
            raise ValueError(f"model must be one of {', '.join(map(repr, MODELS))}, not {name!r}")
        if origination not in ORIGINATIONS:
            raise ValueError(f"origination must be 'root' or 'uniform', not {origination!r}")
        if isinstance(n_steps, bool) or not isinstance(n_steps, (int, np.integer)):
            raise TypeError(f"n_steps must be an integer, not {type(n_steps).__name__}")
        if not 1 <= int(n_steps) <= 1_000_000:
            raise ValueError(f"n_steps must be in 1..1000000, got {int(n_steps)}")
        return cls(name, _rate("dup", dup), _rate("transfer", transfer), _rate("loss", loss), int(n_steps),
                   ORIGINATIONS[origination])

    def with_rates(self, dup: float, transfer: float, loss: float) -> LikelihoodModel:
        """The same model with other rates (not checked: for optimisers)."""
        return LikelihoodModel(self.name, float(dup), float(transfer), float(loss), self.n_steps, self.origination)

    def with_steps(self, n_steps: int) -> LikelihoodModel:
        """The same model with another least step count per slice."""
        return LikelihoodModel(self.name, self.dup, self.transfer, self.loss, int(n_steps), self.origination)

    def _settings(self) -> dict[str, object]:
        common = {"dup": self.dup, "transfer": self.transfer, "loss": self.loss, "origination": self.origination}
        if self.name == "dated":
            return {**common, "n_steps": self.n_steps}
        return {**common, "transfers": 1 if self.name == "reldated" else 0}

    def _species(self, species: LivingSpecies) -> dict[str, object]:
        return species.dated_args() if self.name == "dated" else species.undated_args()

    def family_loglik(self, species: LivingSpecies, batch: dict[str, np.ndarray]) -> npt.NDArray[np.float64]:
        """Log-likelihood of each tree of a core batch (``gt_*`` arrays)."""
        fn = vornix_core.dated_family_loglik if self.name == "dated" else vornix_core.undated_family_loglik
        return np.asarray(fn(**self._species(species), **batch, **self._settings()), dtype=np.float64)

    def log_no_survivor(self, species: LivingSpecies) -> float:
        """Log of the probability that a family leaves no gene at all."""
        fn = vornix_core.dated_joint_loglik if self.name == "dated" else vornix_core.undated_joint_loglik
        empty_u = np.zeros(0, dtype=np.uint64)
        empty_i = np.zeros(0, dtype=np.int64)
        return float(fn(**self._species(species), gt_offsets=empty_u, gt_is_leaf=np.zeros(0, dtype=bool),
                        gt_left=empty_i, gt_right=empty_i, gt_species=empty_i, **self._settings(), n_extinct=1))
