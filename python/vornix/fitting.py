"""Maximum-likelihood duplication, transfer and loss rates for a set of gene
families.

The log-likelihood of the families is the sum of the per-tree
log-likelihoods; with conditioning on survival each family's likelihood is
divided by the probability that a family leaves at least one living gene,
since families that left none are not observed. Rates are optimised in
log-rate space with L-BFGS-B and central-difference gradients; standard
errors come from the observed information (a central-difference Hessian) at
the optimum.

Choosing ``n_steps`` for the dated model
----------------------------------------
The dated likelihood integrates each time slice (the stretch between two
consecutive species-node times) in Euler steps: ``max(n_steps,
ceil(4 * total_rate * slice_length))`` of them. Coarse steps bias the
likelihood, and on a thousand families the smallest step count biases the
fitted duplication rate by several standard errors. The bias shrinks in
proportion to the step length, so ``fit_rates(n_steps=None)`` chooses it from
the data: a first fit with the least steps gives a total rate R, then
``n_steps = ceil(STEPS_PER_EVENT * R * longest_slice)`` (at least 4), which
puts ``STEPS_PER_EVENT`` steps or more in the mean time between two events
of a lineage on every slice, and the fit is refined from the first one's
optimum. With a fixed ``n_steps`` that large, the step count does not
depend on the rates anywhere near the optimum, so the likelihood is smooth
there and finite differences are safe; far from it, where the step count of
a slice jumps with the rates, the steps of the finite differences (1e-4 in
log-rate space for gradients, 1e-3 for the Hessian) are far larger than
the jumps matter for. To check a choice, fit again with twice the steps:
the rates should move by a small fraction of their standard errors.

Each log-rate is searched between 1e-8 and 1000; dated rates also stay
below 20 events per lineage over the age of the living tree, since the
dated likelihood's cost grows with the rates.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from vornix.evaluators import Evaluator, check_workers
from vornix.gene_trees import GeneTrees, Rooting
from vornix.likelihood_model import LikelihoodModel, ModelName, Origination
from vornix.living_species import LivingSpecies, as_living
from vornix.progress_bar import progress_bar
from vornix.scoring import _checked_forest, open_evaluator
from vornix.tree_batches import combine_partials, loglik_partials

__all__ = ["FitResult", "fit_rates", "RATE_NAMES", "STEPS_PER_EVENT", "auto_n_steps"]

RATE_NAMES = ("dup", "transfer", "loss")
#: Euler steps per mean time between two events of a lineage, for n_steps=None.
STEPS_PER_EVENT = 40
_GRADIENT_STEP = 1e-4
_HESSIAN_STEP = 1e-3
_LOG_RATE_BOUNDS = (math.log(1e-8), math.log(1e3))
#: Dated rates stay below this many events per lineage over the tree's age:
#: the dated likelihood's cost grows with the rates (steps per slice), and an
#: optimiser's first trial steps can reach far.
_DATED_EVENTS_PER_AGE = 20.0
_DEFAULT_START = 0.1


@dataclass(frozen=True)
class FitResult:
    """The outcome of :func:`fit_rates`.

    Attributes
    ----------
    rates : dict
        ``dup``, ``transfer`` and ``loss`` at the optimum (fixed ones as given).
    stderr : dict
        Approximate standard errors in rate units from the observed
        information; 0 for a fixed rate, NaN where the curvature gives none
        (for instance a rate at the edge of its range).
    loglik : float
        The maximised log-likelihood (conditioned on survival when asked).
    converged : bool
        Whether the optimiser met its convergence test at a finite
        log-likelihood.
    evaluations : int
        Log-likelihood evaluations, each scoring every tree once.
    n_steps : int
        The dated model's least steps per slice that was used (1 otherwise).
    message : str
        The optimiser's last word.
    """

    rates: dict[str, float]
    stderr: dict[str, float]
    loglik: float
    converged: bool
    evaluations: int
    n_steps: int
    message: str = ""
    model: str = field(default="dated")


def longest_slice(species: LivingSpecies) -> float:
    """The longest stretch between two consecutive distinct node times."""
    times = np.unique(np.round(np.concatenate([species.sp_time, [0.0]]), 12))
    return float(np.diff(times).max()) if len(times) > 1 else 0.0


def auto_n_steps(species: LivingSpecies, total_rate: float) -> int:
    """The dated model's step count for a total event rate: at least
    STEPS_PER_EVENT steps per mean time between events on every slice."""
    if not math.isfinite(total_rate) or total_rate <= 0:
        return 4
    return int(min(10_000, max(4, math.ceil(STEPS_PER_EVENT * total_rate * longest_slice(species)))))


class _Objective:
    """The log-likelihood of the free log-rates, counted and cached."""

    def __init__(self, evaluator: Evaluator, species: LivingSpecies, model: LikelihoodModel, free: list[str],
                 fixed: dict[str, float], n_families: int, condition: bool, bar: Any) -> None:
        self.bounds = log_rate_bounds(species, model.name)
        self.evaluator = evaluator
        self.species = species
        self.model = model
        self.free = free
        self.fixed = fixed
        self.n_families = n_families
        self.condition = condition
        self.bar = bar
        self.evaluations = 0
        self._cache: dict[tuple[float, ...], float] = {}

    def rates(self, theta: np.ndarray) -> dict[str, float]:
        r = dict(self.fixed)
        r.update({name: math.exp(float(x)) for name, x in zip(self.free, theta)})
        return {k: r[k] for k in RATE_NAMES}

    def loglik(self, theta: np.ndarray) -> float:
        key = tuple(float(x) for x in theta)
        if key in self._cache:
            return self._cache[key]
        r = self.rates(theta)
        m = self.model.with_rates(r["dup"], r["transfer"], r["loss"])
        total = combine_partials(self.evaluator.run(loglik_partials, m))
        if self.condition and math.isfinite(total):
            log_p0 = m.log_no_survivor(self.species)
            survive = -math.expm1(log_p0) if log_p0 > -math.inf else 1.0
            total = total - self.n_families * math.log(survive) if survive > 0 else math.nan
        self.evaluations += 1
        self.bar.update(1)
        self._cache[key] = total
        return total

    def cost(self, theta: np.ndarray) -> float:
        """Negative log-likelihood per family, large where it is not finite."""
        ll = self.loglik(theta)
        return -ll / self.n_families if math.isfinite(ll) else 1e30

    def gradient(self, theta: np.ndarray) -> np.ndarray:
        g = np.zeros(len(theta))
        lo, hi = self.bounds
        for i in range(len(theta)):
            up = theta.copy()
            down = theta.copy()
            up[i] = min(theta[i] + _GRADIENT_STEP, hi)
            down[i] = max(theta[i] - _GRADIENT_STEP, lo)
            g[i] = (self.cost(up) - self.cost(down)) / (up[i] - down[i])
        return g

    def hessian(self, theta: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Central-difference gradient and Hessian of the log-likelihood in
        log-rate space, from the same 2k^2 + 1 evaluations."""
        k = len(theta)
        h = _HESSIAN_STEP
        f0 = self.loglik(theta)
        hess = np.zeros((k, k))
        grad = np.zeros(k)

        def at(*shifts: tuple[int, float]) -> float:
            x = theta.copy()
            for i, s in shifts:
                x[i] += s
            return self.loglik(x)

        for i in range(k):
            up, down = at((i, h)), at((i, -h))
            grad[i] = (up - down) / (2 * h)
            hess[i, i] = (up - 2 * f0 + down) / (h * h)
            for j in range(i):
                v = (at((i, h), (j, h)) - at((i, h), (j, -h)) - at((i, -h), (j, h)) + at((i, -h), (j, -h)))
                hess[i, j] = hess[j, i] = v / (4 * h * h)
        return grad, hess


