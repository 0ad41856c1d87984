"""Type stub of the compiled module: the records, module functions and solver classes.

Tensor fields read back as None until they are set; records take and hand out
the very tensor objects (no copies). Scalar fields are stored as 32-bit floats
or integers. The wake kernels are tensor operators under
``torch.ops.sorbane_cpp`` and are not attributes of this module.
"""
from torch import Tensor

def ping() -> str: ...
def using_double() -> bool: ...
def get_solver(key: str) -> CppSolverBase: ...
def available_solvers() -> list[str]: ...
def last_solve_path() -> str: ...
def set_fused_backward(enabled: bool) -> bool: ...
def farm_get_turbine_tables(farm: Farm) -> list[PowerThrustTable]: ...
def farm_add_turbine_table(farm: Farm, table: PowerThrustTable) -> None: ...

class Farm:
    def __init__(self) -> None: ...
    layout_x: Tensor
    layout_y: Tensor
    hub_heights: Tensor
    rotor_diameters: Tensor
    yaw_angles: Tensor
    tilt_angles: Tensor
    n_turbines: int
    @property
    def yaw_angles_sorted(self) -> Tensor: ...
    @property
    def tilt_angles_sorted(self) -> Tensor: ...
    @property
    def sorted_indices(self) -> Tensor: ...
    @property
    def unsorted_indices(self) -> Tensor: ...
    turbine_types: Tensor
    turbines_in_layout_order: bool
    @property
    def hub_heights_sorted(self) -> Tensor: ...
    @property
    def rotor_diameters_sorted(self) -> Tensor: ...
    @property
    def turbine_types_sorted(self) -> Tensor: ...
    def initialize(self, sort_indices: Tensor) -> None: ...
    def finalize(self, unsort_indices: Tensor) -> None: ...

class FlowField:
    def __init__(self) -> None: ...
    wind_speeds: Tensor
    wind_directions: Tensor
    turbulence_intensities: Tensor
    wind_shear: float
    wind_veer: float
    air_density: float
    reference_wind_height: float
    n_findex: int
    @property
    def u_initial_sorted(self) -> Tensor: ...
    @property
    def u_sorted(self) -> Tensor: ...
    @property
    def u(self) -> Tensor: ...
    @property
    def turbulence_intensity_field_sorted(self) -> Tensor: ...
    v_sorted: Tensor
    w_sorted: Tensor
    def initialize_velocity_field(self, grid: TurbineGrid) -> None: ...
    def finalize(self, unsorted_indices: Tensor) -> None: ...

class TurbineGrid:
    def __init__(self) -> None: ...
    turbine_coordinates: Tensor
    turbine_diameters: Tensor
    wind_directions: Tensor
    grid_resolution: int
    n_turbines: int
    n_findex: int
    x_center_of_rotation: float
    y_center_of_rotation: float
    @property
    def x_sorted(self) -> Tensor: ...
    y_sorted: Tensor
    z_sorted: Tensor
    @property
    def sorted_coord_indices(self) -> Tensor: ...
    @property
    def unsorted_indices(self) -> Tensor: ...
    order_per_case: bool
    rotor_grid_per_turbine: bool
    def set_grid(self) -> None: ...

class ModelConfig:
    def __init__(self) -> None: ...
    cpp_solver_paradigm: str
    device: str
    velocity_model: str
    deflection_model: str
    turbulence_model: str
    combination_model: str
    enable_secondary_steering: bool
    enable_yaw_added_recovery: bool
    enable_transverse_velocities: bool
    enable_active_wake_mixing: bool
    turbine_grid_points: int
    alpha: float
    beta: float
    ka: float
    kb: float
    sigmoid_k: float
    ad: float
    bd: float
    dm: float
    ch_initial: float
    ch_constant: float
    ch_ai_exp: float
    ch_downstream: float
    jacobi_max_iters: int
    jacobi_chunk_size: int
    jacobi_tol: float
    jacobi_fixed_iters: bool

class PowerThrustTable:
    def __init__(self) -> None: ...
    wind_speed: Tensor
    thrust_coefficient: Tensor
    power: Tensor
    ref_tilt: float
    tip_speed_ratio: float

class CppSolverBase:
    def name(self) -> str: ...
    def on_grid_update(self, grid: TurbineGrid, cfg: ModelConfig) -> None: ...
    def solve(self, farm: Farm, ff: FlowField, grid: TurbineGrid, cfg: ModelConfig) -> None: ...

class SequentialSolver(CppSolverBase):
    def __init__(self) -> None: ...

class JacobiSolver(CppSolverBase):
    def __init__(self) -> None: ...
