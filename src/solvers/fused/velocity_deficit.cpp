// The velocity deficit's forward passes (fused/velocity_deficit.h): per
// source the constants, then three passes over the receivers: widths and a
// bound of the deficit per receiver, amplitudes per candidate, and the
// deficit at the points of the receivers it can change, combined with the
// deficit there so far.
#include "fused/kernels.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace sorbane::fused {

DeficitSource deficit_source(const Inputs& in, R x, R ct, R yaw, R ti, R D) {
    const R tiny = f32c(1e-6f);
    DeficitSource s;
    s.c = std::cos(yaw * lit(kDegToRad));
    s.ctv = clamp(ct, R(0), f32c(0.9999f));
    s.q = std::sqrt(clamp_min(R(1) - s.ctv, tiny));
    s.sz0 = D * f32c(0.35355339059327373f);  // sqrt(2)/4
    s.sy0 = s.sz0 * s.c;
    s.nw = near_wake_end(in, x, D, s.c, s.q, s.q, ti);
    s.x0_len_in = s.nw.x0 - x;
    // The unit floor keeps the near wake's ramp finite for a vanishing near wake.
    s.x0_len = clamp_min(s.x0_len_in, R(1));
    s.snw_in = s.ctv / R(2);
    s.snw_root = std::sqrt(clamp_min(s.snw_in, tiny));
    s.snw = (D * f32c(0.501f)) * s.snw_root;
    s.k = ti * in.ka + in.kb;
    s.ct_c = s.ctv * s.c;
    s.DD = D * D;
    return s;
}

void Work::reserve(int64_t T, int64_t NN) {
    const int64_t Tp = T + kPad;
    Packed& pk = packed;
    for (auto* v : {&centre_y, &width_y, &width_z, &width_y_sq, &width_z_sq, &gauss_bound,
                    &reached, &x_offset, &changed, &pk.x, &pk.width_y, &pk.width_z,
                    &pk.gauss_bound, &pk.centre_y, &pk.width_y_sq, &pk.width_z_sq, &pk.amplitude,
                    &pk.gate, &pk.bound, &pk.reached, &pk.count, &pk.combined_min})
        v->assign(Tp, R(0));
    for (auto* v : {&pk.y, &pk.z, &pk.u0, &pk.combined}) v->resize(Tp * NN);
    pk.receiver.resize(Tp);
    u_i.resize(NN);
}

