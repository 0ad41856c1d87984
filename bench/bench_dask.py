"""farmrun's run, local against a Dask cluster of 1 and 2 worker processes on this machine:
wall time, and the scheduler's overhead per batch, on the wind rose of D directions x S
speeds over a square farm of T turbines (IEA 3.4 MW, 7 rotor diameters apart).

    tools/dev python bench/bench_dask.py                     # 360 x 12 on 100 turbines
    tools/dev python bench/bench_dask.py --workers 1 2 4 --batch 12 4 1

Local solves use torch's intra-op threads ("local 1t": one thread, as each
worker runs). The overhead per batch is the wall time of the same batches
through the cluster with the solve left out (each task returns zeros of the
result's shape), divided by the batches: submitting, scheduling, moving the
cases there and the results back; "vs 1 thread" is the cluster's wall time
less the one-thread local time shared among the workers, per batch.

A batch of n cases costs about n c_local here and n c_1 / W + o on W workers
(c_1: one thread), so the cluster pays for batches of more than
o / (c_local - c_1 / W) cases, and never where c_local <= c_1 / W (local
threads already use the cores the workers would).

--yaw times optimize-yaw the same way on the 7 x 7 farm of bench_yaw.py (IEA
3.4 MW, 5 D apart, every K-th of 36 directions x 8 speeds, --yaw-stride K),
whose batches each take tens of solves and backward passes.
"""
import argparse
import logging
import math
import pathlib
import sys
import time

import torch

import farmrun
from farmrun.engine import NO_DASHBOARD, map_batches
from farmrun.runner import (SOLVERS, BatchResults, batch_cases, batch_inputs, plan_batches,
                            prepare)

# The farm builders the tests use too.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from fixtures import STEERING, every_kth_direction, grid_farm, square_farm  # noqa: E402


def hollow(inputs, cases):
    """A task that does everything but the solve: results of the right shape, all zeros."""
    z = torch.zeros(cases.wd.shape[0], inputs.farm.n_turbines, dtype=cases.wd.dtype)
    return BatchResults(z, z.clone(), z.clone())


def overhead_per_batch(f, solver, batch, client) -> float:
    v, _, _ = prepare(f, solver, "cpu")
    batches = [batch_cases(v, idx) for idx in plan_batches(v.cases.wd.tolist(), batch)]
    shared = batch_inputs(v, f.model, solver)
    # By reference, as farmrun's own task function travels: the workers import
    # this file (they share its path), where a function of __main__ would be
    # pickled by value into every task.
    import bench_dask
    start = time.perf_counter()
    map_batches(bench_dask.hollow, shared, batches, client=client, progress=False)
    return (time.perf_counter() - start) / len(batches)


def best_run(f, solver, batch, repeat, client=None):
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        result = farmrun.run(f, solver=solver, batch_size=batch, progress=False, client=client)
        best = min(best, time.perf_counter() - start)
    return best, result


