#include "precision.h"
#include "records.h"

#include <ATen/ATen.h>

#include <map>
#include <stdexcept>
#include <vector>

namespace sorbane {

void TurbineGrid::set_grid() {
    if (n_turbines == 0 || n_findex == 0) {
        throw std::logic_error(
            "TurbineGrid::set_grid() called with n_turbines=0 or n_findex=0. "
            "Set these fields before calling set_grid().");
    }
    const int64_t F = n_findex;
    const int64_t T = n_turbines;
    const int64_t N = grid_resolution;
    auto x = turbine_coordinates.select(1, 0);
    auto y = turbine_coordinates.select(1, 1);
    auto z = turbine_coordinates.select(1, 2);

    // Rotate about the centre of the layout's bounding box.
    x_center_of_rotation = ((x.min() + x.max()) / 2.0).item<float>();
    y_center_of_rotation = ((y.min() + y.max()) / 2.0).item<float>();
    const double xc = x_center_of_rotation;
    const double yc = y_center_of_rotation;

    // Wind from 270 degrees blows along +x; rotate the layout so every case does.
    auto theta = (at::fmod(wind_directions - 270.0, 360.0) * kDegToRad).reshape({F, 1});
    auto cos_t = theta.cos();
    auto sin_t = theta.sin();
    auto dx = (x - xc).reshape({1, T});
    auto dy = (y - yc).reshape({1, T});
    auto x_rot = dx * cos_t - dy * sin_t + xc;
    auto y_rot = dx * sin_t + dy * cos_t + yc;
    auto z_rot = z.reshape({1, T}).expand({F, T}).contiguous();

    if (order_per_case) {
        // Stable, so that turbines level in the wind keep their layout order.
        sorted_coord_indices = std::get<1>(x_rot.detach().sort(std::optional<bool>(true), 1, /*descending=*/false))
                                   .contiguous();
    } else {
        // One downstream order for all cases: the order of the case-averaged x.
        auto order = std::get<1>(x_rot.detach().mean(0).sort(0));
        sorted_coord_indices = order.reshape({1, T}).expand({F, T}).contiguous();
    }
    auto positions = at::arange(n_turbines, sorted_coord_indices.options()).expand({F, T});
    unsorted_indices = at::zeros_like(sorted_coord_indices).scatter(1, sorted_coord_indices, positions);

    // Rotor points span half a diameter, centred on the hub.
    const auto options = turbine_diameters.options().requires_grad(false);
    const auto span = [&](float diameter) {
        const float half_span = 0.25f * diameter;
        return N == 1 ? at::zeros({1}, options) : at::linspace(-half_span, half_span, N, options);
    };
    auto idx = sorted_coord_indices.reshape({F, T, 1, 1}).expand({F, T, N, N});
    auto to_sorted = [&](const at::Tensor& v) {
        return v.reshape({F, T, 1, 1}).expand({F, T, N, N}).gather(1, idx);
    };
    at::Tensor offsets_y, offsets_z;
    if (rotor_grid_per_turbine) {
        // (T, N) in layout order, one span per distinct diameter formed as the
        // shared span is, so turbines of one size get exactly the points of a
        // farm of that size alone.
        const at::Tensor diameters = turbine_diameters.detach().to(at::kFloat).cpu().contiguous();
        TORCH_CHECK(diameters.numel() >= T, "TurbineGrid.turbine_diameters: expected ", T,
                    " diameters (one per turbine) with rotor_grid_per_turbine, got ",
                    diameters.numel());
        const float* d = diameters.data_ptr<float>();
        std::map<float, at::Tensor> spans;
        std::vector<at::Tensor> rows;
        rows.reserve(T);
        for (int64_t t = 0; t < T; ++t) {
            auto it = spans.find(d[t]);
            if (it == spans.end()) it = spans.emplace(d[t], span(d[t])).first;
            rows.push_back(it->second);
        }
        const at::Tensor sorted =
            at::stack(rows).index_select(0, sorted_coord_indices.reshape({-1})).reshape({F, T, N});
        offsets_y = sorted.unsqueeze(-1);
        offsets_z = sorted.unsqueeze(-2);
    } else {
        const at::Tensor offsets = span(turbine_diameters[0].item<float>());
        offsets_y = offsets.reshape({1, 1, N, 1});
        offsets_z = offsets.reshape({1, 1, 1, N});
    }
    auto xs = to_sorted(x_rot);
    auto ys = to_sorted(y_rot) + offsets_y;
    auto zs = to_sorted(z_rot) + offsets_z;
    x_sorted = xs;
    y_sorted = ys;
    z_sorted = zs;
}

}  // namespace sorbane
