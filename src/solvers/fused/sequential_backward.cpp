// The reverse pass of the sequential solver's fused downstream pass: the
// gradients of a loss of u_sorted and turbulence_intensity_field_sorted with
// respect to every input the op-by-op path differentiates, equal to what the
// tensor library's autograd gives on that path.
//
// One flow case at a time, cases in parallel, as in the forward. The case is
// replayed with a tape (the rotor field each source read, the turbulence
// before each wake, the receivers each wake changed with their combined
// deficit before it); then the sources are walked in reverse order. The
// kernels' adjoints sit beside their forward twins, one family a file in
// src/solvers/fused; each answers a line of the kernel it mirrors (gauss_deflection,
// gauss_velocity_deficit, crespo_hernandez_ti, interp1d, wake_added_yaw,
// gauss_transverse_velocities, yaw_added_turbulence_mixing and the solver's
// operating point, superposition and maxima), with the tensor library's
// one-sided choices: a clamp passes the gradient where its bound is reached,
// a maximum splits it evenly on a tie, abs has slope 0 at 0. Pairs that the
// forward leaves out (masked, or below the last place of the combined deficit)
// are left out here too: their gradients are zero or below the last place.
//
// Every switch is covered: secondary steering (the added yaw reads the
// spanwise flow that earlier sources' vortices laid on the rotor, so its
// gradient flows back to them through the accumulated V), transverse
// velocities (v_sorted and w_sorted carry the node too) and the recovery
// (which also reads the transverse field the flow field held before).
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

struct ReverseWork {
    PackedReceivers packed;
    TransverseLanes lanes;
    // Point-major (p * S + r), as the case's fields: the accumulated
    // transverse velocities and the points' y, z and freestream speed.
    std::vector<R> grad_V, grad_W, grad_Y, grad_Z, grad_U0;
    // NN values on one rotor: the transverse velocities its recovery or its
    // added yaw read, and its points' y and z as the added yaw saw them.
    std::vector<R> grad_v_read, grad_w_read, grad_y_rotor, grad_z_rotor;
    std::vector<R> grad_A;      // r * NN + p: the combined deficit
    std::vector<R> grad_TI;     // per turbine
    std::vector<R> grad_xbar, grad_ybar;
    std::vector<R> u, grad_u;   // the source's rotor velocities and their gradients
    std::vector<int64_t> entry; // the tape entry of each receiver of the current source, or -1
};

struct CaseGrads {
    R *x, *y, *z, *u0;  // (T, NN)
    R *v_in, *w_in;     // (T, NN), recovery only
    R *yaw, *tilt, *rd, *hh;
    R *ws, *ct;         // (n_table)
    R* amb;
};

