"""Layout optimisation: every turbine's position for the most annual energy,
inside the site's boundary and at least a minimum spacing apart.

The objective is the farm's AEP over its wind rose or time series, with the
yaw the farm gives (under a spread of wind directions, its expectation), and
its gradient is exact: the solves run with the layout
coordinates as tensors that require a gradient, and the AEP is
back-propagated through them one batch of flow cases at a time. (Within a
fixed downstream order the model is smooth in the positions; the order itself
changes only where two turbines line up across the wind.)

Constraints, both with analytic Jacobians:
- inside the boundary: the signed distance of each turbine to the site's
  outline, positive inside. For a polygon it is the distance to the nearest
  edge (the even-odd rule gives the sign); for a circle the radius less the
  distance to the centre; for several polygons the largest over them (a
  turbine may stand in any of them).
- spacing: |p_i - p_j|^2 - s^2 >= 0 for every pair, squared so that it stays
  smooth where two turbines meet.

SciPy's SLSQP solves the problem in rotor diameters, with the AEP scaled so
that the strongest gradient component at the start is one: SLSQP's first
quasi-Newton step then moves the most sensitive turbine about one diameter.
Its dense least-squares subproblem grows with the number of pairs; above
``ALL_PAIRS_UP_TO`` turbines only pairs that start within ``PAIR_REACH``
spacings are constrained, and any other pair found too close at the end is
added and the optimisation continued from there.

A start outside the constraints is first moved to the nearest feasible layout
(least squares in the positions under the same constraints). SLSQP's iterates
meet the constraints only as it converges, so after every iteration the
feasible layout nearest to the iterate is scored by a plain run; the result
is the best layout scored, the start among them, feasible to ``FEASIBLE_TO``
metres, so it is never worse than a feasible start, however early the
iterations stop.
"""
from __future__ import annotations

import math
import sys
import time
from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np
import torch

import sorbane_cpp as sc

from ..energy import HOURS_PER_YEAR, annual_energy
from ..errors import FarmError
from ..farm import FarmDescription
from ..runner import (DEFAULT_MEMORY_LIMIT, case_power, plan_batches, prepare,
                      recorded_case_bytes, run, working_dtype)
from ..spread import direction_offsets
from ..validation import show
from .geometry import (boundary_distance, boundary_document, close_pairs, site_regions,
                       spacing_constraints, violation)

__all__ = ["ALL_PAIRS_UP_TO", "FEASIBLE_TO", "LayoutEnergy", "LayoutResult", "optimize_layout",
           "result_document"]

# A layout counts as feasible when no turbine is more than this outside the
# boundary and no pair is closer than the minimum spacing by more than it (m).
FEASIBLE_TO = 1.0
ALL_PAIRS_UP_TO = 150
# Stop once the best feasible AEP has gained less than this share of itself
# over so many iterations: SLSQP can circle long on a kinked boundary.
STALL_GAIN = 1e-6
STALL_ITERATIONS = 10
PAIR_REACH = 4.0
_PAIR_ROUNDS = 4


# --- the AEP and its gradient -----------------------------------------------

class LayoutEnergy:
    """The farm's AEP in GWh, and its gradient in GWh/m, at any layout."""

    def __init__(self, farm, solver, device, batch_size, memory_limit):
        self.v, self.table, self.cfg = prepare(farm, solver, device)
        offsets, weights = direction_offsets(self.v.inputs.wd_std)
        if len(offsets) > 1:
            # The expected AEP under a spread of directions: every case at each
            # offset, weighed by its frequency times the offset's weight.
            self.v = self.v.with_cases(self.v.cases.spread(offsets, weights))
        self.solver, self.opt = sc.get_solver(solver), farm.model
        T = self.v.n_turbines
        if batch_size is None:
            itemsize = torch.tensor([], dtype=working_dtype()).element_size()
            batch_size = memory_limit // recorded_case_bytes(T, self.opt, solver, device, itemsize)
        self.batches = plan_batches(self.v.cases.wd.tolist(), batch_size)
        self.evaluations, self.seconds = 0, 0.0

    def __call__(self, x, y):
        start = time.perf_counter()
        like = self.v.x
        xt = torch.tensor(x, dtype=like.dtype, device=like.device, requires_grad=True)
        yt = torch.tensor(y, dtype=like.dtype, device=like.device, requires_grad=True)
        v = replace(self.v, x=xt, y=yt)
        total = 0.0
        for idx in self.batches:
            sel = torch.as_tensor(idx, device=like.device)
            p = case_power(v, idx, self.table, self.cfg, self.solver, self.opt)
            e = (self.v.cases.freq[sel].unsqueeze(1) * p).double().sum() * (HOURS_PER_YEAR / 1e9)
            e.backward()
            total += float(e.detach())
        self.evaluations += 1
        self.seconds += time.perf_counter() - start
        if not math.isfinite(total):
            raise FarmError("results", "the AEP is not finite at some layout the optimiser "
                                       "tried; nothing was written")
        return total, xt.grad.double().cpu().numpy(), yt.grad.double().cpu().numpy()


