"""The site and the spacing of a layout: polygons and circles, signed distances, constraints.

A site is one or more regions (simple polygons, or one circle) that a turbine
must stand in. Its constraint is the signed distance of each turbine to the
site's outline, positive inside: for a polygon the distance to the nearest
edge (the even-odd rule gives the sign), for a circle the radius less the
distance to the centre, for several regions the largest over them (a turbine
may stand in any of them). Spacing is |p_i - p_j|^2 - s^2 >= 0 per pair,
squared so that it stays smooth where two turbines meet. Both come with their
analytic gradients.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Sequence

import numpy as np

from ..errors import FarmError
from ..farm import FarmDescription
from ..validation import numbers, show

__all__ = ["Circle", "Polygon", "boundary_distance", "boundary_document", "check_polygon",
           "close_pairs", "site_regions", "spacing_constraints", "violation"]

@dataclass
class Polygon:
    """One simple polygon, vertices in order, anticlockwise, not repeating the first."""

    x: np.ndarray
    y: np.ndarray


@dataclass
class Circle:
    x: float
    y: float
    radius: float


def _cross(ax, ay, bx, by):
    return ax * by - ay * bx


def _orientation(px, py, qx, qy, rx, ry):
    """Sign of the turn p -> q -> r: 1 anticlockwise, -1 clockwise, 0 collinear."""
    return np.sign(_cross(qx - px, qy - py, rx - px, ry - py))


def _on_segment(px, py, qx, qy, rx, ry):
    """Whether r, collinear with p -> q, lies on the segment."""
    return ((np.minimum(px, qx) <= rx) & (rx <= np.maximum(px, qx))
            & (np.minimum(py, qy) <= ry) & (ry <= np.maximum(py, qy)))


def check_polygon(path: str, vertices) -> Polygon:
    """A list of [x, y] vertices of one simple polygon, in either order (a last
    vertex repeating the first is dropped); raises FarmError naming ``path``."""
    if hasattr(vertices, "tolist"):
        vertices = vertices.tolist()
    if isinstance(vertices, (str, bytes, dict)) or not isinstance(vertices, Sequence):
        raise FarmError(path, f"expected a list of [x, y] vertices, got {show(vertices)}")
    pts = [numbers(f"{path}[{i}]", v, n=2) for i, v in enumerate(vertices)]
    if len(pts) > 1 and pts[0] == pts[-1]:
        pts = pts[:-1]
    if len(pts) < 3:
        raise FarmError(path, f"expected at least 3 vertices, got {len(pts)}")
    x, y = np.array(pts, dtype=float).T
    n = len(x)
    bx, by = np.roll(x, -1), np.roll(y, -1)
    for i in range(n):
        if x[i] == bx[i] and y[i] == by[i]:
            raise FarmError(path, f"vertices {i} and {(i + 1) % n} coincide at "
                                  f"({x[i]:g}, {y[i]:g})")
    # Every pair of edges: two that are not neighbours must not meet, and two
    # neighbours must not fold back onto each other.
    i, j = np.triu_indices(n, 1)
    o1 = _orientation(x[i], y[i], bx[i], by[i], x[j], y[j])
    o2 = _orientation(x[i], y[i], bx[i], by[i], bx[j], by[j])
    o3 = _orientation(x[j], y[j], bx[j], by[j], x[i], y[i])
    o4 = _orientation(x[j], y[j], bx[j], by[j], bx[i], by[i])
    meet = ((o1 * o2 < 0) & (o3 * o4 < 0)) \
        | ((o1 == 0) & _on_segment(x[i], y[i], bx[i], by[i], x[j], y[j])) \
        | ((o2 == 0) & _on_segment(x[i], y[i], bx[i], by[i], bx[j], by[j])) \
        | ((o3 == 0) & _on_segment(x[j], y[j], bx[j], by[j], x[i], y[i])) \
        | ((o4 == 0) & _on_segment(x[j], y[j], bx[j], by[j], bx[i], by[i]))
    after = j == i + 1                      # edge j starts where edge i ends
    before = (i == 0) & (j == n - 1)        # edge j ends where edge i starts
    # Neighbours share a vertex; they overlap only when collinear and turning back.
    fold = np.where(after, (o2 == 0) & ((bx[j] - x[j]) * (bx[i] - x[i])
                                         + (by[j] - y[j]) * (by[i] - y[i]) < 0),
                    np.where(before, (o4 == 0) & ((bx[j] - x[j]) * (bx[i] - x[i])
                                                   + (by[j] - y[j]) * (by[i] - y[i]) < 0),
                             meet))
    bad = np.flatnonzero(fold)
    if bad.size:
        a, b = int(i[bad[0]]), int(j[bad[0]])
        raise FarmError(path, f"intersects itself: edge {a} (vertex {a} to {(a + 1) % n}) "
                              f"meets edge {b} (vertex {b} to {(b + 1) % n})")
    area = 0.5 * float(np.sum(_cross(x, y, bx, by)))
    if area < 0:
        x, y = x[::-1].copy(), y[::-1].copy()
    return Polygon(x, y)


def site_regions(farm: FarmDescription) -> list[Polygon | Circle]:
    """The regions the turbines must stand in: the farm's circle, or its polygons."""
    if getattr(farm, "boundary_circle", None) is not None:
        cx, cy, r = farm.boundary_circle
        return [Circle(float(cx), float(cy), float(r))]
    regions = [check_polygon(f"boundaries[{k}]", list(zip(xs, ys)))
               for k, (xs, ys) in enumerate(farm.boundaries or ())]
    if not regions:
        raise FarmError("boundary", "layout optimisation needs a site boundary: a 'boundary' "
                                    "key in the farm file or site.boundaries in a windIO system")
    return regions


