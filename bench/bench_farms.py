"""Real farms: solves that mix wind directions, time series, and a cluster of two types.

    tools/dev python bench/bench_farms.py                     # every part
    tools/dev python bench/bench_farms.py --parts rose series

Parts (IEA 3.4 MW turbines 7 rotor diameters apart, farmrun.run in process,
float32, the machine's threads):
- rose: 100 turbines under 360 directions x 12 speeds (4320 cases), batches that
  mix directions (sized by memory) against one solve per direction (batches of
  12 cases, as farmrun solved before every case had its own order).
- series: 100 turbines under 8760 hourly cases of random directions and speeds,
  and 525 600 ten-minute cases fed through farmrun.run in chunks of 52 560
  with a progress bar, the farm power of every case kept and written to NetCDF;
  peak resident memory of the process.
- cluster: two farms of 80 turbines each (IEA 3.4 MW and a 130 m rotor on a
  150 m hub of lower thrust), 2 km apart, 360 x 12 cases: time, and the wake
  loss the neighbour adds to each farm.
Each part reports seconds and milliseconds per case; the machine may be shared.
"""
import argparse
import dataclasses
import math
import pathlib
import resource
import sys
import tempfile
import time

import numpy as np
import torch

import farmrun

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from fixtures import square_farm  # noqa: E402


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def timed(farm, **kw):
    start = time.perf_counter()
    result = farmrun.run(farm, progress=False, **kw)
    return time.perf_counter() - start, result


def rose():
    farm = square_farm(100, 360, 12)
    n = 360 * 12
    mixed_s, mixed = timed(farm)
    per_s, per = timed(farm, batch_size=12)
    diff = float((mixed.farm_power - per.farm_power).abs().max() / per.farm_power.abs().max())
    print(f"rose   100 turbines x {n} cases: mixed batches {mixed_s:6.2f} s ({mixed.n_batches} "
          f"solves, {1e3 * mixed_s / n:.3f} ms a case); one direction a solve {per_s:6.2f} s "
          f"({per.n_batches} solves, {1e3 * per_s / n:.3f} ms a case); largest difference "
          f"{diff:.1e} of the farm power")
    return mixed_s / n


def series_farm(n, seed=1):
    g = np.random.default_rng(seed)
    base = square_farm(100, 1, 2)
    cases = farmrun.FlowCases(wind_directions=g.uniform(0.0, 360.0, n).round(1).tolist(),
                              wind_speeds=(9.0 * g.weibull(2.0, n)).clip(0.5, 27.0).tolist(),
                              turbulence_intensities=[0.06] * n, time=list(range(n)))
    return dataclasses.replace(base, cases=cases, name=f"{n} cases")


def series(rose_ms):
    n = 8760
    s, r = timed(series_farm(n))
    print(f"series 100 turbines x {n} hourly cases: {s:6.2f} s ({1e3 * s / n:.3f} ms a case, "
          f"{1e3 * s / n / rose_ms:.2f} x the rose's), {r.n_batches} solves")
    from tqdm import tqdm
    import xarray as xr
    total, chunk = 525_600, 52_560
    farm = series_farm(total, seed=2)
    power = np.empty(total)
    start = time.perf_counter()
    c = farm.cases
    for lo in tqdm(range(0, total, chunk), desc="10-minute cases", unit="chunk"):
        part = farmrun.FlowCases(c.wind_directions[lo:lo + chunk], c.wind_speeds[lo:lo + chunk],
                                 c.turbulence_intensities[lo:lo + chunk],
                                 time=c.time[lo:lo + chunk])
        power[lo:lo + chunk] = timed(dataclasses.replace(farm, cases=part))[1] \
            .farm_power.double().numpy()
    s = time.perf_counter() - start
    path = pathlib.Path(tempfile.mkdtemp()) / "series.nc"
    xr.Dataset({"farm_power": ("time", power, {"units": "W"})},
               coords={"time": np.arange(total)}).to_netcdf(path)
    print(f"series 100 turbines x {total} ten-minute cases in chunks of {chunk}: {s:6.1f} s "
          f"({1e3 * s / total:.3f} ms a case, {1e3 * s / total / rose_ms:.2f} x the rose's), "
          f"mean farm power {power.mean() / 1e6:.2f} MW, NetCDF {path.stat().st_size / 1e6:.1f} "
          f"MB; peak RSS {peak_rss_mib():.0f} MiB")


def cluster():
    iea = farmrun.iea_3p4_130()
    tall = dataclasses.replace(iea, name="130 m rotor on a 150 m hub, lower thrust",
                               hub_height=150.0,
                               thrust_coefficient=[0.85 * c for c in iea.thrust_coefficient])
    one = square_farm(81, 360, 12)
    spacing = 7.0 * iea.rotor_diameter
    x = [spacing * (t % 9) for t in range(80)]
    y = [spacing * (t // 9) for t in range(80)]
    gap = 2000.0 + 8 * spacing
    both = dataclasses.replace(
        one, layout_x=x + [v + gap for v in x], layout_y=y + y, turbine=[iea, tall],
        turbine_type=[0] * 80 + [1] * 80, farm_names=["west", "east"], farm_index=[0] * 80 + [1] * 80,
        name="cluster")
    s, r = timed(both)
    e = farmrun.annual_energy(r)
    rows = farmrun.energy.farm_energy(r, e)
    print(f"cluster 2 x 80 turbines of two types x {len(r.wind_speeds)} cases: {s:6.2f} s")
    for k, row in enumerate(rows):
        alone_farm = dataclasses.replace(
            both, layout_x=both.layout_x[80 * k:80 * k + 80],
            layout_y=both.layout_y[80 * k:80 * k + 80], turbine_type=[k] * 80, farm_names=None,
            farm_index=None)
        alone = farmrun.annual_energy(timed(alone_farm)[1])
        print(f"  {row['farm']}: AEP {row['aep_gwh']:.1f} GWh in the cluster, {alone.aep_gwh:.1f} "
              f"alone; wake loss {row['wake_loss_percent']:.2f} % against "
              f"{alone.wake_loss_percent:.2f} %: the neighbour adds "
              f"{100 * (1 - row['aep_gwh'] / alone.aep_gwh):.2f} %")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--parts", nargs="+", default=["rose", "series", "cluster"],
                   choices=["rose", "series", "cluster"])
    args = p.parse_args()
    print(f"torch {torch.__version__}, {torch.get_num_threads()} threads, farmrun float32")
    farmrun.run(farmrun.example_farm(), progress=False)  # warm-up
    rose_ms = rose() * 1e3 if "rose" in args.parts else math.nan
    if "series" in args.parts:
        series(rose_ms)
    if "cluster" in args.parts:
        cluster()


if __name__ == "__main__":
    main()
