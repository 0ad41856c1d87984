"""Fused against op-by-op solves: wall time per solver, thread count and batching.

    tools/dev python bench/bench_fused.py                 # the common problem and the small farms
    tools/dev python bench/bench_fused.py --quick         # fused only, no op-by-op on the common problem
    tools/dev python bench/bench_fused.py --baseline build/nofused/float32

The common problem: the IEA 3.4 MW reference turbine (130 m rotor, 110 m hub;
thrust and power from the IEA 3.4 MW reference-turbine table shipped with farmrun, padded with zero
power and thrust below 3 and above 25 m/s) on a 10 x 10 square grid at 7 rotor
diameters (100 turbines), 360 wind directions (0, 1, ..., 359 degrees) x 12
wind speeds (4, 6, ..., 26 m/s) = 4320 flow cases, ambient turbulence 0.06, no
shear, 3 x 3 rotor points, no yaw, all switches off. Coefficients: alpha 0.58,
beta 0.077, ka 0.38, kb 0.004 (Bastankhah & Porte-Agel, Niayifar & Porte-Agel),
Crespo-Hernandez 0.0325 / 0.73 / 0.8325 / -0.32, and sigmoid_k = 1 per metre,
which makes the deficit's upstream gate a step about a metre wide. The Jacobi
solver runs with jacobi_max_iters 30, jacobi_tol 1e-6, jacobi_chunk_size 8.
It is solved one wind direction at a time (12 cases per solve, as the host
solves) and as one solve over all 4320 cases. Only the solve calls are timed.

Small farms: 4 x 4 and 7 x 7 grids (16 and 49 turbines) with 36 cases (36
directions, 8 m/s) and 360 cases (36 directions x 10 speeds, 4-22 m/s), one solve.
ns/triple: wall time per source-receiver-case triple, T x T x F.

Op-by-op times come from a build whose fused path is compiled out (--baseline,
built with SORBANE_CMAKE_ARGS=-DCMAKE_CXX_FLAGS=-DSORBANE_NO_FUSED
SORBANE_BUILD_ROOT=build/nofused tools/dev build float32); without one, the
op-by-op path is forced by an input that requires a gradient with gradient
recording on, which adds the cost of recording the graph. On the common
problem op-by-op runs only with the most threads, once. Each measurement runs in a fresh
interpreter with the given number of torch threads; the best of --repeat
runs counts. The machine may be shared: treat small differences as noise.
"""
import argparse
import csv
import json
import math
import os
import pathlib
import subprocess
import sys
import time

import torch

import sorbane_cpp as sc

D = 130.0
HUB = 110.0
DATA = pathlib.Path(__file__).resolve().parents[1] / "python/farmrun/data/iea-3.4-130-rwt.csv"


def iea_table(dtype):
    with DATA.open() as f:
        rows = [r for r in csv.reader(line for line in f if not line.startswith("#"))][1:]
    speed, power, ct = (list(map(float, col)) for col in zip(*rows))
    # Parked below cut-in and above cut-out: zero power and thrust.
    speed = [0.0, 2.99] + speed + [25.01, 50.0]
    power = [0.0, 0.0] + power + [0.0, 0.0]
    ct = [0.0, 0.0] + ct + [0.0, 0.0]
    t = sc.PowerThrustTable()
    t.wind_speed = torch.tensor(speed, dtype=dtype)
    t.thrust_coefficient = torch.tensor(ct, dtype=dtype)
    t.power = torch.tensor(power, dtype=dtype)
    t.ref_tilt = 5.0
    t.tip_speed_ratio = 8.0
    return t


