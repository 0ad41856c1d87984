"""Wall time, throughput and peak memory of the two solvers over farm sizes.

    tools/dev bench                  # T = 10, 50, 100 turbines x F = 1, 100, 1000 flow cases, N = 3
    tools/dev bench --quick          # a short run on small farms
    tools/dev bench --sizes 100x50 --chunks 1 8 --device cuda

Each case runs in a fresh interpreter (on CPU) so that its peak memory, the
growth of the resident set over the solve, is its own. Farms are square-ish
grids of turbines 6 diameters apart; the flow cases spread the wind direction
over a quarter turn and the wind speed over 6-12 m/s, with the thrust curve of
an actuator disc whose induction falls linearly with speed (no turbine data
file needed).
"""
import argparse
import json
import math
import os
import resource
import subprocess
import sys
import time

import torch

import sorbane_cpp as sc

D = 130.0
HUB = 110.0


def table(dtype):
    # Actuator-disc thrust Ct = 4 a (1 - a), induction 1/3 at 3 m/s down to 0.05 at 25 m/s.
    speed = torch.linspace(3.0, 25.0, 23, dtype=torch.float64)
    a = 1 / 3 + (speed - 3.0) / 22.0 * (0.05 - 1 / 3)
    t = sc.PowerThrustTable()
    t.wind_speed = speed.to(dtype)
    t.thrust_coefficient = (4 * a * (1 - a)).to(dtype)
    t.power = torch.zeros_like(t.wind_speed)
    t.ref_tilt = 5.0
    t.tip_speed_ratio = 8.0
    return t


