"""vornix: simulate gene-family and genome evolution along dated species trees,
and score gene trees under duplication-transfer-loss reconciliation likelihoods.

The compute core is the extension module :mod:`vornix_core`; this package is
the layer researchers use: species trees, simulation front end, scoring and
the ``vornix`` command.
"""

from __future__ import annotations

import pkgutil as _pkgutil

# A development build keeps the private extension beside the module in
# build/dev/vornix/; let the package find it there too.
__path__ = _pkgutil.extend_path(__path__, __name__)

__version__ = "0.2.0"

from vornix.species_tree import SpeciesTree  # noqa: E402
from vornix.birth_death import birth_death_tree  # noqa: E402
from vornix.events import EventTable  # noqa: E402
from vornix.families import FamilySimulation, GeneTreeTexts, simulate_families  # noqa: E402
from vornix.genomes import GenomeSimulation, Segments, simulate_genomes  # noqa: E402
from vornix.profiles import ProfileSimulation, simulate_profiles  # noqa: E402
from vornix.gene_trees import GeneTrees  # noqa: E402
from vornix.scoring import root_best, score  # noqa: E402
from vornix.fitting import FitResult, fit_rates  # noqa: E402
from vornix.replicates import write_replicates  # noqa: E402



def __getattr__(name: str) -> object:
    # Submodules with optional or heavier imports load on first use, so that
    # ``vornix.plot`` and ``vornix.examples`` work after a plain ``import vornix``.
    if name in ("plot", "examples", "report"):
        import importlib

        return importlib.import_module(f"vornix.{name}")
    raise AttributeError(f"module 'vornix' has no attribute {name!r}")


__all__ = [
    "__version__",
    "SpeciesTree",
    "EventTable",
    "FamilySimulation",
    "GeneTreeTexts",
    "GenomeSimulation",
    "ProfileSimulation",
    "Segments",
    "birth_death_tree",
    "simulate_families",
    "simulate_genomes",
    "simulate_profiles",
    "GeneTrees",
    "score",
    "root_best",
    "fit_rates",
    "FitResult",
    "write_replicates",
]
