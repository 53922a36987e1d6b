"""The Python package against the command line, the same job in the same process.

Run by CTest with PYTHONPATH at the build tree's package and TERRAPIVOTER at its program.
"""

import hashlib
import threading
import time

import numpy as np
import pytest
from osgeo import gdal

from support import program, same_bits, write_geotiff

import terrapivoter

def terrain(rows, cols, seed=7):
    """A rough surface with a ridge, in metres."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:rows, 0:cols]
    return 300.0 + 0.8 * x - 0.3 * y + 40.0 * np.sin(x / 7.0) + rng.normal(0.0, 2.5, (rows, cols))


def cli_option_words(angle, pivot, rows, extent, background, resampling, nodata):
    words = ["--angle", repr(angle), "--extent", extent, "--resampling", resampling]
    if pivot != "centre":
        words += ["--pivot", f"{rows - 1 - pivot[0]!r},{pivot[1]!r}"]
    if background is not None:
        words += ["--background", str(background)]
    if nodata is not None:
        words += ["--nodata", repr(nodata)]
    return words


# angle, pivot, extent, background, resampling, nodata (cells set to it at random)
CASES = [
    (30.0, "centre", "input", None, "forward", None),
    (-17.3, (10.0, 4.5), "full", None, "forward", None),
    (45.0, "centre", "full", "nodata", "forward", -9999.0),
    (90.0, (0.0, 0.0), "input", 12.5, "forward", None),
    (123.4, "centre", "input", "min", "nearest", -9999.0),
    (-61.0, (20.25, 7.0), "full", None, "bilinear", None),
    (7.5, "centre", "input", None, "cubic", -9999.0),
]


@pytest.mark.parametrize("angle,pivot,extent,background,resampling,nodata", CASES)
def test_rotate_gives_the_command_lines_values(tmp_path, angle, pivot, extent, background,
                                               resampling, nodata):
    values = terrain(37, 29)
    if nodata is not None:
        values[np.random.default_rng(1).random(values.shape) < 0.05] = nodata
    ours = terrapivoter.rotate(values, angle, pivot=pivot, extent=extent, background=background,
                               resampling=resampling, nodata=nodata)
    words = cli_option_words(angle, pivot, values.shape[0], extent, background, resampling,
                             nodata)
    # A GeoTIFF of doubles: the same bits.
    write_geotiff(tmp_path / "in.tif", values)
    program(*words, tmp_path / "in.tif", tmp_path / "out.tif")
    assert same_bits(ours, gdal.Open(str(tmp_path / "out.tif")).ReadAsArray())
    # An ASCII grid: the same values, as its text writes them.
    header = "ncols 29\nnrows 37\nxllcorner 0\nyllcorner 0\ncellsize 1\n"
    text = "\n".join(" ".join(f"{v:.17g}" for v in row) for row in values)
    (tmp_path / "in.asc").write_text(header + text + "\n")
    program(*words, tmp_path / "in.asc", tmp_path / "out.asc")
    tokens = (tmp_path / "out.asc").read_text().split()
    cells = tokens[len(tokens) - ours.size:]
    assert cells == [f"{v:f}" for v in ours.ravel()]
    # The frame says where the output lies.
    (rows, cols), corner = terrapivoter.frame(values.shape, angle, pivot=pivot, extent=extent)
    assert (rows, cols) == ours.shape
    if extent == "input":
        assert corner == (0, 0)


def test_rotate_file_runs_the_command_line(tmp_path):
    values = terrain(20, 30)
    write_geotiff(tmp_path / "in.tif", values)
    terrapivoter.rotate_file(tmp_path / "in.tif", tmp_path / "ours.asc", 33.0, extent="full",
                             resampling="bilinear", quiet=True)
    program("-a", "33", "--extent", "full", "-r", "bilinear", tmp_path / "in.tif",
                      tmp_path / "theirs.asc")
    assert (tmp_path / "ours.asc").read_bytes() == (tmp_path / "theirs.asc").read_bytes()
    with pytest.raises(FileNotFoundError):
        terrapivoter.rotate_file(tmp_path / "missing.tif", tmp_path / "x.tif", 10)
    with pytest.raises(ValueError, match='--extent: "wide" is neither input nor full'):
        terrapivoter.rotate_file(tmp_path / "in.tif", tmp_path / "x.tif", 10, extent="wide")
    assert not (tmp_path / "x.tif").exists()


BAD = [
    (np.zeros((3, 4, 2)), {}, ValueError, "two dimensions, not 3"),
    (np.zeros((0, 4)), {}, ValueError, "at least one row and one column, not 0 rows"),
    (np.zeros((3, 3), dtype=complex), {}, TypeError, "complex128"),
    (np.array([["a", "b"]], dtype=object), {}, TypeError, "object"),
    (np.zeros((3, 3)), {"angle": float("nan")}, ValueError, '--angle: "nan" is not'),
    (np.zeros((3, 3)), {"angle": 200.0}, ValueError, "--angle: 200 is too great"),
    (np.zeros((3, 3)), {"angle": "30"}, TypeError, "angle"),
    (np.zeros((3, 3)), {"pivot": (1.0, 2.0, 3.0)}, ValueError, "pivot"),
    (np.zeros((3, 3)), {"pivot": "middle"}, ValueError, "--pivot"),
    (np.zeros((3, 3)), {"resampling": "lanczos"}, ValueError,
     '--resampling: "lanczos" is none of forward, nearest, bilinear, cubic'),
    (np.zeros((3, 3)), {"extent": "wide"}, ValueError, "--extent"),
    (np.zeros((3, 3)), {"background": "lowest"}, ValueError, "--background"),
    (np.zeros((3, 3)), {"background": "nodata"}, ValueError, "no no-data value"),
]


@pytest.mark.parametrize("values,options,error,words", BAD)
def test_bad_input_is_refused_in_the_command_lines_words(values, options, error, words):
    options = {"angle": 30.0, **options}
    with pytest.raises(error, match=words.replace("(", r"\(").replace(")", r"\)")):
        terrapivoter.rotate(values, options.pop("angle"), **options)


def test_any_numeric_type_turns_as_its_doubles():
    values = (terrain(25, 31) * 10).astype(np.int16)
    assert same_bits(terrapivoter.rotate(values, 21.0),
                     terrapivoter.rotate(values.astype(np.float64), 21.0))
    # A view of every other column is not contiguous: it is converted, not misread.
    wide = terrain(25, 62)
    assert same_bits(terrapivoter.rotate(wide[:, ::2], 21.0),
                     terrapivoter.rotate(wide[:, ::2].copy(), 21.0))


def test_other_threads_run_while_a_grid_turns():
    values = terrain(3000, 3000)
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    time.sleep(0.05)
    start = time.perf_counter()
    terrapivoter.rotate(values, 30.0, resampling="cubic", threads=1)
    end = time.perf_counter()
    stop.set()
    ticker.join()
    during = [t for t in ticks if start < t < end]
    # Held, the GIL would let the ticker run once at most while the turn lasts.
    assert end - start > 0.05
    assert len(during) >= 10, f"{len(during)} ticks in {end - start:.2f} s"


def test_a_dataarray_keeps_its_crs_nodata_and_places_each_value(tmp_path):
    rioxarray = pytest.importorskip("rioxarray")
    import terrapivoter.xarray as txr

    values = terrain(40, 50)
    values[3, 4] = -9999.0
    write_geotiff(tmp_path / "in.tif", values, nodata=-9999.0,
                  gt=(650000.0, 5.0, 0.0, 5500000.0, 0.0, -5.0))
    da = rioxarray.open_rasterio(tmp_path / "in.tif").squeeze("band", drop=True)
    turned = txr.rotate(da, 28.0, extent="full")
    assert turned.rio.crs == da.rio.crs
    assert turned.rio.nodata == -9999.0
    assert same_bits(turned.values,
                     terrapivoter.rotate(values, 28.0, extent="full", nodata=-9999.0))
    # The command line's GeoTIFF lies where the DataArray says it does.
    program("-a", "28", "--extent", "full", tmp_path / "in.tif", tmp_path / "out.tif")
    gt = gdal.Open(str(tmp_path / "out.tif")).GetGeoTransform()
    assert turned.rio.transform().to_gdal() == pytest.approx(gt, abs=1e-6)
    assert float(turned.x[0]) == pytest.approx(gt[0] + 0.5 * gt[1])
    assert float(turned.y[0]) == pytest.approx(gt[3] + 0.5 * gt[5])
    # A cell of the input keeps its map position where it was not moved: turned by 0 degrees
    # onto a grown grid, each value sits at its own coordinates.
    still = txr.rotate(da, 0.0, extent="full")
    picked = still.sel(x=da.x[7], y=da.y[9], method="nearest")
    assert float(picked) == values[9, 7]
    rotated = txr.rotate(da, 28.0, georef="rotated", pivot={"x": 650100.0, "y": 5499900.0})
    program("-a", "28", "--georef", "rotated", "--pivot-xy", "650100,5499900",
                      tmp_path / "in.tif", tmp_path / "rot.tif")
    rot = gdal.Open(str(tmp_path / "rot.tif"))
    assert rotated.rio.transform().to_gdal() == pytest.approx(rot.GetGeoTransform(), abs=1e-6)
    assert same_bits(rotated.values, rot.ReadAsArray())
    # Bands turned band by band.
    stacked = rioxarray.open_rasterio(tmp_path / "in.tif").isel(band=[0, 0])
    stacked[1] = stacked[1] * 2.0
    both = txr.rotate(stacked, -40.0, resampling="cubic")
    assert both.dims == stacked.dims and both.shape == stacked.shape
    for k, factor in enumerate((1.0, 2.0)):
        scaled = values * factor  # the second band's no-data cell is -19998, a value
        assert same_bits(both.values[k], terrapivoter.rotate(scaled, -40.0, resampling="cubic",
                                                             nodata=-9999.0))


def test_dask_on_worker_processes_gives_the_same_bytes():
    # Each band a task on another process, reading its window's pieces of the input's chunks;
    # the grid (288 MB) is larger than a worker may hold (256 MiB), and no process but this one
    # holds it whole: the bands' bytes come back as digests.
    dask_array = pytest.importorskip("dask.array")
    distributed = pytest.importorskip("distributed")
    import terrapivoter.dask as tdask

    side = 6000
    source = dask_array.random.RandomState(5).normal(100.0, 20.0, (side, side),
                                                      chunks=(100, 1000))
    values = source.compute(scheduler="threads")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  memory_limit=256 << 20, dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        for options in ({}, {"extent": "full", "resampling": "bilinear"}):
            lazy = tdask.rotate(source, 37.0, band_rows=100, **options)
            assert lazy.numblocks[0] >= 16
            got = lazy.map_blocks(_digest, dtype=object, chunks=(1, 1)).compute()
            expected = terrapivoter.rotate(values, 37.0, **options)
            bounds = np.cumsum((0,) + lazy.chunks[0])
            assert [row[0] for row in got] == [_digest(expected[a:b])[0, 0]
                                               for a, b in zip(bounds[:-1], bounds[1:])]


def _digest(block):
    """The SHA-256 of a block's bytes, as a 1 x 1 array of objects."""
    digest = hashlib.sha256(np.ascontiguousarray(block, dtype=np.float64).tobytes()).hexdigest()
    return np.array([[digest]], dtype=object)
