"""The AEP gradient with respect to layout x, y and yaw: no-gradient solves,
fused forward + backward and op-by-op forward + backward, sequential or Jacobi solver.

    tools/dev python bench/bench_gradient.py                   # all three problems
    tools/dev python bench/bench_gradient.py --problems 49x432 --op-directions 36
    tools/dev python bench/bench_gradient.py --solver jacobi --problems 100x432

Problems (farm and rose of bench_fused.py: IEA 3.4 MW turbines on a square
grid at 7 diameters, ambient turbulence 0.06, 3 x 3 rotor points, switches off):
100 turbines under 360 directions x 12 speeds (4320 cases), and 49, 100 and 484
turbines under 36 directions x 12 speeds (432 cases). The Jacobi solver sweeps
until its field settles (tolerance 1e-6, at most 60 sweeps, chunks of 8); a
settled solve then differentiates by the sequential reverse pass. One solve per direction
(12 cases), as the host solves. The loss is the frequency-weighted farm power
(uniform frequencies) from the power curve at each rotor's cube-mean speed;
with --switches, secondary steering, transverse velocities and yaw-added
recovery are on (the yaw starts at 5 degrees so that the steering acts);
the gradient is taken with respect to the layout (x, y) and one yaw angle per
turbine, shared by every case. Each timing covers set_grid, the velocity field,
the solves, the power and (with a gradient) the backward, over every direction.

Each measurement runs in a fresh interpreter; peak memory is the growth of
its resident set over the set-up (ru_maxrss). "MiB fwd" is the recorded
forward alone (the graphs of set_grid, the velocity field, the solves and the
power, held for the backward), "MiB fused" the same plus the backward. The op-by-op path runs on the
first --op-directions directions only (its time scaled to all of them; its
peak memory is that of one direction's graph times the directions it holds at
once, i.e. all of them: shown as measured for the directions run). The machine
may be shared: treat the numbers as indicative.
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import time

import torch

import sorbane_cpp as sc

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_fused import HUB, config, iea_table, records  # noqa: E402

PROBLEMS = {
    "100x4320": dict(side=10, directions=list(range(360))),
    "49x432": dict(side=7, directions=list(range(0, 360, 10))),
    "100x432": dict(side=10, directions=list(range(0, 360, 10))),
    "484x432": dict(side=22, directions=list(range(0, 360, 10))),
}
SPEEDS = [4.0 + 2 * k for k in range(12)]


def rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def run_one(job):
    torch.set_num_threads(job["threads"])
    dtype = torch.float64 if sc.using_double() else torch.float32
    prob = PROBLEMS[job["problem"]]
    directions = prob["directions"][: job["directions"]] if job["directions"] else prob["directions"]
    sets = [records(prob["side"], 7.0, [d], SPEEDS, dtype) for d in directions]
    T = prob["side"] ** 2
    table = iea_table(dtype)
    xy0 = sets[0][2].turbine_coordinates[:, :2].detach().clone()
    grad = job["mode"] != "nograd"
    sc.set_fused_backward(job["mode"] in ("fused", "record"))
    cfg = config(job["solver"])
    cfg.jacobi_max_iters = 60
    for name in ("enable_secondary_steering", "enable_transverse_velocities",
                 "enable_yaw_added_recovery"):
        setattr(cfg, name, job["switches"])
    yaw0 = 5.0 if job["switches"] else 0.0
    solver = sc.get_solver(job["solver"])
    base = rss_mib()
    t0 = time.perf_counter()
    with torch.set_grad_enabled(grad):
        xy = xy0.clone().requires_grad_(grad)
        yaw = torch.full((T,), yaw0, dtype=dtype, requires_grad=grad)
        aep = 0.0
        for farm, ff, grid in sets:
            grid.turbine_coordinates = torch.cat([xy, torch.full((T, 1), HUB, dtype=dtype)], 1)
            grid.set_grid()
            farm.yaw_angles = yaw.expand(len(SPEEDS), T)
            farm.initialize(grid.sorted_coord_indices)
            ff.initialize_velocity_field(grid)
            solver.solve(farm, ff, grid, cfg)
            u_avg = ff.u_sorted.pow(3).mean((-2, -1)).pow(1.0 / 3.0)
            power = torch.ops.sorbane_cpp.interp1d(table.wind_speed, table.power, u_avg)
            aep = aep + power.sum() / (len(sets) * len(SPEEDS))
        path = sc.last_solve_path()
        if grad and job["mode"] != "record":
            aep.backward()
    wall = time.perf_counter() - t0
    return dict(wall=wall, peak=rss_mib() - base, path=path, directions=len(directions),
                all_directions=len(prob["directions"]))


def measure(job):
    out = subprocess.run([sys.executable, __file__, "--one", json.dumps(job)], capture_output=True,
                         text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--problems", nargs="+", default=list(PROBLEMS), choices=list(PROBLEMS))
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--op-directions", type=int, default=2,
                   help="directions the op-by-op path runs (0: none); its time is scaled to all")
    p.add_argument("--switches", action="store_true",
                   help="secondary steering, transverse velocities and recovery on")
    p.add_argument("--solver", default="sequential", choices=["sequential", "jacobi"])
    p.add_argument("--one", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.one:
        print(json.dumps(run_one(json.loads(args.one))))
        return
    physics = "all switches on" if args.switches else "switches off"
    print(f"sorbane_cpp {'float64' if sc.using_double() else 'float32'}, {args.threads} threads, "
          f"{physics}, {args.solver} solver")
    print(f"{'problem':>10} {'no-grad s':>10} {'fused f+b s':>12} {'ratio':>6} {'op f+b s':>12} "
          f"{'op/fused':>9} {'MiB no-grad':>12} {'MiB fwd':>8} {'MiB fused':>10} {'MiB op':>14}")
    for name in args.problems:
        job = dict(problem=name, threads=args.threads, directions=0, switches=args.switches,
                   solver=args.solver)
        nograd = measure(dict(job, mode="nograd"))
        record = measure(dict(job, mode="record"))
        fused = measure(dict(job, mode="fused"))
        assert fused["path"] == "fused" and nograd["path"] == "fused"
        op_s, op_mem = "-", "-"
        if args.op_directions and name != "484x432":
            op = measure(dict(job, mode="op", directions=args.op_directions))
            assert op["path"] == "op_by_op"
            scale = op["all_directions"] / op["directions"]
            op_s = f"{op['wall'] * scale:.2f}*"
            op_mem = f"{op['peak']:.0f} ({op['directions']} dir)"
            ratio_op = f"{op['wall'] * scale / fused['wall']:.0f}x"
        else:
            ratio_op = "-"
        print(f"{name:>10} {nograd['wall']:10.3f} {fused['wall']:12.3f} "
              f"{fused['wall'] / nograd['wall']:5.1f}x {op_s:>12} {ratio_op:>9} "
              f"{nograd['peak']:12.0f} {record['peak']:8.0f} {fused['peak']:10.0f} {op_mem:>14}")
    print("* op-by-op time scaled from the directions it ran to all of them")


if __name__ == "__main__":
    main()
