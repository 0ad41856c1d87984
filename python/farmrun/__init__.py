"""farmrun: wind-farm power and annual energy on the sorbane_cpp wake solvers.

A small host for the compute module: describe a farm (layout, one turbine
type, inflow cases, model coefficients), ``run`` it, and read per-turbine
power, thrust, turbulence and wake losses in layout order; ``annual_energy``
weights them with the case frequencies. ``python -m farmrun run`` does the
same from a JSON farm file, a windIO wind energy system or on the built-in
example; ``result_dataset`` labels the results as an xarray Dataset.
"""
import torch  # noqa: F401  (before the extension, so tensors can cross the boundary)

from .aep import HOURS_PER_YEAR, AnnualEnergy, WindRose, annual_energy, weibull_rose
from .example import example_farm, example_wind_rose, iea_3p4_130
from .files import farm_from_dict, load_farm_file
from .model import (DEFAULT_MEMORY_LIMIT, FarmDescription, FarmError, FarmResult, FlowCases,
                    ModelOptions, TurbineType, plan_batches, run)
from .results import energy_tables, result_dataset, write_netcdf
from .windio import WindIOSystem, apply_power_curves, load_windio, weibull_bin_probabilities

__all__ = [
    "DEFAULT_MEMORY_LIMIT", "HOURS_PER_YEAR", "AnnualEnergy", "FarmDescription", "FarmError",
    "FarmResult", "FlowCases", "ModelOptions", "TurbineType", "WindRose", "annual_energy",
    "example_farm", "example_wind_rose", "farm_from_dict", "iea_3p4_130", "load_farm_file",
    "plan_batches", "run", "weibull_rose",
    "WindIOSystem", "apply_power_curves", "energy_tables", "load_windio", "result_dataset",
    "weibull_bin_probabilities", "write_netcdf",
]
