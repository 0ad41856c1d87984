"""Yaw optimisation: the gradient method of ``farmrun optimize-yaw`` against a
derivative-free coordinate search, on the built-in example and a 7 x 7 farm.

    tools/dev python bench/bench_yaw.py                      # both farms, both methods
    tools/dev python bench/bench_yaw.py --farm grid --direction-stride 6

Gradient: L-BFGS-B on the exact yaw gradients, every searched case of one wind
direction in one solve and one backward per evaluation, two starts (+-s).
Coordinate search: turbines in downstream order, each yaw on a 1 degree grid
within the bounds with the others held, two passes; every trial angle of
every case of one direction is one case of the same no-gradient solve. Both
search only the cases that can gain (see farmrun.optimize.yaw) and keep a case's zero
yaw unless something beats it.

Evaluations per case: forward + backward solves of that case (gradient, both
starts counted) or forward solves of that case (coordinate search). The
gradient solves take the fused reverse pass with the plain physics (--plain)
and the op-by-op path with autograd with the steering switches; the no-gradient solves
of the coordinate search take the fused CPU path where the build has it.
--direction-stride K keeps every K-th wind direction of a farm's rose (with
its frequencies renormalised), for a shorter run. The machine may be shared:
treat small differences as noise.
"""
import argparse
import math
import pathlib
import sys
import time
from dataclasses import replace

import torch

import sorbane_cpp as sc

import farmrun
from farmrun.optimize.yaw import MIN_RELATIVE_GAIN, best_possible_power, optimize_yaw, yaw_bounds
from farmrun.runner import plan_batches, prepare, solve_batch
from farmrun.turbine import rotor_effective, table_power

# The farm builders the tests use too.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from fixtures import STEERING, every_kth_direction, grid_farm  # noqa: E402


def coordinate_search(farm, bounds, solver="sequential", step=1.0, passes=2):
    """(AEP gain %, solves, case evaluations (forward), cases searched)."""
    v, table, cfg = prepare(farm, solver, "cpu")
    opt = farm.model
    solver_obj = sc.get_solver(solver)
    T = v.n_turbines
    dt = v.x.dtype
    trials = torch.arange(bounds.min_yaw, bounds.max_yaw + 0.5 * step, step, dtype=torch.float64)
    base_all = torch.zeros(v.cases.wd.shape[0], dtype=torch.float64)
    best_all = torch.zeros_like(base_all)
    searched, solves, evals = 0, 0, 0

    def power(rows, yaw):
        vb = v.with_cases(replace(v.cases.select(rows), yaw=yaw.to(dt)))
        rec = solve_batch(vb, list(range(len(rows))), table, cfg, solver_obj, opt)
        u = rotor_effective(rec.ff.u_sorted).gather(1, rec.grid.unsorted_indices)
        return table_power(table, u, vb.cases.yaw, opt.yaw_power_exponent).sum(1).double(), rec

    with torch.no_grad():
        for idx in plan_batches(v.cases.wd.tolist(), 10**9):
            base, rec = power(idx, torch.zeros(len(idx), T))
            u_free = rotor_effective(rec.ff.u_initial_sorted).gather(1, rec.grid.unsorted_indices)
            can = base < best_possible_power(table, u_free).double() * (1 - MIN_RELATIVE_GAIN)
            base_all[idx] = base
            best_all[idx] = base
            active = [i for i, c in zip(idx, can.tolist()) if c]
            if not active:
                continue
            searched += len(active)
            n, K = len(active), trials.shape[0]
            # Downstream order: distance along the direction the wind blows to.
            d = math.radians(float(v.cases.wd[active[0]]))
            along = -(v.x.double() * math.sin(d) + v.y.double() * math.cos(d))
            order = torch.argsort(along).tolist()
            yaw = torch.zeros(n, T, dtype=torch.float64)
            best = base_all[active].clone()
            for _ in range(passes):
                for t in order:
                    trial = yaw.repeat_interleave(K, 0)
                    trial[:, t] = trials.repeat(n)
                    p, _ = power([i for i in active for _ in range(K)], trial)
                    solves += 1
                    evals += K * n
                    p = p.view(n, K)
                    k = p.argmax(1)
                    p_best = p.gather(1, k[:, None]).squeeze(1)
                    better = p_best > best
                    yaw[better, t] = trials[k[better]]
                    best = torch.where(better, p_best, best)
            gained = best > base_all[active] * (1 + MIN_RELATIVE_GAIN)
            best_all[active] = torch.where(gained, best, base_all[active])
    w = v.cases.freq.double()
    e0, e1 = float((w * base_all).sum()), float((w * best_all).sum())
    return 100.0 * (e1 / e0 - 1.0), solves, evals, searched


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("--farm", choices=("example", "grid", "both"), default="both")
    p.add_argument("--method", choices=("gradient", "coordinate", "both"), default="both")
    p.add_argument("--direction-stride", type=int, default=1, metavar="K")
    p.add_argument("--plain", action="store_true",
                   help="without secondary steering, transverse velocities and yaw-added "
                        "recovery (on by default)")
    p.add_argument("--threads", type=int, default=None)
    args = p.parse_args()
    if args.threads:
        torch.set_num_threads(args.threads)
    model = farmrun.ModelOptions(**({} if args.plain else STEERING))
    farms = []
    if args.farm in ("example", "both"):
        farms.append(farmrun.example_farm(model))
    if args.farm in ("grid", "both"):
        farms.append(grid_farm(model))
    bounds = yaw_bounds(-25.0, 25.0)
    print(f"torch {torch.__version__}, {torch.get_num_threads()} threads, "
          f"{'float64' if sc.using_double() else 'float32'}; yaw within +-25 deg; model "
          f"{'plain' if args.plain else 'secondary steering, transverse velocities, yaw-added recovery'}; "
          f"gradient path: {'fused reverse pass' if args.plain else 'op by op (autograd)'}")
    print(f"{'farm':<34}{'method':>12}{'cases':>7}{'searched':>9}{'wall s':>9}"
          f"{'solves':>8}{'evals/case':>11}{'AEP gain %':>11}", flush=True)
    for farm in farms:
        farm = every_kth_direction(farm, args.direction_stride)
        n_cases = len(farm.cases.wind_speeds)
        if args.method in ("gradient", "both"):
            start = time.perf_counter()
            r = optimize_yaw(farm, progress=False)
            wall = time.perf_counter() - start
            per_case = r.case_evaluations / max(r.searched, 1)
            print(f"{farm.name:<34}{'gradient':>12}{n_cases:>7}{r.searched:>9}{wall:>9.1f}"
                  f"{r.evaluations:>8}{per_case:>11.1f}{r.aep_gain_percent:>11.3f}", flush=True)
        if args.method in ("coordinate", "both"):
            start = time.perf_counter()
            gain, solves, evals, searched = coordinate_search(farm, bounds)
            wall = time.perf_counter() - start
            print(f"{farm.name:<34}{'coordinate':>12}{n_cases:>7}{searched:>9}{wall:>9.1f}"
                  f"{solves:>8}{evals / max(searched, 1):>11.1f}{gain:>11.3f}", flush=True)

if __name__ == "__main__":
    main()
