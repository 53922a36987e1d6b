"""Turn dask arrays a band of output rows at a time, on one machine or a dask.distributed cluster.

Each band of the output is one task that reads only the input cells its rows can come from
(the engine's band window: in each row chunk of the input, the columns it needs), with the rows of context its holes
need; the background, the smallest value of the whole turned grid, is a reduction over a first
pass of such tasks, which keep nothing else, computed when ``rotate`` is called. The result equals ``terrapivoter.rotate`` on the whole array, bit for bit.
"""

import functools

import dask
import dask.array as da
import numpy as np

from . import _cells, _native, _words

__all__ = ["rotate"]

# What the smallest value of a grid with none is taken to be (the program's).
_NO_BACKGROUND = _native.no_background


@functools.lru_cache(maxsize=16)
def _plan(shape, words):
    # Made again in each worker process from its picklable description.
    return _native.Plan(shape[0], shape[1], list(words))


def _pieces(arr, plan, first, end):
    """The parts of `arr` that band [first, end) reads: in each of its row chunks, the rows and
    the columns of the band's window there."""
    row0, columns = plan.window(first, end)
    pieces = []
    bounds = np.cumsum((0,) + arr.chunks[0])
    for top, bottom in zip(bounds[:-1], bounds[1:]):
        lo, hi = max(int(top), row0), min(int(bottom), row0 + len(columns))
        if lo >= hi:
            continue
        spans = columns[lo - row0:hi - row0]
        spans = spans[spans[:, 1] > spans[:, 0]]
        if len(spans):
            c0, c1 = int(spans[:, 0].min()), int(spans[:, 1].max())
            pieces.append((lo, c0, arr[lo:hi, c0:c1]))
    return pieces


def _swept(shape, words, first, end, pieces):
    pieces = [(row, col, np.ascontiguousarray(cells, dtype=np.float64))
              for row, col, cells in pieces]
    return _plan(shape, words).sweep(pieces, first, end)


def _summary(shape, words, first, end, window):
    """A band's smallest value and the part of the grown grid its cells occupy."""
    _, smallest, kept = _swept(shape, words, first, end, window)
    return smallest, kept


def _smallest(*summaries):
    return min(s[0] for s in summaries)


def _union(*summaries):
    boxes = [s[1] for s in summaries]
    return (min(b[0] for b in boxes), max(b[1] for b in boxes),
            min(b[2] for b in boxes), max(b[3] for b in boxes))


def _turned_band(shape, words, first, end, window, smallest):
    plan = _plan(shape, words)
    band, _, _ = _swept(shape, words, first, end, window)
    plan.finish(band, plan.background(smallest))
    return band


def rotate(arr, angle, *, pivot="centre", nodata=None, extent="input", background=None,
           resampling="forward", threads=1, band_rows=None):
    """Turn a 2-D dask array (or anything dask.array.asarray takes) lazily.

    The arguments are those of ``terrapivoter.rotate``; `threads` is each task's (1 by
    default: the cluster's workers are the parallelism) and `band_rows` the output rows of a
    task (by default the input's first row chunk). Returns a float64 dask array of bands of
    `band_rows` full rows. When the background is the smallest value of the turned grid (no
    `background` and no `nodata`, or "min") or the extent full (the part of the grown grid the
    output keeps depends on the cells), the bands are swept once when this is called to find
    them, as the program's two passes do, and again when the result is computed.
    """
    arr = da.asarray(arr)
    if arr.dtype.kind not in "iuf":
        raise TypeError(f"the grid's values are {arr.dtype}: give an array of integers or reals")
    if arr.ndim != 2:
        raise ValueError(f"the grid must have two dimensions, not {arr.ndim}")
    shape = tuple(int(n) for n in arr.shape)
    if 0 in shape:
        _cells(np.empty(shape))  # the program's message for an empty grid
    words = tuple(_words(shape, angle, pivot, nodata, extent, background, resampling, threads))
    plan = _plan(shape, words)
    swept_rows, swept_cols = plan.swept_shape
    height = int(band_rows or arr.chunks[0][0])
    if height < 1:
        raise ValueError(f"band_rows: {band_rows!r} is not a count of rows")

    windows = []
    for first in range(0, swept_rows, height):
        end = min(swept_rows, first + height)
        windows.append((first, end, _pieces(arr, plan, first, end)))

    # A first pass, when the background is the smallest value or the extent full: each band's
    # smallest value and occupied part, computed now and its cells let go, as the program's
    # two passes do: the second pass then reads the input again, chunk by chunk, rather than
    # the cluster holding all of it from the first pass to the last.
    smallest = _NO_BACKGROUND
    kept = (0, swept_rows, 0, swept_cols)
    needs_smallest = background == "min" or (background is None and nodata is None)
    if needs_smallest or extent == "full":
        summaries = [dask.delayed(_summary, pure=True)(shape, words, first, end, window)
                     for first, end, window in windows]
        smallest, kept = dask.compute(dask.delayed(_smallest, pure=True)(*summaries),
                                      dask.delayed(_union, pure=True)(*summaries))
        if extent != "full":
            kept = (0, swept_rows, 0, swept_cols)
    bands = []
    for first, end, window in windows:
        rows = (max(first, kept[0]), min(end, kept[1]))
        if rows[0] >= rows[1]:
            continue
        turned = dask.delayed(_turned_band, pure=True)(shape, words, first, end, window,
                                                        smallest)
        block = da.from_delayed(turned, shape=(end - first, swept_cols), dtype=np.float64)
        bands.append(block[rows[0] - first:rows[1] - first, kept[2]:kept[3]])
    return da.concatenate(bands, axis=0)
