"""Command line: ``python -m farmrun run [FARM_FILE] ...``, ``plane ...``, ``optimize-yaw ...``
and ``optimize-layout ...``.

Every command checks its options and output paths, then the farm, before it
solves anything, and writes its files only once everything has succeeded.
"""
from __future__ import annotations

import argparse
import dataclasses
import sys
import time

import torch

from .energy import AnnualEnergy, annual_energy, energy_table_lines, energy_tables, farm_energy
from .engine import ENGINES, engine_client, engine_label
from .errors import EngineError, FarmError
from .example import example_farm
from .farm import FarmDescription, FarmResult
from .flow import flow_plane, plane_grid
from .io.atomic import check_output_paths, json_bytes, write_outputs
from .io.documents import package_version, run_document
from .io.farm_file import farm_to_dict, load_farm_file
from .io.netcdf import netcdf_bytes, result_dataset
from .io.windio import apply_power_curves, load_windio
from .io.windio_outputs import requested_output_paths, requested_outputs
from .optimize.geometry import site_regions
from .optimize.layout import optimize_layout, result_document
from .optimize.yaw import optimize_yaw, yaw_bounds
from .optimize.yaw_outputs import yaw_csv_bytes, yaw_document, yaw_summary_lines
from .plot import farm_figure, figure_bytes, figure_format, layout_figure, plane_figure, yaw_figure
from .runner import SOLVERS, run
from .spread import direction_offsets
from .validation import wind_direction_std

__all__ = ["main"]


def _load(args) -> FarmDescription:
    args.windio = None
    std = getattr(args, "wind_direction_std", None)
    if std is not None:
        # Checked before the farm, so a bad option fails first and at once.
        std = wind_direction_std("--wind-direction-std", std)
    if args.farm_file is None:
        farm = example_farm()
    elif str(args.farm_file).lower().endswith((".yaml", ".yml")):
        args.windio = load_windio(args.farm_file)
        for note in args.windio.notes:
            print(f"farmrun: note: {note}", file=sys.stderr)
        farm = args.windio.farm
    else:
        farm = load_farm_file(args.farm_file)
    return farm if std is None else dataclasses.replace(farm, wind_direction_std=std)


def _spread_text(std: float) -> str:
    """The header's words for a spread of wind directions, empty for none."""
    if not std:
        return ""
    return f", wind direction std {std:g} deg ({len(direction_offsets(std)[0])} directions a case)"


def _check_options(args) -> None:
    if args.device == "cuda" and not torch.cuda.is_available():
        raise FarmError("--device", "cuda was asked for, but no CUDA device is available")
    if args.plot is not None:
        figure_format(args.plot)  # a format matplotlib cannot draw stops the run here


def _fleet(args, farm: FarmDescription) -> str:
    """The header's "T x type"; a windIO farm of several types counts each."""
    if args.windio is not None:
        return args.windio.fleet()
    return farm.type_summary()


def _turbine_table(result: FarmResult, energy: AnnualEnergy) -> list[str]:
    mean_power = (result.frequencies.double().unsqueeze(1) * result.power.double()).sum(0)
    lines = [f"{'turbine':>7} {'x [m]':>10} {'y [m]':>10} {'mean speed [m/s]':>17} "
             f"{'mean power [MW]':>16} {'AEP [GWh]':>10} {'wake loss [%]':>14}"]
    for t in range(result.layout_x.shape[0]):
        lines.append(
            f"{t:7d} {float(result.layout_x[t]):10.1f} {float(result.layout_y[t]):10.1f} "
            f"{float(energy.turbine_mean_speed[t]):17.3f} {float(mean_power[t]) / 1e6:16.4f} "
            f"{float(energy.turbine_aep_gwh[t]):10.3f} "
            f"{float(energy.turbine_wake_loss_percent[t]):14.2f}")
    return lines


def _summary(energy: AnnualEnergy) -> list[str]:
    return ["Farm summary",
            f"  AEP with wakes:    {energy.aep_gwh:12.3f} GWh",
            f"  AEP without wakes: {energy.aep_no_wake_gwh:12.3f} GWh",
            f"  wake loss:         {energy.wake_loss_percent:12.2f} %",
            f"  ({energy.hours_per_year:g} h per year)"]


