#pragma once
// The sequential solver's fused pass over one flow case, shared by the
// no-gradient solve and by its reverse pass, which replays a case with a tape.
#include "fused/inputs.h"
#include "fused/kernels.h"
#include "records.h"

#include <cstdint>
#include <vector>

namespace sorbane::fused {

// What the reverse pass needs from one replayed case, in source order.
struct SequentialTape {
    // Per source i: the field u0 - A it read on its rotor before the floor
    // (u0 itself for the first turbine), NN values at i * NN.
    std::vector<R> u_raw;
    // Per source i: every turbine's turbulence before the wake of i, at i * T + r.
    std::vector<R> ti_before;
    // The receivers the wake of i changed: entries [first[i], first[i + 1]),
    // with their count of points above the turbulence threshold and their
    // combined deficit before the wake (NN values per entry).
    std::vector<int64_t> first;
    std::vector<int32_t> receiver;
    std::vector<R> count, a_before;

    void clear(int64_t T, int64_t NN);
};

// What the transverse flow decided in one case's forward, saved for its
// reverse pass so that the replay need not evaluate the vortices again. Per
// source i: the yaw its deflection saw (steering), the spanwise velocity on
// its rotor that the added yaw read (NN values at i * NN, before its own
// vortices), the transverse velocities the recovery read (after them) and
// the turbulence the recovery left it with. Null where a switch is off.
struct TransverseRecord {
    R *yaw_eff = nullptr, *v_steer = nullptr;                          // steering
    R *ti_recovered = nullptr, *v_mix = nullptr, *w_mix = nullptr;     // recovery
    // False: the forward writes the record; true: the replay reads it and
    // leaves the vortices out (V and W are then not formed).
    bool replay = false;
};

// The records of all cases: (F, T) and (F, T, N, N) tensors.
struct SavedTransverse {
    at::Tensor yaw_eff, v_steer, ti_recovered, v_mix, w_mix;
    void allocate(const Inputs& in);
    bool empty() const { return !yaw_eff.defined() && !ti_recovered.defined(); }
    TransverseRecord of_case(const Inputs& in, int64_t f, bool replay) const;
};

// Working memory of one thread, reused across cases.
struct SequentialBuffers {
    CaseData cd;
    Work w;
    std::vector<R> A, A_min, TI, V, W;
    std::vector<char> worked;
};

// Writes case f into the case's slices of the outputs (v_out and w_out with
// transverse velocities only, and not in a replay); false when the case does
// not qualify after all (a value the checks reject, or a result that is not
// finite). With a tape, records what the reverse pass reads; b.A and b.TI then
// hold the case's final fields. rec: see TransverseRecord.
bool sequential_case(const Inputs& in, int64_t f, SequentialBuffers& b, R* u_out, R* ti_out,
                     R* v_out, R* w_out, SequentialTape* tape = nullptr,
                     const TransverseRecord* rec = nullptr);

// Working memory of one thread's reverse pass, reused across cases.
struct ReverseWork {
    PackedReceivers packed;
    TransverseLanes lanes;
    // Point-major (p * S + r), as the case's fields: the accumulated
    // transverse velocities and the points' y, z and freestream speed.
    std::vector<R> grad_V, grad_W, grad_Y, grad_Z, grad_U0;
    // NN values on one rotor: the transverse velocities its recovery or its
    // added yaw read, and its points' y and z as the added yaw saw them.
    std::vector<R> grad_v_read, grad_w_read, grad_y_rotor, grad_z_rotor;
    std::vector<R> grad_A;       // r * NN + p: the combined deficit
    std::vector<R> grad_TI;      // per turbine
    std::vector<R> grad_xbar, grad_ybar;
    std::vector<R> u, grad_u;    // the source's rotor velocities and their gradients
    std::vector<int64_t> entry;  // the tape entry of each receiver of the current source, or -1
};

// One case's slices of the gradients of the solve's inputs, added to.
struct CaseGrads {
    R *x, *y, *z, *u0;  // (T, NN)
    R *v_in, *w_in;     // (T, NN), recovery only
    R *yaw, *tilt, *rd, *hh;
    std::vector<R*> ws, ct;  // per thrust table, (n) each
    R* amb;
};

// The gradients of the case's outputs, (T, NN) each; null where none flows.
struct CaseOutputGrads {
    const R *u, *ti, *v, *w;
};

// The reverse pass over one case that sequential_case has just replayed with
// `tape` (b.cd, b.A and b.TI hold its state).
void reverse_case(const Inputs& in, const SequentialBuffers& b, const SequentialTape& tape,
                  const CaseOutputGrads& grad_out, const TransverseRecord& rec, ReverseWork& rw,
                  const CaseGrads& out);

// Whether a sequential solve records a gradient (recording on and an input
// that requires one), and if so whether the fused reverse pass covers it.
enum class SequentialGradient { kNone, kRecorded, kUncovered };
SequentialGradient sequential_gradient(const Farm& farm, const FlowField& ff,
                                       const TurbineGrid& grid, const ModelConfig& cfg);

// Makes the fused solve's results carry a node whose backward is the fused
// reverse pass over the same inputs.
void attach_sequential_backward(const Farm& farm, const FlowField& ff, const TurbineGrid& grid,
                                Inputs&& in, SavedTransverse&& saved, const Outputs& result);

}  // namespace sorbane::fused
