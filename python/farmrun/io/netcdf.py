"""Labelled results: an xarray Dataset of a run and its NetCDF file.

Per-turbine variables carry the names of windIO's simulation outputs
(``power``, ``rotor_effective_velocity``, ``turbulence_intensity``) where it
has one. A wind rose's cases lie on the dimensions (wind_direction,
wind_speed), a time series' on ``time``; cases that form neither (a list with
repeated direction and speed) lie on ``case``.
"""
from __future__ import annotations

import tempfile
from dataclasses import asdict
from pathlib import Path

import numpy as np
import torch

from ..energy import AnnualEnergy, annual_energy, case_values, energy_tables, farm_energy
from ..farm import FarmDescription, FarmResult
from ..runner import working_dtype
from .atomic import write_outputs
from .documents import package_version

__all__ = ["WINDIO_TURBINE_NAMES", "netcdf_bytes", "result_dataset", "turbine_dataset",
           "write_netcdf"]


# windIO's names for the per-turbine outputs that farmrun has.
WINDIO_TURBINE_NAMES = {"power": "power", "power_per_turbine": "power",
                        "rotor_effective_velocity": "rotor_effective_velocity",
                        "effective_wind_speed": "rotor_effective_velocity",
                        "turbulence_intensity": "turbulence_intensity",
                        "thrust_coefficient": "thrust_coefficient", "frequency": "frequency",
                        "wind_speed": None, "wind_direction": None}


def _np(t: torch.Tensor) -> np.ndarray:
    return t.detach().double().cpu().numpy()


def _time_values(stamps):
    """Time stamps as datetime64 where they are dates, else as given."""
    if all(isinstance(s, str) for s in stamps):
        try:
            return np.array([s.removesuffix("Z") for s in stamps], dtype="datetime64[ns]")
        except ValueError:
            return np.array(stamps, dtype=str)
    return np.asarray(stamps)


def _layout(farm: FarmDescription, result: FarmResult):
    """Case dimensions, their coordinates, and how to fold an (F, ...) array onto them."""
    wd, ws = case_values(farm)
    F = wd.shape[0]
    if farm.cases.time is not None:
        return ("time",), {"time": _time_values(list(farm.cases.time))}, lambda a, fill: a
    dirs, speeds = np.unique(wd), np.unique(ws)
    di, si = np.searchsorted(dirs, wd), np.searchsorted(speeds, ws)
    if len(set(zip(di.tolist(), si.tolist()))) < F:
        return ("case",), {"case": np.arange(F)}, lambda a, fill: a

    def fold(a, fill):
        out = np.full((len(dirs), len(speeds)) + a.shape[1:], fill, dtype=a.dtype)
        out[di, si] = a
        return out
    return ("wind_direction", "wind_speed"), {"wind_direction": dirs, "wind_speed": speeds}, fold


