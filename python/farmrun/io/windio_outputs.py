"""The NetCDF files that a windIO system's ``model_outputs_specification`` asks for.

``turbine_outputs`` is the run's Dataset cut to the requested per-turbine
variables; ``flow_field`` is the streamwise wind speed on horizontal planes,
solved one flow case at a time for the most frequent cases.
"""
from __future__ import annotations

import math
from pathlib import Path

import numpy as np
import torch

from ..errors import FarmError
from ..farm import FarmDescription, FarmResult
from ..flow import solve_case
from .netcdf import netcdf_bytes, turbine_dataset
from .windio import FLOW_NAMES, WindIOSystem

__all__ = ["MAX_FLOW_FIELD_CASES", "flow_field_dataset", "requested_output_paths",
           "requested_outputs"]

# Hub-height planes are solved one flow case each: at most this many cases,
# the most frequent first, so that a request over a whole wind rose stays quick.
MAX_FLOW_FIELD_CASES = 24


def _plane_axes(farm: FarmDescription, planes: dict):
    """x and y sample points of the requested planes: the bounds and spacing
    given, else 3 rotor diameters around the layout every 20 m."""
    d = max(t.rotor_diameter for t in farm.turbine_types)
    x0, x1 = planes.get("x_bounds") or (min(farm.layout_x) - 3 * d, max(farm.layout_x) + 3 * d)
    y0, y1 = planes.get("y_bounds") or (min(farm.layout_y) - 3 * d, max(farm.layout_y) + 3 * d)

    def axis(lo, hi, step, count):
        if count:
            return np.linspace(lo, hi, int(count))
        n = int(math.floor((hi - lo) / float(step or 20.0) + 1e-9)) + 1
        if n > 4000:
            raise FarmError("attributes.model_outputs_specification.flow_field.z_planes",
                            f"{n} points along one axis are too many")
        return lo + float(step or 20.0) * np.arange(n)
    return axis(float(x0), float(x1), planes.get("dx"), planes.get("Nx")), \
        axis(float(y0), float(y1), planes.get("dy"), planes.get("Ny"))


def flow_field_dataset(system: WindIOSystem, result: FarmResult, solver: str = "sequential",
                       device: str = "cpu"):
    """Streamwise wind speed on the requested horizontal planes (the turbines'
    hub heights, or ``z_list``) for up to ``MAX_FLOW_FIELD_CASES`` flow cases."""
    import xarray as xr

    farm, req = system.farm, system.outputs
    planes = req.get("z_planes") or {}
    if planes.get("z_sampling") == "plane_list" and planes.get("z_list"):
        heights = sorted({float(z) for z in planes["z_list"]})
    else:
        heights = sorted({float(h) for h in result.hub_heights.tolist()})
    xs, ys = _plane_axes(farm, planes)
    order = torch.argsort(result.frequencies.double(), descending=True, stable=True)
    cases = sorted(order[:MAX_FLOW_FIELD_CASES].tolist())
    gy, gx = np.meshgrid(ys, xs, indexing="ij")
    u = np.empty((len(cases), len(heights), len(ys), len(xs)))
    for i, f in enumerate(cases):
        case = solve_case(farm, float(result.wind_directions[f]), float(result.wind_speeds[f]),
                          float(result.ambient_turbulence[f]), solver, device,
                          result.yaw_angles[f].tolist())
        for j, z in enumerate(heights):
            u[i, j] = case.velocity(torch.from_numpy(gx), torch.from_numpy(gy),
                                    torch.full(gx.shape, z, dtype=torch.float64)
                                    ).double().cpu().numpy()
    return xr.Dataset(
        {"wind_speed": (("case", "z", "y", "x"), u,
                        {"units": "m/s", "long_name": "streamwise wind speed"}),
         "wind_direction": ("case", result.wind_directions[cases].double().cpu().numpy(),
                            {"units": "deg"}),
         "free_stream_wind_speed": ("case", result.wind_speeds[cases].double().cpu().numpy(),
                                    {"units": "m/s"})},
        coords={"case": np.array(cases), "z": ("z", np.array(heights), {"units": "m"}),
                "y": ("y", ys, {"units": "m"}), "x": ("x", xs, {"units": "m"})},
        attrs={"title": f"farmrun flow field: {farm.name}", "solver": solver})


def requested_outputs(system: WindIOSystem, result: FarmResult, dataset,
                      solver: str = "sequential", device: str = "cpu") -> dict:
    """The NetCDF files that ``model_outputs_specification`` names, in its
    ``output_folder`` (default: the current folder), as {path: (what, bytes)};
    variables farmrun lacks are left out with a note."""
    req = system.outputs
    folder = Path(req.get("output_folder") or ".")
    files = {}
    if req.get("turbine_file"):
        ds, _ = turbine_dataset(dataset, req.get("turbine_variables") or [])
        files[str(folder / req["turbine_file"])] = ("turbine outputs", netcdf_bytes(ds))
    if req.get("flow_file"):
        ds = flow_field_dataset(system, result, solver, device)
        keep = [FLOW_NAMES[v] for v in req.get("flow_variables") or [] if v in FLOW_NAMES]
        if keep:
            ds = ds[list(dict.fromkeys(keep + ["free_stream_wind_speed"]))]
        files[str(folder / req["flow_file"])] = ("flow field", netcdf_bytes(ds))
    return files


def requested_output_paths(system: WindIOSystem) -> dict:
    """{option: path} of the files ``requested_outputs`` will write, for checking
    them before any solve; the output folder is created when missing."""
    req = system.outputs
    folder = Path(req.get("output_folder") or ".")
    paths = {}
    for key in ("turbine_file", "flow_file"):
        if req.get(key):
            folder.mkdir(parents=True, exist_ok=True)
            paths[f"model_outputs_specification.{key}"] = str(folder / req[key])
    return paths
