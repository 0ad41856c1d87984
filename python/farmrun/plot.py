"""Pictures: the farm's power map with per-turbine energy, a flow plane, the yaw table
and an optimised layout. Every figure is rendered in memory (``figure_bytes``, in
the format its file name asks for), so nothing is written if drawing fails.
"""
from __future__ import annotations

import io
import math
from pathlib import Path

import numpy as np
import torch

from .energy import AnnualEnergy
from .errors import FarmError
from .farm import FarmDescription, FarmResult
from .flow import FlowPlane, downwind
from .io.atomic import write_bytes_atomic
from .optimize.geometry import Circle
from .optimize.layout import LayoutResult
from .optimize.yaw import YawResult
from .optimize.yaw_outputs import by_direction

__all__ = ["farm_figure", "figure_bytes", "figure_format", "layout_figure", "plane_figure",
           "plot_farm", "plot_plane", "png_bytes", "yaw_figure"]

# Above this many turbines the yaw angles are a heat map: one line per turbine
# no longer reads.
YAW_LINES_UP_TO = 10

def _rotor_segments(x, y, diameter, direction_deg, yaw_deg):
    """End points of each rotor drawn as a line across the wind, turned clockwise by its yaw."""
    dx, dy = downwind(direction_deg)
    out = []
    for xi, yi, yaw in zip(x, y, yaw_deg):
        c, s = math.cos(math.radians(-yaw)), math.sin(math.radians(-yaw))
        # Across the wind: the downwind vector turned 90 degrees anticlockwise, then by the yaw.
        px, py = -dy, dx
        px, py = c * px - s * py, s * px + c * py
        h = 0.5 * diameter
        out.append(((xi - h * px, xi + h * px), (yi - h * py, yi + h * py)))
    return out


# --- figures ----------------------------------------------------------------

def _figure(size):
    from matplotlib.figure import Figure
    w, h = size
    return Figure(figsize=(w / 100.0, h / 100.0), dpi=100)


def png_bytes(fig) -> bytes:
    """The figure as a PNG, rendered in memory (so nothing is written if it fails)."""
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=100)
    return buf.getvalue()


def figure_format(path, option: str = "--plot") -> str:
    """The image format that ``path``'s extension names, as matplotlib calls it;
    FarmError naming ``option`` for an extension matplotlib does not draw."""
    from matplotlib.backend_bases import FigureCanvasBase
    # PGF is LaTeX source that needs a LaTeX installation to draw.
    known = sorted(set(FigureCanvasBase.get_supported_filetypes()) - {"pgf"})
    ext = Path(str(path)).suffix.lower().removeprefix(".")
    if ext not in known:
        what = f"a .{ext} file" if ext else "a file without an extension"
        raise FarmError(option, f"cannot draw {what} ({path}); name one ending in "
                                f"{', '.join('.' + e for e in known)}")
    return ext


def figure_bytes(fig, path) -> bytes:
    """The figure in the format of ``path``'s extension, rendered in memory."""
    buf = io.BytesIO()
    fig.savefig(buf, format=figure_format(path), dpi=100)
    return buf.getvalue()


def _save(fig, path):
    write_bytes_atomic(path, figure_bytes(fig, path))


def _wind_arrow(ax, direction, x0, x1, y0, y1):
    dx, dy = downwind(direction)
    L = 0.08 * max(x1 - x0, y1 - y0)
    cx, cy = x0 + 0.1 * (x1 - x0), y1 - 0.08 * (y1 - y0)
    ax.annotate("", xy=(cx + L * dx / 2, cy + L * dy / 2), xytext=(cx - L * dx / 2, cy - L * dy / 2),
                arrowprops=dict(arrowstyle="-|>", lw=2, color="black"))
    ax.text(cx + 0.8 * L, cy, f"wind from {direction:g}°", ha="left", va="center")


