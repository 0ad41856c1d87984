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

// The inputs the node differentiates, in the order of its edges.
enum Edge { kX, kY, kZ, kU0, kYaw, kTilt, kTi, kRd, kHh, kWs, kCt, kVin, kWin, kEdges };

std::array<at::Tensor, kEdges> differentiable_inputs(const Farm& farm, const FlowField& ff,
                                                     const TurbineGrid& grid, bool recovery) {
    const Farm::PowerThrustTable* table =
        farm.turbine_tables.empty() ? nullptr : &farm.turbine_tables.front();
    // The recovery reads the transverse field the flow field held before.
    return {grid.x_sorted,
            grid.y_sorted,
            grid.z_sorted,
            ff.u_initial_sorted,
            farm.yaw_angles_sorted,
            farm.tilt_angles_sorted,
            ff.turbulence_intensities,
            farm.rotor_diameters,
            farm.hub_heights,
            table ? table->wind_speed : at::Tensor(),
            table ? table->thrust_coefficient : at::Tensor(),
            recovery ? ff.v_sorted : at::Tensor(),
            recovery ? ff.w_sorted : at::Tensor()};
}

// ---------------------------------------------------------------------------
// The node.

class FusedSequentialBackward final : public torch::autograd::Node {
public:
    FusedSequentialBackward(Inputs&& in, SavedTransverse&& saved,
                            std::array<at::Tensor, kEdges> like)
        : in_(std::make_unique<Inputs>(std::move(in))), saved_(std::move(saved)) {
        for (int k = 0; k < kEdges; ++k) {
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
    std::array<std::vector<int64_t>, kEdges> sizes_;
    std::array<at::ScalarType, kEdges> dtypes_{};
};

torch::autograd::variable_list FusedSequentialBackward::apply(torch::autograd::variable_list&& grads) {
    TORCH_CHECK(!at::GradMode::is_enabled(),
                "sorbane_cpp: the sequential solver's fused backward is once differentiable; "
                "second derivatives (create_graph=True) are not available");
    TORCH_CHECK(in_ != nullptr,
                "sorbane_cpp: the sequential solve's backward ran already and its saved inputs "
                "are freed; pass retain_graph=True to the first backward to run it twice");
    const Inputs& in = *in_;
    const int64_t F = in.F, T = in.T, NN = in.NN, n_table = in.n_table, n = T * NN;
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
    at::Tensor gws = at::zeros({F, n_table}, opts), gct = at::zeros_like(gws);
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
            const CaseGrads out{gx.data_ptr<R>() + f * n,      gy.data_ptr<R>() + f * n,
                                gz.data_ptr<R>() + f * n,      gu0.data_ptr<R>() + f * n,
                                in.recovery ? gv_in.data_ptr<R>() + f * n : nullptr,
                                in.recovery ? gw_in.data_ptr<R>() + f * n : nullptr,
                                gyaw.data_ptr<R>() + f * T,    gtilt.data_ptr<R>() + f * T,
                                grd.data_ptr<R>() + f * T,     ghh.data_ptr<R>() + f * T,
                                gws.data_ptr<R>() + f * n_table, gct.data_ptr<R>() + f * n_table,
                                gamb.data_ptr<R>() + f};
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

    torch::autograd::variable_list result(kEdges);
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
    if (task_should_compute_output(kRd)) give(kRd, per_turbine(grd, kRd));
    if (task_should_compute_output(kHh)) give(kHh, per_turbine(ghh, kHh));
    give(kWs, gws.sum(0));
    give(kCt, gct.sum(0));
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
    const std::array<at::Tensor, kEdges> inputs = differentiable_inputs(farm, ff, grid, in.recovery);
    // The node keeps its own handles, cut from the inputs' graphs.
    for (at::Tensor* t : {&in.x, &in.y, &in.z, &in.u0, &in.v_in, &in.w_in, &in.yaw, &in.tilt,
                          &in.rd, &in.hh, &in.table_ws, &in.table_ct, &in.ti_amb, &in.xbar,
                          &in.ybar, &in.u0bar, &in.u_inf}) {
        if (t->defined()) *t = t->detach();
    }
    auto node = c10::make_intrusive<FusedSequentialBackward>(std::move(in), std::move(saved), inputs);
    node->set_next_edges(
        torch::autograd::collect_next_edges(std::vector<at::Tensor>(inputs.begin(), inputs.end())));
    torch::autograd::set_history(result.u, node);
    torch::autograd::set_history(result.ti, node);
    if (result.v.defined()) {
        torch::autograd::set_history(result.v, node);
        torch::autograd::set_history(result.w, node);
    }
}

}  // namespace sorbane::fused
