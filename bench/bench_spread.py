"""Wind-direction uncertainty: time, AEP and wake loss under spreads of 0, 3, 5 and 8
degrees, and robust against nominal yaw tables.

    tools/dev python bench/bench_spread.py                        # every part
    tools/dev python bench/bench_spread.py --parts example rose

Parts (farmrun.run / optimize_yaw in process, float32, the machine's threads):
- example: the built-in example (16 turbines, 300 cases).
- rose: 100 IEA 3.4 MW turbines 7 diameters apart, 360 directions x 12 speeds.
- yaw: the 7 x 7 farm at 5 diameters with every steering switch, every 6th of
  its 36 directions x 8 speeds, under a spread of 5 degrees: the AEP gain of
  the robust table and of the table tuned to the nominal directions, both
  evaluated under the spread.
"""
import argparse
import dataclasses
import pathlib
import sys
import time

import torch

import farmrun
from farmrun.optimize.yaw import optimize_yaw
from farmrun.spread import direction_offsets

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from fixtures import STEERING, every_kth_direction, grid_farm, square_farm  # noqa: E402

SPREADS = (0.0, 3.0, 5.0, 8.0)


def spreads(name, farm):
    for std in SPREADS:
        start = time.perf_counter()
        e = farmrun.annual_energy(farmrun.run(dataclasses.replace(farm, wind_direction_std=std),
                                              progress=False))
        s = time.perf_counter() - start
        n = len(direction_offsets(std)[0])
        print(f"{name:>8} std {std:3.0f} deg ({n:2d} directions a case): {s:7.2f} s, "
              f"AEP {e.aep_gwh:9.3f} GWh, wake loss {e.wake_loss_percent:6.2f} %")


def yaw():
    farm = dataclasses.replace(every_kth_direction(grid_farm(farmrun.ModelOptions(**STEERING)), 6),
                               wind_direction_std=5.0)
    start = time.perf_counter()
    r = optimize_yaw(farm, progress=False)
    print(f"     yaw 7 x 7, {len(r.wind_speeds)} cases, std 5 deg: {time.perf_counter() - start:.1f} s; "
          f"AEP at zero yaw {r.aep_baseline_gwh:.3f} GWh; robust table {r.aep_optimized_gwh:.3f} "
          f"GWh (+{r.aep_gain_percent:.3f} %); nominal table under the spread "
          f"{r.aep_nominal_table_gwh:.3f} GWh ({r.nominal_table_gain_percent:+.3f} %)")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--parts", nargs="+", default=["example", "rose", "yaw"],
                   choices=["example", "rose", "yaw"])
    args = p.parse_args()
    print(f"torch {torch.__version__}, {torch.get_num_threads()} threads, farmrun float32")
    farmrun.run(farmrun.example_farm(), progress=False)  # warm-up
    if "example" in args.parts:
        spreads("example", farmrun.example_farm())
    if "rose" in args.parts:
        spreads("rose", square_farm(100, 360, 12))
    if "yaw" in args.parts:
        yaw()


if __name__ == "__main__":
    main()