# --- the optimisation -------------------------------------------------------

@dataclass
class LayoutResult:
    """The optimised layout (layout order) and the run that found it.

    ``history`` is the best feasible AEP after each optimiser iteration, the
    (feasible) start first; ``evaluations`` counts AEP gradients, and
    ``gradient_s`` is the time they took. ``restored`` says that the start broke a constraint and was
    first moved to the nearest feasible layout.
    """

    layout_x: list[float]
    layout_y: list[float]
    initial_x: list[float]
    initial_y: list[float]
    aep_initial_gwh: float
    aep_optimized_gwh: float
    min_spacing_m: float
    iterations: int
    evaluations: int
    gradient_s: float
    elapsed_s: float
    history: list[float]
    regions: list = field(default_factory=list)
    restored: bool = False
    message: str = ""
    scored: int = 0  # layouts scored with a plain run (no gradient), the start included
    farm: Any = None  # the farm with the optimised layout

    @property
    def aep_gain_percent(self) -> float:
        return 100.0 * (self.aep_optimized_gwh / self.aep_initial_gwh - 1.0) \
            if self.aep_initial_gwh > 0 else 0.0


def _slsqp(fun, z0, constraints, max_iter, callback=None, ftol=1e-9, bounds=None):
    from scipy.optimize import minimize
    fun_value, jac = fun
    cons_value, cons_jac = constraints
    return minimize(fun_value, z0, jac=jac, method="SLSQP", callback=callback, bounds=bounds,
                    constraints=[{"type": "ineq", "fun": cons_value, "jac": cons_jac}],
                    options={"maxiter": max_iter, "ftol": ftol})


def _held(z0, fixed):
    """SLSQP bounds that hold each fixed turbine at its place in z0 (None: none fixed)."""
    if not any(fixed):
        return None
    T = len(fixed)
    return [(z0[k], z0[k]) if fixed[k % T] else (None, None) for k in range(2 * T)]


def _constraints(regions, T, D, spacing, pairs, fixed=None):
    """Constraint values and Jacobian over z = [x..., y...] / D, in diameters.
    Fixed turbines (another farm's, say) need not stand inside the boundary."""
    movable = np.arange(T) if fixed is None else np.flatnonzero(~np.asarray(fixed, dtype=bool))

    def split(z):
        return z[:T] * D, z[T:] * D

    def value(z):
        px, py = split(z)
        d = boundary_distance(regions, px[movable], py[movable])[0] / D
        return np.concatenate([d, spacing_constraints(px, py, pairs, spacing)[0] / (D * D)])

    def jac(z):
        px, py = split(z)
        _, gx, gy = boundary_distance(regions, px[movable], py[movable])
        inside = np.zeros((len(movable), 2 * T))
        inside[np.arange(len(movable)), movable] = gx
        inside[np.arange(len(movable)), T + movable] = gy
        return np.vstack([inside, spacing_constraints(px, py, pairs, spacing)[1] / D])

    return value, jac