def records(side, spacing, directions, speeds, dtype, ti=0.06, shear=0.0, N=3):
    """Records for every (direction, speed) pair, directions outermost."""
    T = side * side
    idx = torch.arange(T, dtype=torch.float64)
    xy = torch.stack([idx % side, idx // side], 1) * spacing * D
    wd = torch.tensor([d for d in directions for _ in speeds], dtype=dtype)
    ws = torch.tensor([s for _ in directions for s in speeds], dtype=dtype)
    F = len(wd)
    grid = sc.TurbineGrid()
    grid.turbine_coordinates = torch.cat([xy, torch.full((T, 1), HUB, dtype=torch.float64)], 1).to(dtype)
    grid.turbine_diameters = torch.full((T,), D, dtype=dtype)
    grid.wind_directions = wd
    grid.grid_resolution, grid.n_turbines, grid.n_findex = N, T, F
    grid.set_grid()
    farm = sc.Farm()
    farm.hub_heights = torch.full((T,), HUB, dtype=dtype)
    farm.rotor_diameters = torch.full((T,), D, dtype=dtype)
    farm.yaw_angles = torch.zeros(F, T, dtype=dtype)
    farm.n_turbines = T
    sc.farm_add_turbine_table(farm, iea_table(dtype))
    farm.initialize(grid.sorted_coord_indices)
    ff = sc.FlowField()
    ff.wind_speeds = ws
    ff.wind_directions = wd
    ff.turbulence_intensities = torch.full((F,), ti, dtype=dtype)
    ff.wind_shear, ff.reference_wind_height, ff.n_findex = shear, HUB, F
    ff.initialize_velocity_field(grid)
    return farm, ff, grid


def config(solver):
    cfg = sc.ModelConfig()
    for k, v in dict(alpha=0.58, beta=0.077, ka=0.38, kb=0.004, sigmoid_k=1.0, dm=1.0,
                     ch_initial=0.0325, ch_constant=0.73, ch_ai_exp=0.8325, ch_downstream=-0.32,
                     jacobi_max_iters=30, jacobi_tol=1e-6, jacobi_chunk_size=8).items():
        setattr(cfg, k, v)
    cfg.cpp_solver_paradigm = solver
    return cfg


CASES = {
    "common": dict(side=10, spacing=7.0, directions=list(range(360)),
                   speeds=[4.0 + 2 * k for k in range(12)]),
    "16x36": dict(side=4, spacing=7.0, directions=list(range(0, 360, 10)), speeds=[8.0]),
    "16x360": dict(side=4, spacing=7.0, directions=list(range(0, 360, 10)),
                   speeds=[4.0 + 2 * k for k in range(10)]),
    "49x36": dict(side=7, spacing=7.0, directions=list(range(0, 360, 10)), speeds=[8.0]),
    "49x360": dict(side=7, spacing=7.0, directions=list(range(0, 360, 10)),
                   speeds=[4.0 + 2 * k for k in range(10)]),
}


def run_one(job):
    """One measurement in this process; returns wall seconds (best of repeat)."""
    torch.set_num_threads(job["threads"])
    dtype = torch.float64 if sc.using_double() else torch.float32
    case_def = CASES[job["case"]]
    batches = ([dict(case_def, directions=[d]) for d in case_def["directions"]] if job["per_direction"]
               else [case_def])
    sets = [records(b["side"], b["spacing"], b["directions"], b["speeds"], dtype) for b in batches]
    force = job["mode"] == "op-by-op" and not job.get("baseline")
    if force:
        for _, ff, _ in sets:
            ff.turbulence_intensities = ff.turbulence_intensities.clone().requires_grad_()
    # A recorded gradient alone takes the fused path with its own backward.
    sc.set_fused_backward(not force)
    cfg = config(job["solver"])
    solver = sc.get_solver(job["solver"])
    best = math.inf
    with torch.set_grad_enabled(force):
        for _ in range(job["repeat"]):
            t0 = time.perf_counter()
            for farm, ff, grid in sets:
                solver.solve(farm, ff, grid, cfg)
            best = min(best, time.perf_counter() - t0)
    return best


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="no op-by-op run of the common problem")
    p.add_argument("--cases", nargs="+", default=list(CASES), choices=list(CASES))
    p.add_argument("--solvers", nargs="+", default=["sequential", "jacobi"])
    p.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--baseline", help="build folder of a module compiled with -DSORBANE_NO_FUSED")
    p.add_argument("--one", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.one:
        print(json.dumps(run_one(json.loads(args.one))))
        return

    here = pathlib.Path(__file__).resolve()
    print(f"sorbane_cpp {'float64' if sc.using_double() else 'float32'}, N = 3, switches off; "
          f"op-by-op from {'the baseline build ' + args.baseline if args.baseline else 'a forced fallback (graph recorded)'}")
    print(f"{'case':<8}{'T':>4}{'F':>6} {'batches':<14}{'solver':<11}{'thr':>4}"
          f"{'op-by-op s':>12}{'ns/triple':>11}{'fused s':>10}{'ns/triple':>11}{'speed-up':>10}", flush=True)
    for name in args.cases:
        case_def = CASES[name]
        T = case_def["side"] ** 2
        F = len(case_def["directions"]) * len(case_def["speeds"])
        triples = T * T * F
        for per_direction in ([True, False] if name == "common" else [False]):
            for solver in args.solvers:
                for threads in args.threads:
                    times = {}
                    for mode in ("op-by-op", "fused"):
                        if mode == "op-by-op" and name == "common" and (args.quick or threads != max(args.threads)):
                            times[mode] = None
                            continue
                        job = dict(case=name, per_direction=per_direction, solver=solver, threads=threads,
                                   mode=mode, repeat=1 if mode == "op-by-op" and name == "common" else args.repeat,
                                   baseline=bool(args.baseline and mode == "op-by-op"))
                        env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
                        if job["baseline"]:
                            env["PYTHONPATH"] = os.pathsep.join([args.baseline, env.get("PYTHONPATH", "")])
                        out = subprocess.run([sys.executable, str(here), "--one", json.dumps(job)], env=env,
                                             check=True, capture_output=True, text=True).stdout
                        times[mode] = float(out.strip().splitlines()[-1])
                    op, fu = times["op-by-op"], times["fused"]
                    batches = "per direction" if per_direction else "one solve"
                    op_cols = f"{op:>12.4g}{op / triples * 1e9:>11.1f}" if op else f"{'-':>12}{'-':>11}"
                    print(f"{name:<8}{T:>4}{F:>6} {batches:<14}{solver:<11}{threads:>4}{op_cols}"
                          f"{fu:>10.4g}{fu / triples * 1e9:>11.2f}"
                          f"{(f'{op / fu:.1f}x' if op else '-'):>10}", flush=True)


if __name__ == "__main__":
    main()