def _jacobi_warning(result: FarmResult) -> str | None:
    if not result.sweeps_may_not_have_settled:
        return None
    limit, n = min((l, c) for l, c in zip(result.sweep_limits, result.longest_chains)
                   if l < c - 1)
    return (f"farmrun: warning: the Jacobi sweeps may not have settled: model.jacobi_max_iters "
            f"{limit} is below the {n - 1} sweeps a downstream chain of {n} turbines needs; "
            "leave it unset to derive it from the farm")


def _cmd_run(args) -> int:
    _check_options(args)
    outputs = {"--json": args.json, "--plot": args.plot, "--netcdf": args.netcdf}
    check_output_paths(outputs)
    farm = _load(args)
    if args.windio is not None:
        check_output_paths(dict(outputs, **requested_output_paths(args.windio)))
    with engine_client(args.engine, args.scheduler, args.workers) as client:
        result = run(farm, solver=args.solver, device=args.device, batch_size=args.batch,
                     engine=args.engine, client=client)
        where = engine_label(client)
    written = []
    if args.windio is not None:
        result = apply_power_curves(args.windio, result)
    energy = annual_energy(result)
    tables = energy_tables(farm, result, energy.hours_per_year)
    files = {}
    if args.netcdf is not None or args.windio is not None:
        dataset = result_dataset(farm, result, energy, engine=args.engine)
        if args.netcdf is not None:
            files[args.netcdf] = netcdf_bytes(dataset)
            written.append(("NetCDF results", args.netcdf))
        if args.windio is not None:
            for path, (what, data) in requested_outputs(args.windio, result, dataset,
                                                        solver=args.solver,
                                                        device=args.device).items():
                files[path] = data
                written.append((what, path))
    if args.json is not None:
        files[args.json] = json_bytes(dict(run_document(farm, result, energy, args.device,
                                                        engine=args.engine), **tables))
    if args.plot is not None:
        fig, _ = farm_figure(farm, result, energy, size=args.size or (1600, 700))
        files[args.plot] = figure_bytes(fig, args.plot)
    warning = _jacobi_warning(result)
    if warning:
        print(warning, file=sys.stderr)
    write_outputs(files)
    print(f"{farm.name}: {_fleet(args, farm)}, {result.wind_speeds.shape[0]} flow cases"
          f"{_spread_text(result.wind_direction_std)}, solver {result.solver} on "
          f"{args.device}, engine {where}, {result.n_batches} batches, "
          f"{result.elapsed_s:.2f} s")
    print()
    print("\n".join(_turbine_table(result, energy)))
    print()
    print("\n".join(_summary(energy)))
    farms = farm_energy(result, energy)
    if len(farms) > 1:
        print()
        print(f"{'farm':<24} {'turbines':>8} {'AEP [GWh]':>12} {'without wakes [GWh]':>20} "
              f"{'wake loss [%]':>14}")
        for r in farms:
            print(f"{r['farm'][:24]:<24} {r['turbines']:8d} {r['aep_gwh']:12.3f} "
                  f"{r['aep_no_wake_gwh']:20.3f} {r['wake_loss_percent']:14.2f}")
    if args.by_direction:
        print()
        print("\n".join(energy_table_lines(tables)))
    for what, path in [("results", args.json), ("figure", args.plot)] + written:
        if path is not None:
            print(f"{what} written to {path}")
    return 0


