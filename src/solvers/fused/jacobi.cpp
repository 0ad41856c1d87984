// The Jacobi solver's sweeps, fused. The convergence test takes the largest
// change over all flow cases, so all cases sweep in step; within a sweep each
// case is worked in cache and the cases run in parallel. Sources are taken in
// the solver's chunks, their deficits and transverse velocities summed per
// chunk, in source order, before they join the sweep's sums, as the chunked
// tensors are (the tensor library groups a sum over more than 16 sources
// differently: a last-place difference). A case whose sweep reproduced its
// previous state bit for bit is at its fixed point and is not swept again.
//
// Each turbine reads the transverse flow and turbulence the sequential pass
// gives it at its visit: steering the spanwise flow of the sources before it
// (taken from the running sum just before its own vortices join it), the
// recovery that of the sources up to itself (just after), the deflection its
// turbulence before its own mixing. So on a farm the sweeps settle on the
// sequential pass, and a settled solve takes the sequential reverse pass.
#include "fused/solve.h"
#include "fused/inputs.h"
#include "fused/kernels.h"
#include "fused/sequential.h"

#include <ATen/ATen.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

namespace sorbane {

namespace {

using namespace fused;

// Two copies of each state, point-major per case (rows of S = T + kPad): the
// previous sweep's and the one being built. V_before: on each rotor, the
// spanwise flow of the sources before it; TI_unmixed: the turbulence before
// the turbine's own recovery mixing.
struct State {
    std::vector<R> U[2], V[2], W[2], TI[2], V_before[2], TI_unmixed[2];
};

struct Buffers {
    CaseData cd;
    Work w;
    std::vector<OperatingPoint> op;
    std::vector<R> S, M, P, Pv, Pw;
    std::vector<R> V_upto, W_upto;  // on each rotor, the flow of the sources up to it
};

// The running sum of a transverse field on rotor i: what the flushed chunks
// left plus the current chunk's partial sums.
void rotor_sum(int64_t S, int64_t NN, int64_t i, const R* acc, const R* part, R* out) {
    for (int64_t p = 0; p < NN; ++p) {
        const int64_t k = p * S + i;
        out[k] = part ? acc[k] + part[k] : acc[k];
    }
}

bool same(const R* a, const R* b, int64_t n) { return std::memcmp(a, b, n * sizeof(R)) == 0; }

// Adds the chunk's partial sums over receivers [lo, hi) into acc and clears them.
void flush(int64_t S, int64_t NN, int64_t lo, int64_t hi, R* part, R* acc) {
    for (int64_t p = 0; p < NN; ++p) {
        for (int64_t r = lo; r < hi; ++r) {
            acc[p * S + r] = acc[p * S + r] + part[p * S + r];
            part[p * S + r] = R(0);
        }
    }
}

// Whether the T real entries of each row agree bit for bit.
bool same_rows(const R* a, const R* b, int64_t S, int64_t NN, int64_t T) {
    for (int64_t p = 0; p < NN; ++p) {
        if (!same(a + p * S, b + p * S, T)) return false;
    }
    return true;
}

struct SweepResult {
    bool ok = true;
    bool fixed = false;
    R change = 0;  // largest |U_new - U_prev|; NaN propagates
};

SweepResult sweep_case(const Inputs& in, int64_t f, int64_t chunk, State& st, int prev, Buffers& b,
                       const TransverseRecord* rec) {
    SweepResult res;
    CaseData& cd = b.cd;
    Work& w = b.w;
    if (!cd.load(in, f)) {
        res.ok = false;
        return res;
    }
    const int64_t T = in.T, NN = in.NN, S = cd.S, n = S * NN;
    const int next = 1 - prev;
    const R* Up = st.U[prev].data() + f * n;
    R* Un = st.U[next].data() + f * n;
    const R* TIp = st.TI[prev].data() + f * T;
    R* TIn = st.TI[next].data() + f * T;
    const R* TIup = st.TI_unmixed[prev].data() + f * T;
    R* TIun = st.TI_unmixed[next].data() + f * T;
    // Steering reads the previous sweep's flow before each turbine, which stays
    // zero without transverse velocities.
    const R* Vbp = in.steering ? st.V_before[prev].data() + f * n : nullptr;
    R* Vbn = in.steering && in.transverse ? st.V_before[next].data() + f * n : nullptr;
    const R* Vp = in.transverse ? st.V[prev].data() + f * n : nullptr;
    const R* Wp = in.transverse ? st.W[prev].data() + f * n : nullptr;
    R* Vn = in.transverse ? st.V[next].data() + f * n : nullptr;
    R* Wn = in.transverse ? st.W[next].data() + f * n : nullptr;

    // Every operating point from the previous sweep's field.
    b.op.resize(T);
    for (int64_t i = 0; i < T; ++i) {
        b.op[i] = operating_point(cd.table(i), solver_rotor_speed(Up + i, S, NN), cd.yaw[i], cd.tilt[i]);
    }
    b.S.assign(n, R(0));
    b.M.assign(T, R(0));
    if (in.transverse) {
        std::fill(Vn, Vn + n, R(0));
        std::fill(Wn, Wn + n, R(0));
    }
    const bool partial = chunk > 1;
    if (partial) {
        b.P.assign(n, R(0));
        if (in.transverse) {
            b.Pv.assign(n, R(0));
            b.Pw.assign(n, R(0));
        }
    }
    R* S_acc = partial ? b.P.data() : b.S.data();
    R* V_acc = partial ? b.Pv.data() : Vn;
    R* W_acc = partial ? b.Pw.data() : Wn;
    const R* V_part = partial && in.transverse ? b.Pv.data() : nullptr;
    const R* W_part = partial && in.transverse ? b.Pw.data() : nullptr;
    if (in.recovery) {
        b.V_upto.resize(n);
        b.W_upto.resize(n);
    }
    R* u = w.u_i.data();

    for (int64_t c0 = 0; c0 < T; c0 += chunk) {
        const int64_t c1 = std::min(c0 + chunk, T);
        int64_t dlo = T, dhi = 0, tlo = T, thi = 0;
        for (int64_t i = c0; i < c1; ++i) {
            for (int64_t p = 0; p < NN; ++p) u[p] = Up[p * S + i];
            Source src(in, cd, i, b.op[i]);
            // Steered by the previous sweep's transverse field.
            R yaw_eff = cd.yaw[i];
            if (in.steering) {
                yaw_eff = cd.yaw[i] + added_yaw(in, cd, i, u, Vbp + i, src.ct, src.a);
                if (rec) {
                    rec->yaw_eff[i] = yaw_eff;
                    for (int64_t p = 0; p < NN; ++p) rec->v_steer[i * NN + p] = Vbp[p * S + i];
                }
            }
            if (!(src.set_deflection(in, yaw_eff, TIup[i]) && src.set_deficit(in, cd.yaw[i], TIp[i]) &&
                  src.turbulence_bounded(in, cd))) {
                res.ok = false;
                return res;
            }
            int64_t lo, hi;
            if (deficit_span(cd, src, w, lo, hi)) {
                deficit_pairs(in, cd, src, lo, hi, w);
                const int64_t K = deficit_points(in, cd, src, lo, hi, w, S_acc, nullptr, /*root_sum=*/false);
                for (int64_t k = 0; k < K; ++k) {
                    const int64_t r = w.packed.receiver[k];
                    const R c = src.added_turbulence(in, cd, r, w.packed.count[k]);
                    b.M[r] = b.M[r] < c ? c : b.M[r];
                }
                dlo = std::min(dlo, lo);
                dhi = std::max(dhi, hi);
            }
            if (in.transverse) {
                if (Vbn) rotor_sum(S, NN, i, Vn, V_part, Vbn);
                transverse(in, cd, src, cd.yaw[i], u, V_acc, W_acc, w, lo, hi);
                if (in.recovery) {
                    rotor_sum(S, NN, i, Vn, V_part, b.V_upto.data());
                    rotor_sum(S, NN, i, Wn, W_part, b.W_upto.data());
                }
                if (lo < hi) {
                    tlo = std::min(tlo, lo);
                    thi = std::max(thi, hi);
                }
            }
        }
        if (partial) {
            if (dlo < dhi) flush(S, NN, dlo, dhi, b.P.data(), b.S.data());
            if (tlo < thi) {
                flush(S, NN, tlo, thi, b.Pv.data(), Vn);
                flush(S, NN, tlo, thi, b.Pw.data(), Wn);
            }
        }
    }

    for (int64_t p = 0; p < NN; ++p) {
        for (int64_t r = 0; r < T; ++r) {
            const int64_t k = p * S + r;
            Un[k] = clamp_min(cd.U0[k] - std::sqrt(clamp_min(b.S[k], lit(1e-20))), lit(1e-6));
        }
    }
    // Recomputed from the ambient value each sweep.
    for (int64_t r = 0; r < T; ++r) {
        TIun[r] = std::sqrt(clamp_min(cd.amb_sq + b.M[r] * b.M[r], lit(1e-20)));
        TIn[r] = TIun[r];
    }
    if (in.recovery) {
        const R* Vu = b.V_upto.data();
        const R* Wu = b.W_upto.data();
        for (int64_t i = 0; i < T; ++i) {
            for (int64_t p = 0; p < NN; ++p) u[p] = Up[p * S + i];
            TIn[i] = TIun[i] + mixing(cd, i, u, TIun[i], Vu + i, Wu + i) * R(2);
            if (rec) {
                rec->ti_recovered[i] = TIn[i];
                for (int64_t p = 0; p < NN; ++p) {
                    rec->v_mix[i * NN + p] = Vu[p * S + i];
                    rec->w_mix[i * NN + p] = Wu[p * S + i];
                }
            }
        }
    }

    R change = 0;
    bool finite = all_finite(TIn, T);
    for (int64_t p = 0; p < NN; ++p) {
        for (int64_t r = 0; r < T; ++r) {
            const int64_t k = p * S + r;
            const R d = std::abs(Un[k] - Up[k]);
            change = (d > change || std::isnan(d)) && !std::isnan(change) ? d : change;
        }
        finite = finite && all_finite(Un + p * S, T) &&
                 (!in.transverse || (all_finite(Vn + p * S, T) && all_finite(Wn + p * S, T)));
    }
    res.change = change;
    res.ok = finite;
    // The next sweep would reproduce this one.
    res.fixed = same_rows(Un, Up, S, NN, T) && same(TIn, TIp, T) && same(TIun, TIup, T) &&
                (!in.transverse || (same_rows(Vn, Vp, S, NN, T) && same_rows(Wn, Wp, S, NN, T))) &&
                (!Vbn || same_rows(Vbn, Vbp, S, NN, T));
    return res;
}

// Whether every case's downstream order is the shared sorted one: only then
// is the sequential pass the sweeps' fixed point (otherwise a turbine's
// operating point there misses the wakes of turbines sorted after it).
bool in_downstream_order(const Inputs& in) {
    if (in.T < 2) return true;
    return at::ge(in.xbar.slice(1, 1), in.xbar.slice(1, 0, in.T - 1)).all().item<bool>();
}

}  // namespace

bool try_fused_jacobi(Farm& farm, FlowField& ff, TurbineGrid& grid, const ModelConfig& cfg) {
    // With no sweep the result is the freestream: nothing to gain here.
    if (cfg.jacobi_max_iters < 1) return false;
    const SequentialGradient grad = sequential_gradient(farm, ff, grid, cfg);
    if (grad == SequentialGradient::kUncovered) return false;
    // The sweeps record nothing; a settled solve is the sequential pass, whose
    // node then stands for it.
    at::NoGradGuard no_grad;
    Inputs in;
    if (!gather_inputs(farm, ff, grid, cfg, in)) return false;
    if (grad == SequentialGradient::kRecorded && !in_downstream_order(in)) return false;
    const int64_t F = in.F, T = in.T, NN = in.NN, S = T + kPad, n = S * NN;
    const int64_t chunk = std::max<int64_t>(cfg.jacobi_chunk_size, 1);

    State st;
    for (int k = 0; k < 2; ++k) {
        st.U[k].resize(F * n);
        st.TI[k].resize(F * T);
        st.TI_unmixed[k].resize(F * T);
        if (in.transverse) {
            st.V[k].assign(F * n, R(0));
            st.W[k].assign(F * n, R(0));
        }
        if (in.steering) st.V_before[k].assign(F * n, R(0));
    }
    // With a gradient, what the vortices decided in each case's latest sweep
    // is kept for the sequential reverse pass.
    SavedTransverse saved;
    if (grad == SequentialGradient::kRecorded) saved.allocate(in);
    // The first sweep starts from the freestream, no transverse flow and the
    // ambient turbulence.
    std::atomic<bool> ok{true};
    parallel_cases(F, [&](int64_t begin, int64_t end) {
        CaseData cd;
        for (int64_t f = begin; f < end; ++f) {
            if (!cd.load(in, f)) {
                ok.store(false, std::memory_order_relaxed);
                return;
            }
            std::copy(cd.U0.begin(), cd.U0.end(), st.U[0].begin() + f * n);
            std::fill(st.TI[0].begin() + f * T, st.TI[0].begin() + (f + 1) * T, cd.amb);
            std::fill(st.TI_unmixed[0].begin() + f * T, st.TI_unmixed[0].begin() + (f + 1) * T, cd.amb);
        }
    });
    if (!ok.load()) return false;

    std::vector<char> fixed(F, 0);
    std::vector<R> change(F, R(0));
    int cur = 0;  // which copy holds the latest state
    bool settled = false;
    for (int32_t sweep = 0; sweep < cfg.jacobi_max_iters; ++sweep) {
        parallel_cases(F, [&](int64_t begin, int64_t end) {
            Buffers b;
            b.w.reserve(T, NN);
            for (int64_t f = begin; f < end && ok.load(std::memory_order_relaxed); ++f) {
                if (fixed[f]) {
                    change[f] = R(0);
                    continue;
                }
                const TransverseRecord rec = saved.of_case(in, f, /*replay=*/false);
                const SweepResult res =
                    sweep_case(in, f, chunk, st, cur, b, saved.empty() ? nullptr : &rec);
                if (!res.ok) ok.store(false, std::memory_order_relaxed);
                change[f] = res.change;
                fixed[f] = res.fixed ? 1 : 0;
            }
        });
        if (!ok.load()) return false;
        cur = 1 - cur;
        R d = 0;
        for (int64_t f = 0; f < F; ++f) {
            d = (change[f] > d || std::isnan(change[f])) && !std::isnan(d) ? change[f] : d;
        }
        // Read back as a 32-bit float, as the op-by-op test does.
        const float df = static_cast<float>(d);
        settled = std::isnan(df) || df < cfg.jacobi_tol ||
                  std::all_of(fixed.begin(), fixed.end(), [](char c) { return c != 0; });
        if (!cfg.jacobi_fixed_iters && settled) break;
    }

    const Outputs result(in);
    const at::Tensor &u = result.u, &ti = result.ti, &v = result.v, &w = result.w;
    // Back to (F, T, N, N).
    parallel_cases(F, [&](int64_t begin, int64_t end) {
        for (int64_t f = begin; f < end; ++f) {
            const R* TI = st.TI[cur].data() + f * T;
            const int64_t out = f * T * NN;
            rotor_major(st.U[cur].data() + f * n, S, T, NN, u.data_ptr<R>() + out);
            R* to = ti.data_ptr<R>() + out;
            for (int64_t r = 0; r < T; ++r) std::fill_n(to + r * NN, NN, TI[r]);
            if (in.transverse) {
                rotor_major(st.V[cur].data() + f * n, S, T, NN, v.data_ptr<R>() + out);
                rotor_major(st.W[cur].data() + f * n, S, T, NN, w.data_ptr<R>() + out);
            }
        }
    });

    if (grad == SequentialGradient::kRecorded) {
        // A solve cut short by its sweep limit is not the sequential field:
        // the op-by-op path records its sweeps instead.
        if (!settled) return false;
        attach_sequential_backward(farm, ff, grid, std::move(in), std::move(saved), result);
    }
    result.publish(ff);
    return true;
}

}  // namespace sorbane
