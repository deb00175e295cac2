"""Type stubs of the compute core ``vornix_core``.

Sequences accept lists, tuples or one-dimensional numpy arrays; integers
accept anything with ``__index__``; booleans accept ``True``/``False`` and
numpy booleans only. Packed profile buffers are little-endian: ``leaves``
and ``rows`` uint32, ``cols`` uint64, ``vals`` uint32.
"""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex

import numpy as np

_Int = SupportsIndex
_Float = SupportsFloat
_Bool = bool | np.bool_
# kind (one byte per record), branch, time, donor, recipient, family, gene, child1, child2
_Records = tuple[bytes, list[int], list[float], list[int], list[int], list[int], list[int], list[int], list[int]]
# leaves, rows, cols, vals
_Profile = tuple[bytes, bytes, bytes, bytes]

def available() -> bool: ...
def simulate_profiles(
    n_nodes: _Int, parent: Sequence[_Int], time: Sequence[_Float], extant_leaf: Sequence[_Bool], root: _Int,
    duplication: _Float, transfer: _Float, loss: _Float, origination: _Float, initial_size: _Int, cap: _Int,
    seed: _Int, replacement: _Float, distance_decay: _Float, allow_self: _Bool,
) -> _Profile: ...
def simulate_profiles_parallel(
    n_nodes: _Int, parent: Sequence[_Int], time: Sequence[_Float], extant_leaf: Sequence[_Bool], root: _Int,
    duplication: _Float, transfer: _Float, loss: _Float, origination: _Float, initial_size: _Int, cap: _Int,
    seed: _Int, replacement: _Float, distance_decay: _Float, allow_self: _Bool, n_copies: _Int, n_threads: _Int,
) -> _Profile: ...
def simulate_log(
    n_nodes: _Int, parent: Sequence[_Int], time: Sequence[_Float], extant_leaf: Sequence[_Bool], root: _Int,
    duplication: _Float, transfer: _Float, loss: _Float, origination: _Float, initial_size: _Int, cap: _Int,
    seed: _Int, replacement: _Float, distance_decay: _Float, allow_self: _Bool,
) -> tuple[_Records, list[tuple[int, list[tuple[int, int]]]]]: ...
def simulate_trace(
    n_nodes: _Int, parent: Sequence[_Int], time: Sequence[_Float], extant_leaf: Sequence[_Bool], root: _Int,
    duplication: _Float, transfer: _Float, loss: _Float, origination: _Float, initial_size: _Int, cap: _Int,
    seed: _Int, replacement: _Float, distance_decay: _Float, allow_self: _Bool,
) -> tuple[_Records, _Profile]: ...
def simulate_and_write(
    n_nodes: _Int, parent: Sequence[_Int], time: Sequence[_Float], extant_leaf: Sequence[_Bool], root: _Int,
    names: Sequence[str], duplication: _Float, transfer: _Float, loss: _Float, origination: _Float,
    initial_size: _Int, cap: _Int, seed: _Int, replacement: _Float, distance_decay: _Float, allow_self: _Bool,
    total_age: _Float, outdir: str,
) -> tuple[int, int, int]: ...
def simulate_nucleotide(
    n_nodes: _Int, parent: Sequence[_Int], time: Sequence[_Float], extant_leaf: Sequence[_Bool], root: _Int,
    inversion: _Float, loss: _Float, duplication: _Float, transfer: _Float, transposition: _Float,
    origination: _Float, root_length: _Int, extension: _Float, initial_size: _Int, seed: _Int,
    replacement: _Float, distance_decay: _Float, allow_self: _Bool,
) -> list[tuple[int, list[tuple[int, int, int, int]]]]: ...
def dated_joint_loglik(
    sp_parent: Sequence[_Int], sp_left: Sequence[_Int], sp_right: Sequence[_Int], sp_is_leaf: Sequence[_Bool],
    sp_time: Sequence[_Float], sp_parent_time: Sequence[_Float], sp_root: _Int, gt_offsets: Sequence[_Int],
    gt_is_leaf: Sequence[_Bool], gt_left: Sequence[_Int], gt_right: Sequence[_Int], gt_species: Sequence[_Int],
    dup: _Float, transfer: _Float, loss: _Float, n_steps: _Int, origination: _Int, n_extinct: _Int,
) -> float: ...
def undated_joint_loglik(
    sp_left: Sequence[_Int], sp_right: Sequence[_Int], sp_is_leaf: Sequence[_Bool], sp_time: Sequence[_Float],
    sp_parent_time: Sequence[_Float], sp_root: _Int, gt_offsets: Sequence[_Int], gt_is_leaf: Sequence[_Bool],
    gt_left: Sequence[_Int], gt_right: Sequence[_Int], gt_species: Sequence[_Int], dup: _Float, transfer: _Float,
    loss: _Float, transfers: _Int, origination: _Int, n_extinct: _Int,
) -> float: ...
def dated_family_loglik(
    sp_parent: Sequence[_Int], sp_left: Sequence[_Int], sp_right: Sequence[_Int], sp_is_leaf: Sequence[_Bool],
    sp_time: Sequence[_Float], sp_parent_time: Sequence[_Float], sp_root: _Int, gt_offsets: Sequence[_Int],
    gt_is_leaf: Sequence[_Bool], gt_left: Sequence[_Int], gt_right: Sequence[_Int], gt_species: Sequence[_Int],
    dup: _Float, transfer: _Float, loss: _Float, n_steps: _Int, origination: _Int,
) -> list[float]: ...
def undated_family_loglik(
    sp_left: Sequence[_Int], sp_right: Sequence[_Int], sp_is_leaf: Sequence[_Bool], sp_time: Sequence[_Float],
    sp_parent_time: Sequence[_Float], sp_root: _Int, gt_offsets: Sequence[_Int], gt_is_leaf: Sequence[_Bool],
    gt_left: Sequence[_Int], gt_right: Sequence[_Int], gt_species: Sequence[_Int], dup: _Float, transfer: _Float,
    loss: _Float, transfers: _Int, origination: _Int,
) -> list[float]: ...
