"""The run: a farm's values as tensors, its batches of flow cases, their solves, and ``run``.

A run fills the four records of ``sorbane_cpp`` (rotor grid, farm, flow field,
model configuration) for one batch of flow cases at a time, solves, and
returns every result in layout order, one row per flow case. Every case of a
batch is put in its own downstream order, so a batch may mix wind directions
(a time series, or the offsets of a spread of directions); each turbine keeps
its own rotor, hub and type. A batch's solve is a task (``solve_cases``) that
reads and returns only values that pickle, so the engine can run it here or
on a Dask worker.
"""
from __future__ import annotations

import time
from dataclasses import dataclass, replace
from typing import Any, Sequence

import torch  # before the extension, so tensors can cross the boundary

import sorbane_cpp as sc

from .engine import map_batches, worker_threads
from .errors import FarmError
from .farm import FarmDescription, FarmInputs, FarmResult, ModelOptions
from .spread import direction_offsets, expand, expected
from .sweeps import jacobi_sweep_limit, longest_chain
from .turbine import rotor_effective, table_power, thrust_coefficient, turbine_table
from .validation import show, validate_farm

__all__ = [
    "DEFAULT_MEMORY_LIMIT", "SOLVERS", "BatchInputs", "BatchResults", "CaseValues",
    "PreparedFarm", "SolvedBatch", "batch_cases", "batch_inputs", "batch_records", "case_bytes",
    "case_power", "check_finite", "direction_batches", "model_config", "plan_batches", "prepare",
    "recorded_case_bytes", "run", "solve_batch", "solve_cases", "working_dtype",
]

SOLVERS = ("sequential", "jacobi")

# Bound on the working tensors of one solve.
DEFAULT_MEMORY_LIMIT = 1 << 30


def working_dtype() -> torch.dtype:
    return torch.float64 if sc.using_double() else torch.float32


# --- the prepared values ------------------------------------------------------

@dataclass
class CaseValues:
    """Per flow case, in the working dtype: wind direction ``wd`` (deg), speed ``ws``
    (m/s), ambient turbulence ``ti`` and weight ``freq``, (F,); ``yaw`` and
    ``tilt`` angles (deg), (F, T) in layout order."""

    wd: torch.Tensor
    ws: torch.Tensor
    ti: torch.Tensor
    freq: torch.Tensor
    yaw: torch.Tensor
    tilt: torch.Tensor

    def select(self, idx: Sequence[int]) -> CaseValues:
        """The cases ``idx``, in that order."""
        sel = torch.as_tensor(idx, device=self.wd.device, dtype=torch.long)
        return CaseValues(self.wd[sel], self.ws[sel], self.ti[sel], self.freq[sel],
                          self.yaw[sel], self.tilt[sel])

    def spread(self, offsets: Sequence[float], weights: Sequence[float]) -> CaseValues:
        """Every case at each direction offset (degrees), the offsets of case f
        in rows f n to f n + n - 1 (n offsets), each weighing its case's
        frequency times the offset's weight."""
        n, F = len(offsets), self.wd.shape[0]
        off = torch.tensor(offsets, dtype=self.wd.dtype, device=self.wd.device)
        w = torch.tensor(weights, dtype=self.freq.dtype, device=self.freq.device)
        return CaseValues(expand(self.wd, n) + off.repeat(F), expand(self.ws, n),
                          expand(self.ti, n), expand(self.freq, n) * w.repeat(F),
                          expand(self.yaw, n), expand(self.tilt, n))


@dataclass
class PreparedFarm:
    """A validated farm as tensors of the working dtype on the run's device.

    Per turbine, (T,) in layout order: positions ``x``, ``y``, hub heights
    ``hub`` and rotor diameters ``diam`` (m). The scalars ``shear`` (power-law
    exponent), ``zref`` (m, where the case speeds hold) and ``ref_tilt``
    (deg); ``cases`` per flow case; ``inputs``, the validated values as plain
    Python numbers.
    """

    x: torch.Tensor
    y: torch.Tensor
    hub: torch.Tensor
    diam: torch.Tensor
    shear: float
    zref: float
    ref_tilt: float
    cases: CaseValues
    inputs: FarmInputs

    @property
    def n_turbines(self) -> int:
        return self.x.shape[0]

    def with_cases(self, cases: CaseValues) -> PreparedFarm:
        return replace(self, cases=cases)