def yaw_rows(workers, stride, plain):
    from farmrun.optimize.yaw import optimize_yaw
    f = every_kth_direction(grid_farm(farmrun.ModelOptions(**({} if plain else STEERING))), stride)
    start = time.perf_counter()
    local = optimize_yaw(f, progress=False)
    rows = [("local", time.perf_counter() - start, local)]
    from distributed import Client, LocalCluster
    for w in workers:
        with LocalCluster(n_workers=w, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=None, silence_logs=logging.CRITICAL,
                          scheduler_kwargs=NO_DASHBOARD) as cluster, \
                Client(cluster, set_as_default=False) as client:
            farmrun.run(farmrun.example_farm(), progress=False, client=client)  # warm
            start = time.perf_counter()
            r = optimize_yaw(f, progress=False, client=client)
            rows.append((f"dask x{w}", time.perf_counter() - start, r))
            assert torch.equal(r.yaw_angles, local.yaw_angles), "yaw tables differ"
    print(f"\noptimize-yaw, {f.name}: {len(f.cases.wind_speeds)} cases, {local.n_batches} batches, "
          f"{'plain physics' if plain else 'all three steering switches'}")
    print(f"{'engine':>9} {'wall [s]':>9} {'vs local':>9} {'evaluations':>12} {'AEP gain [%]':>13}")
    for name, wall, r in rows:
        print(f"{name:>9} {wall:9.2f} {wall / rows[0][1]:8.2f}x {r.evaluations:12d} "
              f"{r.aep_gain_percent:13.3f}")


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("--directions", type=int, default=360)
    p.add_argument("--speeds", type=int, default=12)
    p.add_argument("--turbines", type=int, default=100, help="a square number")
    p.add_argument("--solver", choices=SOLVERS, default="sequential")
    p.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    p.add_argument("--batch", type=int, nargs="+", default=[12, 4],
                   help="cases per batch (at most one direction's)")
    p.add_argument("--repeat", type=int, default=2)
    p.add_argument("--yaw", action="store_true", help="also time optimize-yaw on the 7 x 7 farm")
    p.add_argument("--yaw-only", action="store_true", help="only the optimize-yaw half")
    p.add_argument("--yaw-stride", type=int, default=12, metavar="K")
    p.add_argument("--yaw-plain", action="store_true",
                   help="optimize-yaw without the steering switches (the fused gradient path)")
    args = p.parse_args()
    if args.yaw_only:
        yaw_rows(args.workers, args.yaw_stride, args.yaw_plain)
        return
    from distributed import Client, LocalCluster

    f = square_farm(args.turbines, args.directions, args.speeds)
    n_cases = args.directions * args.speeds
    print(f"torch {torch.__version__}, {torch.get_num_threads()} local threads; "
          f"{args.turbines} turbines, {args.directions} directions x {args.speeds} speeds, "
          f"solver {args.solver}, best of {args.repeat}")
    farmrun.run(farmrun.example_farm(), progress=False)  # warm-up
    local, single = {}, {}
    threads = torch.get_num_threads()
    for batch in args.batch:
        local[batch], local[batch, "result"] = best_run(f, args.solver, batch, args.repeat)
        torch.set_num_threads(1)  # what a worker runs
        single[batch], _ = best_run(f, args.solver, batch, args.repeat)
        torch.set_num_threads(threads)
    rows = [(name, batch, None, t[batch], None)
            for batch in args.batch for name, t in (("local", local), ("local 1t", single))]
    for w in args.workers:
        start = time.perf_counter()
        with LocalCluster(n_workers=w, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=None, silence_logs=logging.CRITICAL,
                          scheduler_kwargs=NO_DASHBOARD) as cluster, \
                Client(cluster, set_as_default=False) as client:
            # The workers import torch and the module on their first task.
            farmrun.run(farmrun.example_farm(), progress=False, client=client)
            print(f"cluster of {w}: started and warm in {time.perf_counter() - start:.2f} s")
            for batch in args.batch:
                wall, result = best_run(f, args.solver, batch, args.repeat, client)
                assert torch.equal(result.power, local[batch, "result"].power), "results differ"
                o = min(overhead_per_batch(f, args.solver, batch, client)
                        for _ in range(args.repeat))
                rows.append((f"dask x{w}", batch, result.n_batches, wall, o))
    print(f"\n{'engine':>9} {'batch':>6} {'batches':>8} {'wall [s]':>9} {'vs local':>9} "
          f"{'overhead [ms/batch]':>20} {'vs 1 thread [ms/batch]':>23}")
    for engine, batch, n_batches, wall, o in rows:
        n_batches = n_batches or local[batch, "result"].n_batches
        ratio = wall / local[batch]
        extra = "" if o is None else \
            f"{1e3 * o:20.2f} {1e3 * (wall - single[batch] / int(engine[6:])) / n_batches:23.2f}"
        print(f"{engine:>9} {batch:6d} {n_batches:8d} {wall:9.2f} {ratio:8.2f}x {extra}")
    print()
    for engine, batch, _, _, o in rows:
        if o is None:
            continue
        w = int(engine.split("x")[1])
        c_local, c_worker = local[batch] / n_cases, single[batch] / n_cases
        gain = c_local - c_worker / w
        where = (f"batches above {o / gain:.0f} cases" if gain > 0
                 else "no batch size (local threads already use the cores)")
        print(f"{engine}, batch {batch}: {1e3 * c_local:.3f} ms per case here, "
              f"{1e3 * c_worker:.3f} on one thread; the cluster pays for {where}")
    if args.yaw:
        yaw_rows(args.workers, args.yaw_stride, args.yaw_plain)


if __name__ == "__main__":
    main()