def _nearest_feasible(regions, x, y, D, spacing, pairs_for, fixed, max_iter=200):
    """The feasible layout nearest to (x, y) in the least-squares sense, or None."""
    T = len(x)
    z0 = np.concatenate([x, y]) / D
    z = z0
    movable = ~np.asarray(fixed, dtype=bool)
    for _ in range(_PAIR_ROUNDS):
        pairs = pairs_for(z[:T] * D, z[T:] * D)
        res = _slsqp((lambda w: float(np.sum((w - z0) ** 2)), lambda w: 2 * (w - z0)), z,
                     _constraints(regions, T, D, spacing, pairs, fixed), max_iter,
                     bounds=_held(z0, fixed))
        z = res.x
        if violation(regions, z[:T] * D, z[T:] * D, spacing, movable) <= FEASIBLE_TO / 2:
            return z[:T] * D, z[T:] * D
    return None


def _bar(total: int, progress: bool | None):
    if progress is None:
        progress = sys.stderr.isatty()
    if not progress:
        return None
    from tqdm import tqdm
    return tqdm(total=total, desc="optimising", unit="iteration", leave=False)


def _aep_of(farm, x, y, solver, device, batch_size, counter=None):
    if counter is not None:
        counter[0] += 1
    moved = replace(farm, layout_x=[float(v) for v in x], layout_y=[float(v) for v in y])
    return annual_energy(run(moved, solver=solver, device=device,
                             batch_size=batch_size, progress=False)).aep_gwh, moved