def _draw_rotors(ax, x, y, diameter, direction, yaw, colors=None, color="black"):
    for i, (sx, sy) in enumerate(_rotor_segments(x, y, diameter, direction, yaw)):
        ax.plot(sx, sy, lw=3, solid_capstyle="butt",
                color=colors[i] if colors is not None else color)


def plot_farm(farm: FarmDescription, result: FarmResult, energy: AnnualEnergy, path,
              case: int | None = None, size=(1600, 700)) -> int:
    """Writes ``farm_figure`` as a PNG to ``path``; returns the case shown."""
    fig, f = farm_figure(farm, result, energy, case, size)
    _save(fig, path)
    return f


def farm_figure(farm: FarmDescription, result: FarmResult, energy: AnnualEnergy,
                case: int | None = None, size=(1600, 700)):
    """(a) The layout in flow case ``case`` (default: the most frequent), each rotor
    coloured by its power over that of an unwaked, unyawed turbine at its height;
    (b) per-turbine AEP with and without wakes. Returns the figure and the case shown."""
    import matplotlib
    from matplotlib import cm, colors as mcolors

    f = int(torch.argmax(result.frequencies)) if case is None else case
    # Each turbine against its own type's unwaked power.
    u_free = result.rotor_velocity_no_wake[f].cpu()
    type_of = farm.turbine_type or [0] * len(u_free)
    free = torch.zeros_like(u_free)
    for k, t in enumerate(farm.turbine_types):
        speeds = torch.tensor(t.wind_speed, dtype=result.power.dtype)
        table = torch.tensor(t.power, dtype=result.power.dtype)
        own = torch.tensor([i == k for i in type_of])
        free = torch.where(own, torch.ops.sorbane_cpp.interp1d(speeds, table, u_free).clamp_min(0.0),
                           free)
    ratio = (result.power[f].cpu() / free.clamp_min(1e-9)).clamp(0.0, 1.0).tolist()
    x, y = result.layout_x.cpu().tolist(), result.layout_y.cpu().tolist()
    direction = float(result.wind_directions[f])

    fig = _figure(size)
    ax, bx = fig.add_subplot(1, 2, 1), fig.add_subplot(1, 2, 2)
    norm = mcolors.Normalize(vmin=min(0.5, min(ratio)), vmax=1.0)
    cmap = matplotlib.colormaps["viridis"]
    _draw_rotors(ax, x, y, t.rotor_diameter, direction, result.yaw_angles[f].cpu().tolist(),
                 colors=[cmap(norm(r)) for r in ratio])
    for i, (xi, yi) in enumerate(zip(x, y)):
        ax.annotate(str(i), (xi, yi), textcoords="offset points", xytext=(6, 6), fontsize=8)
    D = t.rotor_diameter
    xb, yb = list(x), list(y)
    for bx_, by_ in farm.boundaries or ():  # the site's outline, where the farm file gives one
        ax.plot(bx_, by_, color="0.4", lw=1, ls="--")
        xb += bx_
        yb += by_
    x0, x1, y0, y1 = min(xb) - 2 * D, max(xb) + 2 * D, min(yb) - 2 * D, max(yb) + 2 * D
    y1 += 0.2 * (y1 - y0)  # room for the wind arrow above the layout
    ax.set_xlim(x0, x1)
    ax.set_ylim(y0, y1)
    ax.set_aspect("equal")
    _wind_arrow(ax, direction, x0, x1, y0, y1)
    fig.colorbar(cm.ScalarMappable(norm=norm, cmap=cmap), ax=ax,
                 label="power / unwaked turbine")
    ax.set_xlabel("x [m] (east)")
    ax.set_ylabel("y [m] (north)")
    ax.set_title(f"{farm.name}: {float(result.wind_speeds[f]):g} m/s from {direction:g}°")

    idx = list(range(len(x)))
    bx.bar([i - 0.2 for i in idx], energy.turbine_aep_no_wake_gwh.tolist(), width=0.4,
           label="without wakes", color="0.75")
    bx.bar([i + 0.2 for i in idx], energy.turbine_aep_gwh.tolist(), width=0.4,
           label="with wakes", color=cmap(0.35))
    bx.set_xticks(idx)
    bx.set_xlabel("turbine")
    bx.set_ylabel("AEP [GWh]")
    bx.set_title(f"AEP {energy.aep_gwh:.1f} GWh, wake loss {energy.wake_loss_percent:.2f} %")
    bx.legend(loc="lower right")
    fig.tight_layout()
    return fig, f


