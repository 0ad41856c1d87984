"""How many sweeps the Jacobi solver gets: the longest downstream chain of a farm.

Each Jacobi sweep takes every turbine's operating point from the previous
sweep's field, so it carries the wakes one turbine further downstream. Along a
chain of n turbines, each more than 0.1 m downstream of the one before (the
solvers' test for a wake reaching a rotor), the field is exact after n - 1
sweeps, and the n-th changes nothing and ends the sweeps by the tolerance.
"""
from __future__ import annotations

import numpy as np
import torch

from .farm import ModelOptions

__all__ = ["jacobi_sweep_limit", "longest_chain"]


def longest_chain(xbar: torch.Tensor) -> int:
    """Turbines in the longest downstream chain: each more than 0.1 m downstream
    of the one before (the solvers' test for one wake reaching a rotor), over
    rotor-centre x in the wind frame, (F, T) or (T); the longest over the cases.

    Taking the next turbine as the nearest one beyond the reach of the last
    gives the longest chain, so one pass over the sorted positions suffices.
    """
    rows = np.unique(np.atleast_2d(xbar.detach().double().cpu().numpy()), axis=0)
    best = 0
    for row in rows:
        xs = np.sort(row)
        n, i = 0, 0
        while i < len(xs):
            n += 1
            i = int(np.searchsorted(xs, xs[i] + 0.1, side="right"))
        best = max(best, n)
    return best


def jacobi_sweep_limit(chain: int, opt: ModelOptions) -> int:
    """Sweeps the Jacobi solver may need on a farm whose longest downstream
    chain holds ``chain`` turbines.

    A sweep takes every operating point from the previous sweep's field, so
    the turbines of the k-th link of a chain are exact after k - 1 sweeps and
    the whole farm after chain - 1; one more sweep then changes nothing and
    ends the sweeps by the tolerance. Secondary steering and yaw-added
    recovery read transverse velocities one sweep late, which can double the
    count. An explicit ``opt.jacobi_max_iters`` is used as given.
    """
    if opt.jacobi_max_iters is not None:
        return opt.jacobi_max_iters
    late = opt.enable_secondary_steering or (
        opt.enable_yaw_added_recovery and opt.enable_transverse_velocities)
    chain = max(int(chain), 1)
    return 2 * chain + 1 if late else chain