def log_rate_bounds(species: LivingSpecies, model: str) -> tuple[float, float]:
    """The search range of each log-rate: 1e-8 .. 1000, and for the dated
    model at most _DATED_EVENTS_PER_AGE events per lineage over the age of
    the living tree."""
    lo, hi = _LOG_RATE_BOUNDS
    if model == "dated":
        age = float(species.sp_time.max() - species.sp_time.min())
        if age > 0:
            hi = min(hi, math.log(_DATED_EVENTS_PER_AGE / age))
    return lo, max(hi, lo)


def _check_rates(name: str, value: Mapping[str, float] | None, allow_zero: bool) -> dict[str, float]:
    if value is None:
        return {}
    if not isinstance(value, Mapping):
        raise TypeError(f"{name} must be a dict with keys among {', '.join(RATE_NAMES)}")
    out = {}
    for k, v in value.items():
        if k not in RATE_NAMES:
            raise ValueError(f"{name} has unknown rate {k!r}; rates are {', '.join(RATE_NAMES)}")
        if isinstance(v, bool) or not isinstance(v, (int, float, np.integer, np.floating)):
            raise TypeError(f"{name}[{k!r}] must be a number")
        x = float(v)
        if not math.isfinite(x) or x < 0 or (x == 0 and not allow_zero):
            raise ValueError(f"{name}[{k!r}] must be a finite rate {'>= 0' if allow_zero else '> 0'}, got {x!r}")
        out[k] = x
    return out