def plot_plane(plane: FlowPlane, path, size=None) -> None:
    """Writes ``plane_figure`` to ``path``."""
    _save(plane_figure(plane, size), path)


def _fit_to_aspect(fig, ax) -> None:
    """Shrinks the figure by the margin an equal-aspect plot leaves unused, so
    that the plot fills it: a row of turbines gives a wide, low picture rather
    than a band across a tall, empty one."""
    for _ in range(4):  # the labels' room changes with the size: a few passes settle it
        fig.tight_layout()
        fig.canvas.draw()  # applies the aspect
        full, used = ax.get_position(original=True), ax.get_position(original=False)
        w, h = fig.get_size_inches()
        spare_w, spare_h = (full.width - used.width) * w, (full.height - used.height) * h
        if max(spare_w, spare_h) < 0.02:
            break
        fig.set_size_inches(max(w - spare_w, 3.0), max(h - spare_h, 3.0))


def plane_figure(plane: FlowPlane, size=None):
    """Filled contours of the plane's velocity with the rotors drawn in; without
    ``size`` the figure is at most 1400 x 900 pixels, cut to the plane's aspect
    ratio."""
    case = plane.case
    farm = case.farm
    fig = _figure(size or (1400, 900))
    ax = fig.add_subplot(1, 1, 1)
    cs = ax.contourf(plane.x.numpy(), plane.y.numpy(), plane.u.double().numpy(), levels=40,
                     cmap="Blues_r")
    # The colour bar hangs on the axes, so it follows the plot's equal-aspect box.
    fig.colorbar(cs, cax=ax.inset_axes([1.02, 0.0, 0.02, 1.0]),
                 label="streamwise velocity [m/s]")
    _draw_rotors(ax, list(farm.layout_x), list(farm.layout_y),
                 max(t.rotor_diameter for t in farm.turbine_types),
                 case.direction, case.yaw_layout.cpu().tolist())
    x0, x1 = float(plane.x[0]), float(plane.x[-1])
    y0, y1 = float(plane.y[0]), float(plane.y[-1])
    _wind_arrow(ax, case.direction, x0, x1, y0, y1)
    ax.set_aspect("equal")
    ax.set_xlabel("x [m] (east)")
    ax.set_ylabel("y [m] (north)")
    ax.set_title(f"{farm.name}: {case.speed:g} m/s from {case.direction:g}°, "
                 f"plane at {plane.height:g} m")
    if size is None:
        _fit_to_aspect(fig, ax)
    fig.tight_layout()
    return fig