def result_dataset(farm: FarmDescription, result: FarmResult,
                   energy: AnnualEnergy | None = None, engine: str | None = None):
    """The run as an ``xarray.Dataset`` with units attributes.

    Dimensions ``turbine`` and the case dimensions; per-turbine coordinates
    x, y and hub_height; per-case and per-turbine variables; the case
    frequencies; AEP and wake loss per direction and per speed; the model
    options, solver, precision and version as global attributes, and the
    ``engine`` that solved the batches ("local" or "dask") where given.
    """
    import xarray as xr

    energy = energy or annual_energy(result)
    dims, coords, fold = _layout(farm, result)
    T = result.layout_x.shape[0]
    coords = dict(coords, turbine=np.arange(T))
    coords["x"] = ("turbine", _np(result.layout_x), {"units": "m", "long_name": "x (east)"})
    coords["y"] = ("turbine", _np(result.layout_y), {"units": "m", "long_name": "y (north)"})
    coords["hub_height"] = ("turbine", _np(result.hub_heights), {"units": "m"})
    for name, unit in (("wind_direction", "deg"), ("wind_speed", "m/s")):
        if name in coords:
            coords[name] = (name, coords[name], {"units": unit})

    def per_turbine(t, unit, long_name):
        return (dims + ("turbine",), fold(_np(t), np.nan),
                {"units": unit, "long_name": long_name})

    def per_case(t, unit, long_name, fill=np.nan):
        return dims, fold(_np(t), fill), {"units": unit, "long_name": long_name}

    v = {
        "power": per_turbine(result.power, "W", "electrical power"),
        "power_no_wake": per_turbine(result.power_no_wake, "W", "power without wakes"),
        "rotor_effective_velocity": per_turbine(result.rotor_velocity, "m/s",
                                                "rotor-effective wind speed"),
        "turbulence_intensity": per_turbine(result.turbulence_intensity, "1",
                                            "rotor-mean turbulence intensity"),
        "thrust_coefficient": per_turbine(result.thrust_coefficient, "1", "thrust coefficient"),
        "yaw_angle": per_turbine(result.yaw_angles, "deg", "yaw misalignment"),
        "frequency": per_case(result.frequencies, "1", "weight of the flow case", 0.0),
        "ambient_turbulence_intensity": per_case(result.ambient_turbulence, "1",
                                                 "ambient turbulence intensity"),
        "farm_power": per_case(result.farm_power, "W", "farm power"),
        "farm_power_no_wake": per_case(result.farm_power_no_wake, "W",
                                       "farm power without wakes"),
        "aep": ("turbine", _np(energy.turbine_aep_gwh), {"units": "GWh", "long_name": "AEP"}),
        "aep_no_wake": ("turbine", _np(energy.turbine_aep_no_wake_gwh),
                        {"units": "GWh", "long_name": "AEP without wakes"}),
    }
    if dims == ("time",) or dims == ("case",):
        wd, ws = case_values(farm)
        v["flow_wind_direction"] = (dims, wd, {"units": "deg", "long_name": "wind direction (from)"})
        v["flow_wind_speed"] = (dims, ws, {"units": "m/s",
                                           "long_name": "wind speed at the reference height"})
    tables = energy_tables(farm, result, energy.hours_per_year)
    for key, dim, unit in (("by_direction", "sector", "deg"), ("by_speed", "speed_bin", "m/s")):
        rows = tables[key]
        label = "wind_direction" if dim == "sector" else "wind_speed"
        coords[dim] = (dim, np.array([r[label] for r in rows]), {"units": unit})
        for col, name, u in (("aep_gwh", "aep", "GWh"), ("aep_no_wake_gwh", "aep_no_wake", "GWh"),
                             ("wake_loss_percent", "wake_loss", "%")):
            v[f"{name}_{key}"] = (dim, np.array([r[col] for r in rows]),
                                  {"units": u, "long_name": f"{name.replace('_', ' ')} "
                                                            f"{key.replace('_', ' ')}"})
    attrs = {"title": f"farmrun results: {farm.name}", "turbine_type": farm.type_names(),
             "solver": result.solver, **({"engine": engine} if engine else {}),
             "precision": "float64" if working_dtype() == torch.float64 else "float32",
             "farmrun_version": package_version(), "aep_gwh": energy.aep_gwh,
             "aep_no_wake_gwh": energy.aep_no_wake_gwh,
             "wake_loss_percent": energy.wake_loss_percent,
             "hours_per_year": energy.hours_per_year, "wind_shear": float(farm.wind_shear),
             # Results are expectations over this spread of directions (deg); 0: none.
             "wind_direction_std": float(result.wind_direction_std)}
    for k, value in asdict(farm.model).items():
        # NetCDF attributes hold no booleans and no nulls; an unset sweep limit
        # is the one derived from the farm's longest downstream chain.
        if value is None:
            value = "derived"
        attrs[f"model_{k}"] = int(value) if isinstance(value, bool) else value
    farms = farm_energy(result, energy)
    coords["farm"] = ("farm", np.array([r["farm"] for r in farms]))
    for col, name, u in (("aep_gwh", "aep_farm", "GWh"), ("aep_no_wake_gwh", "aep_no_wake_farm",
                                                         "GWh"), ("wake_loss_percent",
                                                                  "wake_loss_farm", "%")):
        v[name] = ("farm", np.array([r[col] for r in farms]),
                   {"units": u, "long_name": f"{name.replace('_', ' ')}, cluster wakes included"})
    if result.inputs is not None:
        v["turbine_farm"] = ("turbine", np.array(result.inputs.farm_of),
                             {"long_name": "index of the turbine's farm"})
    return xr.Dataset(v, coords=coords, attrs=attrs)


def turbine_dataset(ds, variables) -> tuple[object, list[str]]:
    """The per-turbine variables that windIO's ``output_variables`` name, and
    the names farmrun does not have."""
    keep, missing = [], []
    for name in variables:
        if name not in WINDIO_TURBINE_NAMES:
            missing.append(name)
        elif WINDIO_TURBINE_NAMES[name] is not None:
            keep.append(WINDIO_TURBINE_NAMES[name])
    keep = list(dict.fromkeys(keep + ["frequency"]))
    return ds[keep], missing


def netcdf_bytes(ds) -> bytes:
    """The NetCDF-4 file of ``ds`` as bytes (the netCDF4 engine writes only to
    files: a private temporary folder holds it)."""
    with tempfile.TemporaryDirectory() as folder:
        tmp = Path(folder) / "dataset.nc"
        ds.to_netcdf(tmp, engine="netcdf4")
        return tmp.read_bytes()


def write_netcdf(ds, path) -> None:
    """Writes the whole file or nothing, with the mode the umask gives."""
    write_outputs({path: netcdf_bytes(ds)})