def prepare(farm: FarmDescription, solver: str, device) -> tuple[PreparedFarm, Any, Any]:
    """Validates ``farm`` and returns its values as tensors of the working dtype,
    its turbine table and its model configuration."""
    if solver not in SOLVERS:
        raise FarmError("solver", f"expected one of {', '.join(SOLVERS)}, got {show(solver)}")
    p = validate_farm(farm)
    dt, dev = working_dtype(), torch.device(device)

    def t(values):
        return torch.tensor(values, dtype=dt, device=dev)

    def per_case(rows):
        # One row for every case, as a farm-wide setting gives it, converts once.
        if rows and all(r is rows[0] for r in rows):
            return t(rows[0]).expand(len(rows), -1).contiguous()
        return t(rows)

    T = len(p.x)
    v = PreparedFarm(x=t(p.x), y=t(p.y), hub=t(p.hubs), diam=t(p.diameters),
                     shear=p.shear, zref=p.zref, ref_tilt=p.ref_tilt,
                     cases=CaseValues(wd=t(p.wd), ws=t(p.ws), ti=t(p.ti), freq=t(p.freq),
                                      yaw=per_case(p.yaw), tilt=per_case(p.tilt)),
                     inputs=p)
    return v, turbine_table(p, dt, dev), model_config(farm.model, solver, T)


# --- the compiled records -------------------------------------------------------

def model_config(opt: ModelOptions, solver: str, chain: int | None = None) -> sc.ModelConfig:
    """The solver configuration; ``chain`` sets the Jacobi sweep limit (see
    ``jacobi_sweep_limit``; the number of turbines bounds the chain in any
    direction, and ``solve_batch`` narrows it to the direction it solves)."""
    if chain is None:
        chain = 1000
    cfg = sc.ModelConfig()
    cfg.cpp_solver_paradigm = solver
    for name in ("alpha", "beta", "ka", "kb", "sigmoid_k", "ad", "bd", "dm", "ch_initial",
                 "ch_constant", "ch_ai_exp", "ch_downstream", "enable_secondary_steering",
                 "enable_yaw_added_recovery", "enable_transverse_velocities",
                 "jacobi_chunk_size", "jacobi_tol"):
        setattr(cfg, name, getattr(opt, name))
    cfg.jacobi_max_iters = jacobi_sweep_limit(chain, opt)
    cfg.jacobi_fixed_iters = False
    cfg.turbine_grid_points = opt.grid_resolution
    return cfg


@dataclass
class SolvedBatch:
    """The records of one solved batch (the flow plane reads them)."""

    grid: Any
    farm: Any
    ff: Any
    table: Any
    cfg: Any
    longest_chain: int = 0  # Jacobi only: turbines in the longest downstream chain


