"""Wake steering: yaw angles that raise farm power, from the exact gradients of the solve.

Turning a rotor out of the wind tilts its thrust sideways, and the wake
behind it bends away from the turbines downstream; the yawed rotor itself
loses power as cos(yaw)^p. Per flow case the objective is the farm power as
``run`` computes it, a smooth function of the yaw angles whose gradient one
backward pass through the solve gives exactly. The cases of one batch (one
wind direction) are independent, so one solve and one backward give every
case's gradient at once, and L-BFGS-B (SciPy, bounded quasi-Newton) works on
all of them together: it maximises the sum over the cases of each case's farm
power relative to its zero-yaw power, so every case weighs the same whatever
its wind speed.

Zero yaw is a stationary point of a row aligned with the wind (the deflection
is odd in yaw, so the power is even), and a search started there stays there.
Every case therefore starts twice, all rotors at +s and all at -s (s half the
bound on that side), both copies solved in the same batch. Because cases do
not interact, each case keeps the best yaw angles of any evaluation of either
copy, and zero yaw where nothing beat its zero-yaw power by one part per
million, so no case ever comes out below its baseline.

A case whose zero-yaw power already reaches the most its turbines could give
(each turbine's best table power at or below its wake-free speed: wakes only
slow the flow and yaw only costs power) cannot gain and is not searched: a
case below cut-in, or one whose wakes miss every rotor.

Under a spread of wind directions (``FarmDescription.wind_direction_std``)
the objective of a case is its expected farm power: one yaw row per nominal
case, applied at every direction offset of the rule in ``farmrun.spread``,
the powers weighted and summed. Such a robust table gives up a little at the
nominal direction to lose less when the wind turns; ``optimize_yaw`` reports
beside it what the table tuned to the nominal direction alone gives under the
same spread.
"""
from __future__ import annotations

import math
import time
from dataclasses import dataclass, field, replace
from typing import Sequence

import torch

import sorbane_cpp as sc

from ..energy import HOURS_PER_YEAR, annual_energy
from ..engine import map_batches
from ..errors import FarmError
from ..farm import FarmDescription, FarmInputs, ModelOptions
from ..runner import (DEFAULT_MEMORY_LIMIT, PreparedFarm, batch_records, direction_batches,
                      prepare, recorded_case_bytes, run, solve_batch, working_dtype)
from ..spread import direction_offsets
from ..turbine import peak_power_up_to, rotor_effective, table_power

__all__ = ["BatchYaw", "DEFAULT_MAX_ITER", "FTOL", "MIN_RELATIVE_GAIN", "YawBounds",
           "YawResult", "best_possible_power", "optimize_batch",
           "optimize_yaw", "yaw_bounds"]

# L-BFGS-B iterations per batch; a few dozen reach the optimum of most farms.
DEFAULT_MAX_ITER = 100
# Gains below this share of a case's power are within the rounding of a
# single-precision solve: such a case keeps zero yaw.
MIN_RELATIVE_GAIN = 1e-6
# The search ends when an iteration raises the mean relative farm power by
# less than this: above the rounding of the solve, which otherwise sends the
# line searches chasing noise. 1e-6 moves an optimum of typical curvature by
# about 0.1 degree.
FTOL = {torch.float32: 1e-6, torch.float64: 1e-9}


@dataclass(frozen=True)
class YawBounds:
    """Yaw limits in degrees; zero yaw lies within them."""

    min_yaw: float = -25.0
    max_yaw: float = 25.0


def yaw_bounds(min_yaw: float = -25.0, max_yaw: float = 25.0,
               names: tuple[str, str] = ("min_yaw", "max_yaw")) -> YawBounds:
    """Checked bounds: finite, strictly within +-90 degrees, min_yaw <= 0 <= max_yaw,
    min < max; errors name the bound as ``names`` give them."""
    lo_name, hi_name = names
    for name, value in ((lo_name, min_yaw), (hi_name, max_yaw)):
        if not isinstance(value, (int, float)) or isinstance(value, bool) \
                or not math.isfinite(value):
            raise FarmError(name, f"expected a finite number of degrees, got {value!r}")
        if not -90.0 < value < 90.0:
            raise FarmError(name, f"must lie strictly between -90 and 90 degrees, got {value:g}")
    if min_yaw > 0.0:
        raise FarmError(lo_name, f"must be at most 0 (zero yaw is the baseline), got {min_yaw:g}")
    if max_yaw < 0.0:
        raise FarmError(hi_name, f"must be at least 0 (zero yaw is the baseline), got {max_yaw:g}")
    if not min_yaw < max_yaw:
        raise FarmError(hi_name, f"must be above {lo_name} {min_yaw:g}, got {max_yaw:g}")
    return YawBounds(float(min_yaw), float(max_yaw))


