// The Gaussian velocity deficit, as src/gauss_velocity forms it: behind the
// rotor a near wake whose widths blend from the rotor-plane width to those at
// x0, the start of the far wake, where the widths grow linearly with the
// turbulence; the centre-line deficit spreads the rotor's momentum deficit
// over the Gaussian's area, and a logistic gate in dx stands for the upstream
// cut-off (Bastankhah & Porte-Agel 2016). Per source the constants, then three
// passes: widths and a bound of the deficit per receiver, amplitudes per
// candidate, and the deficit at the points of the receivers it can change,
// combined with the deficit there so far.
#include "fused/kernels.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace sorbane::fused {

bool Source::set_deficit(const Inputs& in, R yaw, R ti) {
    const DeficitSource s = deficit_forward(in, x, ct, yaw, ti, rd);
    deficit = {.near_wake_end = s.x0, .ramp_length = s.x0_len, .expansion = s.k,
               .width_y0 = s.sy0, .width_z0 = s.sz0, .width_rotor = s.snw, .ct_axial = s.ct_c,
               .diameter_sq = s.DD, .sigmoid_k = in.sigmoid_k};
    const R check = (s.sz0 + s.sy0 + s.x0 + s.x0_len + s.snw + s.k + s.ct_c + s.DD) * R(0);
    return check == R(0);
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

// First pass over the receivers [lo, hi), after the deflection: wake centre
// and widths, and a bound of the deficit with the amplitude and the gate (both
// at most 1) left out.
SORBANE_HOT void wake_widths(int64_t lo, int64_t hi, R H, R xu, R yu, R x0, R x0_len, R k, R sy0,
                             R sz0, R snw, const R* __restrict Xr, const R* __restrict y_lo,
                             const R* __restrict y_hi, const R* __restrict z_lo,
                             const R* __restrict z_hi, const R* __restrict u0_hi,
                             R* __restrict yc, R* __restrict sy_, R* __restrict sz_,
                             R* __restrict sy2, R* __restrict sz2, R* __restrict gauss_bound) {
    const R tiny = f32c(1e-6f);
    for (int64_t r = lo; r < hi; ++r) {
        const R X = Xr[r];
        const R dx = X - xu;
        const R rr = clamp(dx / x0_len, R(0), R(1));
        const R one_r = R(1) - rr;
        const R sy_near = one_r * snw + rr * sy0;
        const R sz_near = one_r * snw + rr * sz0;
        const R e = clamp_min(X - x0, R(0));
        const R sy_far = k * e + sy0;
        const R sz_far = k * e + sz0;
        const R m = X >= x0 ? R(1) : R(0);
        const R one_m = R(1) - m;
        const R sy = m * sy_far + one_m * sy_near;
        const R sz = m * sz_far + one_m * sz_near;
        const R s2y = clamp_min(sy * sy, tiny);
        const R s2z = clamp_min(sz * sz, tiny);
        const R c = yu + yc[r];  // yc holds the deflection on entry
        sy_[r] = sy;
        sz_[r] = sz;
        sy2[r] = s2y;
        sz2[r] = s2z;
        yc[r] = c;
        // The Gaussian at the rotor's points nearest the wake centre: the same
        // roundings as at those points, so a true bound of it, with a margin
        // for exp's last place and the products that follow.
        const R dy = clamp_min(clamp_min(y_lo[r] - c, c - y_hi[r]), R(0));
        const R dz = clamp_min(clamp_min(z_lo[r] - H, H - z_hi[r]), R(0));
        const R G = exp_v(((dy * dy) / s2y + (dz * dz) / s2z) * R(-0.5));
        gauss_bound[r] = (G * u0_hi[r]) * R(1.01);
    }
}

// Second pass, over n packed candidates: the logistic gate, the centre-line
// amplitude and with them the bound of the deficit.
SORBANE_HOT void wake_amplitudes(int64_t n, const Source& src,
                                 const R* __restrict X, const R* __restrict sy,
                                 const R* __restrict sz, const R* __restrict gauss_bound,
                                 R* __restrict amp, R* __restrict gate, R* __restrict bound) {
    const R tiny = f32c(1e-6f);
    const R xu = src.x, ct_c = src.deficit.ct_axial, DD = src.deficit.diameter_sq;
    const R sig = src.deficit.sigmoid_k;
    for (int64_t k = 0; k < n; ++k) {
        const R dx = X[k] - xu;
        // The logistic gate in place of a hard upstream cut-off.
        const R g = R(1) / (exp_v(-(dx * sig)) + R(1));
        const R P = clamp_min(((sy[k] * R(8)) * sz[k]) / DD, tiny);
        const R A = R(1) - std::sqrt(clamp(R(1) - ct_c / P, R(0), R(1)));
        gate[k] = g;
        amp[k] = A;
        bound[k] = (A * g) * gauss_bound[k];
    }
}

// The deficit at the points of n receivers, point p of receiver k at
// p * stride + k in Y, Z, U0 and combined, the per-receiver values at k.
SORBANE_HOT void gauss_points(int64_t n, int64_t NN, int64_t stride, R H, const R* __restrict Yp,
                              const R* __restrict Zp, const R* __restrict U0p,
                              const R* __restrict yc, const R* __restrict sy2,
                              const R* __restrict sz2, const R* __restrict amp,
                              const R* __restrict gate, const R* __restrict mask,
                              R* __restrict cnt, R* __restrict combined_min, R* __restrict combined,
                              bool root_sum) {
    for (int64_t p = 0; p < NN; ++p) {
        const R* __restrict Y = Yp + p * stride;
        const R* __restrict Z = Zp + p * stride;
        const R* __restrict U0 = U0p + p * stride;
        R* __restrict A = combined + p * stride;
        if (root_sum) {
            for (int64_t k = 0; k < n; ++k) {
                const R dy = Y[k] - yc[k];
                const R dz = Z[k] - H;
                const R G = exp_v(((dy * dy) / sy2[k] + (dz * dz) / sz2[k]) * R(-0.5));
                const R D = (((amp[k] * G) * gate[k]) * U0[k]) * mask[k];
                // Sum-of-squares superposition, one wake at a time.
                const R a = std::sqrt(clamp_min(A[k] * A[k] + D * D, lit(1e-20)));
                A[k] = a;
                combined_min[k] = a < combined_min[k] ? a : combined_min[k];
                cnt[k] += D > lit(0.05) ? R(1) : R(0);
            }
        } else {
            for (int64_t k = 0; k < n; ++k) {
                const R dy = Y[k] - yc[k];
                const R dz = Z[k] - H;
                const R G = exp_v(((dy * dy) / sy2[k] + (dz * dz) / sz2[k]) * R(-0.5));
                const R D = (((amp[k] * G) * gate[k]) * U0[k]) * mask[k];
                A[k] += D * D;
                cnt[k] += D > lit(0.05) ? R(1) : R(0);
            }
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

SORBANE_HOT void pack_points(int64_t S, int64_t NN, int64_t Kp, const int32_t* __restrict idx,
                             const R* __restrict Y, const R* __restrict Z, const R* __restrict U0,
                             const R* __restrict A, R* __restrict kY, R* __restrict kZ,
                             R* __restrict kU0, R* __restrict kA) {
    for (int64_t p = 0; p < NN; ++p) {
        for (int64_t k = 0; k < Kp; ++k) {
            const int64_t j = p * S + idx[k];
            kY[p * Kp + k] = Y[j];
            kZ[p * Kp + k] = Z[j];
            kU0[p * Kp + k] = U0[j];
            kA[p * Kp + k] = A[j];
        }
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
    const Source::Deficit& sd = src.deficit;
    deflection_pairs(in, cd, src, lo, end, w.centre_y.data());
    wake_widths(lo, end, src.hh, src.x, src.y, sd.near_wake_end, sd.ramp_length, sd.expansion,
                sd.width_y0, sd.width_z0, sd.width_rotor, cd.X.data(), cd.y_lo.data(),
                cd.y_hi.data(), cd.z_lo.data(), cd.z_hi.data(), cd.u0_hi.data(), w.centre_y.data(),
                w.width_y.data(), w.width_z.data(), w.width_y_sq.data(), w.width_z_sq.data(),
                w.gauss_bound.data());
}

int64_t deficit_points(const CaseData& cd, const Source& src, int64_t lo, int64_t hi, Work& w,
                       R* combined, R* combined_min, bool root_sum, std::vector<R>* before) {
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
    wake_amplitudes(np, src, pk.x.data(), pk.width_y.data(), pk.width_z.data(),
                    pk.gauss_bound.data(), pk.amplitude.data(), pk.gate.data(), pk.bound.data());
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
        pk.reached[k] = R(1);  // all inside the downstream mask
        pk.count[k] = R(0);
        pk.combined_min[k] = std::numeric_limits<R>::max();
    }
    pack_points(S, NN, Kp, idx, cd.Y.data(), cd.Z.data(), cd.U0.data(), combined, pk.y.data(),
                pk.z.data(), pk.u0.data(), pk.combined.data());
    if (before) {
        for (int64_t k = 0; k < K; ++k) {
            for (int64_t p = 0; p < NN; ++p) before->push_back(pk.combined[p * Kp + k]);
        }
    }
    gauss_points(Kp, NN, Kp, src.hh, pk.y.data(), pk.z.data(), pk.u0.data(), pk.centre_y.data(),
                 pk.width_y_sq.data(), pk.width_z_sq.data(), pk.amplitude.data(), pk.gate.data(),
                 pk.reached.data(), pk.count.data(), pk.combined_min.data(), pk.combined.data(),
                 root_sum);
    for (int64_t p = 0; p < NN; ++p) {
        R* A = combined + p * S;
        const R* kA = pk.combined.data() + p * Kp;
        for (int64_t k = 0; k < K; ++k) A[idx[k]] = kA[k];
    }
    if (root_sum) {
        for (int64_t k = 0; k < K; ++k) combined_min[idx[k]] = pk.combined_min[k];
    }
    return K;
}

// ---------------------------------------------------------------------------
// The reverse pass: the per-source constants, the per-receiver values and the
// points' Gaussian, with their gradients.

DeficitSource deficit_forward(const Inputs& in, R x, R ct, R yaw, R ti, R D) {
    const R tiny = f32c(1e-6f);
    DeficitSource s;
    s.c = std::cos(yaw * lit(kDegToRad));
    s.ctv = clamp(ct, R(0), f32c(0.9999f));
    s.q = std::sqrt(clamp_min(R(1) - s.ctv, tiny));
    s.sz0 = D * f32c(0.35355339059327373f);  // sqrt(2)/4
    s.sy0 = s.sz0 * s.c;
    s.x0_num = (D * s.c) * (s.q + R(1));
    s.x0_den_in = ti * in.alpha4 + (R(1) - s.q) * in.beta2;
    s.x0_den = clamp_min(s.x0_den_in, tiny) * f32c(1.4142135623730951f);
    s.x0 = s.x0_num / s.x0_den + x;
    s.x0_len_in = s.x0 - x;
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

void deficit_source_backward(const Inputs& in, const DeficitSource& s, R ct, R yaw, R D,
                             DeficitSourceGrad g, R& grad_x, R& grad_ct, R& grad_yaw,
                             R& grad_ti, R& grad_D) {
    const R tiny = f32c(1e-6f);
    if (s.x0_len_in >= R(1)) {
        g.x0 += g.x0_len;
        grad_x -= g.x0_len;
    }
    grad_D += g.DD * (D * R(2));
    R grad_ctv = g.ct_c * s.c;
    R grad_c = g.ct_c * s.ctv;
    grad_ti += g.k * in.ka;
    grad_D += g.snw * f32c(0.501f) * s.snw_root;
    grad_ctv += sqrt_floor_grad(g.snw * (D * f32c(0.501f)), s.snw_in, tiny, s.snw_root) / R(2);
    grad_x += g.x0;
    const R grad_num = g.x0 / s.x0_den;
    const R grad_den = -(g.x0 * s.x0_num) / (s.x0_den * s.x0_den);
    const R grad_den_in = s.x0_den_in >= tiny ? grad_den * f32c(1.4142135623730951f) : R(0);
    grad_ti += grad_den_in * in.alpha4;
    R grad_q = -grad_den_in * in.beta2;
    grad_D += grad_num * s.c * (s.q + R(1));
    grad_c += grad_num * D * (s.q + R(1));
    grad_q += grad_num * (D * s.c);
    g.sz0 += g.sy0 * s.c;
    grad_c += g.sy0 * s.sz0;
    grad_D += g.sz0 * f32c(0.35355339059327373f);
    grad_ctv -= sqrt_floor_grad(grad_q, R(1) - s.ctv, tiny, s.q);
    if (ct >= R(0) && ct <= f32c(0.9999f)) grad_ct += grad_ctv;
    grad_yaw += -std::sin(yaw * lit(kDegToRad)) * grad_c * lit(kDegToRad);
}


DeficitReceiver deficit_receiver(const Inputs& in, const DeficitSource& s, R x, R X) {
    const R tiny = f32c(1e-6f);
    DeficitReceiver d;
    d.dx = X - x;
    d.rr_in = d.dx / s.x0_len;
    d.rr = clamp(d.rr_in, R(0), R(1));
    const R one_r = R(1) - d.rr;
    const R sy_near = one_r * s.snw + d.rr * s.sy0;
    const R sz_near = one_r * s.snw + d.rr * s.sz0;
    d.e_in = X - s.x0;
    d.e = clamp_min(d.e_in, R(0));
    const R sy_far = s.k * d.e + s.sy0;
    const R sz_far = s.k * d.e + s.sz0;
    d.m = X >= s.x0 ? R(1) : R(0);
    const R one_m = R(1) - d.m;
    d.sy = d.m * sy_far + one_m * sy_near;
    d.sz = d.m * sz_far + one_m * sz_near;
    d.s2y = clamp_min(d.sy * d.sy, tiny);
    d.s2z = clamp_min(d.sz * d.sz, tiny);
    d.gate = R(1) / (exp_v(-(d.dx * in.sigmoid_k)) + R(1));
    d.P_in = ((d.sy * R(8)) * d.sz) / s.DD;
    d.P = clamp_min(d.P_in, tiny);
    d.Q_in = R(1) - s.ct_c / d.P;
    d.root = std::sqrt(clamp(d.Q_in, R(0), R(1)));
    d.amp = R(1) - d.root;

    const R slope_rr = (d.rr_in >= R(0) && d.rr_in <= R(1)) ? R(1) / s.x0_len : R(0);
    const R slope_e = d.e_in >= R(0) ? R(1) : R(0);
    const R slope_sy = d.m != R(0) ? s.k * slope_e : slope_rr * s.sy0 - slope_rr * s.snw;
    const R slope_sz = d.m != R(0) ? s.k * slope_e : slope_rr * s.sz0 - slope_rr * s.snw;
    d.slope_s2y = d.sy * d.sy >= tiny ? (d.sy * R(2)) * slope_sy : R(0);
    d.slope_s2z = d.sz * d.sz >= tiny ? (d.sz * R(2)) * slope_sz : R(0);
    d.slope_gate = (d.gate * (R(1) - d.gate)) * in.sigmoid_k;
    const R slope_P = d.P_in >= tiny ? ((slope_sy * d.sz + d.sy * slope_sz) * R(8)) / s.DD : R(0);
    const R slope_Q = (s.ct_c * slope_P) / (d.P * d.P);
    d.slope_amp = (d.Q_in >= R(0) && d.Q_in <= R(1)) ? -slope_Q / (d.root * R(2)) : R(0);
    return d;
}

// Sums over the receiver's points of the gradients of its per-receiver values,
// back to the source's constants and x (the receiver's x is done per point).
void deficit_receiver_backward(const DeficitSource& s, const DeficitReceiver& d, R grad_amp,
                               R grad_gate, R grad_s2y, R grad_s2z, DeficitSourceGrad& g,
                               R& grad_x, const Inputs& in) {
    const R tiny = f32c(1e-6f);
    R grad_sy = 0, grad_sz = 0, grad_dx = 0;
    // amp = 1 - sqrt(clamp(1 - ct_c / P, 0, 1)); P = max(8 sy sz / D^2, tiny)
    const R grad_Q = (d.Q_in >= R(0) && d.Q_in <= R(1)) ? -grad_amp / (d.root * R(2)) : R(0);
    if (grad_Q != R(0)) {
        g.ct_c -= grad_Q / d.P;
        const R grad_P = (grad_Q * s.ct_c) / (d.P * d.P);
        if (d.P_in >= tiny) {
            grad_sy += (grad_P * R(8)) * d.sz / s.DD;
            grad_sz += (grad_P * (d.sy * R(8))) / s.DD;
            g.DD -= (grad_P * d.P_in) / s.DD;
        }
    }
    // The logistic gate of dx k.
    grad_dx += grad_gate * (d.gate * (R(1) - d.gate)) * in.sigmoid_k;
    if (d.sy * d.sy >= tiny) grad_sy += grad_s2y * (d.sy * R(2));
    if (d.sz * d.sz >= tiny) grad_sz += grad_s2z * (d.sz * R(2));
    if (d.m != R(0)) {
        g.k += (grad_sy + grad_sz) * d.e;
        g.sy0 += grad_sy;
        g.sz0 += grad_sz;
        if (d.e_in >= R(0)) g.x0 -= (grad_sy + grad_sz) * s.k;
    } else {
        const R one_r = R(1) - d.rr;
        g.snw += (grad_sy + grad_sz) * one_r;
        g.sy0 += grad_sy * d.rr;
        g.sz0 += grad_sz * d.rr;
        const R grad_rr = grad_sy * s.sy0 + grad_sz * s.sz0 - (grad_sy + grad_sz) * s.snw;
        if (d.rr_in >= R(0) && d.rr_in <= R(1)) {
            grad_dx += grad_rr / s.x0_len;
            g.x0_len -= (grad_rr * d.rr_in) / s.x0_len;
        }
    }
    grad_x -= grad_dx;
}

namespace {

// The reverse of the superposition and of gauss_velocity_deficit's Gaussian at
// every point of the packed receivers: grad_A (the combined deficit after the
// wake) becomes the gradient before it; the points' gradients are written,
// the per-receiver ones summed over the points.
SORBANE_HOT void gauss_points_backward(int64_t NN, int64_t Kp, R H, const R* __restrict yc,
                                         const R* __restrict s2y, const R* __restrict s2z,
                                         const R* __restrict amp, const R* __restrict gate,
                                         const R* __restrict slope_amp,
                                         const R* __restrict slope_gate,
                                         const R* __restrict slope_s2y,
                                         const R* __restrict slope_s2z, const R* __restrict Yp,
                                         const R* __restrict Zp, const R* __restrict U0p,
                                         const R* __restrict a_before_p, R* __restrict grad_A_p,
                                         R* __restrict grad_u0_p, R* __restrict grad_x_p,
                                         R* __restrict grad_y_p, R* __restrict grad_z_p,
                                         R* __restrict sum_amp, R* __restrict sum_gate,
                                         R* __restrict sum_s2y, R* __restrict sum_s2z,
                                         R* __restrict sum_yc, R* __restrict sum_H) {
    for (int64_t k = 0; k < Kp; ++k) {
        sum_amp[k] = sum_gate[k] = sum_s2y[k] = sum_s2z[k] = sum_yc[k] = sum_H[k] = R(0);
    }
    for (int64_t p = 0; p < NN; ++p) {
        const R* __restrict Y = Yp + p * Kp;
        const R* __restrict Z = Zp + p * Kp;
        const R* __restrict U0 = U0p + p * Kp;
        const R* __restrict a_before = a_before_p + p * Kp;
        R* __restrict grad_A = grad_A_p + p * Kp;
        R* __restrict grad_u0 = grad_u0_p + p * Kp;
        R* __restrict grad_x = grad_x_p + p * Kp;
        R* __restrict grad_y = grad_y_p + p * Kp;
        R* __restrict grad_z = grad_z_p + p * Kp;
        for (int64_t k = 0; k < Kp; ++k) {
            const R dy = Y[k] - yc[k];
            const R dz = Z[k] - H;
            const R G = exp_v(((dy * dy) / s2y[k] + (dz * dz) / s2z[k]) * R(-0.5));
            const R amp_G = amp[k] * G;
            const R amp_G_gate = amp_G * gate[k];
            const R def = amp_G_gate * U0[k];
            const R a_old = a_before[k];
            const R arg = a_old * a_old + def * def;
            const R a_new = std::sqrt(clamp_min(arg, lit(1e-20)));
            // A = sqrt(max(A^2 + D^2, 1e-20))
            const R grad_arg = arg >= lit(1e-20) ? grad_A[k] / (a_new * R(2)) : R(0);
            grad_A[k] = grad_arg * (a_old * R(2));
            const R grad_def = grad_arg * (def * R(2));
            // D = ((amp G) gate) u0
            grad_u0[k] = grad_def * amp_G_gate;
            const R grad_amp_G = (grad_def * U0[k]) * gate[k];
            const R grad_gate = (grad_def * U0[k]) * amp_G;
            const R grad_amp = grad_amp_G * G;
            // G = exp(-(dy^2 / s2y + dz^2 / s2z) / 2)
            const R grad_q = (grad_amp_G * amp[k]) * G * R(-0.5);
            const R grad_dy = (grad_q * (dy * R(2))) / s2y[k];
            const R grad_dz = (grad_q * (dz * R(2))) / s2z[k];
            const R grad_s2y = -(grad_q * (dy * dy)) / (s2y[k] * s2y[k]);
            const R grad_s2z = -(grad_q * (dz * dz)) / (s2z[k] * s2z[k]);
            grad_y[k] = grad_dy;
            grad_z[k] = grad_dz;
            grad_x[k] = grad_amp * slope_amp[k] + grad_gate * slope_gate[k] +
                        grad_s2y * slope_s2y[k] + grad_s2z * slope_s2z[k];
            sum_yc[k] -= grad_dy;
            sum_H[k] -= grad_dz;
            sum_amp[k] += grad_amp;
            sum_gate[k] += grad_gate;
            sum_s2y[k] += grad_s2y;
            sum_s2z[k] += grad_s2z;
        }
    }
}

}  // namespace

void deficit_points_backward(int64_t NN, R H, PackedReceivers& pk) {
    gauss_points_backward(NN, pk.Kp, H, pk.yc.data(), pk.s2y.data(), pk.s2z.data(), pk.amp.data(),
                          pk.gate.data(), pk.slope_amp.data(), pk.slope_gate.data(),
                          pk.slope_s2y.data(), pk.slope_s2z.data(), pk.Y.data(), pk.Z.data(),
                          pk.U0.data(), pk.a_before.data(), pk.grad_A.data(), pk.grad_u0.data(),
                          pk.grad_x.data(), pk.grad_y.data(), pk.grad_z.data(),
                          pk.sum_amp.data(), pk.sum_gate.data(), pk.sum_s2y.data(),
                          pk.sum_s2z.data(), pk.sum_yc.data(), pk.sum_H.data());
}

}  // namespace sorbane::fused
