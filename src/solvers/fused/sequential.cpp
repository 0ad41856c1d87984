// The sequential solver's downstream pass, fused: one flow case at a time, its
// T x N x N working field in cache, cases in parallel. A source's wake is
// evaluated only at the receivers it can change: those its downstream mask
// keeps (rotor-mean x more than 0.1 beyond its own) whose deficit can reach
// the last place of their combined deficit. The others keep their combined
// deficit and turbulence, but for the floors that the first visit gives every
// turbine, which the pass applies to them directly.
#include "fused/solve.h"
#include "fused/inputs.h"
#include "fused/kernels.h"
#include "fused/sequential.h"

#include <ATen/ATen.h>

#include <atomic>
#include <cmath>
#include <vector>

namespace sorbane::fused {

void SequentialTape::clear(int64_t T, int64_t NN) {
    u_raw.resize(T * NN);
    ti_before.resize(T * T);
    first.assign(1, 0);
    receiver.clear();
    count.clear();
    a_before.clear();
}

void SavedTransverse::allocate(const Inputs& in) {
    const at::TensorOptions opts = in.u0.options();
    if (in.steering) {
        yaw_eff = at::empty({in.F, in.T}, opts);
        v_steer = at::empty({in.F, in.T, in.N, in.N}, opts);
    }
    if (in.recovery) {
        ti_recovered = at::empty({in.F, in.T}, opts);
        v_mix = at::empty({in.F, in.T, in.N, in.N}, opts);
        w_mix = at::empty({in.F, in.T, in.N, in.N}, opts);
    }
}

TransverseRecord SavedTransverse::of_case(const Inputs& in, int64_t f, bool replay) const {
    const int64_t n = in.T * in.NN;
    const auto at = [&](const at::Tensor& t, int64_t size) {
        return t.defined() ? t.data_ptr<R>() + f * size : nullptr;
    };
    TransverseRecord rec;
    rec.yaw_eff = at(yaw_eff, in.T);
    rec.v_steer = at(v_steer, n);
    rec.ti_recovered = at(ti_recovered, in.T);
    rec.v_mix = at(v_mix, n);
    rec.w_mix = at(w_mix, n);
    rec.replay = replay;
    return rec;
}

bool sequential_case(const Inputs& in, int64_t f, SequentialBuffers& b, R* u_out, R* ti_out,
                     R* v_out, R* w_out, SequentialTape* tape, const TransverseRecord* rec) {
    CaseData& cd = b.cd;
    Work& w = b.w;
    if (!cd.load(in, f)) return false;
    const int64_t T = in.T, NN = in.NN, S = cd.S;
    std::vector<R>& A = b.A;
    std::vector<R>& TI = b.TI;
    A.assign(S * NN, R(0));
    b.A_min.assign(T + kPad, R(0));  // read in whole vectors
    TI.assign(T, cd.amb);
    // Steering reads V, which stays zero without transverse velocities. A
    // replay takes what the vortices decided from the record instead.
    const bool replay = rec && rec->replay;
    if ((in.transverse || in.steering) && !replay) {
        b.V.assign(S * NN, R(0));
        b.W.assign(S * NN, R(0));
    }
    R* V = b.V.data();
    R* W = b.W.data();

    // What a receiver the wake does not reach keeps: the combination's floor
    // (A starts at 0) and the ambient turbulence through the turbulence floor.
    const R a_floor = root_sum_combine(R(0), R(0)).combined;
    const R ti_floor = turbulence_with_wake(R(0), cd.amb_sq).ti;
    R* u = w.u_i.data();
    if (tape) tape->clear(T, NN);

    for (int64_t i = 0; i < T; ++i) {
        // The field as waked by the turbines visited before: the freestream
        // copy before the first visit, max(u0 - A, 1e-6) after each.
        for (int64_t p = 0; p < NN; ++p) {
            const int64_t k = p * S + i;
            const R raw = i == 0 ? cd.U0[k] : cd.U0[k] - A[k];
            u[p] = i == 0 ? raw : clamp_min(raw, lit(1e-6));
            if (tape) tape->u_raw[i * NN + p] = raw;
        }
        if (tape) std::copy_n(TI.begin(), T, tape->ti_before.begin() + i * T);
        const OperatingPoint op =
            operating_point(cd.table(i), solver_rotor_speed(u, 1, NN), cd.yaw[i], cd.tilt[i]);
        Source src(in, cd, i, op);

        const R ti_i = TI[i];
        R yaw_eff = cd.yaw[i];
        if (in.steering && replay) {
            yaw_eff = rec->yaw_eff[i];
        } else if (in.steering) {
            yaw_eff = cd.yaw[i] + added_yaw(in, cd, i, u, V + i, op.ct, op.a);
            if (rec) {
                rec->yaw_eff[i] = yaw_eff;
                for (int64_t p = 0; p < NN; ++p) rec->v_steer[i * NN + p] = V[p * S + i];
            }
        }
        bool ok = src.set_deflection(in, yaw_eff, ti_i);
        if (in.recovery && replay) {
            TI[i] = rec->ti_recovered[i];
        } else if (in.transverse && !replay) {
            int64_t tlo, thi;
            transverse(in, cd, src, cd.yaw[i], u, V, W, w, tlo, thi);
            // The turbine's own vortices are in V and W already.
            if (in.recovery) TI[i] = ti_i + mixing(cd, i, u, ti_i, V + i, W + i) * R(2);
            if (rec && in.recovery) {
                rec->ti_recovered[i] = TI[i];
                for (int64_t p = 0; p < NN; ++p) {
                    rec->v_mix[i * NN + p] = V[p * S + i];
                    rec->w_mix[i * NN + p] = W[p * S + i];
                }
            }
        }
        ok = ok && src.set_deficit(in, cd.yaw[i], TI[i]) && src.turbulence_bounded(in, cd);
        if (!ok) return false;

        int64_t lo = 0, hi = 0, K = 0;
        if (deficit_span(cd, src, w, lo, hi)) {
            deficit_pairs(in, cd, src, lo, hi, w);
            K = deficit_points(in, cd, src, lo, hi, w, A.data(), b.A_min.data(), /*root_sum=*/true,
                               tape ? &tape->a_before : nullptr);
            if (tape) {
                for (int64_t k = 0; k < K; ++k) {
                    tape->receiver.push_back(w.packed.receiver[k]);
                    tape->count.push_back(w.packed.count[k]);
                }
            }
            for (int64_t k = 0; k < K; ++k) {
                const int64_t r = w.packed.receiver[k];
                const R c = src.added_turbulence(in, cd, r, w.packed.count[k]);
                const R t = turbulence_with_wake(c, cd.amb_sq).ti;
                TI[r] = TI[r] < t ? t : TI[r];
            }
        }
        // Every receiver the wake left unchanged takes the floors once.
        if (i == 0) {
            b.worked.assign(T, 0);
            for (int64_t k = 0; k < K; ++k) b.worked[w.packed.receiver[k]] = 1;
            for (int64_t r = 0; r < T; ++r) {
                if (b.worked[r]) continue;
                for (int64_t p = 0; p < NN; ++p) A[p * S + r] = a_floor;
                b.A_min[r] = a_floor;
                TI[r] = TI[r] < ti_floor ? ti_floor : TI[r];
            }
        }
        // The recovery may have moved turbine i's own value; it is never its
        // own receiver, so the visit floors it.
        TI[i] = TI[i] < ti_floor ? ti_floor : TI[i];
        if (tape) tape->first.push_back(static_cast<int64_t>(tape->receiver.size()));
    }

    const int64_t n = T * NN;
    for (int64_t r = 0; r < T; ++r) {
        for (int64_t p = 0; p < NN; ++p) {
            u_out[r * NN + p] = clamp_min(cd.U0[p * S + r] - A[p * S + r], lit(1e-6));
            ti_out[r * NN + p] = TI[r];
        }
    }
    bool finite = all_finite(u_out, n) && all_finite(ti_out, n);
    if (in.transverse && !replay) {
        rotor_major(V, S, T, NN, v_out);
        rotor_major(W, S, T, NN, w_out);
        finite = finite && all_finite(v_out, n) && all_finite(w_out, n);
    }
    return finite;
}

}  // namespace sorbane::fused

