// Transverse velocities (fused/transverse.h): each source's six vortices at
// every point of the receivers not upstream of it, added to the case's
// running V and W.
#include "fused/kernels.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace sorbane::fused {

bool vortex_span(const CaseData& cd, R x, R* x_offset, R* reached, int64_t& lo, int64_t& hi) {
    lo = cd.T;
    hi = 0;
    for (int64_t r = 0; r < cd.T; ++r) {
        x_offset[r] = cd.xbar[r] - x;
        const bool m = x_offset[r] >= R(0);
        reached[r] = m ? R(1) : R(0);
        if (m) {
            lo = std::min(lo, r);
            hi = r + 1;
        }
    }
    if (lo < hi) return true;
    lo = hi = 0;
    return false;
}

VortexSource vortex_source(const Inputs& in, const CaseData& cd, R H, R D, R tsr, R ct, R a, R yaw,
                           const R* u) {
    const R tiny = f32c(1e-6f);
    VortexSource o;
    const R yr = yaw * lit(kDegToRad);
    o.sn = std::sin(yr);
    o.cs = std::cos(yr);
    o.h_safe = clamp_min(H, tiny);
    o.top_ratio = (H + D / R(2)) / o.h_safe;
    o.bot_raw = H - D / R(2);
    o.bot_ratio = clamp_min(o.bot_raw, tiny) / o.h_safe;
    o.vel_top = pow_scalar(o.top_ratio, in.shear);
    o.vel_bot = pow_scalar(o.bot_ratio, in.shear);
    o.base_top = ((D * f32c(kPiF / 8.0f)) * o.vel_top) * cd.u_inf;
    o.base_bot = ((D * f32c(kPiF / 8.0f)) * o.vel_bot) * cd.u_inf;
    o.sc_top = o.sn * o.cs;
    o.sc_bot = -o.sn * o.cs;
    o.g_top = o.sc_top * (o.base_top * ct);
    o.g_bot = o.sc_bot * (o.base_bot * ct);
    o.u_eff = kernel_rotor_speed(u, 1, cd.NN);
    o.induction = a - a * a;
    o.rot_num = (D * f32c(kPiF / 2.0f)) * o.induction;
    o.tsr = clamp_min(tsr, tiny);
    o.g_rot = (o.rot_num * o.u_eff) / o.tsr;
    o.eps_gain = static_cast<R>(narrow(0.2));
    o.eps = D * o.eps_gain;
    return o;
}

VortexRow vortex_row(const Inputs& in, const CaseData& cd, const VortexSource& vs, R y, R H, R D) {
    return {y,         H,        D / R(2), D / R(8), vs.eps * vs.eps, static_cast<R>(in.shear),
            cd.u_inf, vs.g_top, vs.g_bot, vs.g_rot};
}

namespace {

// One row of points (one p) of the receivers: their y, z and freestream
// speed, the running V and W; per receiver its x offset from the source and
// whether the vortices reach it.
struct VortexPointRow {
    const R* __restrict Y;
    const R* __restrict Z;
    const R* __restrict U0;
    const R* __restrict dx;
    const R* __restrict reached;
    R* __restrict V;
    R* __restrict W;
};

// The six vortices at one row of points of receivers [lo, hi): top and bottom
// (yawed rotors only), wake rotation, and their ground images. Zero
// circulations contribute signed zeros only, so they are left out.
template <bool kPair, bool kRot>
SORBANE_INLINE void vortex_loop(int64_t lo, int64_t hi, const VortexRow c, VortexPointRow w) {
    for (int64_t r = lo; r < hi; ++r) {
        const R yl = spanwise_offset(w.Y[r], c.y);
        const R y2 = yl * yl;
        const R decay = vortex_decay(w.Z[r], w.U0[r], w.dx[r], c.d8, c.eps2, c.shear, c.u_inf).decay;
        const VortexHeights h = vortex_heights(w.Z[r], c.H, c.half_d);
        R v = 0, wv = 0;
        if constexpr (kPair) {
            Vortex f = vortex_eval(y2, yl, h.top, c.g_top, c.eps2);
            v = f.sp * decay;
            wv = f.vt * decay;
            f = vortex_eval(y2, yl, h.bot, c.g_bot, c.eps2);
            v = v + f.sp * decay;
            wv = wv + f.vt * decay;
            f = vortex_eval(y2, yl, h.top_img, -c.g_top, c.eps2);
            v = v + f.sp * decay;
            wv = wv + f.vt * decay;
            f = vortex_eval(y2, yl, h.bot_img, -c.g_bot, c.eps2);
            v = v + f.sp * decay;
            wv = wv + f.vt * decay;
        }
        if constexpr (kRot) {
            Vortex f = vortex_eval(y2, yl, h.rot, c.g_rot, c.eps2);
            v = kPair ? v + f.sp * decay : f.sp * decay;
            wv = kPair ? wv + f.vt * decay : f.vt * decay;
            f = vortex_eval(y2, yl, h.rot_img, -c.g_rot, c.eps2);
            v = v + f.sp * decay;
            wv = wv + f.vt * decay;
        }
        w.V[r] = w.V[r] + v * w.reached[r];
        // Upwash only.
        w.W[r] = w.W[r] + clamp_min(wv * w.reached[r], R(0));
    }
}

template <bool kPair, bool kRot>
SORBANE_INLINE void vortex_rows(const CaseData& cd, int64_t lo, int64_t hi, const VortexRow c,
                                const R* dx, const R* reached, R* V, R* W) {
    const int64_t S = cd.S;
    for (int64_t p = 0; p < cd.NN; ++p) {
        const int64_t o = p * S;
        vortex_loop<kPair, kRot>(lo, hi, c,
                                 {cd.Y.data() + o, cd.Z.data() + o, cd.U0.data() + o, dx, reached,
                                  V + o, W + o});
    }
}

SORBANE_HOT void vortex_points(const CaseData& cd, int64_t lo, int64_t hi, const VortexRow c,
                               bool pair, bool rot, const R* dx, const R* reached, R* V, R* W) {
    if (pair && rot) {
        vortex_rows<true, true>(cd, lo, hi, c, dx, reached, V, W);
    } else if (pair) {
        vortex_rows<true, false>(cd, lo, hi, c, dx, reached, V, W);
    } else {
        vortex_rows<false, true>(cd, lo, hi, c, dx, reached, V, W);
    }
}

}  // namespace

void transverse(const Inputs& in, const CaseData& cd, const Source& src, R yaw, const R* u, R* V,
                R* W, Work& w, int64_t& lo, int64_t& hi) {
    if (!vortex_span(cd, src.x, w.x_offset.data(), w.reached.data(), lo, hi)) return;
    const VortexSource vs = vortex_source(in, cd, src.hh, src.rd, cd.table(src.i).tsr, src.ct, src.a, yaw, u);
    const bool pair = vs.g_top != R(0) || vs.g_bot != R(0);
    const bool rot = vs.g_rot != R(0);
    if (!pair && !rot) {
        lo = hi = 0;
        return;
    }
    const VortexRow c = vortex_row(in, cd, vs, src.y, src.hh, src.rd);
    // Whole vectors: lanes past hi are masked out or spare.
    vortex_points(cd, lo, lo + padded(hi - lo), c, pair, rot, w.x_offset.data(), w.reached.data(),
                  V, W);
}

}  // namespace sorbane::fused