def yaw_figure(result: YawResult, size=(1400, 600)):
    """Yaw angle against wind direction per turbine at the most frequent wind
    speed, and the AEP gain by direction."""
    fig = _figure(size)
    ax_yaw, ax_gain = fig.subplots(1, 2)
    ws = np.round(result.wind_speeds.numpy(), 9)
    w = result.frequencies.numpy()
    speeds = np.unique(ws)
    share = np.array([w[ws == s].sum() for s in speeds])
    speed = speeds[int(np.argmax(share))]
    m = ws == speed
    wd = result.wind_directions.numpy()[m] % 360.0
    order = np.argsort(wd)
    yaw = result.yaw_angles.numpy()[m][order]
    wd = wd[order]
    ax_yaw.set_xlabel("wind direction [deg]")
    ax_yaw.set_title(f"optimised yaw at {speed:g} m/s")
    if yaw.shape[1] <= YAW_LINES_UP_TO:
        for t in range(yaw.shape[1]):
            ax_yaw.plot(wd, yaw[:, t], marker=".", linewidth=1, label=f"{t}")
        ax_yaw.set_ylabel("yaw angle [deg]")
        ax_yaw.axhline(0.0, color="0.6", linewidth=0.8)
        ax_yaw.legend(title="turbine", fontsize="small", ncol=2)
    else:
        # Turbine by direction, zero yaw white, the sign of the turn by colour.
        bound = max(abs(result.bounds.min_yaw), abs(result.bounds.max_yaw), 1e-9)
        mesh = ax_yaw.pcolormesh(wd, np.arange(yaw.shape[1]), yaw.T, shading="nearest",
                                 cmap="RdBu_r", vmin=-bound, vmax=bound)
        fig.colorbar(mesh, ax=ax_yaw, label="yaw angle [deg]")
        ax_yaw.set_ylabel("turbine")
    rows = by_direction(result)
    dirs = np.array([r["wind_direction"] for r in rows])
    # One direction is a single value, not a sector: a thin bar.
    width = 0.8 * float(np.diff(dirs).min()) if len(dirs) > 1 else 2.0
    ax_gain.bar(dirs, [r["gain_percent"] for r in rows], width=width)
    if len(dirs) == 1:
        ax_gain.set_xlim(dirs[0] - 15.0, dirs[0] + 15.0)
        ax_gain.set_xticks(dirs)
    ax_gain.set_xlabel("wind direction [deg]")
    ax_gain.set_ylabel("AEP gain [%]")
    ax_gain.set_title(f"gain {result.aep_gain_percent:.2f} % of "
                      f"{result.aep_baseline_gwh:.1f} GWh")
    fig.tight_layout()
    return fig


def layout_figure(result: LayoutResult, farm: FarmDescription, size=(1500, 700)):
    """(a) the boundary, the initial and the optimised positions, a line from
    each old to its new place; (b) the AEP per iteration."""
    fig = _figure(size)
    ax, bx = fig.add_subplot(1, 2, 1), fig.add_subplot(1, 2, 2)
    for g in result.regions:
        if isinstance(g, Circle):
            a = np.linspace(0.0, 2 * math.pi, 200)
            ax.plot(g.x + g.radius * np.cos(a), g.y + g.radius * np.sin(a), color="0.3", lw=1)
        else:
            ax.plot(np.append(g.x, g.x[0]), np.append(g.y, g.y[0]), color="0.3", lw=1)
    for xa, ya, xb, yb in zip(result.initial_x, result.initial_y, result.layout_x,
                              result.layout_y):
        ax.plot([xa, xb], [ya, yb], color="0.6", lw=0.8)
    ax.scatter(result.initial_x, result.initial_y, s=18, facecolors="none",
               edgecolors="0.4", label="initial")
    ax.scatter(result.layout_x, result.layout_y, s=22, color="tab:blue", label="optimised")
    ax.set_aspect("equal")
    ax.set_xlabel("x [m] (east)")
    ax.set_ylabel("y [m] (north)")
    ax.set_title(f"{farm.name}: {len(result.layout_x)} turbines, "
                 f"{result.min_spacing_m:g} m apart at least")
    # Beside the map, never over the boundary or the turbines.
    ax.legend(loc="upper left", bbox_to_anchor=(1.02, 1.0), fontsize=8)
    bx.plot(range(len(result.history)), result.history, marker="o", ms=3)
    bx.set_xlabel("iteration")
    bx.set_ylabel("AEP [GWh] (best feasible)")
    bx.set_title(f"AEP {result.aep_initial_gwh:.2f} -> {result.aep_optimized_gwh:.2f} GWh "
                 f"({result.aep_gain_percent:+.2f} %)")
    fig.tight_layout()
    return fig
