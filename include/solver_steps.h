#pragma once
// Per-turbine wake formulas shared by the sequential and the Jacobi solver. The
// sequential solver calls them with one wake-casting turbine at a time (B = 1),
// the Jacobi solver with a chunk of B turbines; every result keeps the source
// dimension, (F, T, B, ...) for pairwise values and (F, B) per source.
#include "records.h"

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <tuple>
#include <vector>

namespace sorbane {

// What both solvers derive from the records before the first wake; building
// it writes nothing, so a solve that fails here leaves the flow field as it was.
struct SolvePrep {
    int64_t F;
    int64_t T;
    int64_t N;
    at::Tensor ti_amb;                    // (F) ambient turbulence, working dtype
    at::Tensor ti_t;                      // (F, T) turbine turbulence, a copy of its own
    at::Tensor xbar;                      // (F, T) rotor-centre x
    at::Tensor ybar;                      // (F, T) rotor-centre y
    // Per turbine in sorted order: (T) shared by all cases, or (F, T) per case
    // when the farm sorts its turbines per case.
    at::Tensor rd;     // rotor diameters
    at::Tensor hh;     // hub heights
    at::Tensor types;  // int64 index into `tables`; undefined: all of the first
    std::vector<const Farm::PowerThrustTable*> tables;  // the farm's, never empty
    // Each table's reference-tilt cosine: the thrust curve holds at that tilt.
    std::vector<double> cos_refs;
    at::Tensor tsr;    // like rd, the tip-speed ratio of each turbine's table
};

// Throws std::out_of_range when the farm holds no turbine table, and a clear
// error for a turbine type out of range or per-case fields never sorted.
SolvePrep prepare_solve(const Farm& farm, const FlowField& ff, const TurbineGrid& grid);

// The per-turbine constant `t` of SolvePrep (rd, hh, types or tsr) at sorted
// positions [c0, c1): (B) or (F, B).
at::Tensor turbine_slice(const at::Tensor& t, int64_t c0, int64_t c1);

// `ti` (F, T) laid on every rotor point: (F, T, N, N), contiguous.
at::Tensor turbulence_field(const at::Tensor& ti, int64_t N);

struct OperatingPoint {
    at::Tensor ct;  // thrust coefficient, corrected for yaw and tilt
    at::Tensor a;   // axial induction
};

// Thrust and induction from the rotor velocities `u` (..., N, N) and the angles
// (...) in degrees: (F, N, N) with (F) for one turbine, (F, T, N, N) with (F, T)
// for all of them at once. types: the turbines' tables, broadcastable to the
// angles (undefined: the first table).
OperatingPoint operating_point(const at::Tensor& u, const at::Tensor& yaw, const at::Tensor& tilt,
                               const at::Tensor& types, const SolvePrep& prep);
// The same for the turbine at sorted position i alone.
OperatingPoint operating_point(const at::Tensor& u, const at::Tensor& yaw, const at::Tensor& tilt,
                               int64_t i, const SolvePrep& prep);

// The wake-casting turbines at sorted positions [c0, c1), B = c1 - c0.
struct Sources {
    int64_t c0;
    int64_t c1;
    at::Tensor X, Y;           // (F, B, N, N) rotor points
    at::Tensor x, y;           // (F, B) rotor centres
    at::Tensor ct, a, yaw, ti; // (F, B)
    at::Tensor rd, hh, tsr;    // (B) or (F, B): rotor diameters, hub heights, tip-speed ratios
};

// ct and a: (F, B), the operating points of these turbines; ti from prep.ti_t.
Sources make_sources(const Farm& farm, const TurbineGrid& grid, const SolvePrep& prep,
                     int64_t c0, int64_t c1, const at::Tensor& ct, const at::Tensor& a);

// Extra yaw (F) of turbine i, degrees, that the spanwise flow v_i (F, N, N)
// across its rotor causes (secondary steering). u_i: (F, N, N); ct_i, a_i: (F).
// Reads the turbine's hub height and rotor diameter back to the host.
at::Tensor steering_yaw(const Farm& farm, const FlowField& ff, const TurbineGrid& grid,
                        const SolvePrep& prep, int64_t i, const at::Tensor& u_i,
                        const at::Tensor& v_i, const at::Tensor& ct_i, const at::Tensor& a_i);

// Lateral wake-centre offset of each source at every turbine, (F, T, B).
at::Tensor wake_deflection(const Sources& src, const at::Tensor& yaw_eff, const SolvePrep& prep,
                           const ModelConfig& cfg);

// Velocity deficit of each source's wake in velocity units, zero on every
// turbine not more than 0.1 downstream of the source: (F, T, B, N, N).
at::Tensor wake_velocity_deficit(const FlowField& ff, const TurbineGrid& grid, const Sources& src,
                                 const SolvePrep& prep, const at::Tensor& deflection,
                                 const ModelConfig& cfg);

// Turbulence each source adds at every turbine its wake reaches, (F, T, B).
// deficit: the result of wake_velocity_deficit.
at::Tensor wake_added_turbulence(const at::Tensor& deficit, const Sources& src,
                                 const SolvePrep& prep, const ModelConfig& cfg);

// Spanwise and vertical velocities of each source's vortices at every rotor
// point, each (F, T, B, N, N). u_ups: (F, B, N, N) velocities on the sources' rotors.
std::tuple<at::Tensor, at::Tensor> wake_transverse_velocities(
    const FlowField& ff, const TurbineGrid& grid, const SolvePrep& prep, const Sources& src,
    const at::Tensor& u_ups);

}  // namespace sorbane
