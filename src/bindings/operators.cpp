// The operator schemas of the namespace. Kernels are registered by the
// implementation block at the end of each model-family source file.
#include <torch/library.h>

TORCH_LIBRARY(sorbane_cpp, m) {
    m.def("gauss_velocity_deficit(Tensor x_recv, Tensor y_recv, Tensor z_recv, Tensor x_ups, Tensor y_ups, Tensor ct_ups, Tensor yaw_ups, Tensor ti_ups, Tensor deflection, Tensor hub_h, Tensor rotor_d, float alpha, float beta, float ka, float kb, float sigmoid_k) -> Tensor");
    m.def("gauss_deflection(Tensor x_i, Tensor y_i, Tensor x_recv, Tensor ct_ups, Tensor yaw_ups, Tensor ti_ups, Tensor rotor_d, float alpha, float beta, float ka, float kb, float ad, float bd, float dm) -> Tensor");
    m.def("sosfs_combination(Tensor deficits, int dim) -> Tensor");
    m.def("crespo_hernandez_ti(Tensor x_recv, Tensor x_i, Tensor rotor_d, Tensor axial_induction, Tensor ambient_ti, float initial, float constant, float ai_exp, float downstream) -> Tensor");
    m.def("interp1d(Tensor x, Tensor y, Tensor xnew) -> Tensor");
    m.def("gauss_transverse_velocities(Tensor x_recv, Tensor y_recv, Tensor z_recv, Tensor x_ups, Tensor y_ups, Tensor u_ups, Tensor u_initial, Tensor yaw_ups, Tensor ct_ups, Tensor ai_ups, Tensor tsr_ups, Tensor hub_h, Tensor rotor_d, float wind_shear, float eps_gain) -> (Tensor, Tensor)");
    m.def("wake_added_yaw(Tensor u_i, Tensor v_i, Tensor u_initial_i, Tensor delta_y, Tensor z_i, Tensor ct_i, Tensor ai_i, float tsr_i, float hub_height, float rotor_diameter, float wind_shear) -> Tensor");
    m.def("yaw_added_turbulence_mixing(Tensor u_i, Tensor I_i, Tensor v_i, Tensor w_i, Tensor turb_v_i, Tensor turb_w_i) -> Tensor");
}
