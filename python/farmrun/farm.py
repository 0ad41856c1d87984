"""The description of a farm and the results of a run: the public types.

``FarmDescription`` holds one turbine type (``TurbineType``), its inflow cases
(``FlowCases``) and the model's coefficients (``ModelOptions``). ``validation``
checks it and gives its values as a ``FarmInputs``; a run returns a
``FarmResult`` in layout order.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Sequence

import torch

__all__ = ["FarmDescription", "FarmInputs", "FarmResult", "FlowCases", "ModelOptions",
           "TurbineType", "TypeInputs"]

@dataclass
class TurbineType:
    """One turbine type: rotor, hub and its power and thrust-coefficient table.

    ``power`` is in W at each ``wind_speed`` (m/s, strictly ascending). The
    table is interpolated linearly and extrapolated linearly beyond its ends,
    so a table should end in rows of zero power and thrust where the turbine
    is parked. ``ref_tilt`` is the shaft tilt (degrees) at which the thrust
    coefficients hold.
    """

    name: str
    rotor_diameter: float
    hub_height: float
    wind_speed: Sequence[float]
    power: Sequence[float]
    thrust_coefficient: Sequence[float]
    ref_tilt: float = 5.0
    tip_speed_ratio: float = 8.0


@dataclass
class FlowCases:
    """Inflow cases, one entry per case; ``frequencies`` sum to one (they weight the AEP).

    A time series gives ``time`` (one stamp per case) instead of ``frequencies``:
    every case then weighs the same, 1/F, so the AEP is the mean power over the
    series times the hours of a year.
    """

    wind_directions: Sequence[float]
    wind_speeds: Sequence[float]
    turbulence_intensities: Sequence[float]
    frequencies: Sequence[float] | None = None
    time: Sequence[Any] | None = None


@dataclass
class ModelOptions:
    """Wake-model coefficients and solver controls.

    Gaussian wake: the near-wake length x0/D = cos(yaw) (1 + sqrt(1 - Ct)) /
    (sqrt(2) (4 alpha I + 2 beta (1 - sqrt(1 - Ct)))) with 4 alpha = 2.32 and
    2 beta = 0.154, the fit of Bastankhah & Porte-Agel (2016, J. Fluid Mech.
    806, 506-541). Wake expansion k = ka I + kb with ka = 0.38, kb = 0.004,
    after k = 0.3837 I + 0.003678 of Niayifar & Porte-Agel (2016, Energies 9,
    741). Deflection: no linear offset (ad = bd = 0) and the skew angle as
    published (dm = 1).

    Added turbulence: Crespo & Hernandez (1996, J. Wind Eng. Ind. Aerodyn.
    59, 1-23), I+ = 0.73 a^0.8325 I0^0.0325 (x/D)^-0.32; the four numbers are
    ``ch_constant``, ``ch_ai_exp``, ``ch_initial`` and ``ch_downstream``.

    ``sigmoid_k`` (1/m) is the steepness of the logistic gate that fades a
    wake out upstream of its rotor. 1.0 per metre takes the gate from 12 % to
    88 % within +-2 m, about 1.5 % of a 130 m rotor: sharp on the scale of the
    wake, yet smooth, so gradients stay finite. Only the flow plane sees the
    gate in practice: the solvers mask out turbines that are not downstream.

    Power loss in yaw: P = P_table(U) cos(yaw)^p with p = ``yaw_power_exponent``
    = 1.88, the exponent fitted to large-eddy simulations of a yawed turbine by
    Gebraad et al. (2016, Wind Energy 19, 95-114). Tilt changes the thrust
    (through the solvers) but not the table power.

    Jacobi solver: 8 wake-casting turbines per kernel batch and a tolerance
    of 1e-6 m/s on the largest change of any rotor velocity. Each sweep
    carries the wakes one turbine further downstream, so a farm whose longest
    downstream chain holds n turbines settles after n - 1 sweeps; unset,
    ``jacobi_max_iters`` is derived per solve from that chain (see
    ``jacobi_sweep_limit``). A number set here is used as given, and may stop
    the sweeps before they settle.

    ``grid_resolution`` N gives N x N points per rotor, spread over the middle
    half of the rotor diameter.
    """

    alpha: float = 0.58
    beta: float = 0.077
    ka: float = 0.38
    kb: float = 0.004
    sigmoid_k: float = 1.0
    ad: float = 0.0
    bd: float = 0.0
    dm: float = 1.0
    ch_initial: float = 0.0325
    ch_constant: float = 0.73
    ch_ai_exp: float = 0.8325
    ch_downstream: float = -0.32
    enable_secondary_steering: bool = False
    enable_yaw_added_recovery: bool = False
    enable_transverse_velocities: bool = False
    jacobi_max_iters: int | None = None
    jacobi_chunk_size: int = 8
    jacobi_tol: float = 1e-6
    grid_resolution: int = 3
    yaw_power_exponent: float = 1.88


@dataclass
class FarmDescription:
    """A farm of one turbine type and its inflow cases.

    Several turbine types: ``turbine`` a list of types and ``turbine_type``
    each turbine's index into it (unset: all of the first). A cluster of
    farms: ``farm_names`` and each turbine's index into them, ``farm_index``,
    for results per farm; ``fixed`` marks turbines the layout optimiser keeps
    where they stand (a neighbour's, say).

    ``hub_heights`` overrides the type's hub height per turbine. ``yaw_angles``
    and ``tilt_angles`` (degrees) are either one value per turbine, for every
    case, or one row of T values per case; unset, yaw is 0 and tilt is the
    type's reference tilt. ``reference_wind_height`` is where the case wind
    speeds hold (default: the type's hub height); the profile above and below
    it follows the power law with exponent ``wind_shear``.
    """

    layout_x: Sequence[float]
    layout_y: Sequence[float]
    turbine: TurbineType | Sequence[TurbineType]
    cases: FlowCases
    hub_heights: Sequence[float] | None = None
    yaw_angles: Any = None
    tilt_angles: Any = None
    wind_shear: float = 0.12
    reference_wind_height: float | None = None
    model: ModelOptions = field(default_factory=ModelOptions)
    name: str = "farm"
    boundaries: Any = None  # site outline for pictures: a list of (xs, ys) polygons
    # (x, y, radius) of a circular site, whose outline ``boundaries`` draws;
    # layout optimisation keeps it a circle.
    boundary_circle: Any = None
    # Standard deviation (degrees) of the wind direction about each case's
    # nominal one: results are their expectations under that spread (see
    # ``farmrun.spread``); 0 computes the nominal direction alone.
    wind_direction_std: float = 0.0
    turbine_type: Sequence[int] | None = None
    farm_names: Sequence[str] | None = None
    farm_index: Sequence[int] | None = None
    fixed: Sequence[bool] | None = None

    @property
    def turbine_types(self) -> list[TurbineType]:
        """The farm's turbine types, one or several."""
        return list(self.turbine) if isinstance(self.turbine, (list, tuple)) else [self.turbine]

    def type_names(self) -> str:
        """The types' names, joined by " + "."""
        return " + ".join(str(t.name) for t in self.turbine_types)

    def type_summary(self) -> str:
        """The turbines by type, as headers show them: "16 x A" or "14 x A + 11 x B"."""
        types = self.turbine_types
        index = [0] * len(self.layout_x) if self.turbine_type is None else list(self.turbine_type)
        counts = [index.count(k) for k in range(len(types))]
        return " + ".join(f"{n} x {t.name}" for n, t in zip(counts, types) if n)


@dataclass
class TypeInputs:
    """One validated turbine type: rotor ``diameter`` and ``hub`` (m), its table
    (``speeds`` m/s, ``power`` W, ``thrust``), ``ref_tilt`` (deg), ``tsr``."""

    name: str
    diameter: float
    hub: float
    speeds: list[float]
    power: list[float]
    thrust: list[float]
    ref_tilt: float
    tsr: float


@dataclass
class FarmInputs:
    """A validated farm as plain Python numbers, exactly as given (lengths in m,
    speeds in m/s, angles in degrees, power in W).

    ``x``, ``y``, ``hubs``: per turbine; ``speeds``, ``power``, ``thrust``: the
    turbine table; ``wd``, ``ws``, ``ti``, ``freq``: per flow case (a time
    series weighs every case 1/F); ``yaw``, ``tilt``: one row of T angles per
    case; ``zref``: the height at which the case wind speeds hold.
    """

    x: list[float]
    y: list[float]
    hubs: list[float]
    diameter: float
    speeds: list[float]
    power: list[float]
    thrust: list[float]
    ref_tilt: float
    tsr: float
    wd: list[float]
    ws: list[float]
    ti: list[float]
    freq: list[float]
    yaw: list[list[float]]
    tilt: list[list[float]]
    shear: float
    zref: float
    wd_std: float = 0.0
    # Per type, and per turbine its type, rotor diameter, farm and whether it
    # stays put; the scalar table fields above are those of the first type.
    types: list[TypeInputs] = field(default_factory=list)
    type_of: list[int] = field(default_factory=list)
    diameters: list[float] = field(default_factory=list)
    farm_of: list[int] = field(default_factory=list)
    farm_names: list[str] = field(default_factory=list)
    fixed: list[bool] = field(default_factory=list)


@dataclass
class FarmResult:
    """Results in layout order: (F, T) per turbine and case, (F) per case.

    Velocities in m/s are rotor-effective: the cube root of the rotor-mean
    cube of the streamwise velocity. Power in W. ``*_no_wake`` is the same farm
    in the sheared freestream without wakes; ``wake_loss`` is in percent of it.
    """

    layout_x: torch.Tensor
    layout_y: torch.Tensor
    hub_heights: torch.Tensor
    wind_directions: torch.Tensor
    wind_speeds: torch.Tensor
    ambient_turbulence: torch.Tensor
    frequencies: torch.Tensor
    yaw_angles: torch.Tensor
    rotor_velocity: torch.Tensor
    rotor_velocity_no_wake: torch.Tensor
    turbulence_intensity: torch.Tensor
    thrust_coefficient: torch.Tensor
    power: torch.Tensor
    power_no_wake: torch.Tensor
    farm_power: torch.Tensor
    farm_power_no_wake: torch.Tensor
    wake_loss: torch.Tensor
    solver: str
    n_batches: int
    elapsed_s: float
    # Per solve, Jacobi only: the sweep limit used and the turbines in the
    # longest downstream chain.
    sweep_limits: list[int] = field(default_factory=list)
    longest_chains: list[int] = field(default_factory=list)
    # The validated inputs, exactly as given.
    inputs: FarmInputs | None = None
    # The spread of wind directions (degrees) the results are expectations over.
    wind_direction_std: float = 0.0

    @property
    def sweeps_may_not_have_settled(self) -> bool:
        return any(limit < n - 1 for limit, n in zip(self.sweep_limits, self.longest_chains))
