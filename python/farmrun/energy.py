"""Wind roses and annual energy production, for the farm, per turbine, per direction and per speed."""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Sequence

import numpy as np
import torch

from .errors import FarmError
from .farm import FarmDescription, FarmResult, FlowCases
from .validation import as_list, fraction, numbers

__all__ = ["HOURS_PER_YEAR", "SECTOR_WIDTH", "SPEED_BIN_WIDTH", "AnnualEnergy", "WindRose",
           "annual_energy", "case_values", "energy_table_lines", "energy_tables", "farm_energy",
           "weibull_rose"]

# 365.25 days of 24 hours: the mean length of a calendar year, leap years included.
HOURS_PER_YEAR = 8766.0

# Bins of the per-direction and per-speed tables of a time series, whose
# directions and speeds are continuous: 30-degree sectors centred on north,
# and 1 m/s speed bins centred on whole m/s.
SECTOR_WIDTH = 30.0
SPEED_BIN_WIDTH = 1.0


@dataclass
class WindRose:
    """Joint frequency of wind direction and speed.

    ``frequencies[d][s]`` is the share of the year with the wind from sector
    ``wind_directions[d]`` (degrees, the direction the wind comes from) in the
    speed bin centred at ``wind_speeds[s]`` (m/s); all shares sum to one.
    ``turbulence_intensity`` is one ambient value or one per speed bin.
    """

    wind_directions: Sequence[float]
    wind_speeds: Sequence[float]
    frequencies: Sequence[Sequence[float]]
    turbulence_intensity: float | Sequence[float] = 0.06

    def cases(self, path: str = "wind_rose") -> FlowCases:
        """One flow case per (direction, speed) bin, direction-major: case d * S + s."""
        wd = numbers(f"{path}.wind_directions", self.wind_directions)
        ws = numbers(f"{path}.wind_speeds", self.wind_speeds, positive=True)
        rows = as_list(self.frequencies)
        if isinstance(rows, (str, bytes)) or not isinstance(rows, Sequence) or len(rows) != len(wd):
            got = len(rows) if isinstance(rows, Sequence) else repr(rows)
            raise FarmError(f"{path}.frequencies",
                            f"expected {len(wd)} rows (one per wind direction), got {got}")
        freq = [numbers(f"{path}.frequencies[{d}]", row, n=len(ws), nonneg=True)
                for d, row in enumerate(rows)]
        total = math.fsum(f for row in freq for f in row)
        if abs(total - 1.0) > 1e-6:
            raise FarmError(f"{path}.frequencies", f"must sum to 1, got {total:.9g}")
        ti = as_list(self.turbulence_intensity)
        if isinstance(ti, Sequence) and not isinstance(ti, (str, bytes)):
            ti = [fraction(f"{path}.turbulence_intensity[{s}]", v) for s, v in
                  enumerate(numbers(f"{path}.turbulence_intensity", ti, n=len(ws)))]
        else:
            ti = [fraction(f"{path}.turbulence_intensity", ti)] * len(ws)
        return FlowCases(
            wind_directions=[d for d in wd for _ in ws],
            wind_speeds=[s for _ in wd for s in ws],
            turbulence_intensities=[t for _ in wd for t in ti],
            frequencies=[f for row in freq for f in row])


def weibull_rose(sector_frequencies: Sequence[float], weibull_scale: Sequence[float],
                 weibull_shape: float, wind_speeds: Sequence[float],
                 turbulence_intensity: float | Sequence[float] = 0.06) -> WindRose:
    """A rose of equal sectors (the first centred on north) with Weibull speeds per sector.

    Speed bin s covers the midpoints to its neighbours (the first from 0, the
    last to its centre plus half the spacing below it); each sector's
    probabilities over the bins are normalised to that sector's frequency, so
    the mass beyond the last bin is spread over the others.
    """
    n = len(sector_frequencies)
    ws = list(map(float, wind_speeds))
    edges = [0.0] + [(a + b) / 2 for a, b in zip(ws, ws[1:])] + [ws[-1] + (ws[-1] - ws[-2]) / 2]
    rows = []
    for share, scale in zip(sector_frequencies, weibull_scale):
        cdf = [1.0 - math.exp(-((e / scale) ** weibull_shape)) for e in edges]
        p = [b - a for a, b in zip(cdf, cdf[1:])]
        total = sum(p)
        rows.append([share * q / total for q in p])
    return WindRose(wind_directions=[360.0 * d / n for d in range(n)], wind_speeds=ws,
                    frequencies=rows, turbulence_intensity=turbulence_intensity)


@dataclass
class AnnualEnergy:
    """AEP in GWh of the farm and per turbine (layout order), with and without wakes."""

    aep_gwh: float
    aep_no_wake_gwh: float
    wake_loss_percent: float
    turbine_aep_gwh: torch.Tensor
    turbine_aep_no_wake_gwh: torch.Tensor
    turbine_wake_loss_percent: torch.Tensor
    turbine_mean_speed: torch.Tensor
    hours_per_year: float = HOURS_PER_YEAR


def _loss(e, e0):
    return torch.where(e0 > 0, 100.0 * (1.0 - e / e0), torch.zeros_like(e))


