"""Turn xarray DataArrays georeferenced by rioxarray, keeping their CRS and no-data value."""

import numpy as np
import rioxarray  # noqa: F401  (registers the .rio accessor)
import xarray as xr
from affine import Affine

from . import _Line, _native, _turn

__all__ = ["rotate"]


def _north_up_transform(da):
    t = da.rio.transform(recalc=True)
    if t.b != 0.0 or t.d != 0.0:
        raise ValueError(f"the DataArray's transform {tuple(t)[:6]} is rotated or sheared; "
                         "only north-up grids can be turned")
    dx, dy = t.a, -t.e
    if not (dx > 0.0 and dy > 0.0 and abs(dx - dy) <= 1e-7 * dx):
        raise ValueError(f"the DataArray's cells are {dx!r} by {dy!r}; only grids of square "
                         "cells, rows running south, can be turned")
    return t


def rotate(da, angle, *, pivot="centre", extent="input", background=None,
           resampling="forward", georef="keep", threads=None):
    """Turn a rioxarray-georeferenced DataArray by `angle` degrees.

    `da` has dimensions (y, x), or (band, y, x) and is then turned band by band; its
    ``rio.transform()`` must be north-up with square cells. Its ``rio.nodata`` is the grid's
    no-data value. `pivot`, `extent`, `background`, `resampling` and `threads` are as for
    ``terrapivoter.rotate``; `pivot` may also be ``{"x": X, "y": Y}``, a point in map
    coordinates.

    Returns a float64 DataArray with the input's CRS and no-data value and attributes. With
    ``georef="keep"`` its x and y coordinates are the turned grid's cell centres in the input's
    frame (for ``extent="full"`` the grown grid's, so each value lies at its turned map
    position); with ``georef="rotated"`` its transform is the input's turned about the reference
    point by the opposite angle (each cell over the ground it came from), written with
    ``rio.write_transform``, and it has no x and y coordinates, which cannot express it.
    """
    if georef not in ("keep", "rotated"):
        raise ValueError(f"--georef: {georef!r} is neither keep nor rotated")
    dims = tuple(da.dims)
    y_dim, x_dim = da.rio.y_dim, da.rio.x_dim
    if dims[-2:] != (y_dim, x_dim) or len(dims) not in (2, 3):
        raise ValueError(f"the DataArray's dimensions are {dims}: give ({y_dim}, {x_dim}) or "
                         f"(band, {y_dim}, {x_dim})")
    transform = _north_up_transform(da)
    rows, cols = da.shape[-2:]
    if isinstance(pivot, dict):
        # As the command line's --pivot-xy: cell centres sit on whole lines and columns, lines
        # counted from the bottom edge.
        cell = transform.a
        y_min = transform.f + rows * transform.e
        pivot = _Line((float(pivot["y"]) - y_min) / cell - 0.5,
                      (float(pivot["x"]) - transform.c) / cell - 0.5)
    nodata = da.rio.nodata
    planes = [da.values] if len(dims) == 2 else [da.values[k] for k in range(da.shape[0])]
    turned = []
    corner = None
    for plane in planes:
        cells, in_row, in_col, words = _turn(plane, angle, pivot, nodata, extent, background,
                                             resampling, threads)
        turned.append(cells)
        corner = (in_row, in_col)
    out_rows, out_cols = turned[0].shape
    in_row, in_col = corner
    gt = transform.to_gdal()
    plan = _native.Plan(rows, cols, words)
    out_gt = plan.output_geotransform(gt, in_row, in_col, out_rows, georef == "rotated")
    out_transform = Affine.from_gdal(*out_gt)
    values = turned[0] if len(dims) == 2 else np.stack(turned)
    coords = {}
    if len(dims) == 3:
        coords[dims[0]] = da.coords[dims[0]] if dims[0] in da.coords else np.arange(len(planes))
    if georef == "keep":
        coords[x_dim] = out_transform.c + (np.arange(out_cols) + 0.5) * out_transform.a
        coords[y_dim] = out_transform.f + (np.arange(out_rows) + 0.5) * out_transform.e
    out = xr.DataArray(values, dims=dims, coords=coords, attrs=dict(da.attrs), name=da.name)
    if da.rio.crs is not None:
        out = out.rio.write_crs(da.rio.crs)
    out = out.rio.write_transform(out_transform)
    if nodata is not None:
        out = out.rio.write_nodata(nodata, encoded=False)
    return out
