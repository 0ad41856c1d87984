"""Layout optimisation on two farms, beside a random search of the same cost.

    tools/dev python bench/bench_layout.py [--max-iter N] [--sectors S] [--min-spacing D]

- the windIO IEA37 case study 3 system: 25 turbines, its polygon boundary and
  its wind rose (16 directions x 25 speeds);
- 100 turbines on a 10 x 10 grid, 5 rotor diameters apart, in a square with
  half a spacing of margin, under an S-sector Weibull rose (12; the most
  frequent from 250 degrees) at 3 speeds.

For each: iterations, wall time, time per AEP gradient, AEP gain, and the best
gain of random feasible layouts (uniform in the boundary, at least the
minimum spacing apart) given as many AEP evaluations as the optimiser used
(gradients and plain runs together).
"""
import argparse
import pathlib
import time

import numpy as np
import torch

import farmrun
from farmrun import FarmDescription, ModelOptions, iea_3p4_130, weibull_rose
from farmrun.optimize.geometry import boundary_distance, site_regions
from farmrun.optimize.layout import optimize_layout


def case_study_3():
    import windIO
    path = (pathlib.Path(windIO.__file__).parent / "examples/plant/wind_energy_system"
            / "IEA37_case_study_3_wind_energy_system.yaml")
    return farmrun.load_windio(path).farm


def square_farm(n_side=10, sectors=12):
    t = iea_3p4_130()
    d = 5.0 * t.rotor_diameter
    x = [d * (k % n_side) for k in range(n_side * n_side)]
    y = [d * (k // n_side) for k in range(n_side * n_side)]
    m = 0.5 * d
    lo, hi = -m, d * (n_side - 1) + m
    share = [1.0 + 2.0 * np.exp(-((s * 360 / sectors - 250) / 60) ** 2) for s in range(sectors)]
    share = [v / sum(share) for v in share]
    rose = weibull_rose(share, [8.0] * sectors, 2.0, [6.0, 9.0, 12.0])
    ring = [lo, hi, hi, lo, lo], [lo, lo, hi, hi, lo]
    return FarmDescription(layout_x=x, layout_y=y, turbine=t, cases=rose.cases(),
                           wind_shear=0.12, model=ModelOptions(), name=f"{n_side * n_side} in a square",
                           boundaries=[ring])


def random_layout(rng, regions, n, spacing, box):
    x0, y0, x1, y1 = box
    xs, ys = [], []
    while len(xs) < n:
        px, py = rng.uniform(x0, x1, 256), rng.uniform(y0, y1, 256)
        ok = boundary_distance(regions, px, py)[0] >= 0
        for a, b in zip(px[ok], py[ok]):
            if not xs or np.min(np.hypot(np.array(xs) - a, np.array(ys) - b)) >= spacing:
                xs.append(a)
                ys.append(b)
                if len(xs) == n:
                    break
    return xs, ys


def random_search(farm, evaluations, min_spacing, seed=0):
    from dataclasses import replace
    regions = site_regions(farm)
    bx = np.concatenate([np.asarray(b[0]) for b in farm.boundaries])
    by = np.concatenate([np.asarray(b[1]) for b in farm.boundaries])
    rng = np.random.default_rng(seed)
    spacing = min_spacing * farm.turbine.rotor_diameter
    best = -np.inf
    for _ in range(evaluations):
        x, y = random_layout(rng, regions, len(farm.layout_x), spacing,
                             (bx.min(), by.min(), bx.max(), by.max()))
        moved = replace(farm, layout_x=x, layout_y=y)
        best = max(best, farmrun.annual_energy(farmrun.run(moved, progress=False)).aep_gwh)
    return best


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--max-iter", type=int, default=20)
    p.add_argument("--sectors", type=int, default=12, help="sectors of the square farm's rose")
    p.add_argument("--min-spacing", type=float, default=2.0)
    a = p.parse_args()
    import sorbane_cpp as sc
    print(f"torch {torch.__version__}, {torch.get_num_threads()} threads, "
          f"float64 build: {sc.using_double()}, --max-iter {a.max_iter}, "
          f"--min-spacing {a.min_spacing:g} D, square farm {a.sectors} sectors")
    rows = []
    for farm in (case_study_3(), square_farm(sectors=a.sectors)):
        start = time.perf_counter()
        r = optimize_layout(farm, min_spacing=a.min_spacing, max_iter=a.max_iter)
        wall = time.perf_counter() - start
        n_eval = r.evaluations + r.scored
        best = random_search(farm, n_eval, a.min_spacing)
        rows.append((farm.name[:40], len(farm.layout_x), len(farm.cases.wind_speeds),
                     r.iterations, wall, r.gradient_s / max(r.evaluations, 1), r.evaluations,
                     r.scored, r.aep_initial_gwh, r.aep_optimized_gwh, r.aep_gain_percent,
                     n_eval, 100.0 * (best / r.aep_initial_gwh - 1.0), r.message))
        print(f"  {farm.name}: done in {wall:.1f} s", flush=True)
    print()
    print("| Farm | Turbines | Cases | Iterations | Wall [s] | Per AEP gradient [s] | Gradients "
          "| Plain runs | AEP start [GWh] | AEP optimised [GWh] | Gain | Random search: evaluations "
          "| Random search: best gain |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for row in rows:
        print(f"| {row[0]} | {row[1]} | {row[2]} | {row[3]} | {row[4]:.1f} | {row[5]:.2f} | "
              f"{row[6]} | {row[7]} | {row[8]:.2f} | {row[9]:.2f} | {row[10]:+.2f} % | "
              f"{row[11]} | {row[12]:+.2f} % |")
    for row in rows:
        print(f"{row[0]}: {row[13]}")


if __name__ == "__main__":
    main()
