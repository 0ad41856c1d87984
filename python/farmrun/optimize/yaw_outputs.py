"""What ``farmrun optimize-yaw`` prints and writes: the summary, the JSON
results and the yaw table as CSV (its figure is ``plot.yaw_figure``)."""
from __future__ import annotations

import csv
import dataclasses
import io

import numpy as np

from .yaw import YawResult

__all__ = ["by_direction", "yaw_csv_bytes", "yaw_document", "yaw_summary_lines"]


def by_direction(result: YawResult) -> list[dict]:
    """Per wind direction (modulo 360): frequency, AEP before and after (GWh),
    the gain in percent and the largest yaw angle (degrees)."""
    wd = np.round(result.wind_directions.numpy() % 360.0, 9)
    w = result.frequencies.numpy()
    scale = result.hours_per_year / 1e9
    e0 = w * result.farm_power_baseline.numpy() * scale
    e1 = w * result.farm_power_optimized.numpy() * scale
    yaw = np.abs(result.yaw_angles.numpy())
    rows = []
    for d in np.unique(wd):
        m = wd == d
        a0, a1 = float(e0[m].sum()), float(e1[m].sum())
        rows.append({"wind_direction": float(d), "frequency": float(w[m].sum()),
                     "aep_baseline_gwh": a0, "aep_optimized_gwh": a1,
                     "gain_percent": 100.0 * (a1 / a0 - 1.0) if a0 > 0 else 0.0,
                     "max_abs_yaw": float(yaw[m].max()) if yaw.shape[1] else 0.0})
    return rows


def yaw_summary_lines(result: YawResult) -> list[str]:
    gain = result.aep_optimized_gwh - result.aep_baseline_gwh
    lines = [f"{'direction [deg]':>15} {'frequency':>10} {'AEP zero yaw [GWh]':>19} "
             f"{'AEP optimised [GWh]':>20} {'gain [%]':>9} {'max |yaw| [deg]':>16}"]
    for r in by_direction(result):
        lines.append(f"{r['wind_direction']:15.2f} {r['frequency']:10.5f} "
                     f"{r['aep_baseline_gwh']:19.3f} {r['aep_optimized_gwh']:20.3f} "
                     f"{r['gain_percent']:9.3f} {r['max_abs_yaw']:16.2f}")
    lines += ["",
              "Farm summary",
              f"  AEP at zero yaw:   {result.aep_baseline_gwh:12.3f} GWh",
              f"  AEP optimised:     {result.aep_optimized_gwh:12.3f} GWh",
              f"  gain:              {gain:12.3f} GWh ({result.aep_gain_percent:.3f} %)"]
    if result.aep_nominal_table_gwh is not None:
        nominal = result.aep_nominal_table_gwh - result.aep_baseline_gwh
        lines += [f"  expected over a wind direction std of {result.wind_direction_std:g} deg; the "
                  "table tuned to the nominal directions gives under it:",
                  f"  AEP nominal table: {result.aep_nominal_table_gwh:12.3f} GWh",
                  f"  its gain:          {nominal:12.3f} GWh "
                  f"({result.nominal_table_gain_percent:.3f} %)"]
    lines.append(f"  ({result.hours_per_year:g} h per year)")
    return lines


def yaw_document(result: YawResult, farm_name: str, turbine_name: str, device: str) -> dict:
    """The JSON results; angles in degrees, power in W, energy in GWh."""
    p = result.inputs
    return {
        "farm": farm_name, "turbine_type": turbine_name, "solver": result.solver,
        "device": device,
        "units": {"yaw_angles": "deg, per case one value per turbine in layout order",
                  "farm_power_baseline": "W, zero yaw", "farm_power_optimized": "W",
                  "wind_directions": "deg, where the wind comes from (270 = west)",
                  "wind_speeds": "m/s at reference_wind_height"},
        "bounds": {"min_yaw": result.bounds.min_yaw, "max_yaw": result.bounds.max_yaw},
        "model": dataclasses.asdict(result.model),
        "layout_x": p.x, "layout_y": p.y,
        "wind_directions": p.wd, "wind_speeds": p.ws, "frequencies": p.freq,
        "yaw_angles": result.yaw_angles.tolist(),
        "farm_power_baseline": result.farm_power_baseline.tolist(),
        "farm_power_optimized": result.farm_power_optimized.tolist(),
        "aep_baseline_gwh": result.aep_baseline_gwh,
        "aep_optimized_gwh": result.aep_optimized_gwh,
        "aep_gain_percent": result.aep_gain_percent,
        "wind_direction_std": result.wind_direction_std,
        "aep_nominal_table_gwh": result.aep_nominal_table_gwh,
        "nominal_table_gain_percent": result.nominal_table_gain_percent,
        "hours_per_year": result.hours_per_year,
        "by_direction": by_direction(result),
        "optimizer": {"method": "L-BFGS-B", "batches": result.n_batches,
                      "evaluations": result.evaluations, "iterations": result.iterations,
                      "cases_searched": result.searched, "elapsed_s": result.elapsed_s},
    }


def yaw_csv_bytes(result: YawResult) -> bytes:
    """The yaw table a turbine controller looks up: one row per flow case,
    wind direction, wind speed and one yaw angle (degrees) per turbine."""
    p = result.inputs
    buf = io.StringIO()
    out = csv.writer(buf, lineterminator="\n")
    out.writerow(["wind_direction", "wind_speed"]
                 + [f"yaw_{t}" for t in range(len(p.x))])
    for d, s, row in zip(p.wd, p.ws, result.yaw_angles.tolist()):
        out.writerow([repr(d), repr(s)] + [f"{a:.6f}" for a in row])
    return buf.getvalue().encode("utf-8")