def _polygon_distance(poly: Polygon, px, py):
    """Signed distance (positive inside) of the points to the polygon, and its gradient."""
    ax, ay = poly.x, poly.y
    ex, ey = np.roll(ax, -1) - ax, np.roll(ay, -1) - ay
    wx, wy = px[:, None] - ax, py[:, None] - ay
    t = np.clip((wx * ex + wy * ey) / (ex * ex + ey * ey), 0.0, 1.0)
    dx, dy = wx - t * ex, wy - t * ey
    k = np.argmin(dx * dx + dy * dy, axis=1)
    r = np.arange(len(px))
    dx, dy = dx[r, k], dy[r, k]
    dist = np.hypot(dx, dy)
    # Even-odd rule: crossings of a ray towards +x.
    straddle = (ay > py[:, None]) != (ay + ey > py[:, None])
    safe = np.where(ey == 0.0, 1.0, ey)
    cross = straddle & (px[:, None] < ax + (py[:, None] - ay) * ex / safe)
    sign = np.where(cross.sum(axis=1) % 2 == 1, 1.0, -1.0)
    # On the outline itself the gradient is the inward normal of the edge
    # (the vertices run anticlockwise, so inward is to the left).
    length = np.hypot(ex[k], ey[k])
    on = dist < 1e-9 * max(1.0, float(length.max()))
    gx = np.where(on, -ey[k] / length, sign * dx / np.where(on, 1.0, dist))
    gy = np.where(on, ex[k] / length, sign * dy / np.where(on, 1.0, dist))
    return sign * dist, gx, gy


def _circle_distance(c: Circle, px, py):
    dx, dy = px - c.x, py - c.y
    dist = np.hypot(dx, dy)
    safe = np.where(dist > 0, dist, 1.0)
    return c.radius - dist, -dx / safe, -dy / safe


def boundary_distance(regions, px, py):
    """Each point's signed distance to the site (m, positive inside) and its
    gradient with respect to the point's x and y: three (T,) arrays."""
    px, py = np.asarray(px, dtype=float), np.asarray(py, dtype=float)
    parts = [(_circle_distance if isinstance(g, Circle) else _polygon_distance)(g, px, py)
             for g in regions]
    d = np.stack([p[0] for p in parts])
    best = np.argmax(d, axis=0)
    r = np.arange(len(px))
    return (d[best, r], np.stack([p[1] for p in parts])[best, r],
            np.stack([p[2] for p in parts])[best, r])


def close_pairs(px, py, reach=None):
    """Index pairs (i < j), all of them or those closer than ``reach``."""
    i, j = np.triu_indices(len(px), 1)
    if reach is not None:
        keep = np.hypot(px[i] - px[j], py[i] - py[j]) < reach
        i, j = i[keep], j[keep]
    return i, j


def spacing_constraints(px, py, pairs, spacing):
    """|p_i - p_j|^2 - s^2 per pair (m^2, non-negative when far enough apart)
    and its Jacobian, (P, 2T) over [x..., y...]."""
    i, j = pairs
    dx, dy = px[i] - px[j], py[i] - py[j]
    T, P = len(px), len(i)
    jac = np.zeros((P, 2 * T))
    r = np.arange(P)
    jac[r, i], jac[r, j] = 2 * dx, -2 * dx
    jac[r, T + i], jac[r, T + j] = 2 * dy, -2 * dy
    return dx * dx + dy * dy - spacing * spacing, jac


def violation(regions, px, py, spacing, movable=None) -> float:
    """The worst shortfall of the layout in metres (0 when every constraint holds);
    only the ``movable`` turbines (a mask; None: all) must stand inside."""
    inside = slice(None) if movable is None else movable
    worst = max(0.0, -float(boundary_distance(regions, px[inside], py[inside])[0].min()))
    if len(px) > 1:
        from scipy.spatial import KDTree
        close = KDTree(np.column_stack([px, py])).query_pairs(spacing, output_type="ndarray")
        if len(close):
            d = np.hypot(px[close[:, 0]] - px[close[:, 1]], py[close[:, 0]] - py[close[:, 1]])
            worst = max(worst, spacing - float(d.min()))
    return worst



def boundary_document(regions) -> dict:
    """The regions as JSON: {"circle": {...}} or {"polygons": [[[x, y], ...], ...]}."""
    if len(regions) == 1 and isinstance(regions[0], Circle):
        c = regions[0]
        return {"circle": {"center": [c.x, c.y], "radius": c.radius}}
    return {"polygons": [np.column_stack([g.x, g.y]).tolist() for g in regions]}
