"""Wind roses and annual energy production."""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Sequence

import torch

from .model import FarmError, FarmResult, FlowCases, _as_list, _fraction, _numbers

__all__ = ["HOURS_PER_YEAR", "AnnualEnergy", "WindRose", "annual_energy", "weibull_rose"]

# 365.25 days of 24 hours: the mean length of a calendar year, leap years included.
HOURS_PER_YEAR = 8766.0


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
        wd = _numbers(f"{path}.wind_directions", self.wind_directions)
        ws = _numbers(f"{path}.wind_speeds", self.wind_speeds, positive=True)
        rows = _as_list(self.frequencies)
        if isinstance(rows, (str, bytes)) or not isinstance(rows, Sequence) or len(rows) != len(wd):
            got = len(rows) if isinstance(rows, Sequence) else repr(rows)
            raise FarmError(f"{path}.frequencies",
                            f"expected {len(wd)} rows (one per wind direction), got {got}")
        freq = [_numbers(f"{path}.frequencies[{d}]", row, n=len(ws), nonneg=True)
                for d, row in enumerate(rows)]
        total = math.fsum(f for row in freq for f in row)
        if abs(total - 1.0) > 1e-6:
            raise FarmError(f"{path}.frequencies", f"must sum to 1, got {total:.9g}")
        ti = _as_list(self.turbulence_intensity)
        if isinstance(ti, Sequence) and not isinstance(ti, (str, bytes)):
            ti = [_fraction(f"{path}.turbulence_intensity[{s}]", v) for s, v in
                  enumerate(_numbers(f"{path}.turbulence_intensity", ti, n=len(ws)))]
        else:
            ti = [_fraction(f"{path}.turbulence_intensity", ti)] * len(ws)
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