namespace {

SORBANE_HOT void downstream_mask(int64_t T, const R* __restrict xbar, R threshold,
                                 R* __restrict mask) {
    for (int64_t r = 0; r < T; ++r) mask[r] = xbar[r] > threshold ? R(1) : R(0);
}

// The widths pass's rows, per receiver: its x and the extent and largest
// freestream speed of its rotor; the wake centre (the deflection on entry),
// the widths, their floored squares and the bound of the Gaussian.
struct WidthRows {
    const R* __restrict X;
    const R* __restrict y_lo;
    const R* __restrict y_hi;
    const R* __restrict z_lo;
    const R* __restrict z_hi;
    const R* __restrict u0_hi;
    R* __restrict centre_y;
    R* __restrict width_y;
    R* __restrict width_z;
    R* __restrict width_y_sq;
    R* __restrict width_z_sq;
    R* __restrict gauss_bound;
};

// First pass over the receivers [lo, hi), after the deflection: wake centre
// and widths, and a bound of the deficit with the amplitude and the gate (both
// at most 1) left out.
SORBANE_HOT void wake_widths(int64_t lo, int64_t hi, R x, R y, R H, const DeficitSource s,
                             WidthRows w) {
    for (int64_t r = lo; r < hi; ++r) {
        const WakeWidths wd = wake_widths_at(s, x, w.X[r]);
        const R c = y + w.centre_y[r];
        w.width_y[r] = wd.sy;
        w.width_z[r] = wd.sz;
        w.width_y_sq[r] = wd.s2y;
        w.width_z_sq[r] = wd.s2z;
        w.centre_y[r] = c;
        // The Gaussian at the rotor's points nearest the wake centre: the same
        // roundings as at those points, so a true bound of it, with a margin
        // for exp's last place and the products that follow.
        const R dy = clamp_min(clamp_min(w.y_lo[r] - c, c - w.y_hi[r]), R(0));
        const R dz = clamp_min(clamp_min(w.z_lo[r] - H, H - w.z_hi[r]), R(0));
        w.gauss_bound[r] = (gaussian(dy, dz, wd.s2y, wd.s2z) * w.u0_hi[r]) * R(1.01);
    }
}

// The amplitude pass's rows, per packed candidate.
struct AmplitudeRows {
    const R* __restrict X;
    const R* __restrict width_y;
    const R* __restrict width_z;
    const R* __restrict gauss_bound;
    R* __restrict amplitude;
    R* __restrict gate;
    R* __restrict bound;
};

// Second pass, over n packed candidates: the logistic gate, the centre-line
// amplitude and with them the bound of the deficit.
SORBANE_HOT void wake_amplitudes(int64_t n, R x, R sigmoid_k, const DeficitSource s,
                                 AmplitudeRows w) {
    for (int64_t k = 0; k < n; ++k) {
        const R gate = wake_gate(w.X[k] - x, sigmoid_k);
        const R amp = wake_amplitude_at(s, w.width_y[k], w.width_z[k]).amp;
        w.gate[k] = gate;
        w.amplitude[k] = amp;
        w.bound[k] = (amp * gate) * w.gauss_bound[k];
    }
}

// One row of points (one p) of the packed receivers, and their per-receiver
// values: the wake centre, the floored squared widths, amplitude and gate;
// the count of points above 0.05 and the smallest combined deficit.
struct PointRow {
    const R* __restrict y;
    const R* __restrict z;
    const R* __restrict u0;
    R* __restrict combined;
    const R* __restrict centre_y;
    const R* __restrict width_y_sq;
    const R* __restrict width_z_sq;
    const R* __restrict amplitude;
    const R* __restrict gate;
    R* __restrict count;
    R* __restrict combined_min;
};

// The deficit at one row of points of n receivers, combined one wake at a
// time (root_sum) or summed as squares.
SORBANE_HOT void gauss_row(int64_t n, R H, bool root_sum, PointRow w) {
    if (root_sum) {
        for (int64_t k = 0; k < n; ++k) {
            const R def = point_deficit(w.y[k], w.z[k], w.u0[k], w.centre_y[k], H, w.width_y_sq[k],
                                        w.width_z_sq[k], w.amplitude[k], w.gate[k]).def;
            const R a = root_sum_combine(w.combined[k], def).combined;
            w.combined[k] = a;
            w.combined_min[k] = a < w.combined_min[k] ? a : w.combined_min[k];
            w.count[k] += def > lit(0.05) ? R(1) : R(0);
        }
    } else {
        for (int64_t k = 0; k < n; ++k) {
            const R def = point_deficit(w.y[k], w.z[k], w.u0[k], w.centre_y[k], H, w.width_y_sq[k],
                                        w.width_z_sq[k], w.amplitude[k], w.gate[k]).def;
            w.combined[k] += def * def;
            w.count[k] += def > lit(0.05) ? R(1) : R(0);
        }
    }
}

// Which of n receivers a deficit bounded by b can change (see deficit_points).
SORBANE_HOT void changed_flags(int64_t n, const R* __restrict mask, const R* __restrict b,
                               const R* __restrict combined_min, bool root_sum,
                               R* __restrict flag) {
    const R eps = std::numeric_limits<R>::epsilon() * R(0.125);
    const R zero_sq = std::sqrt(std::numeric_limits<R>::denorm_min()) * R(0.5);
    if (root_sum) {
        for (int64_t k = 0; k < n; ++k) {
            const R a = combined_min[k];
            const R limit = a > R(0) ? (a * a) * eps : lit(1e-20) * R(0.25);
            const bool same = b[k] <= lit(0.05) && b[k] * b[k] < limit;
            flag[k] = (mask[k] != R(0) && !same) ? R(1) : R(0);
        }
    } else {
        for (int64_t k = 0; k < n; ++k) {
            flag[k] = (mask[k] != R(0) && !(b[k] < zero_sq)) ? R(1) : R(0);
        }
    }
}

// Copies the points of the packed receivers idx (point p of receiver r at p
// * S + r) into point-major rows of Kp entries.
SORBANE_HOT void pack_points(int64_t S, int64_t NN, int64_t Kp, const int32_t* __restrict idx,
                             const R* __restrict from, R* __restrict to) {
    for (int64_t p = 0; p < NN; ++p) {
        for (int64_t k = 0; k < Kp; ++k) to[p * Kp + k] = from[p * S + idx[k]];
    }
}

}  // namespace

bool deficit_span(const CaseData& cd, const Source& src, Work& w, int64_t& lo, int64_t& hi) {
    // A turbine never wakes itself or a turbine level with it.
    downstream_mask(cd.T, cd.xbar, src.x + lit(0.1), w.reached.data());
    lo = 0;
    hi = cd.T;
    while (lo < hi && w.reached[lo] == R(0)) ++lo;
    while (hi > lo && w.reached[hi - 1] == R(0)) --hi;
    return lo < hi;
}

void deficit_pairs(const Inputs& in, const CaseData& cd, const Source& src, int64_t lo,
                   int64_t hi, Work& w) {
    // Whole vectors: the spare lanes past hi compute values nobody reads.
    const int64_t end = lo + padded(hi - lo);
    deflection_pairs(in, cd, src, lo, end, w.centre_y.data());
    wake_widths(lo, end, src.x, src.y, src.hh, src.deficit,
                {cd.X.data(), cd.y_lo.data(), cd.y_hi.data(), cd.z_lo.data(), cd.z_hi.data(),
                 cd.u0_hi.data(), w.centre_y.data(), w.width_y.data(), w.width_z.data(),
                 w.width_y_sq.data(), w.width_z_sq.data(), w.gauss_bound.data()});
}

