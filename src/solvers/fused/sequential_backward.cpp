// The sequential solver's fused backward: an autograd node whose backward
// replays each flow case with a tape and runs the reverse pass over it
// (sequential_reverse.cpp), giving the gradients of a loss of u_sorted,
// turbulence_intensity_field_sorted and, with transverse velocities, v_sorted
// and w_sorted with respect to every input the op-by-op path differentiates,
// as the tensor library's autograd gives them on that path. Cases run in
// parallel, as in the forward. Every switch is covered: secondary steering
// (the added yaw reads the spanwise flow that earlier sources' vortices laid
// on the rotor, so its gradient flows back to them through the accumulated
// V), transverse velocities and the recovery (which also reads the
// transverse field the flow field held before).
#include "fused/inputs.h"
#include "fused/kernels.h"
#include "fused/math.h"
#include "fused/sequential.h"
#include "solvers.h"

#include <ATen/ATen.h>
#include <ATen/core/grad_mode.h>
#include <torch/csrc/autograd/function.h>
#include <torch/csrc/autograd/functions/utils.h>

#include <array>
#include <atomic>
#include <cmath>
#include <memory>
#include <vector>

namespace sorbane::fused {

namespace {

// The inputs the node differentiates, in the order of its edges: these, then
// the wind speeds and thrust coefficients of each further table.
enum Edge { kX, kY, kZ, kU0, kYaw, kTilt, kTi, kRd, kHh, kWs, kCt, kVin, kWin, kEdges };

std::vector<at::Tensor> differentiable_inputs(const Farm& farm, const FlowField& ff,
                                              const TurbineGrid& grid, bool recovery) {
    const Farm::PowerThrustTable* table =
        farm.turbine_tables.empty() ? nullptr : &farm.turbine_tables.front();
    // Per-turbine constants sorted per case carry their own gradient back to
    // the farm's layout-order ones.
    const bool per_case = farm.turbines_in_layout_order;
    // The recovery reads the transverse field the flow field held before.
    std::vector<at::Tensor> inputs{grid.x_sorted,
                                   grid.y_sorted,
                                   grid.z_sorted,
                                   ff.u_initial_sorted,
                                   farm.yaw_angles_sorted,
                                   farm.tilt_angles_sorted,
                                   ff.turbulence_intensities,
                                   per_case ? farm.rotor_diameters_sorted : farm.rotor_diameters,
                                   per_case ? farm.hub_heights_sorted : farm.hub_heights,
                                   table ? table->wind_speed : at::Tensor(),
                                   table ? table->thrust_coefficient : at::Tensor(),
                                   recovery ? ff.v_sorted : at::Tensor(),
                                   recovery ? ff.w_sorted : at::Tensor()};
    for (size_t k = 1; k < farm.turbine_tables.size(); ++k) {
        inputs.push_back(farm.turbine_tables[k].wind_speed);
        inputs.push_back(farm.turbine_tables[k].thrust_coefficient);
    }
    return inputs;
}

// The edge of table k's wind speeds (its thrust coefficients follow).
int table_edge(size_t k) { return k == 0 ? kWs : kEdges + 2 * static_cast<int>(k - 1); }

// ---------------------------------------------------------------------------
// The node.

class FusedSequentialBackward final : public torch::autograd::Node {
public:
    FusedSequentialBackward(Inputs&& in, SavedTransverse&& saved,
                            const std::vector<at::Tensor>& like)
        : in_(std::make_unique<Inputs>(std::move(in))), saved_(std::move(saved)),
          sizes_(like.size()), dtypes_(like.size()) {
        for (size_t k = 0; k < like.size(); ++k) {
            if (like[k].defined()) {
                sizes_[k] = like[k].sizes().vec();
                dtypes_[k] = like[k].scalar_type();
            }
        }
    }
    std::string name() const override { return "FusedSequentialBackward"; }
    void release_variables() override {
        in_.reset();
        saved_ = SavedTransverse();
    }

protected:
    torch::autograd::variable_list apply(torch::autograd::variable_list&& grads) override;

private:
    std::unique_ptr<Inputs> in_;
    SavedTransverse saved_;
    std::vector<std::vector<int64_t>> sizes_;
    std::vector<at::ScalarType> dtypes_;
};

torch::autograd::variable_list FusedSequentialBackward::apply(torch::autograd::variable_list&& grads) {
    TORCH_CHECK(!at::GradMode::is_enabled(),
                "sorbane_cpp: the sequential solver's fused backward is once differentiable; "
                "second derivatives (create_graph=True) are not available");
    TORCH_CHECK(in_ != nullptr,
                "sorbane_cpp: the sequential solve's backward ran already and its saved inputs "
                "are freed; pass retain_graph=True to the first backward to run it twice");
    const Inputs& in = *in_;
    const int64_t F = in.F, T = in.T, NN = in.NN, n = T * NN;
    const at::TensorOptions opts = in.u0.options();
    const auto working = [](const at::Tensor& g) {
        return g.defined() ? g.to(kWorkingDtype).contiguous() : at::Tensor();
    };
    const at::Tensor grad_u = working(grads[0]);
    const at::Tensor grad_ti = working(grads[1]);
    const at::Tensor grad_v = in.transverse ? working(grads[2]) : at::Tensor();
    const at::Tensor grad_w = in.transverse ? working(grads[3]) : at::Tensor();

    at::Tensor gx = at::zeros({F, T, in.N, in.N}, opts), gy = at::zeros_like(gx),
               gz = at::zeros_like(gx), gu0 = at::zeros_like(gx);
    at::Tensor gyaw = at::zeros({F, T}, opts), gtilt = at::zeros_like(gyaw),
               grd = at::zeros_like(gyaw), ghh = at::zeros_like(gyaw);
    // Per table: (F, n), summed over the cases at the end.
    std::vector<at::Tensor> gws, gct;
    for (const ThrustTable& t : in.tables) {
        gws.push_back(at::zeros({F, t.n}, opts));
        gct.push_back(at::zeros({F, t.n}, opts));
    }
    at::Tensor gamb = at::zeros({F}, opts);
    at::Tensor gv_in = in.recovery ? at::zeros_like(gx) : at::Tensor();
    at::Tensor gw_in = in.recovery ? at::zeros_like(gx) : at::Tensor();

    std::atomic<bool> ok{true};
    parallel_cases(F, [&](int64_t begin, int64_t end) {
        SequentialBuffers b;
        b.w.reserve(T, NN);
        SequentialTape tape;
        ReverseWork rw;
        std::vector<R> u_out(n), ti_out(n);
        for (int64_t f = begin; f < end; ++f) {
            // The replay repeats the forward's every operation on the same
            // inputs, but for the vortices, whose decisions it reads back.
            const TransverseRecord rec = saved_.of_case(in, f, /*replay=*/true);
            if (!sequential_case(in, f, b, u_out.data(), ti_out.data(), nullptr, nullptr, &tape,
                                 &rec)) {
                ok.store(false);
                return;
            }
            CaseGrads out{gx.data_ptr<R>() + f * n,      gy.data_ptr<R>() + f * n,
                          gz.data_ptr<R>() + f * n,      gu0.data_ptr<R>() + f * n,
                          in.recovery ? gv_in.data_ptr<R>() + f * n : nullptr,
                          in.recovery ? gw_in.data_ptr<R>() + f * n : nullptr,
                          gyaw.data_ptr<R>() + f * T,    gtilt.data_ptr<R>() + f * T,
                          grd.data_ptr<R>() + f * T,     ghh.data_ptr<R>() + f * T,
                          {},                            {},
                          gamb.data_ptr<R>() + f};
            for (size_t k = 0; k < in.tables.size(); ++k) {
                out.ws.push_back(gws[k].data_ptr<R>() + f * in.tables[k].n);
                out.ct.push_back(gct[k].data_ptr<R>() + f * in.tables[k].n);
            }
            const auto case_slice = [&](const at::Tensor& g) {
                return g.defined() ? g.data_ptr<R>() + f * n : nullptr;
            };
            const CaseOutputGrads grad_out{case_slice(grad_u), case_slice(grad_ti),
                                           case_slice(grad_v), case_slice(grad_w)};
            reverse_case(in, b, tape, grad_out, rec, rw, out);
        }
    });
    TORCH_CHECK(ok.load(), "sorbane_cpp: the fused sequential solve could not be replayed for its "
                           "backward (were its inputs modified in place?)");

    torch::autograd::variable_list result(sizes_.size());
    const auto give = [&](int k, const at::Tensor& g) {
        if (task_should_compute_output(k)) result[k] = g.to(dtypes_[k]);
    };
    const auto per_turbine = [&](const at::Tensor& g, int k) {
        at::Tensor full = at::zeros(sizes_[k], opts);
        full.slice(0, 0, T).copy_(g.sum(0));
        return full;
    };
    give(kX, gx);
    give(kY, gy);
    give(kZ, gz);
    give(kU0, gu0);
    give(kYaw, gyaw);
    give(kTilt, gtilt);
    give(kTi, gamb);
    if (task_should_compute_output(kRd)) give(kRd, in.per_case ? grd : per_turbine(grd, kRd));
    if (task_should_compute_output(kHh)) give(kHh, in.per_case ? ghh : per_turbine(ghh, kHh));
    for (size_t k = 0; k < in.tables.size(); ++k) {
        give(table_edge(k), gws[k].sum(0));
        give(table_edge(k) + 1, gct[k].sum(0));
    }
    if (in.recovery) {
        give(kVin, gv_in);
        give(kWin, gw_in);
    }
    return result;
}

bool requires_grad(const at::Tensor& t) { return t.defined() && t.requires_grad(); }

}  // namespace

SequentialGradient sequential_gradient(const Farm& farm, const FlowField& ff,
                                       const TurbineGrid& grid, const ModelConfig& cfg) {
    if (!at::GradMode::is_enabled()) return SequentialGradient::kNone;
    const bool recovery = cfg.enable_transverse_velocities && cfg.enable_yaw_added_recovery;
    bool any = false;
    for (const at::Tensor& t : differentiable_inputs(farm, ff, grid, recovery))
        any = any || requires_grad(t);
    if (!any) return SequentialGradient::kNone;
    if (!fused_backward_enabled()) return SequentialGradient::kUncovered;
    return SequentialGradient::kRecorded;
}

void attach_sequential_backward(const Farm& farm, const FlowField& ff, const TurbineGrid& grid,
                                Inputs&& in, SavedTransverse&& saved, const Outputs& result) {
    const std::vector<at::Tensor> inputs = differentiable_inputs(farm, ff, grid, in.recovery);
    // The node keeps its own handles, cut from the inputs' graphs.
    for (at::Tensor* t : {&in.x, &in.y, &in.z, &in.u0, &in.v_in, &in.w_in, &in.yaw, &in.tilt,
                          &in.rd, &in.hh, &in.ti_amb, &in.xbar, &in.ybar, &in.u0bar, &in.u_inf}) {
        if (t->defined()) *t = t->detach();
    }
    for (ThrustTable& table : in.tables) {
        table.ws = table.ws.detach();
        table.ct = table.ct.detach();
    }
    auto node = c10::make_intrusive<FusedSequentialBackward>(std::move(in), std::move(saved), inputs);
    node->set_next_edges(torch::autograd::collect_next_edges(inputs));
    torch::autograd::set_history(result.u, node);
    torch::autograd::set_history(result.ti, node);
    if (result.v.defined()) {
        torch::autograd::set_history(result.v, node);
        torch::autograd::set_history(result.w, node);
    }
}

}  // namespace sorbane::fused