def solve_batch(v: PreparedFarm, idx: Sequence[int], table, cfg, solver,
                opt: ModelOptions) -> SolvedBatch:
    """Fills the records with the cases ``idx`` of ``v`` and solves them with
    ``solver``, a solver object; the gradient history of any tensor of ``v``
    that requires one is kept."""
    T, N = v.n_turbines, opt.grid_resolution
    sel = torch.as_tensor(idx, device=v.x.device)
    c = v.cases
    grid = sc.TurbineGrid()
    grid.turbine_coordinates = torch.stack([v.x, v.y, v.hub], dim=1)
    grid.turbine_diameters = v.diam
    grid.wind_directions = c.wd[sel]
    grid.grid_resolution = N
    grid.n_turbines = T
    grid.n_findex = len(idx)
    # Each case in its own downstream order; each rotor's points over its own diameter.
    grid.order_per_case = True
    grid.rotor_grid_per_turbine = True
    grid.set_grid()
    chain = 0
    if solver.name() == "jacobi":
        # The sweep limit of this solve's own directions, from the rotor centres
        # exactly as the solver sees them; the caller's record stays untouched.
        chain = longest_chain(grid.x_sorted.mean(dim=(-2, -1)))
        cfg = model_config(opt, "jacobi", chain)

    farm = sc.Farm()
    farm.layout_x = v.x
    farm.layout_y = v.y
    farm.turbines_in_layout_order = True
    farm.hub_heights = v.hub
    farm.rotor_diameters = v.diam
    farm.yaw_angles = c.yaw[sel]
    farm.tilt_angles = c.tilt[sel]
    farm.n_turbines = T
    for t in table.tables:
        sc.farm_add_turbine_table(farm, t)
    if table.several:
        farm.turbine_types = table.index
    farm.initialize(grid.sorted_coord_indices)

    ff = sc.FlowField()
    ff.wind_speeds = c.ws[sel]
    ff.wind_directions = c.wd[sel]
    ff.turbulence_intensities = c.ti[sel]
    ff.wind_shear = v.shear
    ff.wind_veer = 0.0
    ff.air_density = 1.225
    ff.reference_wind_height = v.zref
    ff.n_findex = len(idx)
    ff.initialize_velocity_field(grid)
    solver.solve(farm, ff, grid, cfg)
    ff.finalize(grid.unsorted_indices)
    farm.finalize(grid.unsorted_indices)
    return SolvedBatch(grid, farm, ff, table, cfg, chain)


# --- batches -------------------------------------------------------------------

def case_bytes(n_turbines: int, opt: ModelOptions, solver: str, itemsize: int) -> int:
    """Rough peak bytes of one flow case in a solve.

    About two dozen (T, N, N) fields per case live through a solve (grids,
    velocities, accumulators, kernel temporaries); the Jacobi solver adds some
    sixteen (T, B, N, N) kernel temporaries for its B wake-casting turbines.
    """
    points = n_turbines * opt.grid_resolution ** 2
    chunk = min(max(opt.jacobi_chunk_size, 1), n_turbines) if solver == "jacobi" else 1
    return points * itemsize * (24 + 16 * chunk)


def recorded_case_bytes(n_turbines: int, opt: ModelOptions, solver: str, device,
                        itemsize: int) -> int:
    """Rough peak bytes of one flow case in a solve that records a gradient.

    A sequential solve on the CPU records through its fused backward, which
    keeps about one more set of a case's fields (three transverse fields more
    with the switches on). A Jacobi solve takes the same backward only once its
    sweeps settle, so it is planned for the op-by-op recording of a solve cut
    short, whose graph keeps about one set per wake-casting turbine, as does
    any solve off the CPU.
    """
    one = case_bytes(n_turbines, opt, solver, itemsize)
    if solver == "sequential" and torch.device(device).type == "cpu":
        return 2 * one
    return (n_turbines + 1) * one


def plan_batches(wind_directions: Sequence[float], max_cases: int) -> list[list[int]]:
    """Case indices per solve, at most ``max_cases`` cases each, in case order:
    every case is sorted by its own direction, so a solve may mix them."""
    n, max_cases = len(wind_directions), max(1, int(max_cases))
    return [list(range(s, min(s + max_cases, n))) for s in range(0, n, max_cases)]


def direction_batches(wind_directions: Sequence[float], max_cases: int) -> list[list[int]]:
    """Case indices per batch of one wind direction each (modulo 360 degrees),
    at most ``max_cases`` cases: for searches that should see the cases of a
    direction together."""
    groups: dict[float, list[int]] = {}
    for i, d in enumerate(wind_directions):
        groups.setdefault(float(d) % 360.0, []).append(i)
    max_cases = max(1, int(max_cases))
    return [idx[s:s + max_cases] for idx in groups.values() for s in range(0, len(idx), max_cases)]


@dataclass
class BatchResults:
    """What the solve of one batch returns: (n, T) per case of the batch and
    turbine, in layout order."""

    rotor_velocity: torch.Tensor
    rotor_velocity_no_wake: torch.Tensor
    turbulence_intensity: torch.Tensor
    sweep_limit: int = 0  # Jacobi only: the sweep limit used
    longest_chain: int = 0  # Jacobi only: turbines in the longest downstream chain


