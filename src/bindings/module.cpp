// The Python module: entry, module functions and every class binding.
//
// Binding rules shared by all records: one no-argument constructor that
// value-initialises the record; every field a property of the same name,
// read/write or read-only; members registered in the order the host sees them;
// no class docstring and no instance __dict__ (a misspelt attribute raises
// AttributeError). Tensor properties hand out the stored tensor object itself.
#include "precision.h"
#include "records.h"
#include "solvers.h"

#include <torch/csrc/utils/pybind.h>

#include <vector>

namespace py = pybind11;
using namespace sorbane;

namespace {

constexpr const char* kModuleDoc =
    "\nsorbane_cpp \u2014 C++ libtorch solver backend for SORBANE.\n\n"
    "Phase 1 (build scaffolding): provides ping(), get_solver(), available_solvers().\n"
    "Subsequent phases add wake kernel ops (via torch.ops.sorbane_cpp.*) and the\n"
    "Farm / FlowField / TurbineGrid pybind11 classes.\n\n"
    "Quick-start::\n\n"
    "    from sorbane.cpp import sorbane_cpp\n"
    "    assert sorbane_cpp.ping() == \"pong\"\n"
    "    print(sorbane_cpp.available_solvers())\n";

constexpr const char* kGetSolverDoc =
    "Return a CppSolverBase instance by registry key.\n\n"
    "Raises ``KeyError`` for unknown keys, with a message listing all registered keys.\n"
    "This check runs at SorbaneModel.__init__ time (before run()) so feedback is immediate.\n\n"
    "Parameters\n----------\nkey : str\n    The cpp_solver_paradigm string, e.g. ``\"sequential\"``.\n\n"
    "Returns\n-------\nCppSolverBase\n    A shared_ptr to a fresh solver instance.\n";

constexpr const char* kAvailableSolversDoc =
    "List all registered C++ solver keys.\n\n"
    "Returns\n-------\nlist[str]\n    Keys in arbitrary order, e.g. ``[\"sequential\", \"jacobi\"]``.\n";

// A record class: bound with its only, value-initialising constructor.
template <typename Record>
py::class_<Record> bind_record(py::module_& m, const char* name) {
    py::class_<Record> cls(m, name);
    cls.def(py::init([] { return new Record(); }));  // new Record() value-initialises
    return cls;
}

void bind_farm(py::module_& m) {
    bind_record<Farm>(m, "Farm")
        .def_readwrite("layout_x", &Farm::layout_x)
        .def_readwrite("layout_y", &Farm::layout_y)
        .def_readwrite("hub_heights", &Farm::hub_heights)
        .def_readwrite("rotor_diameters", &Farm::rotor_diameters)
        .def_readwrite("yaw_angles", &Farm::yaw_angles)
        .def_readwrite("tilt_angles", &Farm::tilt_angles)
        .def_readwrite("n_turbines", &Farm::n_turbines)
        .def_readonly("yaw_angles_sorted", &Farm::yaw_angles_sorted)
        .def_readonly("tilt_angles_sorted", &Farm::tilt_angles_sorted)
        .def_readonly("sorted_indices", &Farm::sorted_indices)
        .def_readonly("unsorted_indices", &Farm::unsorted_indices)
        .def_readwrite("turbine_types", &Farm::turbine_types,
                       "int64 (T): each turbine's index into the farm's turbine tables, whose "
                       "thrust curve, reference tilt and tip-speed ratio it runs on; unset or "
                       "empty: every turbine runs on the first table.")
        .def_readwrite("turbines_in_layout_order", &Farm::turbines_in_layout_order,
                       "When True, hub_heights, rotor_diameters and turbine_types are in layout "
                       "order and initialize sorts them per flow case into hub_heights_sorted, "
                       "rotor_diameters_sorted and turbine_types_sorted (F, T), which the solvers "
                       "read; when False (the default) they are indexed by sorted position.")
        .def_readonly("hub_heights_sorted", &Farm::hub_heights_sorted)
        .def_readonly("rotor_diameters_sorted", &Farm::rotor_diameters_sorted)
        .def_readonly("turbine_types_sorted", &Farm::turbine_types_sorted)
        .def("initialize", &Farm::initialize, py::arg("sort_indices"),
             "Sort yaw_angles using sort_indices (argsort of x_rot from TurbineGrid).")
        .def("finalize", &Farm::finalize, py::arg("unsort_indices"),
             "Unsort yaw_angles_sorted back to original layout order.");
}

void bind_flow_field(py::module_& m) {
    bind_record<FlowField>(m, "FlowField")
        .def_readwrite("wind_speeds", &FlowField::wind_speeds)
        .def_readwrite("wind_directions", &FlowField::wind_directions)
        .def_readwrite("turbulence_intensities", &FlowField::turbulence_intensities)
        .def_readwrite("wind_shear", &FlowField::wind_shear)
        .def_readwrite("wind_veer", &FlowField::wind_veer)
        .def_readwrite("air_density", &FlowField::air_density)
        .def_readwrite("reference_wind_height", &FlowField::reference_wind_height)
        .def_readwrite("n_findex", &FlowField::n_findex)
        .def_readonly("u_initial_sorted", &FlowField::u_initial_sorted)
        .def_readonly("u_sorted", &FlowField::u_sorted)
        .def_readonly("u", &FlowField::u)
        .def_readonly("turbulence_intensity_field_sorted", &FlowField::turbulence_intensity_field_sorted)
        .def_readwrite("v_sorted", &FlowField::v_sorted)
        .def_readwrite("w_sorted", &FlowField::w_sorted)
        .def("initialize_velocity_field", &FlowField::initialize_velocity_field, py::arg("grid"),
             "Compute freestream + wind-shear velocity field on the rotor grid.")
        .def("finalize", &FlowField::finalize, py::arg("unsorted_indices"),
             "Alias u = u_sorted (Phase 2); Phase 3 will gather-unsort.");
}

void bind_turbine_grid(py::module_& m) {
    bind_record<TurbineGrid>(m, "TurbineGrid")
        .def_readwrite("turbine_coordinates", &TurbineGrid::turbine_coordinates)
        .def_readwrite("turbine_diameters", &TurbineGrid::turbine_diameters)
        .def_readwrite("wind_directions", &TurbineGrid::wind_directions)
        .def_readwrite("grid_resolution", &TurbineGrid::grid_resolution)
        .def_readwrite("n_turbines", &TurbineGrid::n_turbines)
        .def_readwrite("n_findex", &TurbineGrid::n_findex)
        .def_readwrite("x_center_of_rotation", &TurbineGrid::x_center_of_rotation)
        .def_readwrite("y_center_of_rotation", &TurbineGrid::y_center_of_rotation)
        .def_readonly("x_sorted", &TurbineGrid::x_sorted)
        .def_readwrite("y_sorted", &TurbineGrid::y_sorted)
        .def_readwrite("z_sorted", &TurbineGrid::z_sorted)
        .def_readonly("sorted_coord_indices", &TurbineGrid::sorted_coord_indices)
        .def_readonly("unsorted_indices", &TurbineGrid::unsorted_indices)
        .def_readwrite("order_per_case", &TurbineGrid::order_per_case,
                       "When True, set_grid sorts every flow case by its own rotated x, so that "
                       "cases of different wind directions can share a solve; when False (the "
                       "default) all cases take the order of the case-averaged rotated x.")
        .def_readwrite("rotor_grid_per_turbine", &TurbineGrid::rotor_grid_per_turbine,
                       "When True, each rotor's points are spread over its own diameter; when "
                       "False (the default) over that of turbine 0.")
        .def("set_grid", &TurbineGrid::set_grid,
             "Rotate turbine coords, build rotor grid, compute sort order (Phase 3).");
}

void bind_model_config(py::module_& m) {
    bind_record<ModelConfig>(m, "ModelConfig")
        .def_readwrite("cpp_solver_paradigm", &ModelConfig::cpp_solver_paradigm)
        .def_readwrite("device", &ModelConfig::device)
        .def_readwrite("velocity_model", &ModelConfig::velocity_model)
        .def_readwrite("deflection_model", &ModelConfig::deflection_model)
        .def_readwrite("turbulence_model", &ModelConfig::turbulence_model)
        .def_readwrite("combination_model", &ModelConfig::combination_model)
        .def_readwrite("enable_secondary_steering", &ModelConfig::enable_secondary_steering)
        .def_readwrite("enable_yaw_added_recovery", &ModelConfig::enable_yaw_added_recovery)
        .def_readwrite("enable_transverse_velocities", &ModelConfig::enable_transverse_velocities)
        .def_readwrite("enable_active_wake_mixing", &ModelConfig::enable_active_wake_mixing)
        .def_readwrite("turbine_grid_points", &ModelConfig::turbine_grid_points)
        .def_readwrite("alpha", &ModelConfig::alpha)
        .def_readwrite("beta", &ModelConfig::beta)
        .def_readwrite("ka", &ModelConfig::ka)
        .def_readwrite("kb", &ModelConfig::kb)
        .def_readwrite("sigmoid_k", &ModelConfig::sigmoid_k)
        .def_readwrite("ad", &ModelConfig::ad)
        .def_readwrite("bd", &ModelConfig::bd)
        .def_readwrite("dm", &ModelConfig::dm)
        .def_readwrite("ch_initial", &ModelConfig::ch_initial)
        .def_readwrite("ch_constant", &ModelConfig::ch_constant)
        .def_readwrite("ch_ai_exp", &ModelConfig::ch_ai_exp)
        .def_readwrite("ch_downstream", &ModelConfig::ch_downstream)
        .def_readwrite("jacobi_max_iters", &ModelConfig::jacobi_max_iters,
                       "Maximum Jacobi iterations. For a chain of T turbines, T-1 iterations "
                       "guarantee convergence. Default 30.")
        .def_readwrite("jacobi_chunk_size", &ModelConfig::jacobi_chunk_size,
                       "Number of upstream turbines processed per kernel batch. Controls peak "
                       "memory: F*T*chunk*ng^2*4 bytes. Default 8.")
        .def_readwrite("jacobi_tol", &ModelConfig::jacobi_tol,
                       "Convergence threshold: stop when max|u_new - u_prev| < tol. Default 1e-6.")
        .def_readwrite("jacobi_fixed_iters", &ModelConfig::jacobi_fixed_iters,
                       "When true, skip convergence check \u2014 run exactly jacobi_max_iters "
                       "iterations with zero mid-solve CPU<->GPU syncs. Use for GPU-resident or "
                       "autograd paths.");
}

void bind_power_thrust_table(py::module_& m) {
    using Table = Farm::PowerThrustTable;
    bind_record<Table>(m, "PowerThrustTable")
        .def_readwrite("wind_speed", &Table::wind_speed)
        .def_readwrite("thrust_coefficient", &Table::thrust_coefficient)
        .def_readwrite("power", &Table::power)
        .def_readwrite("ref_tilt", &Table::ref_tilt)
        .def_readwrite("tip_speed_ratio", &Table::tip_speed_ratio);
}

void bind_solvers(py::module_& m) {
    py::class_<CppSolverBase, std::shared_ptr<CppSolverBase>>(m, "CppSolverBase")
        .def("name", &CppSolverBase::name,
             "Return the solver's registry key string (e.g. 'sequential').")
        .def("on_grid_update", &CppSolverBase::on_grid_update, py::arg("grid"), py::arg("cfg"),
             "Notify solver of a grid geometry change.")
        .def("solve", &CppSolverBase::solve, py::arg("farm"), py::arg("ff"), py::arg("grid"),
             py::arg("cfg"), "Run the full wake computation, writing results to ff.u_sorted.");
    py::class_<SequentialSolver, CppSolverBase, std::shared_ptr<SequentialSolver>>(m, "SequentialSolver")
        .def(py::init<>());
    py::class_<JacobiSolver, CppSolverBase, std::shared_ptr<JacobiSolver>>(m, "JacobiSolver")
        .def(py::init<>());
}

}  // namespace

