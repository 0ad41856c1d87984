#include "records.h"

#include <ATen/ATen.h>

namespace sorbane {

void FlowField::initialize_velocity_field(const TurbineGrid& grid) {
    const int64_t F = n_findex;
    const int64_t T = grid.n_turbines;
    const int64_t N = grid.grid_resolution;
    // Power-law shear profile U(z) = U_ref (z / z_ref)^alpha.
    auto shear = (grid.z_sorted / static_cast<double>(reference_wind_height))
                     .pow(static_cast<double>(wind_shear));
    u_initial_sorted = wind_speeds.reshape({F, 1, 1, 1}) * shear;
    u_sorted = u_initial_sorted.clone();
    v_sorted = at::zeros_like(u_initial_sorted);
    w_sorted = at::zeros_like(u_initial_sorted);
    // A contiguous clone always copies, even where the expansion is itself
    // contiguous (T = N = 1), so the field never aliases the host's intensities.
    turbulence_intensity_field_sorted = turbulence_intensities.reshape({F, 1, 1, 1})
                                            .expand({F, T, N, N})
                                            .clone(at::MemoryFormat::Contiguous);
}

void FlowField::finalize(const at::Tensor& unsorted_indices) {
    u = u_sorted;
}

}  // namespace sorbane