namespace sorbane {

using namespace fused;

bool try_fused_sequential(Farm& farm, FlowField& ff, TurbineGrid& grid, const ModelConfig& cfg) {
    const SequentialGradient grad = sequential_gradient(farm, ff, grid, cfg);
    if (grad == SequentialGradient::kUncovered) return false;
    // The fused loops record nothing; with a gradient the node attached below
    // stands for the whole solve.
    at::NoGradGuard no_grad;
    Inputs in;
    if (!gather_inputs(farm, ff, grid, cfg, in)) return false;
    const int64_t F = in.F, T = in.T;
    const Outputs result(in);
    const at::Tensor &u = result.u, &ti = result.ti, &v = result.v, &w = result.w;
    R* pv = in.transverse ? v.data_ptr<R>() : nullptr;
    R* pw = in.transverse ? w.data_ptr<R>() : nullptr;
    // With a gradient, what the vortices decided is kept for the backward.
    SavedTransverse saved;
    if (grad == SequentialGradient::kRecorded) saved.allocate(in);

    std::atomic<bool> ok{true};
    parallel_cases(F, [&](int64_t begin, int64_t end) {
        SequentialBuffers b;
        b.w.reserve(T, in.NN);
        for (int64_t f = begin; f < end && ok.load(std::memory_order_relaxed); ++f) {
            const int64_t n = T * in.NN;
            const TransverseRecord rec = saved.of_case(in, f, /*replay=*/false);
            if (!sequential_case(in, f, b, u.data_ptr<R>() + f * n, ti.data_ptr<R>() + f * n,
                                 pv ? pv + f * n : nullptr, pw ? pw + f * n : nullptr, nullptr,
                                 saved.empty() ? nullptr : &rec)) {
                ok.store(false, std::memory_order_relaxed);
            }
        }
    });
    if (!ok.load()) return false;

    if (grad == SequentialGradient::kRecorded)
        attach_sequential_backward(farm, ff, grid, std::move(in), std::move(saved), result);
    result.publish(ff);
    return true;
}

}  // namespace sorbane
