"""Turn digital elevation models about a reference point, exactly, from Python.

``rotate`` turns a 2-D numpy array, ``frame`` says where the turned grid lies, and
``rotate_file`` runs the command line on files in this process. ``terrapivoter.xarray`` turns
rioxarray DataArrays with their georeferencing, and ``terrapivoter.dask`` turns dask arrays a
band at a time, on one machine or a dask.distributed cluster.

Every function runs the program's own job: the values are those the command line writes for
the same grid and options, bit for bit, and bad arguments raise ValueError or TypeError in the
command line's words.
"""

import numbers
import os

import numpy as np

from . import _terrapivoter as _native

__version__ = _native.version
__all__ = ["rotate", "frame", "rotate_file", "Watch", "Cancelled"]

Watch = _native.Watch
Cancelled = _native.Cancelled

_OPTION_WORDS = ("extent", "resampling")


def _real(name, value):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name}: {value!r} is not a real number")
    return float(value)


def _number_word(value):
    # repr gives the shortest text that reads back as the same double.
    return repr(float(value))


class _Line(tuple):
    """A reference point as the command line's line (from the bottom row) and column."""

    def __new__(cls, line, col):
        return super().__new__(cls, (line, col))


def _pivot_words(pivot, shape):
    if isinstance(pivot, _Line):
        return ["--pivot", f"{_number_word(pivot[0])},{_number_word(pivot[1])}"]
    if isinstance(pivot, str):
        return ["--pivot", pivot]
    try:
        row, col = pivot
    except (TypeError, ValueError):
        raise ValueError(
            f"pivot: {pivot!r} is neither 'centre' nor a (row, column) pair") from None
    row = _real("pivot", row)
    col = _real("pivot", col)
    # The command line counts lines from the bottom row, numpy rows from the top one.
    return ["--pivot", f"{_number_word(shape[0] - 1 - row)},{_number_word(col)}"]


def _words(shape, angle, pivot, nodata, extent, background, resampling, threads):
    """The command line's options for a turn of a grid of `shape`."""
    angle = _real("angle", angle)
    words = ["--angle", _number_word(angle)]
    words += _pivot_words(pivot, shape)
    for name, value in zip(_OPTION_WORDS, (extent, resampling)):
        if not isinstance(value, str):
            raise TypeError(f"{name}: {value!r} is not a word")
        words += [f"--{name}", value]
    if background is not None:
        if isinstance(background, str):
            words += ["--background", background]
        else:
            words += ["--background", _number_word(_real("background", background))]
    if nodata is not None:
        words += ["--nodata", _number_word(_real("nodata", nodata))]
    if threads is not None:
        if isinstance(threads, bool) or not isinstance(threads, numbers.Integral):
            raise TypeError(f"threads: {threads!r} is not a count")
        words += ["--threads", str(int(threads))]
    return words


def _cells(values):
    """A 2-D float64 C-contiguous view of `values`: the array itself when it is one."""
    array = np.asarray(values)
    if array.dtype.kind not in "iuf":
        raise TypeError(
            f"the grid's values are {array.dtype}: give an array of integers or reals")
    if array.ndim != 2:
        raise ValueError(f"the grid must have two dimensions, not {array.ndim}")
    if array.size == 0:
        raise ValueError(
            "the grid must have at least one row and one column, not "
            f"{array.shape[0]} rows and {array.shape[1]} columns")
    return np.ascontiguousarray(array, dtype=np.float64)


def _turn(values, angle, pivot, nodata, extent, background, resampling, threads):
    cells = _cells(values)
    words = _words(cells.shape, angle, pivot, nodata, extent, background, resampling, threads)
    return (*_native.turn(cells, words), words)