void reverse_case(const Inputs& in, const CaseData& cd, const SequentialTape& tape,
                  const std::vector<R>& A, const std::vector<R>& TI, const R* grad_u_out,
                  const R* grad_ti_out, const R* grad_v_out, const R* grad_w_out,
                  const TransverseRecord& rec, ReverseWork& rw, const CaseGrads& out) {
    const int64_t T = in.T, NN = in.NN, S = cd.S;
    const R* rd = in.rd.data_ptr<R>();
    const R* hh = in.hh.data_ptr<R>();
    rw.grad_A.assign(T * NN, R(0));
    rw.grad_TI.assign(T, R(0));
    rw.grad_xbar.assign(T, R(0));
    rw.grad_ybar.assign(T, R(0));
    rw.u.resize(NN);
    rw.grad_u.resize(NN);
    rw.entry.assign(T, -1);
    R grad_amb = 0, grad_u_inf = 0;
    const bool transverse = in.transverse, steering = in.steering, recovery = in.recovery;
    if (transverse || steering) {
        for (auto* v : {&rw.grad_V, &rw.grad_W, &rw.grad_Y, &rw.grad_Z, &rw.grad_U0})
            v->assign(S * NN, R(0));
        for (auto* v : {&rw.grad_v_read, &rw.grad_w_read, &rw.grad_y_rotor, &rw.grad_z_rotor})
            v->resize(NN);
    }
    // The transverse fields are their running sums.
    for (int64_t r = 0; r < T && transverse; ++r) {
        for (int64_t p = 0; p < NN; ++p) {
            if (grad_v_out) rw.grad_V[p * S + r] = grad_v_out[r * NN + p];
            if (grad_w_out) rw.grad_W[p * S + r] = grad_w_out[r * NN + p];
        }
    }

    // u = max(u0 - A, 1e-6) and the turbulence laid on every point.
    for (int64_t r = 0; r < T; ++r) {
        for (int64_t p = 0; p < NN; ++p) {
            const int64_t k = r * NN + p;
            if (grad_u_out) {
                const R g = grad_u_out[k];
                if (cd.U0[p * S + r] - A[p * S + r] >= lit(1e-6)) {
                    out.u0[k] += g;
                    rw.grad_A[k] -= g;
                }
            }
            if (grad_ti_out) rw.grad_TI[r] += grad_ti_out[k];
        }
    }

    for (int64_t i = T - 1; i >= 0; --i) {
        const int64_t e0 = tape.first[i], e1 = tape.first[i + 1];
        const R* u_raw = tape.u_raw.data() + i * NN;
        R* u = rw.u.data();
        for (int64_t p = 0; p < NN; ++p) u[p] = i == 0 ? u_raw[p] : clamp_min(u_raw[p], lit(1e-6));
        const R yaw = cd.yaw[i], tilt = cd.tilt[i];
        const OperatingPointTape op = operating_point_forward(in, u, NN, yaw, tilt);
        const R x = cd.xbar[i], y = cd.ybar[i], D = rd[i], H = hh[i];
        // The deflection sees the steered yaw and the turbulence before the
        // recovery, the deficit the raw yaw and the turbulence after it.
        const R ti = tape.ti_before[i * T + i];
        const R ti_after = recovery ? rec.ti_recovered[i] : ti;
        const R yaw_eff = steering ? rec.yaw_eff[i] : yaw;
        R grad_ct = 0, grad_a = 0, grad_yaw = 0, grad_tilt = 0, grad_ti = 0, grad_D = 0,
          grad_H = 0, grad_x = 0, grad_y = 0, grad_yaw_eff = 0, grad_ti_after = 0;

        // Turbulence: the wake's added turbulence and the maximum at every receiver.
        for (int64_t e = e0; e < e1; ++e) rw.entry[tape.receiver[e]] = e;
        TurbulenceGrads tg_ti;
        added_turbulence_backward(in, cd, i, x, y, D, op.a, tape.ti_before.data() + i * T, ti_after,
                                  rw.entry.data(), tape.count.data(), rw.grad_TI.data(),
                                  rw.grad_xbar.data(), tg_ti);
        grad_a += tg_ti.a;
        grad_amb += tg_ti.amb;
        grad_D += tg_ti.D;
        grad_x += tg_ti.x;
        for (int64_t e = e0; e < e1; ++e) rw.entry[tape.receiver[e]] = -1;

        // The combined deficit at the receivers the wake changed:
        // A = sqrt(max(A^2 + D^2, 1e-20)).
        if (e1 > e0) {
            const DeflectionSource ds = deflection_forward(in, x, op.ct, yaw_eff, ti, D);
            const DeficitSource vs = deficit_forward(in, x, op.ct, yaw, ti_after, D);
            DeflectionSourceGrad g_defl;
            DeficitSourceGrad g_def;
            const int64_t K = e1 - e0;
            PackedReceivers& pk = rw.packed;
            pk.resize(K, NN);
            const int64_t Kp = pk.Kp;
            for (int64_t k = 0; k < K; ++k) {
                const int64_t e = e0 + k, r = tape.receiver[e];
                pk.yc[k] = y + deflection_at(in, ds, x, cd.xbar[r]);
                const DeficitReceiver& d = pk.receiver[k] = deficit_receiver(in, vs, x, cd.X[r]);
                pk.s2y[k] = d.s2y;
                pk.s2z[k] = d.s2z;
                pk.amp[k] = d.amp;
                pk.gate[k] = d.gate;
                pk.slope_amp[k] = d.slope_amp;
                pk.slope_gate[k] = d.slope_gate;
                pk.slope_s2y[k] = d.slope_s2y;
                pk.slope_s2z[k] = d.slope_s2z;
                for (int64_t p = 0; p < NN; ++p) {
                    const int64_t j = p * S + r, q = p * Kp + k;
                    pk.Y[q] = cd.Y[j];
                    pk.Z[q] = cd.Z[j];
                    pk.U0[q] = cd.U0[j];
                    pk.a_before[q] = tape.a_before[e * NN + p];
                    pk.grad_A[q] = rw.grad_A[r * NN + p];
                }
            }
            // Spare lanes: the gradient 0, every value finite.
            for (int64_t p = 0; p < NN; ++p) {
                for (int64_t k = K; k < Kp; ++k) pk.grad_A[p * Kp + k] = R(0);
            }
            deficit_points_backward(NN, H, pk);
            for (int64_t k = 0; k < K; ++k) {
                const int64_t r = tape.receiver[e0 + k];
                for (int64_t p = 0; p < NN; ++p) {
                    const int64_t q = p * Kp + k, j = r * NN + p;
                    rw.grad_A[j] = pk.grad_A[q];
                    out.u0[j] += pk.grad_u0[q];
                    out.x[j] += pk.grad_x[q];
                    out.y[j] += pk.grad_y[q];
                    out.z[j] += pk.grad_z[q];
                }
                grad_H += pk.sum_H[k];
                deficit_receiver_backward(vs, pk.receiver[k], pk.sum_amp[k], pk.sum_gate[k],
                                          pk.sum_s2y[k], pk.sum_s2z[k], g_def, grad_x, in);
                // yc = y + deflection
                grad_y += pk.sum_yc[k];
                R grad_X = 0;
                deflection_backward(in, ds, x, cd.xbar[r], pk.sum_yc[k], g_defl, grad_x, grad_X);
                rw.grad_xbar[r] += grad_X;
            }
            deflection_source_backward(in, ds, x, op.ct, D, g_defl, grad_x, grad_ct, grad_yaw_eff,
                                       grad_ti, grad_D);
            deficit_source_backward(in, vs, op.ct, yaw, D, g_def, grad_x, grad_ct, grad_yaw,
                                    grad_ti_after, grad_D);
        }

        // The recovery: TI_i = ti + 2 mix(u, ti, v, w), read after the
        // turbine's own vortices, then the maximum above.
        grad_ti_after += rw.grad_TI[i];
        rw.grad_TI[i] = 0;
        grad_ti += grad_ti_after;
        std::fill(rw.grad_u.begin(), rw.grad_u.end(), R(0));
        if (recovery) {
            std::fill(rw.grad_v_read.begin(), rw.grad_v_read.end(), R(0));
            std::fill(rw.grad_w_read.begin(), rw.grad_w_read.end(), R(0));
            mixing_backward(cd, i, u, ti, rec.v_mix + i * NN,
                            rec.w_mix + i * NN, grad_ti_after * R(2), rw.grad_u.data(),
                            grad_ti, rw.grad_v_read.data(), rw.grad_w_read.data());
            for (int64_t p = 0; p < NN; ++p) {
                out.v_in[i * NN + p] += rw.grad_v_read[p];
                out.w_in[i * NN + p] += rw.grad_w_read[p];
                rw.grad_V[p * S + i] += rw.grad_v_read[p];
                rw.grad_W[p * S + i] += rw.grad_w_read[p];
            }
        }
        if (transverse) {
            TransverseGrads tg;
            transverse_backward(in, cd, x, y, H, D, op.ct, op.a, yaw, u, rw.grad_V.data(),
                                rw.grad_W.data(), rw.grad_Y.data(), rw.grad_Z.data(),
                                rw.grad_U0.data(), rw.grad_xbar.data(), rw.grad_u.data(),
                                rw.lanes, tg);
            grad_x += tg.x;
            grad_y += tg.y;
            grad_H += tg.H;
            grad_D += tg.D;
            grad_ct += tg.ct;
            grad_a += tg.a;
            grad_yaw += tg.yaw;
            grad_u_inf += tg.u_inf;
        }
        // Secondary steering: yaw_eff = yaw + wake_added_yaw(u, v, ...), v
        // the spanwise flow on the rotor before the turbine's own vortices.
        grad_yaw += grad_yaw_eff;
        if (steering && grad_yaw_eff != R(0)) {
            for (auto* v : {&rw.grad_v_read, &rw.grad_y_rotor, &rw.grad_z_rotor})
                std::fill(v->begin(), v->end(), R(0));
            AddedYawGrads ag;
            added_yaw_backward(in, cd, i, u, rec.v_steer + i * NN, op.ct, op.a,
                               grad_yaw_eff, rw.grad_u.data(), rw.grad_v_read.data(),
                               rw.grad_y_rotor.data(), rw.grad_z_rotor.data(), ag);
            for (int64_t p = 0; p < NN; ++p) {
                rw.grad_V[p * S + i] += rw.grad_v_read[p];
                rw.grad_Y[p * S + i] += rw.grad_y_rotor[p];
                rw.grad_Z[p * S + i] += rw.grad_z_rotor[p];
                out.u0[i * NN + p] += ag.u_inf / static_cast<R>(NN);
            }
            grad_ct += ag.ct;
            grad_a += ag.a;
            grad_y += ag.ybar;
        }

        // The operating point from the rotor velocities the source read.
        operating_point_backward(in, op, u, NN, yaw, tilt, grad_ct, grad_a,
                                 rw.grad_u.data(), grad_yaw, grad_tilt, out.ws, out.ct);
        for (int64_t p = 0; p < NN; ++p) {
            const R g = rw.grad_u[p];
            const int64_t k = i * NN + p;
            if (i == 0) {
                out.u0[k] += g;
            } else if (u_raw[p] >= lit(1e-6)) {
                out.u0[k] += g;
                rw.grad_A[k] -= g;
            }
        }
        rw.grad_TI[i] += grad_ti;
        out.yaw[i] += grad_yaw;
        out.tilt[i] += grad_tilt;
        out.rd[i] += grad_D;
        out.hh[i] += grad_H;
        rw.grad_xbar[i] += grad_x;
        rw.grad_ybar[i] += grad_y;
    }

    // The ambient turbulence every turbine starts from, and the rotor means.
    for (int64_t r = 0; r < T; ++r) grad_amb += rw.grad_TI[r];
    *out.amb += grad_amb;
    if (transverse || steering) {
        // The case's mean freestream speed scales the circulations and the decay.
        const R per_point = grad_u_inf / static_cast<R>(T * NN);
        for (int64_t r = 0; r < T; ++r) {
            for (int64_t p = 0; p < NN; ++p) {
                const int64_t j = p * S + r, k = r * NN + p;
                out.y[k] += rw.grad_Y[j];
                out.z[k] += rw.grad_Z[j];
                out.u0[k] += rw.grad_U0[j] + per_point;
            }
        }
    }
    for (int64_t r = 0; r < T; ++r) {
        const R gx = rw.grad_xbar[r] / static_cast<R>(NN);
        const R gy = rw.grad_ybar[r] / static_cast<R>(NN);
        for (int64_t p = 0; p < NN; ++p) {
            out.x[r * NN + p] += gx;
            out.y[r * NN + p] += gy;
        }
    }
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
            reverse_case(in, b.cd, tape, b.A, b.TI,
                         grad_u.defined() ? grad_u.data_ptr<R>() + f * n : nullptr,
                         grad_ti.defined() ? grad_ti.data_ptr<R>() + f * n : nullptr,
                         grad_v.defined() ? grad_v.data_ptr<R>() + f * n : nullptr,
                         grad_w.defined() ? grad_w.data_ptr<R>() + f * n : nullptr, rec, rw, out);
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