def optimize_layout(farm: FarmDescription, min_spacing: float = 2.0, max_iter: int = 100,
                    solver: str = "sequential", device: str = "cpu",
                    batch_size: int | None = None,
                    memory_limit: int = DEFAULT_MEMORY_LIMIT,
                    progress: bool | None = None) -> LayoutResult:
    """Moves every turbine of ``farm`` for the most AEP inside its boundary,
    at least ``min_spacing`` rotor diameters apart, in at most ``max_iter``
    SLSQP iterations.

    SLSQP's iterates meet the constraints only as it converges, so after each
    iteration the nearest feasible layout to the iterate is scored with the
    AEP that ``run`` gives (a solve without gradients), and the best one
    scored is the result; the feasible start is scored first. ``progress``
    shows a bar of the iterations (None: on a terminal).
    """
    start = time.perf_counter()
    if not isinstance(min_spacing, (int, float)) or isinstance(min_spacing, bool) \
            or not math.isfinite(min_spacing) or min_spacing < 1.0:
        raise FarmError("--min-spacing", "must be at least 1 rotor diameter (no two turbines "
                                         f"may stand closer), got {show(min_spacing)}")
    if not isinstance(max_iter, int) or isinstance(max_iter, bool) or max_iter < 1:
        raise FarmError("--max-iter", f"expected a positive integer, got {show(max_iter)}")
    regions = site_regions(farm)
    energy = LayoutEnergy(farm, solver, device, batch_size, memory_limit)
    p = energy.v.inputs
    x0, y0 = np.array(p.x), np.array(p.y)
    # In diameters of the largest rotor, so that no two rotors overlap.
    T, D = len(x0), max(p.diameters)
    spacing = min_spacing * D
    fixed = list(p.fixed)
    movable = ~np.asarray(fixed, dtype=bool)
    if not movable.any():
        raise FarmError("fixed", "every turbine is fixed: there is no layout to optimise")

    def pairs_for(px, py):
        return close_pairs(px, py, None if T <= ALL_PAIRS_UP_TO else PAIR_REACH * spacing)

    runs = [0]
    aep_initial, moved = _aep_of(farm, x0, y0, solver, device, batch_size, runs)
    restored = violation(regions, x0, y0, spacing, movable) > FEASIBLE_TO
    best = {"aep": aep_initial, "x": x0, "y": y0, "farm": moved}
    if restored:
        found = _nearest_feasible(regions, x0, y0, D, spacing, pairs_for, fixed)
        if found is None:
            raise FarmError("layout", f"no feasible layout found near the given one: {T} "
                                      f"turbines inside the boundary, at least {spacing:g} m "
                                      "apart")
        aep, moved = _aep_of(farm, *found, solver, device, batch_size, runs)
        best = {"aep": aep, "x": found[0], "y": found[1], "farm": moved}
    scored: set[bytes] = set()

    def consider(z):
        """Scores the feasible layout nearest to the iterate z."""
        if z.tobytes() in scored:
            return
        scored.add(z.tobytes())
        found = _nearest_feasible(regions, z[:T] * D, z[T:] * D, D, spacing, pairs_for, fixed)
        if found is not None:
            aep, moved = _aep_of(farm, *found, solver, device, batch_size, runs)
            if aep > best["aep"]:
                best.update(aep=aep, x=found[0], y=found[1], farm=moved)

    # SLSQP asks for the value and the gradient at one point in two calls.
    cache: dict[bytes, tuple[float, np.ndarray]] = {}

    def evaluate(z):
        key = z.tobytes()
        if key not in cache:
            aep, gx, gy = energy(z[:T] * D, z[T:] * D)
            cache.clear()
            cache[key] = (aep, np.concatenate([gx, gy]) * D)
        return cache[key]

    stalled: list[bool] = []

    def step(z):
        consider(z)
        history.append(best["aep"])
        if bar is not None:
            bar.set_postfix_str(f"AEP {best['aep']:.3f} GWh", refresh=False)
            bar.update()
        if len(history) > STALL_ITERATIONS and \
                history[-1] - history[-1 - STALL_ITERATIONS] <= STALL_GAIN * abs(history[-1]):
            stalled.append(True)
            raise StopIteration  # SciPy ends the minimisation there

    z = np.concatenate([best["x"], best["y"]]) / D
    history = [best["aep"]]
    # AEP scaled so that the strongest gradient component is one per diameter.
    g = evaluate(z)[1]
    scale = max(float(np.abs(g).max()), 1e-12 * max(abs(best["aep"]), 1.0))
    objective = (lambda w: -evaluate(w)[0] / scale, lambda w: -evaluate(w)[1] / scale)
    iterations, message = 0, ""
    bar = _bar(max_iter, progress)
    try:
        for _ in range(_PAIR_ROUNDS):
            pairs = pairs_for(z[:T] * D, z[T:] * D)
            res = _slsqp(objective, z, _constraints(regions, T, D, spacing, pairs, fixed),
                         max_iter - iterations, callback=step, bounds=_held(z, fixed))
            iterations += int(res.nit)
            message = str(res.message)
            if stalled:
                message = (f"the best feasible AEP gained less than {STALL_GAIN:g} of itself "
                           f"over {STALL_ITERATIONS} iterations")
                break
            z = res.x
            consider(z)
            if iterations >= max_iter or T <= ALL_PAIRS_UP_TO or \
                    violation(regions, z[:T] * D, z[T:] * D, spacing, movable) <= FEASIBLE_TO:
                break
    finally:
        if bar is not None:
            bar.close()
    return LayoutResult(
        layout_x=np.asarray(best["x"], dtype=float).tolist(),
        layout_y=np.asarray(best["y"], dtype=float).tolist(),
        initial_x=x0.tolist(), initial_y=y0.tolist(), aep_initial_gwh=aep_initial,
        aep_optimized_gwh=best["aep"], min_spacing_m=spacing, iterations=iterations,
        evaluations=energy.evaluations, gradient_s=energy.seconds,
        elapsed_s=time.perf_counter() - start, history=history, regions=regions,
        restored=restored, message=message, scored=runs[0], farm=best["farm"])


def result_document(result: LayoutResult, farm: FarmDescription) -> dict:
    return {
        "farm": farm.name, "layout_x": result.layout_x, "layout_y": result.layout_y,
        "initial_x": result.initial_x, "initial_y": result.initial_y,
        "aep_initial_gwh": result.aep_initial_gwh, "aep_optimized_gwh": result.aep_optimized_gwh,
        "aep_gain_percent": result.aep_gain_percent, "min_spacing_m": result.min_spacing_m,
        "boundary": boundary_document(result.regions), "iterations": result.iterations,
        "aep_evaluations": result.evaluations, "aep_history_gwh": result.history,
        "start_restored": result.restored, "optimizer_message": result.message,
        "elapsed_s": result.elapsed_s, "gradient_s": result.gradient_s,
        "wind_direction_std": float(farm.wind_direction_std),
    }

