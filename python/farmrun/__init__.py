"""farmrun: wind-farm power and annual energy on the sorbane_cpp wake solvers.

A small host for the compute module: describe a farm (layout, one turbine
type, inflow cases, model coefficients), ``run`` it, and read per-turbine
power, thrust, turbulence and wake losses in layout order; ``annual_energy``
weights them with the case frequencies. ``python -m farmrun run`` does the
same from a JSON farm file, a windIO wind energy system or on the built-in
example; ``result_dataset`` labels the results as an xarray Dataset.
``farmrun.optimize.yaw`` and ``farmrun.optimize.layout`` optimise yaw tables
and layouts.
"""
import importlib

import torch  # noqa: F401  (before the extension, so tensors can cross the boundary)

from .energy import HOURS_PER_YEAR, AnnualEnergy, WindRose, annual_energy, energy_tables, weibull_rose
from .errors import FarmError
from .example import example_farm, example_wind_rose, iea_3p4_130
from .farm import FarmDescription, FarmResult, FlowCases, ModelOptions, TurbineType
from .io.farm_file import farm_from_dict, load_farm_file
from .io.netcdf import result_dataset, write_netcdf
from .io.windio import WindIOSystem, apply_power_curves, load_windio
from .io.windio_resource import weibull_bin_probabilities
from .runner import DEFAULT_MEMORY_LIMIT, plan_batches, run

__all__ = [
    "DEFAULT_MEMORY_LIMIT", "HOURS_PER_YEAR", "AnnualEnergy", "FarmDescription", "FarmError",
    "FarmResult", "FlowCases", "ModelOptions", "TurbineType", "WindRose", "annual_energy",
    "example_farm", "example_wind_rose", "farm_from_dict", "iea_3p4_130", "load_farm_file",
    "plan_batches", "run", "weibull_rose",
    "WindIOSystem", "apply_power_curves", "energy_tables", "load_windio", "result_dataset",
    "weibull_bin_probabilities", "write_netcdf",
]


def __getattr__(name):
    # ``farmrun.yaw.optimize_yaw`` and ``farmrun.layout.optimize_layout``, as the
    # README writes them, name the modules under ``farmrun.optimize``.
    if name in ("yaw", "layout"):
        return importlib.import_module(f".optimize.{name}", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