PYBIND11_MODULE(sorbane_cpp, m, py::multiple_interpreters::not_supported()) {
    m.doc() = kModuleDoc;
    m.def("ping", [] { return std::string("pong"); },
          "Returns 'pong'. Confirms the extension loaded and the basic C++ ABI works.");
    m.def("using_double", [] { return kUsingDouble; },
          "True if compiled with QUELVAR_USE_DOUBLE=ON (float64); False for float32.");
    m.def("get_solver", &make_solver, py::arg("key"), kGetSolverDoc);
    m.def("available_solvers", &solver_keys, kAvailableSolversDoc);
    m.def("set_fused_backward", &set_fused_backward, py::arg("enabled"),
          "Whether a sequential CPU solve that records a gradient may take the fused path, whose\n"
          "backward is hand-written (on by default); off, it goes op by op under autograd.\n"
          "Returns the previous setting.");
    m.def("last_solve_path", [] { return std::string(last_solve_path()); },
          "Which path the latest solve on this thread took: 'fused' (the fused CPU loops, with a\n"
          "hand-written backward when the solve records a gradient) or 'op_by_op' (tensor\n"
          "operations, differentiated by autograd); '' before the first solve.");

    bind_farm(m);
    bind_flow_field(m);
    bind_turbine_grid(m);
    bind_model_config(m);
    bind_power_thrust_table(m);

    // Each element is a view of a table stored in the farm (a deque, so appends
    // never move it), and keeps the farm alive.
    m.def(
        "farm_get_turbine_tables",
        [](Farm& farm) {
            std::vector<Farm::PowerThrustTable*> views;
            for (auto& table : farm.turbine_tables) views.push_back(&table);
            return views;
        },
        py::arg("farm"), py::return_value_policy::reference_internal,
        "Get mutable reference to farm.turbine_tables (list of PowerThrustTable).");
    m.def(
        "farm_add_turbine_table",
        [](Farm& farm, const Farm::PowerThrustTable& table) { farm.turbine_tables.push_back(table); },
        py::arg("farm"), py::arg("table"), "Append a PowerThrustTable to farm.turbine_tables.");

    bind_solvers(m);
}