def _cmd_plane(args) -> int:
    _check_options(args)
    check_output_paths({"--plot": args.plot})
    farm = _load(args)
    plane_grid(farm, args.direction, args.speed, args.ti, args.resolution, args.margin,
               args.height)
    left_out = [f"model.{name}" for name in ("enable_secondary_steering",
                "enable_transverse_velocities", "enable_yaw_added_recovery")
                if getattr(farm.model, name)]
    if left_out:
        print(f"farmrun: note: the plane leaves out {', '.join(left_out)}, which the farm "
              "turns on; behind yawed turbines it can differ from the solved rotors",
              file=sys.stderr)
    start = time.perf_counter()
    plane = flow_plane(farm, args.direction, args.speed, turbulence_intensity=args.ti,
                       solver=args.solver, device=args.device, resolution=args.resolution,
                       margin=args.margin, height=args.height)
    if not torch.isfinite(plane.u).all():
        raise FarmError("results", "the flow plane holds NaN or infinite velocities; "
                                   "nothing was written")
    write_outputs({args.plot: figure_bytes(plane_figure(plane, size=args.size), args.plot)})
    print(f"{farm.name}: flow plane at {plane.height:.1f} m, wind from {args.direction:g} deg "
          f"at {args.speed:g} m/s, {plane.u.shape[1]} x {plane.u.shape[0]} points, "
          f"{time.perf_counter() - start:.2f} s; figure written to {args.plot}")
    return 0


def _cmd_optimize_yaw(args) -> int:
    _check_options(args)
    yaw_bounds(args.min_yaw, args.max_yaw, names=("--min-yaw", "--max-yaw"))
    outputs = {"--json": args.json, "--csv": args.csv, "--plot": args.plot}
    check_output_paths(outputs)
    farm = _load(args)
    with engine_client(args.engine, args.scheduler, args.workers) as client:
        result = optimize_yaw(farm, min_yaw=args.min_yaw, max_yaw=args.max_yaw,
                              solver=args.solver, device=args.device, batch_size=args.batch,
                              engine=args.engine, client=client)
        where = engine_label(client)
    files = {}
    if args.json is not None:
        files[args.json] = json_bytes(dict(yaw_document(result, farm.name, farm.type_names(),
                                                        args.device), engine=args.engine))
    if args.csv is not None:
        files[args.csv] = yaw_csv_bytes(result)
    if args.plot is not None:
        files[args.plot] = figure_bytes(yaw_figure(result, size=args.size or (1400, 600)),
                                        args.plot)
    write_outputs(files)
    print(f"{farm.name}: {_fleet(args, farm)}, "
          f"{result.wind_speeds.shape[0]} flow cases ({result.searched} searched)"
          f"{_spread_text(result.wind_direction_std)}, yaw from "
          f"{result.bounds.min_yaw:g} to {result.bounds.max_yaw:g} deg, solver {result.solver} "
          f"on {args.device}, engine {where}, {result.n_batches} batches, "
          f"{result.evaluations} evaluations, "
          f"{result.elapsed_s:.2f} s")
    print()
    print("\n".join(yaw_summary_lines(result)))
    for what, path in (("results", args.json), ("yaw table", args.csv), ("figure", args.plot)):
        if path is not None:
            print(f"{what} written to {path}")
    return 0


def _cmd_optimize_layout(args) -> int:
    _check_options(args)
    check_output_paths({"--json": args.json, "--plot": args.plot,
                        "--write-farm": args.write_farm})
    farm = _load(args)
    if args.windio is not None and args.windio.turbine_power is not None:
        raise FarmError("wind_farm.turbine_types", "turbines with different power curves "
                                                   "cannot be optimised together")
    site_regions(farm)  # no boundary: stop before anything is solved
    result = optimize_layout(farm, min_spacing=args.min_spacing, max_iter=args.max_iter,
                             solver=args.solver, device=args.device, batch_size=args.batch)
    files = {}
    if args.json is not None:
        files[args.json] = json_bytes(dict(result_document(result, farm), solver=args.solver,
                                           device=args.device, version=package_version()))
    if args.plot is not None:
        files[args.plot] = figure_bytes(layout_figure(result, farm, size=args.size or
                                                      (1500, 700)), args.plot)
    if args.write_farm is not None:
        files[args.write_farm] = json_bytes(farm_to_dict(result.farm))
    write_outputs(files)
    per = result.gradient_s / max(result.evaluations, 1)
    print(f"{farm.name}: {_fleet(args, farm)}, {len(result.farm.cases.wind_speeds)} flow "
          f"cases{_spread_text(farm.wind_direction_std)}, at least {result.min_spacing_m:g} m "
          f"apart, solver {args.solver} on {args.device}")
    if result.restored:
        print("  the start broke a constraint and was first moved to the nearest feasible layout")
    print(f"  AEP initial:   {result.aep_initial_gwh:12.3f} GWh")
    print(f"  AEP optimised: {result.aep_optimized_gwh:12.3f} GWh")
    print(f"  gain:          {result.aep_gain_percent:12.3f} %")
    print(f"  {result.iterations} iterations, {result.evaluations} AEP gradients "
          f"({per:.2f} s each), {result.elapsed_s:.1f} s; {result.message}")
    for what, path in [("results", args.json), ("figure", args.plot),
                       ("farm file", args.write_farm)]:
        if path is not None:
            print(f"{what} written to {path}")
    return 0