def _optimise(obj: _Objective, start: np.ndarray, coarse: bool = False) -> tuple[np.ndarray, bool, str]:
    from scipy.optimize import minimize

    if len(start) == 0:
        return start, math.isfinite(obj.loglik(start)), "every rate fixed"
    result = minimize(obj.cost, start, jac=obj.gradient, method="L-BFGS-B",
                      bounds=[obj.bounds] * len(start),
                      options={"maxiter": 200, "ftol": 1e-9 if coarse else 1e-13, "gtol": 1e-5 if coarse else 1e-7})
    return np.asarray(result.x, dtype=np.float64), bool(result.success), str(result.message)


def _newton_polish(obj: _Objective, theta: np.ndarray) -> tuple[np.ndarray, np.ndarray | None, bool]:
    """Newton steps on the finite-difference gradient and Hessian, from a
    point near the optimum (the optimum of a coarser step count). Returns
    the point, the Hessian there (None when it is not usable) and whether
    the steps converged."""
    lo, hi = obj.bounds
    for _ in range(6):
        grad, hess = obj.hessian(theta)
        if not (np.all(np.isfinite(hess)) and np.all(np.linalg.eigvalsh(hess) < 0)):
            return theta, None, False
        step = -np.linalg.solve(hess, grad)
        if float(np.max(np.abs(step))) < 1e-4:
            return theta, hess, True  # the Hessian of a point this close serves for the errors
        step *= min(1.0, 1.0 / float(np.max(np.abs(step))))
        here = obj.loglik(theta)
        for _ in range(8):
            trial = np.clip(theta + step, lo, hi)
            if obj.loglik(trial) >= here:
                break
            step /= 2
        else:
            return theta, hess, False
        theta = trial
    return theta, None, False