@dataclass
class BatchYaw:
    """The outcome of one batch: per case of ``idx``, in layout order.

    ``evaluations`` counts the solves with a backward pass (each covers every
    searched case of the batch, both starts); ``searched`` the cases that
    could gain and were searched.
    """

    idx: list[int]
    yaw_angles: torch.Tensor            # (n, T) degrees, float64 on the CPU
    farm_power_baseline: torch.Tensor   # (n,) W at zero yaw
    farm_power_optimized: torch.Tensor  # (n,) W at yaw_angles
    evaluations: int = 0
    iterations: int = 0
    searched: int = 0


@dataclass
class YawResult:
    """Optimised yaw angles of every flow case, in layout order, and the farm power before and after."""

    layout_x: torch.Tensor
    layout_y: torch.Tensor
    wind_directions: torch.Tensor
    wind_speeds: torch.Tensor
    frequencies: torch.Tensor
    yaw_angles: torch.Tensor            # (F, T) degrees
    farm_power_baseline: torch.Tensor   # (F,) W, zero yaw
    farm_power_optimized: torch.Tensor  # (F,) W
    bounds: YawBounds
    solver: str
    n_batches: int
    evaluations: int                    # solves with a backward pass, over all batches
    case_evaluations: int               # the same per case: both starts of each searched case
    iterations: int                     # L-BFGS-B iterations, over all batches
    searched: int                       # cases searched (the others cannot gain)
    elapsed_s: float
    model: ModelOptions = field(default_factory=ModelOptions)
    inputs: FarmInputs | None = None
    hours_per_year: float = HOURS_PER_YEAR
    # The spread of wind directions (degrees) the powers are expectations over,
    # and under it the AEP of the table tuned to the nominal directions alone
    # (None without a spread).
    wind_direction_std: float = 0.0
    aep_nominal_table_gwh: float | None = None

    def _aep(self, power: torch.Tensor) -> float:
        return float((self.frequencies.double() * power.double()).sum()) \
            * self.hours_per_year / 1e9

    @property
    def aep_baseline_gwh(self) -> float:
        return self._aep(self.farm_power_baseline)

    @property
    def aep_optimized_gwh(self) -> float:
        return self._aep(self.farm_power_optimized)

    @property
    def aep_gain_percent(self) -> float:
        base = self.aep_baseline_gwh
        return 100.0 * (self.aep_optimized_gwh / base - 1.0) if base > 0 else 0.0

    @property
    def nominal_table_gain_percent(self) -> float | None:
        """Under the spread, the gain of the table tuned to the nominal directions."""
        base = self.aep_baseline_gwh
        if self.aep_nominal_table_gwh is None:
            return None
        return 100.0 * (self.aep_nominal_table_gwh / base - 1.0) if base > 0 else 0.0


def best_possible_power(table, u_free: torch.Tensor) -> torch.Tensor:
    """Per case the most power the farm could give: each turbine's highest table
    power at any speed up to its wake-free speed, (F, T) -> (F,)."""
    return peak_power_up_to(table, u_free).sum(-1)


def _check_finite(power: torch.Tensor, p: FarmInputs, idx: Sequence[int]) -> None:
    bad = (~torch.isfinite(power)).nonzero()
    if bad.shape[0]:
        f = idx[int(bad[0, 0]) % len(idx)]
        raise FarmError("results", f"case {f} (wind from {p.wd[f]:g} deg at {p.ws[f]:g} "
                                   "m/s): the farm power is not finite; the inputs are outside "
                                   "what the model can compute")