int64_t deficit_points(const Inputs& in, const CaseData& cd, const Source& src, int64_t lo,
                       int64_t hi, Work& w, R* combined, R* combined_min, bool root_sum,
                       std::vector<R>* before) {
    const int64_t S = cd.S, NN = cd.NN;
    Work::Packed& pk = w.packed;
    // A deficit D leaves sqrt(max(A^2 + D^2, 1e-20)) at A when D^2 is below
    // half the last place of A^2 (A is the floor's output, or 0 before the
    // first wake), and leaves a sum unchanged when D^2 is exactly zero. Such
    // receivers, and those the downstream mask drops, are left out.
    int32_t* idx = pk.receiver.data();
    R* changed = w.changed.data();
    const int64_t span = padded(hi - lo);
    changed_flags(span, w.reached.data() + lo, w.gauss_bound.data() + lo,
                  root_sum ? combined_min + lo : nullptr, root_sum, changed);
    int64_t n = 0;
    for (int64_t r = lo; r < hi; ++r) {
        idx[n] = static_cast<int32_t>(r);
        n += changed[r - lo] != R(0);
    }
    if (n == 0) return 0;
    // The candidates' amplitudes, packed in whole vectors (spare lanes repeat
    // the first candidate), then the receivers that do change.
    const int64_t np = padded(n);
    for (int64_t k = n; k < np; ++k) idx[k] = idx[0];
    for (int64_t k = 0; k < np; ++k) {
        const int32_t r = idx[k];
        pk.x[k] = cd.X[r];
        pk.width_y[k] = w.width_y[r];
        pk.width_z[k] = w.width_z[r];
        pk.gauss_bound[k] = w.gauss_bound[r];
    }
    wake_amplitudes(np, src.x, in.sigmoid_k, src.deficit,
                    {pk.x.data(), pk.width_y.data(), pk.width_z.data(), pk.gauss_bound.data(),
                     pk.amplitude.data(), pk.gate.data(), pk.bound.data()});
    for (int64_t k = 0; k < np; ++k) pk.reached[k] = R(1);
    for (int64_t k = 0; k < np; ++k) pk.combined_min[k] = root_sum ? combined_min[idx[k]] : R(0);
    changed_flags(np, pk.reached.data(), pk.bound.data(), pk.combined_min.data(), root_sum,
                  changed);
    int64_t K = 0;
    for (int64_t k = 0; k < n; ++k) {
        idx[K] = idx[k];
        pk.amplitude[K] = pk.amplitude[k];
        pk.gate[K] = pk.gate[k];
        K += changed[k] != R(0);
    }
    if (K == 0) return 0;
    const int64_t Kp = padded(K);
    for (int64_t k = K; k < Kp; ++k) {
        idx[k] = idx[0];
        pk.amplitude[k] = pk.amplitude[0];
        pk.gate[k] = pk.gate[0];
    }
    for (int64_t k = 0; k < Kp; ++k) {
        const int32_t r = idx[k];
        pk.centre_y[k] = w.centre_y[r];
        pk.width_y_sq[k] = w.width_y_sq[r];
        pk.width_z_sq[k] = w.width_z_sq[r];
        pk.count[k] = R(0);
        pk.combined_min[k] = std::numeric_limits<R>::max();
    }
    pack_points(S, NN, Kp, idx, cd.Y.data(), pk.y.data());
    pack_points(S, NN, Kp, idx, cd.Z.data(), pk.z.data());
    pack_points(S, NN, Kp, idx, cd.U0.data(), pk.u0.data());
    pack_points(S, NN, Kp, idx, combined, pk.combined.data());
    if (before) {
        for (int64_t k = 0; k < K; ++k) {
            for (int64_t p = 0; p < NN; ++p) before->push_back(pk.combined[p * Kp + k]);
        }
    }
    for (int64_t p = 0; p < NN; ++p) {
        const int64_t o = p * Kp;
        gauss_row(Kp, src.hh, root_sum,
                  {pk.y.data() + o, pk.z.data() + o, pk.u0.data() + o, pk.combined.data() + o,
                   pk.centre_y.data(), pk.width_y_sq.data(), pk.width_z_sq.data(),
                   pk.amplitude.data(), pk.gate.data(), pk.count.data(), pk.combined_min.data()});
    }
    for (int64_t p = 0; p < NN; ++p) {
        R* to = combined + p * S;
        const R* from = pk.combined.data() + p * Kp;
        for (int64_t k = 0; k < K; ++k) to[idx[k]] = from[k];
    }
    if (root_sum) {
        for (int64_t k = 0; k < K; ++k) combined_min[idx[k]] = pk.combined_min[k];
    }
    return K;
}

}  // namespace sorbane::fused
