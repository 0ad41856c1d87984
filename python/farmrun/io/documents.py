"""The JSON results of ``farmrun run``: every number that came from the farm echoed as given,
the per-case values, the units and the settings of the run."""
from __future__ import annotations

import dataclasses

from ..energy import AnnualEnergy, farm_energy
from ..farm import FarmDescription, FarmResult
from ..runner import working_dtype

__all__ = ["UNITS", "package_version", "run_document"]


def package_version() -> str:
    """The version of the installed package, or of the checkout's pyproject.toml."""
    from importlib import metadata
    try:
        return metadata.version("sorbane-cpp")
    except metadata.PackageNotFoundError:  # run from a checkout
        import tomllib
        from pathlib import Path
        pyproject = Path(__file__).resolve().parents[3] / "pyproject.toml"
        try:
            return tomllib.loads(pyproject.read_text())["project"]["version"]
        except (OSError, KeyError, ValueError):
            return "unknown"


# Units of every field whose name does not carry its unit.
UNITS = {
    "x": "m", "y": "m", "hub_height": "m", "mean_speed": "m/s", "rotor_diameter": "m",
    "wind_direction": "deg, where the wind comes from (270 = west)",
    "wind_speed": "m/s at reference_wind_height", "turbulence_intensity": "1 (a fraction)",
    "frequency": "1 (share of the year)", "turbine_rotor_velocity": "m/s, rotor-effective",
    "turbine_turbulence_intensity": "1 (a fraction)", "turbine_thrust_coefficient": "1",
    "yaw_angles": "deg", "tilt_angles": "deg", "ref_tilt": "deg", "wind_shear": "1 (exponent)",
    "reference_wind_height": "m", "hours_per_year": "h",
    "wind_direction_std": "deg; results are expectations over a Gaussian spread of this "
                          "standard deviation about each nominal direction (0: none)",
}


def run_document(farm: FarmDescription, result: FarmResult, energy: AnnualEnergy,
                 device: str = "cpu", engine: str | None = None) -> dict:
    """The results; every number that came from the farm is echoed as given.
    ``engine`` ("local" or "dask"), where given, says what solved the batches."""
    p = result.inputs
    mean_power = (result.frequencies.double().unsqueeze(1) * result.power.double()).sum(0)

    def rows(t):
        return t.double().cpu().tolist()

    turbines = [
        {"index": t, "x": p.x[t], "y": p.y[t], "hub_height": p.hubs[t],
         "mean_speed": float(energy.turbine_mean_speed[t]), "mean_power_w": float(mean_power[t]),
         "aep_gwh": float(energy.turbine_aep_gwh[t]),
         "aep_no_wake_gwh": float(energy.turbine_aep_no_wake_gwh[t]),
         "wake_loss_percent": float(energy.turbine_wake_loss_percent[t])}
        for t in range(len(p.x))]
    doc = {
        "farm": farm.name, "turbine_type": farm.type_names(), "solver": result.solver,
        "device": device, **({"engine": engine} if engine else {}), "working_precision": str(working_dtype()).replace("torch.", ""),
        "version": package_version(), "units": UNITS,
        "wind_direction_std": result.wind_direction_std,
        "inputs": {
            "rotor_diameter": p.diameter, "ref_tilt": p.ref_tilt,
            "wind_shear": p.shear, "reference_wind_height": p.zref,
            "yaw_angles": p.yaw, "tilt_angles": p.tilt,
            "model": dataclasses.asdict(farm.model),
        },
        "summary": {"aep_gwh": energy.aep_gwh, "aep_no_wake_gwh": energy.aep_no_wake_gwh,
                    "wake_loss_percent": energy.wake_loss_percent,
                    "hours_per_year": energy.hours_per_year},
        "turbines": turbines,
        # AEP per farm of a cluster, with the wakes of the whole cluster.
        "farms": farm_energy(result, energy),
        "cases": {
            "wind_direction": p.wd, "wind_speed": p.ws, "turbulence_intensity": p.ti,
            "frequency": p.freq, "farm_power_w": rows(result.farm_power),
            "farm_power_no_wake_w": rows(result.farm_power_no_wake),
            "wake_loss_percent": rows(result.wake_loss),
            "turbine_rotor_velocity": rows(result.rotor_velocity),
            "turbine_turbulence_intensity": rows(result.turbulence_intensity),
            "turbine_thrust_coefficient": rows(result.thrust_coefficient),
            "turbine_power_w": rows(result.power),
        },
    }
    if result.solver == "jacobi":
        doc["jacobi"] = {"sweep_limit": result.sweep_limits,
                         "longest_chain": result.longest_chains,
                         "may_not_have_settled": result.sweeps_may_not_have_settled}
    return doc