def annual_energy(result: FarmResult, hours_per_year: float = HOURS_PER_YEAR) -> AnnualEnergy:
    """Frequency-weighted power times the hours of a year; the mean speed is the
    frequency-weighted rotor-effective velocity."""
    w = result.frequencies.double().unsqueeze(1)
    scale = hours_per_year / 1e9  # W h -> GWh
    e = (w * result.power.double()).sum(0) * scale
    e0 = (w * result.power_no_wake.double()).sum(0) * scale
    total, total0 = float(e.sum()), float(e0.sum())
    return AnnualEnergy(
        aep_gwh=total, aep_no_wake_gwh=total0,
        wake_loss_percent=100.0 * (1.0 - total / total0) if total0 > 0 else 0.0,
        turbine_aep_gwh=e, turbine_aep_no_wake_gwh=e0, turbine_wake_loss_percent=_loss(e, e0),
        turbine_mean_speed=(w * result.rotor_velocity.double()).sum(0),
        hours_per_year=hours_per_year)


def farm_energy(result: FarmResult, energy: AnnualEnergy) -> list[dict]:
    """AEP per farm of a cluster, in the order of its farm names: the farm, its
    turbine count, AEP with and without wakes (GWh) and wake loss (%). The
    wakes are those of the whole cluster, the neighbours' included."""
    p = result.inputs
    farm_of = torch.tensor(p.farm_of if p is not None else [0] * len(energy.turbine_aep_gwh))
    names = p.farm_names if p is not None else ["farm"]
    rows = []
    for k, name in enumerate(names):
        own = farm_of == k
        e = float(energy.turbine_aep_gwh[own].sum())
        e0 = float(energy.turbine_aep_no_wake_gwh[own].sum())
        rows.append({"farm": name, "turbines": int(own.sum()), "aep_gwh": e,
                     "aep_no_wake_gwh": e0,
                     "wake_loss_percent": 100.0 * (1.0 - e / e0) if e0 > 0 else 0.0})
    return rows


# --- by direction and by speed ---------------------------------------------------

def _np(t: torch.Tensor) -> np.ndarray:
    return t.detach().double().cpu().numpy()


def case_values(farm: FarmDescription):
    """Directions and speeds as the farm gives them, not rounded to the working
    precision, so that coordinates select by the values of the input file."""
    c = farm.cases
    return (np.asarray(list(c.wind_directions), dtype=float),
            np.asarray(list(c.wind_speeds), dtype=float))


def _group(keys: np.ndarray, weights: np.ndarray, e: np.ndarray, e0: np.ndarray):
    rows = []
    for k in np.unique(keys):
        m = keys == k
        a, a0 = float(e[m].sum()), float(e0[m].sum())
        rows.append((float(k), float(weights[m].sum()), a, a0,
                     100.0 * (1.0 - a / a0) if a0 > 0 else 0.0))
    return rows


def energy_tables(farm: FarmDescription, result: FarmResult,
                  hours_per_year: float = HOURS_PER_YEAR) -> dict:
    """AEP (GWh) with and without wakes and the wake loss (%) per wind direction
    and per wind speed; a time series is binned (``SECTOR_WIDTH``, ``SPEED_BIN_WIDTH``).

    Returns {"by_direction": [...], "by_speed": [...]}, rows of dicts keyed
    wind_direction (or wind_speed), frequency, aep_gwh, aep_no_wake_gwh,
    wake_loss_percent; the rows' AEPs sum to the farm's.
    """
    w = _np(result.frequencies)
    scale = hours_per_year / 1e9
    # Summed over turbines in double precision, as annual_energy does, so the rows add up.
    e = w * _np(result.power).sum(1) * scale
    e0 = w * _np(result.power_no_wake).sum(1) * scale
    wd, ws = case_values(farm)
    wd = wd % 360.0
    if farm.cases.time is not None:
        wd = (np.round(wd / SECTOR_WIDTH) * SECTOR_WIDTH) % 360.0
        ws = np.round(ws / SPEED_BIN_WIDTH) * SPEED_BIN_WIDTH
    out = {}
    for name, keys in (("wind_direction", wd), ("wind_speed", ws)):
        out[f"by_{name.removeprefix('wind_')}"] = [
            {name: k, "frequency": f, "aep_gwh": a, "aep_no_wake_gwh": a0,
             "wake_loss_percent": loss}
            for k, f, a, a0, loss in _group(np.round(keys, 9), w, e, e0)]
    return out


def energy_table_lines(tables: dict) -> list[str]:
    """The tables of ``energy_tables`` for the console."""
    lines = []
    for key, label, unit in (("by_direction", "wind_direction", "deg"),
                             ("by_speed", "wind_speed", "m/s")):
        lines += [f"AEP by {label.replace('_', ' ')}",
                  f"{label + ' [' + unit + ']':>20} {'frequency':>10} {'AEP [GWh]':>11} "
                  f"{'no wake [GWh]':>14} {'wake loss [%]':>14}"]
        for r in tables[key]:
            lines.append(f"{r[label]:20.2f} {r['frequency']:10.5f} {r['aep_gwh']:11.3f} "
                         f"{r['aep_no_wake_gwh']:14.3f} {r['wake_loss_percent']:14.2f}")
        lines.append("")
    return lines[:-1]