def _add_optimize_yaw(sub, common) -> None:
    y = sub.add_parser("optimize-yaw", help="yaw angles per flow case that maximise farm power "
                       "(wake steering), and the AEP gain")
    common(y, spread=True)
    _engine_options(y)
    y.add_argument("--min-yaw", type=float, default=-25.0, metavar="DEG",
                   help="lowest yaw angle, degrees (-25)")
    y.add_argument("--max-yaw", type=float, default=25.0, metavar="DEG",
                   help="highest yaw angle, degrees (25)")
    _result_options(y, "write the results as JSON", "draw the yaw angles by wind direction at "
                    "the most frequent speed, and the gain by direction", "1400x600")
    y.add_argument("--csv", metavar="OUT", help="write the yaw table (one row per flow case)")
    y.set_defaults(handler=_cmd_optimize_yaw)


def _spacing(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of rotor diameters, "
                                         f"got {text!r}") from None


def _add_optimize_layout(sub, common) -> None:
    o = sub.add_parser("optimize-layout", help="move the turbines for the most AEP inside "
                       "the site boundary")
    common(o, spread=True)
    o.add_argument("--min-spacing", type=_spacing, default=2.0, metavar="D",
                   help="least distance between turbines in rotor diameters (2)")
    o.add_argument("--max-iter", type=_positive_int, default=100, metavar="N",
                   help="at most N optimiser iterations (100)")
    _result_options(o, "write the optimised layout and AEPs as JSON", "draw the boundary, the "
                    "old and new positions and the AEP per iteration", "1500x700")
    o.add_argument("--write-farm", metavar="OUT", help="write the optimised farm as a JSON "
                   "farm file")
    o.set_defaults(handler=_cmd_optimize_layout)


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {value}")
    return value


