#include "records.h"

#include <ATen/ATen.h>

namespace sorbane {

void Farm::initialize(const at::Tensor& sort_indices) {
    sorted_indices = sort_indices;
    yaw_angles_sorted = yaw_angles.gather(1, sort_indices);
    if (tilt_angles.defined() && tilt_angles.numel() > 0) {
        tilt_angles_sorted = tilt_angles.gather(1, sort_indices);
    } else {
        // No tilt given: the 5 degrees of a typical utility-scale rotor.
        tilt_angles_sorted = at::full_like(yaw_angles_sorted, 5.0).detach();
    }
    const int64_t F = sort_indices.size(0);
    const int64_t T = sort_indices.size(1);
    auto positions = at::arange(T, sort_indices.options()).reshape({1, T}).expand({F, T});
    unsorted_indices = at::zeros_like(sort_indices).scatter(1, sort_indices, positions);
    if (turbines_in_layout_order) {
        const auto sorted = [&](const at::Tensor& per_turbine) {
            return per_turbine.reshape({1, T}).expand({F, T}).gather(1, sort_indices);
        };
        hub_heights_sorted = sorted(hub_heights);
        rotor_diameters_sorted = sorted(rotor_diameters);
        turbine_types_sorted = has_turbine_types() ? sorted(turbine_types) : at::Tensor();
    }
}

bool Farm::has_turbine_types() const { return turbine_types.defined() && turbine_types.numel() > 0; }

void Farm::finalize(const at::Tensor& unsort_indices) {
    yaw_angles = yaw_angles_sorted.gather(1, unsort_indices);
}

}  // namespace sorbane