def optimize_batch(v: PreparedFarm, idx: Sequence[int], table, cfg, solver_name: str, opt: ModelOptions,
                   bounds: YawBounds, max_iter: int = DEFAULT_MAX_ITER) -> BatchYaw:
    """Optimised yaw angles of the cases ``idx`` (one wind direction) of the
    prepared values ``v``; ``table`` and ``cfg`` None rebuilds them from ``v``."""
    import numpy as np
    from scipy.optimize import minimize

    if table is None or cfg is None:
        table, cfg = batch_records(v, opt, solver_name)
    idx = [int(i) for i in idx]
    solver = sc.get_solver(solver_name)
    n, T = len(idx), v.n_turbines
    dev, dt = v.x.device, v.x.dtype

    def cases(rows: Sequence[int], yaw: torch.Tensor) -> PreparedFarm:
        return v.with_cases(replace(v.cases.select(rows), yaw=yaw))

    offsets, weights = direction_offsets(v.inputs.wd_std)

    def farm_power_at(vb: PreparedFarm, m: int):
        rec = solve_batch(vb, list(range(m)), table, cfg, solver, opt)
        u = rotor_effective(rec.ff.u_sorted).gather(1, rec.grid.unsorted_indices)
        return table_power(table, u, vb.cases.yaw, opt.yaw_power_exponent).sum(1), rec

    def farm_power(vb: PreparedFarm, m: int):
        if len(offsets) == 1:
            return farm_power_at(vb, m)
        # The expected power over the spread: one solve per direction offset,
        # the same yaw rows at each.
        total, rec = 0.0, None
        for off, w in zip(offsets, weights):
            p, rec = farm_power_at(vb.with_cases(replace(vb.cases, wd=vb.cases.wd + off)), m)
            total = total + p * w
        return total, rec

    with torch.no_grad():
        base, rec = farm_power(cases(idx, torch.zeros(n, T, dtype=dt, device=dev)), n)
        _check_finite(base, v.inputs, idx)
        u_free = rotor_effective(rec.ff.u_initial_sorted).gather(1, rec.grid.unsorted_indices)
        best_possible = best_possible_power(table, u_free)
    base64 = base.double().cpu()
    yaw_out = torch.zeros(n, T, dtype=torch.float64)
    power_out = base64.clone()
    can_gain = (base64 < best_possible.double().cpu() * (1.0 - MIN_RELATIVE_GAIN)).nonzero()
    active = [int(i) for i in can_gain.flatten()]
    if not active:
        return BatchYaw(idx, yaw_out, base64, power_out)

    # Both starts of every searched case, stacked: rows [a..., a...] with a = active.
    m = 2 * len(active)
    rows = [idx[i] for i in active] * 2
    scale = max(-bounds.min_yaw, bounds.max_yaw)  # variables in units of the larger bound
    lo, hi = bounds.min_yaw / scale, bounds.max_yaw / scale
    x0 = np.empty((m, T))
    x0[:m // 2] = 0.5 * hi
    x0[m // 2:] = 0.5 * lo
    # Each case's power relative to its baseline, averaged: the objective is about 1.
    weight = 1.0 / (m * base64[active].clamp_min(1.0).repeat(2).to(dt).to(dev))
    best_power = base64[active].repeat(2)
    best_yaw = torch.zeros(m, T, dtype=torch.float64)
    evaluations = 0

    def objective(x):
        nonlocal evaluations
        evaluations += 1
        yaw = torch.tensor(x.reshape(m, T) * scale, dtype=dt, device=dev, requires_grad=True)
        power, _ = farm_power(cases(rows, yaw), m)
        _check_finite(power.detach(), v.inputs, rows)
        (grad,) = torch.autograd.grad((weight * power).sum(), yaw)
        p = power.detach().double().cpu()
        better = p > best_power
        best_power[better] = p[better]
        best_yaw[better] = yaw.detach().double().cpu()[better]
        return -float((weight * power.detach()).sum()), \
            -(grad.double().cpu().numpy() * scale).ravel()

    res = minimize(objective, x0.ravel(), jac=True, method="L-BFGS-B",
                   bounds=[(lo, hi)] * (m * T),
                   options=dict(maxiter=max_iter, ftol=FTOL[dt], gtol=1e-10))

    half = m // 2
    first_wins = best_power[:half] >= best_power[half:]
    power = torch.where(first_wins, best_power[:half], best_power[half:])
    yaw = torch.where(first_wins.unsqueeze(1), best_yaw[:half], best_yaw[half:])
    gained = power > base64[active] * (1.0 + MIN_RELATIVE_GAIN)
    sel = torch.tensor(active)[gained]
    yaw_out[sel] = yaw[gained]
    power_out[sel] = power[gained]
    return BatchYaw(idx, yaw_out, base64, power_out, evaluations, int(res.nit), len(active))


def _optimize_task(shared: tuple, idx: Sequence[int]) -> BatchYaw:
    """One batch as an engine task: the compiled records do not pickle, so
    every batch, here or on a worker, rebuilds them from the prepared values."""
    v, solver_name, opt, bounds, max_iter = shared
    return optimize_batch(v, idx, None, None, solver_name, opt, bounds, max_iter)


def optimize_yaw(farm: FarmDescription, min_yaw: float = -25.0, max_yaw: float = 25.0,
                 solver: str = "sequential", device: str = "cpu", batch_size: int | None = None,
                 memory_limit: int = DEFAULT_MEMORY_LIMIT, progress: bool | None = None,
                 max_iter: int = DEFAULT_MAX_ITER, engine: str | None = None,
                 client=None) -> YawResult:
    """Yaw angles within [min_yaw, max_yaw] degrees that maximise the farm power of
    every flow case of ``farm``; the farm's own yaw angles are ignored (the
    baseline is zero yaw), its tilt angles kept.

    Batches hold one wind direction each, split to at most ``batch_size``
    cases or, when None, to what fits in ``memory_limit`` bytes with the
    gradient history; ``progress`` shows a bar (None: on a terminal when
    there is more than one batch). ``engine`` "local" optimises the batches
    here, one after another; "dask" each as a task on ``client``, a
    ``dask.distributed.Client`` (None: the default client), with the same
    results. Unset, it is "dask" when a client is given.
    """
    start = time.perf_counter()
    bounds = yaw_bounds(min_yaw, max_yaw)
    if not isinstance(max_iter, int) or isinstance(max_iter, bool) or max_iter < 1:
        raise FarmError("max_iter", f"expected a positive integer, got {max_iter!r}")
    v, _, _ = prepare(farm, solver, device)
    opt = farm.model
    F, T = v.cases.wd.shape[0], v.n_turbines
    std = v.inputs.wd_std
    if batch_size is None:
        itemsize = torch.tensor([], dtype=working_dtype()).element_size()
        # Two starts per case, each a recorded solve (one per direction offset,
        # each graph kept until the backward).
        n_offsets = len(direction_offsets(std)[0])
        batch_size = memory_limit // (2 * n_offsets *
                                      recorded_case_bytes(T, opt, solver, device, itemsize))
    # L-BFGS-B searches the cases of a direction together: its stopping test
    # on their mean power suits cases of one kind.
    batches = direction_batches(v.cases.wd.tolist(), batch_size)
    done = map_batches(_optimize_task, (v, solver, opt, bounds, max_iter), batches,
                       engine=engine, client=client, progress=progress)

    yaw = torch.zeros(F, T, dtype=torch.float64)
    base = torch.zeros(F, dtype=torch.float64)
    best = torch.zeros(F, dtype=torch.float64)
    for b in done:
        sel = torch.tensor(b.idx)
        yaw[sel], base[sel], best[sel] = b.yaw_angles, b.farm_power_baseline, \
            b.farm_power_optimized

    def cpu(t: torch.Tensor) -> torch.Tensor:
        return t.detach().double().cpu()

    aep_nominal = None
    if std > 0.0:
        # What planning for the nominal directions alone gives under the spread.
        nominal = optimize_yaw(replace(farm, wind_direction_std=0.0), min_yaw, max_yaw, solver,
                               device, batch_size, memory_limit, progress, max_iter, engine,
                               client)
        under = run(replace(farm, yaw_angles=nominal.yaw_angles.tolist()), solver=solver,
                    device=device, memory_limit=memory_limit, progress=False, engine=engine,
                    client=client)
        aep_nominal = annual_energy(under).aep_gwh
    return YawResult(
        layout_x=cpu(v.x), layout_y=cpu(v.y), wind_directions=cpu(v.cases.wd),
        wind_speeds=cpu(v.cases.ws), frequencies=cpu(v.cases.freq), yaw_angles=yaw,
        farm_power_baseline=base, farm_power_optimized=best, bounds=bounds, solver=solver,
        n_batches=len(batches), evaluations=sum(b.evaluations for b in done),
        case_evaluations=sum(2 * b.evaluations * b.searched for b in done),
        iterations=sum(b.iterations for b in done), searched=sum(b.searched for b in done),
        elapsed_s=time.perf_counter() - start,
        model=opt, inputs=v.inputs, wind_direction_std=std, aep_nominal_table_gwh=aep_nominal)