def fit_rates(species_tree: Any, gene_trees: GeneTrees, *, model: ModelName = "dated", n_steps: int | None = None,
              origination: Origination = "root", fixed: Mapping[str, float] | None = None,
              start: Mapping[str, float] | None = None, condition_on_survival: bool = True,
              workers: int | None = None, rooting: Rooting = "as-is", progress: bool | None = None,
              client: Any = None) -> FitResult:
    """Maximum-likelihood duplication, transfer and loss rates.

    Parameters
    ----------
    species_tree : vornix.SpeciesTree
    gene_trees : vornix.GeneTrees
        One tree per observed family.
    model : {"undated", "reldated", "dated"}
        See :mod:`vornix.likelihood_model`. Undated rates are per-branch
        event weights, not per-time rates, and are not comparable with the
        simulators' rates; dated rates are per lineage per unit time.
    n_steps : int or None
        Dated model: the least Euler steps per slice; None chooses it from
        the data (see the module notes).
    origination : {"root", "uniform"}
    fixed : dict, optional
        Rates held at a given value (0 allowed), e.g. ``{"transfer": 0}``.
    start : dict, optional
        Starting values of free rates (default 0.1 each).
    condition_on_survival : bool
        Divide each family's likelihood by the probability that a family
        leaves at least one living gene.
    workers : int or None
        Processes scoring the batches; the fit is the same whatever the
        number (per-tree values are summed exactly, in no particular order).
    rooting : {"as-is", "all", "best"}
        How each tree is scored, as in :func:`vornix.score`.
    progress : bool or None
        Progress (evaluations) on standard error; default: on a terminal.
    client : dask.distributed.Client, optional
        Fit on this Dask cluster instead (needs the ``distributed`` extra):
        the trees are converted into batches once, by tasks on its workers,
        and kept there; each evaluation sends the rates and receives one
        partial sum per batch. The fit (optimum and evaluations) is the same
        as a local one, whatever the cluster's size.

    Returns
    -------
    FitResult

    Notes
    -----
    A rate fixed at 0 where the data need it makes the log-likelihood -inf
    everywhere: the result then has ``loglik = -inf``, ``converged = False``
    and a warning is issued.

    Examples
    --------
    >>> from vornix.living_species import living_species
    >>> sp = living_species([-1, 0, 0], [0.0, 1.0, 1.0], [False, True, True], 0, ["r", "a", "b"])
    >>> gt = GeneTrees.from_newick(["(a_1,b_1);", "(a_1,(a_2,b_1));", "(a_1,b_1);", "a_1;"])
    >>> fit = fit_rates(sp, gt, model="undated", fixed={"transfer": 0.0})
    >>> fit.converged, sorted(fit.rates), fit.stderr["transfer"]
    (True, ['dup', 'loss', 'transfer'], 0.0)
    """
    species = as_living(species_tree)
    if not isinstance(gene_trees, GeneTrees):
        raise TypeError(f"gene_trees must be vornix.GeneTrees, not {type(gene_trees).__name__}")
    fixed_rates = _check_rates("fixed", fixed, allow_zero=True)
    start_rates = _check_rates("start", start, allow_zero=False)
    clash = set(fixed_rates) & set(start_rates)
    if clash:
        raise ValueError(f"rate {sorted(clash)[0]!r} is both fixed and given a start")
    check_workers(workers)
    if n_steps is not None and model != "dated":
        n_steps = None
    base = LikelihoodModel.make(model, dup=0.1, transfer=0.1, loss=0.1, n_steps=n_steps or 1,
                                origination=origination)
    free = [k for k in RATE_NAMES if k not in fixed_rates]
    theta0 = np.array([math.log(start_rates.get(k, _DEFAULT_START)) for k in free], dtype=np.float64)
    lo, hi = log_rate_bounds(species, model)
    theta0 = np.clip(theta0, lo, hi)
    n_families = len(gene_trees)
    if n_families == 0:
        _checked_forest(species, gene_trees, rooting)  # bad options are reported first
        raise ValueError("gene_trees is empty: nothing to fit")
    evaluator, _ = open_evaluator(species, gene_trees, rooting, workers, client)

    with evaluator, progress_bar(10**9, "eval", "fitting", progress) as bar:
        obj = _Objective(evaluator, species, base, free, fixed_rates, n_families, condition_on_survival, bar)
        if not math.isfinite(obj.loglik(theta0)) and free:
            # Perhaps only the start is impossible: try from the middle of the range.
            theta0 = np.clip(np.full(len(free), math.log(0.5)), lo, hi)
        # With the step count still to choose, the first fit only needs to come near.
        refine = model == "dated" and n_steps is None
        theta, ok, message = _optimise(obj, theta0, coarse=refine)
        hess = None
        chosen_steps = base.n_steps
        if refine and math.isfinite(obj.loglik(theta)):
            r = obj.rates(theta)
            chosen_steps = auto_n_steps(species, r["dup"] + r["transfer"] + r["loss"])
            if chosen_steps != base.n_steps:
                evaluations = obj.evaluations
                obj = _Objective(evaluator, species, base.with_steps(chosen_steps), free, fixed_rates, n_families,
                                 condition_on_survival, bar)
                obj.evaluations = evaluations
                # The finer steps move the optimum a little: Newton steps get
                # there in a few Hessians, which the errors need anyway.
                polished, hess, done = _newton_polish(obj, theta) if free else (theta, None, False)
                if done:
                    theta, message = polished, "converged (Newton steps at the chosen step count)"
                else:
                    theta, ok, message = _optimise(obj, polished)
        loglik = obj.loglik(theta)
        rates = obj.rates(theta)
        stderr = {k: 0.0 if k in fixed_rates else math.nan for k in RATE_NAMES}
        if free and math.isfinite(loglik):
            stderr.update(_standard_errors(obj, theta, hess))
    converged = ok and math.isfinite(loglik)
    if math.isnan(loglik):
        message = "the likelihood function returned NaN"
        warnings.warn(f"the log-likelihood is NaN at the rates reached: {message}", RuntimeWarning, stacklevel=2)
    elif not math.isfinite(loglik):
        message = "log-likelihood -inf"
        warnings.warn(f"the log-likelihood is -inf for every rate tried: the data need an event the model rules "
                      f"out (fixed: {fixed_rates})", RuntimeWarning, stacklevel=2)
    return FitResult(rates, stderr, loglik, converged, obj.evaluations, chosen_steps, message, model)


def _standard_errors(obj: _Objective, theta: np.ndarray, hess: np.ndarray | None = None) -> dict[str, float]:
    """Standard errors in rate units: the inverse observed information in
    log-rate space, scaled by the rates (the delta method)."""
    if hess is None:
        hess = obj.hessian(theta)[1]
    out = {name: math.nan for name in obj.free}
    if not np.all(np.isfinite(hess)):
        return out
    try:
        cov = np.linalg.inv(-hess)
    except np.linalg.LinAlgError:
        return out
    for i, name in enumerate(obj.free):
        var = cov[i, i]
        if var > 0 and math.isfinite(var):
            out[name] = math.exp(float(theta[i])) * math.sqrt(var)
    return out