@dataclass
class BatchInputs:
    """What every batch of a run reads, as values that pickle: the prepared farm
    without its cases (``farm.cases`` holds none), the model options and the
    solver's name."""

    farm: PreparedFarm
    model: ModelOptions
    solver: str


def batch_inputs(v: PreparedFarm, opt: ModelOptions, solver: str) -> BatchInputs:
    """The values every batch of ``v`` reads, sent once per run."""
    return BatchInputs(farm=v.with_cases(v.cases.select([])), model=opt, solver=solver)


def batch_records(v: PreparedFarm, opt: ModelOptions, solver: str):
    """The turbine table and solver configuration of ``v``, as ``prepare`` builds
    them; for a worker that received ``v`` alone (the compiled records do not
    pickle)."""
    return turbine_table(v.inputs, v.x.dtype, v.x.device), model_config(opt, solver,
                                                                         v.n_turbines)


def batch_cases(v: PreparedFarm, idx: Sequence[int]) -> CaseValues:
    """The per-case values of the cases ``idx``, sent with the task of their batch."""
    return v.cases.select(idx)


def solve_cases(inputs: BatchInputs, cases: CaseValues) -> BatchResults:
    """Solves one batch: ``inputs`` from ``batch_inputs``, ``cases`` from
    ``batch_cases``. Reads and returns only values that pickle, so that it
    can run in another process."""
    opt, solver = inputs.model, inputs.solver
    v = inputs.farm.with_cases(cases)
    table, cfg = batch_records(v, opt, solver)
    with torch.no_grad():
        rec = solve_batch(v, list(range(cases.wd.shape[0])), table, cfg, sc.get_solver(solver),
                          opt)
        back = rec.grid.unsorted_indices
        return BatchResults(
            rotor_velocity=rotor_effective(rec.ff.u_sorted).gather(1, back),
            rotor_velocity_no_wake=rotor_effective(rec.ff.u_initial_sorted).gather(1, back),
            turbulence_intensity=rec.ff.turbulence_intensity_field_sorted.mean(
                dim=(-2, -1)).gather(1, back),
            sweep_limit=rec.cfg.jacobi_max_iters if solver == "jacobi" else 0,
            longest_chain=rec.longest_chain)


def case_power(v: PreparedFarm, idx: Sequence[int], table, cfg, solver,
               opt: ModelOptions) -> torch.Tensor:
    """Per-turbine power in W, (len(idx), T) in layout order, of the cases ``idx``.

    Keeps the gradient history of every tensor of ``v`` that requires one (yaw
    angles, layout coordinates, wind speeds), so a loss built on it
    back-propagates through the solve; ``solver`` is a solver object.
    """
    rec = solve_batch(v, idx, table, cfg, solver, opt)
    u = rotor_effective(rec.ff.u_sorted).gather(1, rec.grid.unsorted_indices)
    yaw = v.cases.yaw[torch.as_tensor(idx, device=u.device)]
    return table_power(table, u, yaw, opt.yaw_power_exponent)


# --- the run -------------------------------------------------------------------

