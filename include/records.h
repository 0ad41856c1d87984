#pragma once
// Plain records that the host fills field by field and the solvers read and
// write. Tensors are reference-counted handles: assigning a field replaces the
// handle, and results are published by replacing handles, never by writing
// into a tensor the host may hold.
#include <ATen/core/Tensor.h>

#include <cstdint>
#include <deque>
#include <string>

namespace sorbane {

struct ModelConfig {
    std::string cpp_solver_paradigm;
    std::string device;
    std::string velocity_model;
    std::string deflection_model;
    std::string turbulence_model;
    std::string combination_model;
    bool enable_secondary_steering;
    bool enable_yaw_added_recovery;
    bool enable_active_wake_mixing;
    bool enable_transverse_velocities;
    int32_t turbine_grid_points;
    int32_t jacobi_max_iters;
    int32_t jacobi_chunk_size;
    float jacobi_tol;
    bool jacobi_fixed_iters;
    float alpha;
    float beta;
    float ka;
    float kb;
    float sigmoid_k;
    float ad;
    float bd;
    float dm;
    float ch_initial;
    float ch_constant;
    float ch_ai_exp;
    float ch_downstream;
};

struct Farm {
    struct PowerThrustTable {
        at::Tensor wind_speed;          // (n) ascending, abscissae of the thrust lookup
        at::Tensor thrust_coefficient;  // (n)
        at::Tensor power;               // (n), carried for the host
        float ref_tilt;                 // degrees at which the thrust curve holds
        float tip_speed_ratio;
    };

    at::Tensor layout_x;
    at::Tensor layout_y;
    at::Tensor hub_heights;      // (T), indexed by sorted position (see below)
    at::Tensor rotor_diameters;  // (T), indexed by sorted position (see below)
    at::Tensor yaw_angles;       // (F, T) degrees, layout order
    at::Tensor tilt_angles;      // (F, T) degrees, layout order; may be undefined or empty
    int32_t n_turbines;
    at::Tensor yaw_angles_sorted;
    at::Tensor tilt_angles_sorted;
    at::Tensor sorted_indices;
    at::Tensor unsorted_indices;
    // Several turbine types: int64 (T), each turbine's index into
    // turbine_tables; undefined or empty: every turbine runs on the first.
    at::Tensor turbine_types;
    // When set, hub_heights, rotor_diameters and turbine_types are in layout
    // order and initialize sorts them per flow case into the (F, T) fields
    // below, which the solvers then read; when clear they are indexed by
    // sorted position, the one order all cases share.
    bool turbines_in_layout_order = false;
    at::Tensor hub_heights_sorted;      // (F, T)
    at::Tensor rotor_diameters_sorted;  // (F, T)
    at::Tensor turbine_types_sorted;    // int64 (F, T); undefined without turbine_types
    // A deque never moves its elements on push_back, so references handed to
    // Python as views of a table stay valid however many tables are appended.
    std::deque<PowerThrustTable> turbine_tables;

    // sort_indices: int64 (F, T), row f maps sorted position -> layout index.
    void initialize(const at::Tensor& sort_indices);
    // unsort_indices: int64 (F, T), the inverse permutation; replaces yaw_angles.
    void finalize(const at::Tensor& unsort_indices);
    bool has_turbine_types() const;
};

struct TurbineGrid {
    at::Tensor turbine_coordinates;  // (T, 3) layout order: x, y, hub z
    at::Tensor turbine_diameters;    // (T); element 0 sets the rotor-point offsets of all
                                     // turbines unless rotor_grid_per_turbine
    at::Tensor wind_directions;      // (F) degrees; 270 leaves the layout unrotated
    int32_t grid_resolution;         // N
    at::Tensor x_sorted;             // (F, T, N, N)
    at::Tensor y_sorted;             // (F, T, N, N)
    at::Tensor z_sorted;             // (F, T, N, N)
    at::Tensor sorted_coord_indices; // int64 (F, T): sorted position -> layout index
    at::Tensor unsorted_indices;     // int64 (F, T): layout index -> sorted position
    int32_t n_turbines;
    int32_t n_findex;
    float x_center_of_rotation;
    float y_center_of_rotation;
    // Each case sorted by its own rotated x, so that cases of different wind
    // directions can share a solve; clear: all cases take the order of the
    // case-averaged x.
    bool order_per_case = false;
    // Each rotor's points spread over its own diameter; clear: over turbine 0's.
    bool rotor_grid_per_turbine = false;

    void set_grid();
};

struct FlowField {
    at::Tensor wind_speeds;             // (F) at reference_wind_height
    at::Tensor wind_directions;         // (F) degrees, carried for the host
    at::Tensor turbulence_intensities;  // (F) ambient
    float wind_shear;
    float wind_veer;
    float air_density;
    float reference_wind_height;
    int32_t n_findex;
    at::Tensor u_initial_sorted;                   // (F, T, N, N) freestream
    at::Tensor u_sorted;                           // (F, T, N, N) waked
    at::Tensor u;                                  // published: the same tensor as u_sorted
    at::Tensor turbulence_intensity_field_sorted;  // (F, T, N, N)
    at::Tensor v_sorted;                           // (F, T, N, N) spanwise
    at::Tensor w_sorted;                           // (F, T, N, N) vertical

    void initialize_velocity_field(const TurbineGrid& grid);
    void finalize(const at::Tensor& unsorted_indices);
};

}  // namespace sorbane