def rotate(values, angle, *, pivot="centre", nodata=None, extent="input", background=None,
           resampling="forward", threads=None):
    """Turn a grid by `angle` degrees about a reference point.

    values : array_like, 2-D, of any integer or real type
        The grid; row 0 is the top row, as numpy and GDAL count. A C-contiguous float64
        array is read where it lies; any other is converted once.
    angle : float
        Degrees, anticlockwise when positive; its whole part at most 180.
    pivot : "centre" or (row, col)
        The reference point: the middle of the grid (row (rows - 1) / 2, column
        (columns - 1) / 2), or a point in the array's own indices, fractions allowed. It is
        the command line's ``--pivot LINE,COLUMN`` with LINE = rows - 1 - row.
    nodata : float, optional
        The grid's no-data value (NaN: every NaN): such cells are never a neighbour's source
        and stay no-data.
    extent : "input" or "full"
        Keep the input's shape (what the turn carries outside is cut off), or grow the grid by
        whole cells until no turned cell is lost (``frame`` tells where it lies).
    background : None, "min", "nodata" or float
        What the cells nothing reaches receive: by default the no-data value when there is
        one, otherwise the smallest value of the turned grid ("min").
    resampling : "forward", "nearest", "bilinear" or "cubic"
        "forward" moves each cell to its turned position and fills the holes left; the others
        take each output cell back into the input and interpolate there.
    threads : int, optional
        Threads to use (0 or None: every core).

    Returns a new float64 array (the working values), equal bit for bit to what the command
    line writes for the same grid and options. The GIL is released while it is made.

    Raises TypeError for values or arguments of the wrong kind and ValueError for values the
    command line would refuse, in its words.
    """
    return _turn(values, angle, pivot, nodata, extent, background, resampling, threads)[0]


def frame(shape, angle, *, pivot="centre", extent="input"):
    """Where the grid that ``rotate`` makes of a grid of `shape` lies.

    Returns ``((rows, columns), (row, column))``: the turned grid's shape, and the row and
    column of the input's top-left cell in it (negative when the output starts inside the
    input), whole cells, so that ``output[r, c]`` lies where the input's cell
    ``(r - row, c - column)`` would. For ``extent="input"`` that is the input's own shape
    at (0, 0). For ``extent="full"`` it is the part of the enlarged grid that the turned cells
    and the input's own cells occupy, found by turning a grid of zeros of that shape (no-data
    cells in a real grid can leave an edge row or column empty, which ``rotate`` then cuts).
    """
    try:
        rows, cols = (int(n) for n in shape)
    except (TypeError, ValueError):
        raise ValueError(f"shape: {shape!r} is not (rows, columns)") from None
    words = _words((rows, cols), angle, pivot, None, extent, None, "forward", None)
    return _native.frame(rows, cols, words)


def _option_words(name, value):
    option = "--" + name.replace("_", "-")
    if value is None or value is False:
        return []
    if value is True:
        return [option]
    if isinstance(value, dict):
        return [w for key, v in value.items() for w in (option, str(key), str(v))]
    if isinstance(value, (list, tuple)) and name in ("band", "co"):
        return [w for v in value for w in (option, str(v))]
    if isinstance(value, (list, tuple)):
        return [option, ",".join(_number_word(v) if isinstance(v, numbers.Real) else str(v)
                                 for v in value)]
    if isinstance(value, numbers.Real) and not isinstance(value, numbers.Integral):
        return [option, _number_word(value)]
    return [option, str(value)]


def rotate_file(input, output, angle, *, watch=None, **options):
    """Run the command line on files in this process: ``terrapivoter [OPTIONS] INPUT OUTPUT``.

    Every option is a keyword named as the long option without its dashes (``pivot``,
    ``pivot_xy``, ``extent``, ``resampling``, ``background``, ``nodata``, ``dst_nodata``,
    ``unit``, ``corner``, ``band``, ``format``, ``of``, ``co``, ``ot``, ``georef``,
    ``config``, ``threads``, ``memory``, ``quiet``), its value as the command line takes it; a
    pair such as ``corner=(x, y)`` is joined with a comma, ``band`` and ``co`` take lists,
    ``config`` a dict, ``quiet`` a bool. Nothing is written unless the whole output is.

    With `watch`, a ``terrapivoter.Watch``, another thread can follow the run (``watch.step``,
    ``watch.step_fraction``) and stop it (``watch.cancel()``): the run then raises Cancelled
    and leaves no output.

    Raises ValueError for a usage error, FileNotFoundError for a missing input and
    RuntimeError for a failed run, with the command line's messages.
    """
    args = ["--angle", _number_word(_real("angle", angle))]
    for name, value in options.items():
        args += _option_words(name, value)
    # A path that starts with a dash would read as an option.
    paths = [os.path.join(".", str(p)) if str(p).startswith("-") else str(p)
             for p in (input, output)]
    _native.run(args + paths, watch)
