"""Exact text signatures and docstrings of the module's functions."""

ORDER = ['available', 'simulate_profiles', 'simulate_profiles_parallel', 'simulate_log', 'simulate_trace', 'simulate_and_write', 'simulate_nucleotide', 'dated_joint_loglik', 'undated_joint_loglik', 'dated_family_loglik', 'undated_family_loglik']

PARAMS = {
    'available': '',
    'simulate_profiles': 'n_nodes, parent, time, extant_leaf, root, duplication, transfer, loss, origination, initial_size, cap, seed, replacement, distance_decay, allow_self',
    'simulate_profiles_parallel': 'n_nodes, parent, time, extant_leaf, root, duplication, transfer, loss, origination, initial_size, cap, seed, replacement, distance_decay, allow_self, n_copies, n_threads',
    'simulate_log': 'n_nodes, parent, time, extant_leaf, root, duplication, transfer, loss, origination, initial_size, cap, seed, replacement, distance_decay, allow_self',
    'simulate_trace': 'n_nodes, parent, time, extant_leaf, root, duplication, transfer, loss, origination, initial_size, cap, seed, replacement, distance_decay, allow_self',
    'simulate_and_write': 'n_nodes, parent, time, extant_leaf, root, names, duplication, transfer, loss, origination, initial_size, cap, seed, replacement, distance_decay, allow_self, total_age, outdir',
    'simulate_nucleotide': 'n_nodes, parent, time, extant_leaf, root, inversion, loss, duplication, transfer, transposition, origination, root_length, extension, initial_size, seed, replacement, distance_decay, allow_self',
    'dated_joint_loglik': 'sp_parent, sp_left, sp_right, sp_is_leaf, sp_time, sp_parent_time, sp_root, gt_offsets, gt_is_leaf, gt_left, gt_right, gt_species, dup, transfer, loss, n_steps, origination, n_extinct',
    'undated_joint_loglik': 'sp_left, sp_right, sp_is_leaf, sp_time, sp_parent_time, sp_root, gt_offsets, gt_is_leaf, gt_left, gt_right, gt_species, dup, transfer, loss, transfers, origination, n_extinct',
    'dated_family_loglik': 'sp_parent, sp_left, sp_right, sp_is_leaf, sp_time, sp_parent_time, sp_root, gt_offsets, gt_is_leaf, gt_left, gt_right, gt_species, dup, transfer, loss, n_steps, origination',
    'undated_family_loglik': 'sp_left, sp_right, sp_is_leaf, sp_time, sp_parent_time, sp_root, gt_offsets, gt_is_leaf, gt_left, gt_right, gt_species, dup, transfer, loss, transfers, origination',
}

DOCS = {
    'simulate_profiles_parallel': (
        'Poisson-thinned parallel counts-only engine: run `n_copies` independent copies of the engine,\n'
        'each with origination rate `o / n_copies` and a `1/n_copies` share of the founding families,\n'
        'then sum their profiles. Because gene families are independent and a Poisson process splits,\n'
        'this is distributionally identical to one full serial run (a different but equivalent\n'
        'realization). The copies run on a rayon pool of `n_threads`; the tree is shared read-only, and\n'
        'the GIL is released for the compute. Handles every transfer mode (the recipient choice depends\n'
        'only on the tree + donor, so it decomposes across families unchanged).'
    ),
    'simulate_trace': (
        'The compact "event trace" engine: identical dynamics to `simulate_log`, but speciations\n'
        'neither re-mint gene ids nor emit records (see `LogEngine.record_speciation`). Returns only\n'
        'the O/D/T/L columns — the genealogy is recovered by replaying them against the species tree\n'
        '(Python side), so the log is ~6x smaller and the reminting/record work is skipped.'
    ),
    'dated_joint_loglik': (
        'Joint dated log-likelihood of a batch of gene trees sharing one species tree and rates.\n'
        '\n'
        'The species tree is post-order flat arrays; gene trees are concatenated (CSR `gt_offsets`),\n'
        'each with local post-order `is_leaf`/`left`/`right` (child = local index, `-1` for a leaf)\n'
        'and `species` (the species-tree leaf-branch index for a tip, `-1` internal). `origination`\n'
        'is `0` (root) or `1` (uniform); `n_extinct` adds `k·log P(no survivor)`.'
    ),
    'undated_joint_loglik': (
        'Joint undated/reldated log-likelihood of a batch of gene trees. `transfers` is `0`\n'
        '(undated — any recipient) or `1` (reldated — only time-overlapping recipients).'
    ),
    'dated_family_loglik': (
        'Per-family dated log-likelihoods: extinction is built once and every gene tree in the batch\n'
        'is scored against it, returning one log-lik per tree (in input order) — for a per-family\n'
        'score table rather than the joint sum.'
    ),
    'undated_family_loglik': (
        'Per-family undated/reldated log-likelihoods (extinction built once). `transfers` = 0\n'
        '(undated) or 1 (reldated).'
    ),
}