def _size(text: str) -> tuple[int, int]:
    try:
        w, h = (int(v) for v in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected WIDTHxHEIGHT in pixels, got {text!r}") from None
    if not (50 <= w <= 10000 and 50 <= h <= 10000):
        raise argparse.ArgumentTypeError(f"expected 50 to 10000 pixels a side, got {text!r}")
    return w, h


def _result_options(s, json_help: str, plot_help: str, size: str) -> None:
    """--batch, --json, --plot and --size, as every command that solves a farm takes them."""
    s.add_argument("--batch", type=_positive_int, metavar="N",
                   help="at most N flow cases per solve (default: bounded by memory; "
                        "one wind direction per solve always)")
    s.add_argument("--json", metavar="OUT", help=json_help)
    s.add_argument("--plot", metavar="OUT.png", help=f"{plot_help} (the format follows the "
                   "extension: .png, .svg, .pdf, .jpg, ...)")
    s.add_argument("--size", type=_size, metavar="WxH", help=f"figure size in pixels ({size})")


def _engine_options(s) -> None:
    """--engine, --scheduler, --workers: where the batches are solved."""
    s.add_argument("--engine", choices=ENGINES, default="local",
                   help="solve the batches here (local) or as tasks on a Dask cluster (dask)")
    s.add_argument("--scheduler", metavar="ADDRESS",
                   help="with --engine dask: the scheduler of a running cluster, such as "
                        "tcp://head:8786")
    s.add_argument("--workers", type=_positive_int, metavar="N",
                   help="with --engine dask: start a cluster of N worker processes on this "
                        "machine for the run (default without --scheduler: one per core)")


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="farmrun", description="Wind-farm power and annual energy with the sorbane_cpp "
        "wake solvers. Without FARM_FILE the built-in example runs (16 IEA 3.4 MW turbines, "
        "a synthetic 12-sector wind rose).")
    p.add_argument("--version", action="version", version=f"farmrun {package_version()}")
    sub = p.add_subparsers(dest="command", required=True)

    def common(s, spread=False):
        s.add_argument("farm_file", nargs="?", metavar="FARM_FILE",
                       help="JSON farm file, or a windIO wind_energy_system (.yaml, .yml)")
        s.add_argument("--solver", choices=SOLVERS, default="sequential",
                       help="sequential: one pass downstream through the turbines (default); "
                            "jacobi: sweeps over all turbines at once until the flow settles")
        s.add_argument("--device", choices=("cpu", "cuda"), default="cpu",
                       help="where the solves run: cpu (default) or cuda (an NVIDIA GPU)")
        if spread:
            s.add_argument("--wind-direction-std", type=float, metavar="DEG",
                           help="standard deviation of the wind direction about each case's "
                                "nominal one, degrees (0 to 45; overrides the farm file's "
                                "wind_direction_std): results are the expectations over it")

    r = sub.add_parser("run", help="per-turbine power, AEP and wake loss")
    common(r, spread=True)
    _result_options(r, "write the results as JSON", "draw the power map of the most frequent "
                    "flow case and the per-turbine AEP", "1600x700")
    r.add_argument("--netcdf", metavar="OUT.nc", help="write the results as a NetCDF file "
                   "(an xarray Dataset over turbines and flow cases)")
    r.add_argument("--by-direction", action="store_true",
                   help="print AEP and wake loss per wind direction and per wind speed")
    _engine_options(r)
    r.set_defaults(handler=_cmd_run)

    q = sub.add_parser("plane", help="streamwise velocity on a horizontal plane at hub height")
    common(q)
    q.add_argument("--direction", type=float, required=True, metavar="D",
                   help="wind direction, degrees (where the wind comes from)")
    q.add_argument("--speed", type=float, required=True, metavar="U",
                   help="wind speed at the reference height, m/s")
    q.add_argument("--ti", type=float, default=0.06, help="ambient turbulence intensity (0.06)")
    q.add_argument("--resolution", type=float, default=10.0, metavar="M",
                   help="point spacing in metres (10)")
    q.add_argument("--margin", type=float, default=None, metavar="M",
                   help="extent beyond the outermost turbines, metres (default: 3 rotor "
                        "diameters upstream and sideways, 10 downstream)")
    q.add_argument("--height", type=float, default=None, metavar="M",
                   help="plane height (default: the turbine type's hub height)")
    q.add_argument("--plot", required=True, metavar="OUT.png", help="figure to write (the format follows the extension)")
    q.add_argument("--size", type=_size, metavar="WxH", help="figure size in pixels (1400x900)")
    q.set_defaults(handler=_cmd_plane)
    _add_optimize_yaw(sub, common)
    _add_optimize_layout(sub, common)
    return p


def main(argv=None) -> int:
    """Exit status 0, 2 for a farm or option error (nothing written), 1 when a
    file cannot be written, memory runs out or a batch fails on a Dask
    cluster, 130 on Ctrl-C."""
    try:
        args = _parser().parse_args(argv)
        return args.handler(args)
    except FarmError as e:
        print(f"farmrun: error: {e}", file=sys.stderr)
        return 2
    except EngineError as e:
        print(f"farmrun: error: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        where = f"{e.filename}: " if e.filename else ""
        print(f"farmrun: error: {where}{e.strerror or e}", file=sys.stderr)
        return 1
    except (MemoryError, torch.OutOfMemoryError):
        print("farmrun: error: out of memory; try a smaller --batch", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("farmrun: interrupted", file=sys.stderr)
        return 130