def run(farm: FarmDescription, solver: str = "sequential", device: str = "cpu",
        batch_size: int | None = None, memory_limit: int = DEFAULT_MEMORY_LIMIT,
        progress: bool | None = None, engine: str | None = None, client=None) -> FarmResult:
    """Solves every flow case of ``farm`` and returns the results in layout order.

    Cases are solved in batches of at most ``batch_size`` cases, in case order
    (a batch may mix wind directions), or, when it is None, of what fits in
    ``memory_limit`` bytes, and on a Dask cluster of at most a quarter of the
    cases per worker thread, so that every worker gets some. ``progress`` shows a bar; None shows it on a
    terminal when there is more than one batch.

    ``engine`` "local" solves the batches here, one after another; "dask"
    solves each as a task on ``client``, a ``dask.distributed.Client`` (None:
    the default client), with the same results. Unset, it is "dask" when a
    client is given.
    """
    start = time.perf_counter()
    v, table, _ = prepare(farm, solver, device)
    opt = farm.model
    # Under a spread of directions every case is solved at each offset of the
    # rule, as ordinary cases, and its results are the weighted means.
    offsets, weights = direction_offsets(v.inputs.wd_std)
    nominal = v.cases
    c = nominal.spread(offsets, weights) if len(offsets) > 1 else nominal
    v = v.with_cases(c)
    F, T = c.wd.shape[0], v.n_turbines
    if batch_size is None:
        itemsize = torch.tensor([], dtype=working_dtype()).element_size()
        batch_size = memory_limit // case_bytes(T, opt, solver, itemsize)
        # A cluster gets a few batches per worker thread to share out.
        threads = worker_threads(engine, client)
        if threads > 1:
            batch_size = min(batch_size, -(-F // (4 * threads)))
    batches = plan_batches(c.wd.tolist(), batch_size)
    parts = map_batches(solve_cases, batch_inputs(v, opt, solver),
                        [batch_cases(v, idx) for idx in batches], engine=engine, client=client,
                        progress=progress)

    u = c.ws.new_empty(F, T)
    u0 = torch.empty_like(u)
    ti = torch.empty_like(u)
    limits, chains = [], []
    with torch.no_grad():
        for idx, part in zip(batches, parts):
            if solver == "jacobi":
                limits.append(part.sweep_limit)
                chains.append(part.longest_chain)
            sel = torch.as_tensor(idx, device=u.device)
            u[sel] = part.rotor_velocity.to(u.device)
            u0[sel] = part.rotor_velocity_no_wake.to(u.device)
            ti[sel] = part.turbulence_intensity.to(u.device)

        ct = thrust_coefficient(table, u, c.yaw, c.tilt)
        power = table_power(table, u, c.yaw, opt.yaw_power_exponent)
        power0 = table_power(table, u0, c.yaw, opt.yaw_power_exponent)
        if len(offsets) > 1:
            u, u0, ti, ct, power, power0 = (expected(r, weights) for r in (u, u0, ti, ct, power, power0))
            c = nominal
    check_finite(v.inputs, dict(rotor_velocity=u, rotor_velocity_no_wake=u0, turbulence_intensity=ti,
                          thrust_coefficient=ct, power=power, power_no_wake=power0))
    farm_power, farm_power0 = power.sum(1), power0.sum(1)
    loss = torch.where(farm_power0 > 0, 100.0 * (1.0 - farm_power / farm_power0),
                       torch.zeros_like(farm_power))
    return FarmResult(
        layout_x=v.x, layout_y=v.y, hub_heights=v.hub, wind_directions=c.wd,
        wind_speeds=c.ws, ambient_turbulence=c.ti, frequencies=c.freq,
        yaw_angles=c.yaw, rotor_velocity=u, rotor_velocity_no_wake=u0,
        turbulence_intensity=ti, thrust_coefficient=ct, power=power, power_no_wake=power0,
        farm_power=farm_power, farm_power_no_wake=farm_power0, wake_loss=loss, solver=solver,
        n_batches=len(batches), elapsed_s=time.perf_counter() - start, sweep_limits=limits,
        longest_chains=chains, inputs=v.inputs, wind_direction_std=v.inputs.wd_std)


def check_finite(p: FarmInputs, results: dict[str, torch.Tensor]) -> None:
    """Raises FarmError naming the first case and turbine with a NaN or infinite result."""
    bad = None
    for name, r in results.items():
        if bool(torch.isfinite(r).all()):
            continue
        where = (~torch.isfinite(r)).nonzero()
        if where.shape[0]:
            f, t = (int(i) for i in where[0])
            if bad is None or (f, t) < bad[:2]:
                bad = (f, t, name, float(r[f, t]))
    if bad is not None:
        f, t, name, value = bad
        raise FarmError("results", f"case {f} (wind from {p.wd[f]:g} deg at {p.ws[f]:g} "
                                   f"m/s), turbine {t}: {name.replace('_', ' ')} is {value}; "
                                   "the inputs are outside what the model can compute")