def records(F, T, N, device, dtype, record=False):
    cols = math.ceil(math.sqrt(T))
    idx = torch.arange(T, dtype=torch.float64)
    xy = torch.stack([idx % cols, idx // cols], 1) * 6 * D
    grid = sc.TurbineGrid()
    grid.turbine_coordinates = torch.cat([xy, torch.full((T, 1), HUB, dtype=torch.float64)], 1).to(device, dtype)
    grid.turbine_diameters = torch.full((T,), D, dtype=dtype, device=device)
    wd = torch.linspace(225.0, 315.0, F, dtype=dtype, device=device) if F > 1 else torch.full((1,), 270.0, dtype=dtype, device=device)
    grid.wind_directions = wd
    grid.grid_resolution, grid.n_turbines, grid.n_findex = N, T, F
    grid.set_grid()

    farm = sc.Farm()
    farm.hub_heights = torch.full((T,), HUB, dtype=dtype, device=device)
    farm.rotor_diameters = torch.full((T,), D, dtype=dtype, device=device)
    # Some yaw, so that the steering and vortex terms do real work.
    yaw = (torch.rand(F, T, generator=torch.Generator().manual_seed(0), dtype=torch.float64) * 30 - 15).to(device, dtype)
    farm.yaw_angles = yaw.requires_grad_(record)
    farm.n_turbines = T
    tab = table(dtype)
    tab.wind_speed, tab.thrust_coefficient = tab.wind_speed.to(device), tab.thrust_coefficient.to(device)
    sc.farm_add_turbine_table(farm, tab)
    farm.initialize(grid.sorted_coord_indices)

    ff = sc.FlowField()
    ff.wind_speeds = (6.0 + torch.arange(F, dtype=torch.float64) % 7).to(device, dtype)
    ff.wind_directions = wd
    ff.turbulence_intensities = torch.full((F,), 0.06, dtype=dtype, device=device)
    ff.wind_shear, ff.reference_wind_height, ff.n_findex = 0.12, HUB, F
    ff.initialize_velocity_field(grid)
    return farm, ff, grid


def config(args, variant):
    cfg = sc.ModelConfig()
    for k, v in dict(alpha=0.58, beta=0.077, ka=0.38, kb=0.004, sigmoid_k=1.0, dm=1.0,
                     ch_initial=0.0325, ch_constant=0.73, ch_ai_exp=0.8325, ch_downstream=-0.32).items():
        setattr(cfg, k, v)
    cfg.enable_secondary_steering = cfg.enable_transverse_velocities = cfg.enable_yaw_added_recovery = args.switches
    if variant["solver"] == "jacobi":
        cfg.jacobi_chunk_size = variant["chunk"]
        cfg.jacobi_fixed_iters = variant["mode"] == "fixed"
        cfg.jacobi_max_iters = args.fixed_iters if cfg.jacobi_fixed_iters else args.max_iters
        cfg.jacobi_tol = args.tol
    return cfg


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_one(args, case):
    """One case in this process: best wall time of `repeat` solves, peak memory."""
    torch.set_grad_enabled(args.record)
    if args.threads:
        torch.set_num_threads(args.threads)
    device = torch.device(args.device)
    dtype = torch.float64 if sc.using_double() else torch.float32
    farm, ff, grid = records(case["F"], case["T"], args.grid, device, dtype, args.record)
    cfg = config(args, case)
    solver = sc.get_solver(case["solver"])
    sync = torch.cuda.synchronize if device.type == "cuda" else (lambda: None)
    if device.type == "cuda":
        torch.cuda.reset_peak_memory_stats()
        base = torch.cuda.memory_allocated()
    else:
        base = rss_bytes()
    best = math.inf
    for _ in range(args.repeat):
        sync()
        t0 = time.perf_counter()
        solver.solve(farm, ff, grid, cfg)
        sync()
        best = min(best, time.perf_counter() - t0)
    if device.type == "cuda":
        peak = torch.cuda.max_memory_allocated() - base
    else:
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - base
    return dict(case, wall=best, peak=max(peak, 0))


def variants(args):
    if "sequential" in args.solvers:
        yield dict(solver="sequential", label="sequential")
    if "jacobi" not in args.solvers:
        return
    for mode in ("fixed", "tol"):
        for chunk in args.chunks:
            yield dict(solver="jacobi", mode=mode, chunk=chunk, label=f"jacobi {mode} c{chunk}")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="small farms, one solve each")
    p.add_argument("--sizes", nargs="+", help="FxT pairs, e.g. 100x50 (default: F in 1 100 1000, T in 10 50 100)")
    p.add_argument("--grid", type=int, default=3, help="rotor grid resolution N")
    p.add_argument("--chunks", type=int, nargs="+", default=[1, 8, 32], help="jacobi_chunk_size values")
    p.add_argument("--fixed-iters", type=int, default=10, help="sweeps of the fixed-iteration Jacobi runs")
    p.add_argument("--max-iters", type=int, default=30, help="sweep limit of the Jacobi runs with a tolerance")
    p.add_argument("--tol", type=float, default=1e-3, help="jacobi_tol of the runs with a tolerance")
    p.add_argument("--repeat", type=int, default=2, help="solves per case; the best time counts")
    p.add_argument("--no-switches", dest="switches", action="store_false",
                   help="secondary steering, transverse velocities and yaw-added recovery off")
    p.add_argument("--solvers", nargs="+", default=["sequential", "jacobi"], choices=["sequential", "jacobi"])
    p.add_argument("--threads", type=int, help="torch intra-op threads (default: torch's own choice); "
                   "1 gives steadier numbers on a shared machine")
    p.add_argument("--record", action="store_true",
                   help="yaw angles record gradients: the solve keeps its autograd graph")
    p.add_argument("--device", default="cpu")
    p.add_argument("--one", help=argparse.SUPPRESS)
    args = p.parse_args()

    if args.one:
        print(json.dumps(run_one(args, json.loads(args.one))))
        return
    if args.quick:
        sizes = args.sizes or ["1x10", "10x10", "10x25"]
        args.chunks, args.repeat = args.chunks[:2], 1
    else:
        sizes = args.sizes or [f"{F}x{T}" for T in (10, 50, 100) for F in (1, 100, 1000)]
    sizes = [tuple(map(int, s.split("x"))) for s in sizes]

    passthrough = [a for a in sys.argv[1:] if a != "--quick"]
    if args.quick:
        passthrough += ["--repeat", "1"]
    results = []
    if args.threads:
        torch.set_num_threads(args.threads)
    print(f"sorbane_cpp {'float64' if sc.using_double() else 'float32'}, {args.device}, N = {args.grid}, "
          f"switches {'on' if args.switches else 'off'}, gradients {'recorded' if args.record else 'off'}, "
          f"torch threads {torch.get_num_threads()}", flush=True)
    print(f"Jacobi: fixed = {args.fixed_iters} sweeps; tol = jacobi_tol {args.tol:g}, at most {args.max_iters} sweeps",
          flush=True)
    print(f"{'solver':<22}{'F':>6}{'T':>5}{'wall s':>10}{'F*T / s':>12}{'peak MiB':>10}", flush=True)
    for F, T in sizes:
        for v in variants(args):
            case = dict(v, F=F, T=T)
            if args.device == "cpu":
                out = subprocess.run([sys.executable, __file__, *passthrough, "--one", json.dumps(case)],
                                     check=True, capture_output=True, text=True).stdout
                r = json.loads(out.strip().splitlines()[-1])
            else:
                r = run_one(args, case)
            results.append(r)
            print(f"{r['label']:<22}{F:>6}{T:>5}{r['wall']:>10.3f}{F * T / r['wall']:>12.0f}"
                  f"{r['peak'] / 2**20:>10.1f}", flush=True)

    labels = [v["label"] for v in variants(args)]
    print("\nwall time, s (peak MiB)")
    print(f"{'F x T':<10}" + "".join(f"{label:>22}" for label in labels))
    for F, T in sizes:
        row = {r["label"]: r for r in results if (r["F"], r["T"]) == (F, T)}
        print(f"{f'{F} x {T}':<10}" + "".join(
            f"{row[label]['wall']:>12.3f} ({row[label]['peak'] / 2**20:>6.0f})" for label in labels))


if __name__ == "__main__":
    main()
