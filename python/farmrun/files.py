"""The JSON farm file: reading, key checks and conversion to a FarmDescription."""
from __future__ import annotations

import json
import os
import tempfile
from dataclasses import fields
from pathlib import Path

from .aep import WindRose
from .model import FarmDescription, FarmError, FlowCases, ModelOptions, TurbineType, _validate

__all__ = ["farm_from_dict", "load_farm_file", "write_json_atomic"]

_TOP_REQUIRED = ("layout_x", "layout_y", "turbine")
_TOP_OPTIONAL = ("name", "hub_heights", "yaw_angles", "tilt_angles", "wind_shear",
                 "reference_wind_height", "model", "wind_rose", "cases")
_TURBINE_REQUIRED = ("rotor_diameter", "hub_height", "wind_speed", "power", "thrust_coefficient")
_TURBINE_OPTIONAL = ("name", "ref_tilt", "tip_speed_ratio")
_ROSE_REQUIRED = ("wind_directions", "wind_speeds", "frequencies")
_ROSE_OPTIONAL = ("turbulence_intensity",)
_CASES_REQUIRED = ("wind_directions", "wind_speeds", "turbulence_intensities")
_CASES_OPTIONAL = ("frequencies", "time")  # exactly one: a rose's shares, or a time series
_MODEL_OPTIONAL = tuple(f.name for f in fields(ModelOptions))


def _object(path: str, value, required, optional) -> dict:
    if not isinstance(value, dict):
        raise FarmError(path, f"expected an object, got {json.dumps(value)[:60]}")
    prefix = f"{path}." if path else ""
    for key in value:
        if key not in required and key not in optional:
            allowed = ", ".join(required + optional)
            raise FarmError(f"{prefix}{key}", f"unknown key (allowed: {allowed})")
    for key in required:
        if key not in value:
            raise FarmError(f"{prefix}{key}", "required key is missing")
    return value


def farm_from_dict(data) -> FarmDescription:
    """Builds and validates a farm from the parsed JSON document; raises FarmError."""
    top = _object("", data, _TOP_REQUIRED, _TOP_OPTIONAL)
    if ("wind_rose" in top) == ("cases" in top):
        raise FarmError("wind_rose", "give exactly one of 'wind_rose' and 'cases'")
    t = _object("turbine", top["turbine"], _TURBINE_REQUIRED, _TURBINE_OPTIONAL)
    turbine = TurbineType(name=str(t.get("name", "turbine")), **{
        k: t[k] for k in _TURBINE_REQUIRED + _TURBINE_OPTIONAL[1:] if k in t})
    if "wind_rose" in top:
        r = _object("wind_rose", top["wind_rose"], _ROSE_REQUIRED, _ROSE_OPTIONAL)
        cases = WindRose(**r).cases()
    else:
        cases = FlowCases(**_object("cases", top["cases"], _CASES_REQUIRED, _CASES_OPTIONAL))
    model = ModelOptions(**_object("model", top.get("model", {}), (), _MODEL_OPTIONAL))
    farm = FarmDescription(
        layout_x=top["layout_x"], layout_y=top["layout_y"], turbine=turbine, cases=cases,
        model=model, name=str(top.get("name", "farm")),
        **{k: top[k] for k in ("hub_heights", "yaw_angles", "tilt_angles", "wind_shear",
                               "reference_wind_height") if k in top})
    _validate(farm)
    return farm


def load_farm_file(path) -> FarmDescription:
    """Reads a JSON farm file; every problem is a FarmError naming the field."""
    path = Path(path)
    try:
        text = path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as e:
        raise FarmError(str(path), f"cannot read the farm file ({e.__class__.__name__}: "
                                   f"{getattr(e, 'strerror', None) or e})") from None
    try:
        data = json.loads(text)
    except json.JSONDecodeError as e:
        raise FarmError(str(path), f"not valid JSON: {e.msg} at line {e.lineno} "
                                   f"column {e.colno}") from None
    return farm_from_dict(data)


def write_json_atomic(path, document) -> None:
    """Writes the whole document or nothing: a temporary file in the target's
    folder, renamed over the target once complete."""
    path = Path(path)
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=path.parent or ".")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            json.dump(document, f, indent=1)
            f.write("\n")
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise
