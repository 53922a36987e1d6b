#!/usr/bin/python3
"""Measures terrapivoter against its peers on this machine and prints one table.

Builds the release preset (and the plain reference build for the end-to-end ratios),
installs the peers from Debian packages when they are missing, and reports medians of
several runs: task, ours, peer, ratio (peer time / our time, so above 1 means faster).

    bench/compare_peers.py [--runs N] [--quick]

--quick skips the slow peers (scipy, GDAL) and the 8000 x 8000 end-to-end runs.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RELEASE = os.path.join(ROOT, "build", "release")
REFERENCE = os.path.join(ROOT, "build", "reference")


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def build():
    run([os.path.join(ROOT, "scripts", "install-deps.sh"), "build", "test", "peers"])
    for preset in ("release", "reference"):
        run(["cmake", "--preset", preset], cwd=ROOT, stdout=subprocess.DEVNULL)
        run(["cmake", "--build", "--preset", preset], cwd=ROOT, stdout=subprocess.DEVNULL)


def median_time(fn, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def interleaved_median_times(fns, runs):
    """The median time of each of fns, called in turn run after run, so that a spell of the
    machine weighs on each alike."""
    times = [[] for _ in fns]
    for _ in range(runs):
        for k, fn in enumerate(fns):
            start = time.perf_counter()
            fn()
            times[k].append(time.perf_counter() - start)
    return [statistics.median(t) for t in times]


_measured = {}


def ours(benchmark, runs, workdir):
    """Median real time in seconds of one Google Benchmark of bench/ (measured once)."""
    if benchmark in _measured:
        return _measured[benchmark]
    out = run([os.path.join(RELEASE, "bench", "terrapivoter_bench"),
               "--benchmark_filter=^" + benchmark + "$",
               "--benchmark_repetitions=%d" % runs, "--benchmark_format=json",
               "--benchmark_min_time=0.01"],
              capture_output=True, text=True,
              env=dict(os.environ, TERRAPIVOTER_BENCH_DIR=workdir)).stdout
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
            _measured[benchmark] = b["real_time"] * scale
            return _measured[benchmark]
    raise RuntimeError("no median for " + benchmark)


def program_run(binary, workdir, answers):
    """Wall time in seconds of one run of the program."""
    start = time.perf_counter()
    proc = subprocess.Popen([binary], cwd=workdir, stdin=subprocess.PIPE,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, err = proc.communicate(answers.encode())
    elapsed = time.perf_counter() - start
    if proc.returncode != 0:
        raise RuntimeError(err.decode())
    return elapsed


def command_time(cmd, cwd):
    """Wall time in seconds of one command."""
    start = time.perf_counter()
    run(cmd, cwd=cwd, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def stages(arguments, cwd):
    """The parts of one whole run of the command line, in a process of its own."""
    out = run([os.path.join(RELEASE, "bench", "terrapivoter_stages"), "-q"] + arguments, cwd=cwd,
              capture_output=True, text=True).stdout
    return json.loads(out)


def remove_if_present(path):
    """So that the next write makes a new file, as every floor and peer here does."""
    if os.path.exists(path):
        os.remove(path)


def whole_run_rows(rows, label, arguments, outputs, cwd, runs, floor_label, floor_time):
    """The whole run (the real program), its parts and their sum, and a floor beside it
    (floor_time() measures it once): the two are measured alternately, and both are given as
    median and best. Every run writes new files, as the floors do: `outputs` are removed
    before each (untimed)."""
    def fresh():
        for name in outputs:
            remove_if_present(os.path.join(cwd, name))
    whole = []
    floors = []
    for _ in range(runs):
        floors.append(floor_time())
        fresh()
        whole.append(command_time([os.path.join(RELEASE, "terrapivoter"), "-q"] + arguments, cwd))
    parts = []
    for _ in range(runs):
        fresh()
        parts.append(stages(arguments, cwd))
    names = list(parts[0])
    median = {n: statistics.median(p[n] for p in parts) for n in names}
    text = ", ".join("%s %.2f" % (n, median[n]) for n in names)
    rows.append(("whole run, %s" % label, "%.2f s (best %.2f s)" % (statistics.median(whole), min(whole)),
                 "parts: %s; sum %.2f s" % (text, sum(median.values())), "", ""))
    rows.append(("whole run, %s, against its floor" % label,
                 "%.2f s median, %.2f s best" % (statistics.median(whole), min(whole)),
                 floor_label, "%.2f s median, %.2f s best" % (statistics.median(floors), min(floors)),
                 "%.2f median, %.2f best" % (statistics.median(floors) / statistics.median(whole),
                                             min(floors) / min(whole))))


def program_peak(binary, workdir, answers):
    """Peak resident memory (bytes) of one run of the program, as GNU time reports it.

    (The rusage of a child forked from this Python process would count the interpreter's own
    pages held before the exec.)"""
    proc = subprocess.run(["/usr/bin/time", "-f", "%M", binary], cwd=workdir, input=answers.encode(),
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=True)
    return int(proc.stderr.decode().split()[-1]) * 1024


def rotated_source(path, angle, vrt):
    """A VRT of `path` whose geotransform carries each cell to where a turn by `angle` about the
    middle of its extent puts it, so that gdalwarp onto the input's own north-up grid does the
    turn our output keeps the input's frame for."""
    from osgeo import gdal
    import numpy as np
    src = gdal.Open(path)
    gt, cols, rows = src.GetGeoTransform(), src.RasterXSize, src.RasterYSize
    c, s = np.cos(np.radians(angle)), np.sin(np.radians(angle))
    x1, y1 = (cols - 1) / 2, (rows - 1) / 2
    points, xs, ys = [], [], []
    for col, row in ((0, 0), (cols - 1, 0), (0, rows - 1), (cols - 1, rows - 1)):
        dx, dy = col - x1, (rows - 1 - row) - y1
        to_col, to_line = x1 + dx * c - dy * s, y1 + dx * s + dy * c
        points.append([1, col + 0.5, row + 0.5])
        xs.append(gt[0] + (to_col + 0.5) * gt[1])
        ys.append(gt[3] + (rows - 1 - to_line + 0.5) * gt[5])
    gx = np.linalg.lstsq(np.array(points), np.array(xs), rcond=None)[0]
    gy = np.linalg.lstsq(np.array(points), np.array(ys), rcond=None)[0]
    out = gdal.Translate(vrt, src, format="VRT")
    out.SetGeoTransform(tuple(gx) + tuple(gy))
    out = None


def resampling_oracle(rows, work):
    """Our nearest, bilinear and cubic against GDAL's warper resampling the same DEM (2 % of its
    cells no-data) onto the rotated geotransform of our output (--georef rotated), with the
    kernel unwidened (XSCALE=YSCALE=1)."""
    from osgeo import gdal
    import numpy as np
    gdal.UseExceptions()
    n, nodata, mark = 600, -9999.0, -1e30
    y, x = np.mgrid[0:n, 0:n].astype(float)
    dem = (500 + 300 * np.sin(x / 70.0) * np.cos(y / 90.0) + 50 * np.sin(x / 6.1 + y / 4.7) +
           np.random.default_rng(5).uniform(0, 3, (n, n)))
    dem[np.random.default_rng(7).random((n, n)) < 0.02] = nodata
    src = os.path.join(work, "oracle.tif")
    ds = gdal.GetDriverByName("GTiff").Create(src, n, n, 1, gdal.GDT_Float64)
    ds.SetGeoTransform((500000, 30, 0, 4010000, 0, -30))
    ds.GetRasterBand(1).SetNoDataValue(nodata)
    ds.GetRasterBand(1).WriteArray(dem)
    ds = None
    for method, alg in (("nearest", "near"), ("bilinear", "bilinear"), ("cubic", "cubic")):
        for angle in ("30", "-17.3", "45"):
            ours_path = os.path.join(work, "oracle_ours.tif")
            run([os.path.join(RELEASE, "terrapivoter"), "-q", "-a", angle, "-r", method, "--georef",
                 "rotated", "--extent", "full", "--background", str(mark), "--dst-nodata", str(mark),
                 src, ours_path])
            mine = gdal.Open(ours_path)
            ours_values = mine.GetRasterBand(1).ReadAsArray()
            dst = gdal.GetDriverByName("MEM").Create("", mine.RasterXSize, mine.RasterYSize, 1,
                                                     gdal.GDT_Float64)
            dst.SetGeoTransform(mine.GetGeoTransform())
            dst.GetRasterBand(1).SetNoDataValue(mark)
            dst.GetRasterBand(1).Fill(mark)
            gdal.Warp(dst, src, resampleAlg=alg, dstNodata=mark,
                      warpOptions=["XSCALE=1", "YSCALE=1"])
            peer = dst.GetRasterBand(1).ReadAsArray()
            both = (ours_values != mark) & (peer != mark)
            rel = np.abs(ours_values[both] - peer[both]) / np.abs(peer[both])
            rows.append(("%s %s deg, 600x600 DEM, 2%% no-data, --georef rotated" % (method, angle),
                         "%d cells valued by both" % both.sum(),
                         "GDAL warper onto our geotransform",
                         "%d valued by one only" % (both != ((ours_values != mark) | (peer != mark))).sum(),
                         "max relative difference %.2g; %d cells beyond 1e-9"
                         % (rel.max(), (rel > 1e-9).sum())))
            mine = None


def python_package():
    sys.path.insert(0, os.path.join(RELEASE, "python"))
    import terrapivoter
    return terrapivoter


def python_rows(row, grid, runs, work):
    """The Python package's rotate of a 4000 x 4000 float64 array, against the same job run from
    C++ (turn_grid: the output made, swept, filled), the bare sweep and fill on grids made
    beforehand, and OpenCV's nearest-neighbour warp called from Python, in the same run."""
    import cv2
    terrapivoter = python_package()
    n = grid.shape[0]
    for tenths in (300, 450, -173):
        angle = tenths / 10.0
        m = cv2.getRotationMatrix2D((n / 2, n / 2), angle, 1.0)
        # Ours, OpenCV's nearest warp (a new array, as ours) and ours with OpenCV's own method
        # (each output cell valued from the nearest input cell), in turn.
        mine, peer, nearest = interleaved_median_times(
            [lambda: terrapivoter.rotate(grid, angle),
             lambda: cv2.warpAffine(grid, m, (n, n), flags=cv2.INTER_NEAREST),
             lambda: terrapivoter.rotate(grid, angle, resampling="nearest")], 2 * runs + 1)
        job = ours("BM_TurnGrid/4000/%d/real_time" % tenths, runs, work)
        row("Python rotate 4000x4000 by %g deg" % angle, mine, "the same job from C++", job,
            n * n, "cells")
        bare = (ours("BM_Sweep/4000/%d/real_time" % tenths, runs, work) +
                ours("BM_HoleFilling/4000/real_time", runs, work))
        row("Python rotate 4000x4000 by %g deg" % angle, mine,
            "C++ sweep + fill into grids made beforehand", bare, n * n, "cells")
        row("Python rotate 4000x4000 by %g deg" % angle, mine,
            "OpenCV warpAffine nearest (Python, new array)", peer, n * n, "cells")
        row("Python rotate 4000x4000 by %g deg, resampling nearest" % angle, nearest,
            "OpenCV warpAffine nearest (Python, new array)", peer, n * n, "cells")


def dask_rows(rows, work):
    """terrapivoter.dask on two worker processes turning a grid of four times one worker's
    memory limit, its time per cell beside the command line's on the same grid as a raster
    pair."""
    python_package()
    import numpy as np
    import dask.array as da
    import distributed
    import terrapivoter.dask as tdask

    side, limit = 11500, 256 << 20  # 1058 MB of doubles, over four times what a worker may hold
    # Chunks and bands of 100 rows: a band's pieces, a strip across the input, stay small.
    source = da.random.RandomState(4).uniform(100.0, 900.0, (side, side), chunks=(100, 1000))
    # With a given background (one pass), and with the smallest value (two passes).
    timings = {}
    for label, options in (("background 0", {"background": 0.0}), ("smallest-value background", {})):
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      memory_limit=limit, dashboard_address=None) as cluster, \
                distributed.Client(cluster):
            start = time.perf_counter()
            try:
                total = tdask.rotate(source, 30.0, band_rows=100, **options).sum().compute()
                assert np.isfinite(total)
                timings[label] = time.perf_counter() - start
            except distributed.scheduler.KilledWorker as e:
                timings[label] = "did not complete: %s" % str(e)[:80]
    values = source.compute()
    base = os.path.join(work, "dask_grid")
    cells = np.round(values * 100).astype(np.int32)
    cells.tofile(base + "_m4.raw")
    with open(base + "_m4.txt", "w") as f:
        f.write("%d\n%d\n4\n0\n0\n1.000000\n" % (side, side))
    program = os.path.join(RELEASE, "terrapivoter")
    cmd = [program, "-q", "-a", "30", "-u", "cm", base + "_m4.raw", os.path.join(work, "o_m4.raw")]
    cli = command_time(cmd, work)
    for label, seconds in timings.items():
        task = "dask, 2 worker processes of 256 MB, %dx%d (%.0f MB), %s" % (
            side, side, side * side * 8 / 2 ** 20, label)
        if isinstance(seconds, str):
            rows.append((task, seconds, "", "", ""))
            continue
        rows.append((task, "%.1f ns/cell (%.1f s)" % (seconds / side ** 2 * 1e9, seconds),
                     "the command line, raster pair",
                     "%.1f ns/cell (%.1f s)" % (cli / side ** 2 * 1e9, cli), "%.2f" % (cli / seconds)))
    print("  measured: dask", file=sys.stderr)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--no-build", action="store_true")
    parser.add_argument("--huge", action="store_true",
                        help="also turn a 40000 x 40000 raster pair (13 GB of disk, minutes)")
    args = parser.parse_args()
    if not args.no_build:
        build()

    import numpy as np
    import cv2

    rows = []

    def row(task, our_seconds, peer, peer_seconds, unit_count=None, unit=""):
        rate = ""
        if unit_count:
            rate = " (%.0f M %s/s)" % (unit_count / our_seconds / 1e6, unit)
        rows.append((task, "%.1f ms%s" % (our_seconds * 1e3, rate), peer,
                     "%.1f ms" % (peer_seconds * 1e3), "%.2f" % (peer_seconds / our_seconds)))
        print("  measured: %s" % task, file=sys.stderr)

    work = tempfile.mkdtemp(prefix="terrapivoter-peers-")
    try:
        n = 4000
        grid = np.random.default_rng(1).uniform(100.0, 900.0, (n, n))

        # Rotation, every core on both sides.
        cv2.setNumThreads(os.cpu_count())
        for tenths in (300, 450, 900, -173):
            angle = tenths / 10.0
            m = cv2.getRotationMatrix2D((n / 2, n / 2), angle, 1.0)
            dst = np.empty_like(grid)
            peer = median_time(lambda: cv2.warpAffine(grid, m, (n, n), dst=dst,
                                                      flags=cv2.INTER_NEAREST), args.runs)
            mine = ours("BM_Sweep/4000/%d/real_time" % tenths, args.runs, work)
            row("rotate 4000x4000 by %g deg" % angle, mine, "OpenCV warpAffine nearest", peer,
                n * n, "cells")
        # Resampling by inverse mapping, each method against OpenCV's (which rounds its weights to
        # 1/32; ours are exact).
        for tenths in (300, 450, -173):
            angle = tenths / 10.0
            m = cv2.getRotationMatrix2D((n / 2, n / 2), angle, 1.0)
            dst = np.empty_like(grid)
            for code, name, flag in ((1, "nearest", cv2.INTER_NEAREST),
                                     (2, "bilinear", cv2.INTER_LINEAR),
                                     (3, "cubic", cv2.INTER_CUBIC)):
                peer = median_time(lambda: cv2.warpAffine(grid, m, (n, n), dst=dst, flags=flag),
                                   args.runs)
                mine = ours("BM_Resample/4000/%d/%d/real_time" % (tenths, code), args.runs, work)
                row("resample %s 4000x4000 by %g deg" % (name, angle), mine,
                    "OpenCV warpAffine %s" % name, peer, n * n, "cells")
        if not args.quick:
            resampling_oracle(rows, work)
        if not args.quick:
            import scipy.ndimage
            from osgeo import gdal
            mine = ours("BM_Sweep/4000/300/real_time", args.runs, work)
            peer = median_time(lambda: scipy.ndimage.rotate(grid, 30, reshape=False, order=0), 3)
            row("rotate 4000x4000 by 30 deg", mine, "scipy.ndimage.rotate order 0", peer, n * n, "cells")
            src = gdal.GetDriverByName("MEM").Create("", n, n, 1, gdal.GDT_Float64)
            src.GetRasterBand(1).WriteArray(grid)
            c, s = np.cos(np.radians(30)), np.sin(np.radians(30))
            # The same turn as a geotransform; gdal.Warp resamples it onto the north-up grid.
            src.SetGeoTransform((n / 2 - n / 2 * c - n / 2 * s, c, s, n / 2 - n / 2 * s + n / 2 * c, s, -c))
            peer = median_time(lambda: gdal.Warp("", src, format="MEM", resampleAlg="near",
                                                 outputBounds=(0, 0, n, n), width=n, height=n,
                                                 multithread=True,
                                                 warpOptions=["NUM_THREADS=ALL_CPUS"]), 3)
            row("rotate 4000x4000 by 30 deg", mine, "GDAL warp nearest", peer, n * n, "cells")

        mine = ours("BM_HoleFilling/4000/real_time", args.runs, work)
        rows.append(("fill holes + background 4000x4000", "%.1f ms" % (mine * 1e3), "", "", ""))

        python_rows(row, grid, args.runs, work)
        if not args.quick:
            dask_rows(rows, work)

        # ASCII grids: the peers' own writer makes the file that everyone reads.
        header = "ncols %d\nnrows %d\nxllcorner 500000\nyllcorner 4000000\ncellsize 30\nnodata_value -9999" % (n, n)
        path = os.path.join(work, "grid.asc")
        values = np.random.default_rng(2).uniform(-500.0, 4000.0, (n, n))
        peer = median_time(lambda: np.savetxt(path, values, fmt="%f", header=header, comments=""), 3)
        mine = ours("BM_AsciiWriteFile/real_time", args.runs, work)
        row("write ASCII grid 4000x4000", mine, "numpy.savetxt fmt='%f'", peer, n * n, "values")
        peer = median_time(lambda: np.loadtxt(path, skiprows=6), 3)
        mine = ours("BM_AsciiReadFile/real_time", args.runs, work)
        row("read ASCII grid 4000x4000", mine, "numpy.loadtxt", peer, n * n, "values")
        if not args.quick:
            from osgeo import gdal
            def gdal_read():
                dataset = gdal.Open(path)  # must outlive its band
                return dataset.GetRasterBand(1).ReadAsArray()
            peer = median_time(gdal_read, 3)
            row("read ASCII grid 4000x4000", mine, "GDAL AAIGrid read", peer, n * n, "values")
            mem = gdal.GetDriverByName("MEM").Create("", n, n, 1, gdal.GDT_Float64)
            mem.GetRasterBand(1).WriteArray(values)
            mine = ours("BM_AsciiWriteFile/real_time", args.runs, work)
            peer = median_time(lambda: gdal.GetDriverByName("AAIGrid").CreateCopy(
                os.path.join(work, "gdal.asc"), mem), 3)
            row("write ASCII grid 4000x4000", mine, "GDAL AAIGrid write", peer, n * n, "values")

        # Raster pair data, 8000 x 8000 (256 MB), against numpy's raw I/O.
        big = np.random.default_rng(3).integers(9000, 20000, (8000, 8000), dtype=np.int32)
        raw = os.path.join(work, "raw.bin")
        def fresh_tofile():
            # A new file each time, as the program writes one.
            remove_if_present(raw)
            big.tofile(raw)
        peer = median_time(fresh_tofile, args.runs)
        mine = ours("BM_RasterWrite/real_time", args.runs, work)
        row("write raster data 8000x8000 (sent on to the disk as written)", mine,
            "numpy tofile, new file (no conversion, left in the page cache)", peer,
            8000 * 8000 * 4, "bytes")
        peer = median_time(lambda: np.fromfile(raw, dtype=np.int32), args.runs)
        mine = ours("BM_RasterRead/real_time", args.runs, work)
        row("read raster data 8000x8000", mine, "numpy fromfile", peer, 8000 * 8000 * 4, "bytes")
        os.remove(raw)

        # Whole runs laid out in their parts, each beside the floor of what it must do.
        dem = np.round(500 + 300 * np.sin(np.arange(n)[None, :] / 700.0) *
                       np.cos(np.arange(n)[:, None] / 900.0) +
                       50 * np.sin(np.arange(n)[None, :] / 61.0 + np.arange(n)[:, None] / 47.0), 2)
        np.savetxt(os.path.join(work, "dem.asc"), dem, fmt="%.2f", comments="",
                   header="ncols %d\nnrows %d\nxllcorner 500000\nyllcorner 4000000\n"
                          "cellsize 30\nnodata_value -9999" % (n, n))
        def parse_and_format():
            remove_if_present(os.path.join(work, "copy.asc"))
            p = stages(["-a", "0", "dem.asc", "copy.asc"], work)
            return p["read"] + p["write"] + p["sync"]
        whole_run_rows(rows, "ASCII grid %dx%d, 30 deg" % (n, n), ["-a", "30", "dem.asc", "t.asc"],
                       ["t.asc"], work, 5, "its parser and formatter alone (read, write, sync)",
                       parse_and_format)
        if not args.quick:
            side = 8000
            y, x = np.mgrid[0:side, 0:side]
            terrain = (50000 + 30000 * np.sin(x / 1400.0) * np.cos(y / 1800.0) +
                       5000 * np.sin(x / 122.0 + y / 94.0)).astype("<i4")
            terrain.tofile(os.path.join(work, "big_m4.raw"))
            with open(os.path.join(work, "big_m4.txt"), "w") as f:
                f.write("%d\n%d\n4\n0\n0\n10.000000\n" % (side, side))
            def copy_and_sync():
                elapsed = command_time(["bash", "-c", "cp big_m4.raw copy.raw && sync"], work)
                os.remove(os.path.join(work, "copy.raw"))
                return elapsed
            whole_run_rows(rows, "raster pair %dx%d in cm, 30 deg" % (side, side),
                           ["-a", "30", "-u", "cm", "big_m4.txt", "t_m4.txt"],
                           ["t_m4.txt", "t_m4.raw"], work, 5,
                           "cp of its data file, then sync", copy_and_sync)
            # The same in bands: 256 MB for the grids instead of 1 GB, the same bytes.
            whole = [command_time([os.path.join(RELEASE, "terrapivoter"), "-q", "-a", "30", "-u",
                                   "cm", "big_m4.txt", "t_m4.txt"], work) for _ in range(3)]
            banded = [command_time([os.path.join(RELEASE, "terrapivoter"), "-q", "-a", "30", "-u",
                                    "cm", "--memory", "256M", "big_m4.txt", "b_m4.txt"], work)
                      for _ in range(3)]
            same = (open(os.path.join(work, "t_m4.raw"), "rb").read() ==
                    open(os.path.join(work, "b_m4.raw"), "rb").read())
            peak = run(["/usr/bin/time", "-f", "%M", os.path.join(RELEASE, "terrapivoter"), "-q",
                        "-a", "30", "-u", "cm", "--memory", "256M", "big_m4.txt", "b_m4.txt"],
                       cwd=work, capture_output=True, text=True).stderr.split()[-1]
            rows.append(("raster pair %dx%d, --memory 256M (bands), 30 deg" % (side, side),
                         "%.2f s, peak %d MB, %s bytes" % (statistics.median(banded),
                                                           int(peak) // 1024,
                                                           "same" if same else "DIFFERENT"),
                         "the same run in one band", "%.2f s" % statistics.median(whole),
                         "%.2f" % (statistics.median(whole) / statistics.median(banded))))
            if args.huge:
                huge = 40000
                with open(os.path.join(work, "huge_m4.raw"), "wb") as f:
                    for top in range(0, huge, 1000):
                        y, x = np.mgrid[top:top + 1000, 0:huge]
                        (50000 + 30000 * np.sin(x / 7000.0) * np.cos(y / 9000.0) +
                         5000 * np.sin(x / 610.0 + y / 470.0)).astype("<i4").tofile(f)
                with open(os.path.join(work, "huge_m4.txt"), "w") as f:
                    f.write("%d\n%d\n4\n0\n0\n1.000000\n" % (huge, huge))
                out = run(["/usr/bin/time", "-f", "%e %M", os.path.join(RELEASE, "terrapivoter"),
                           "-q", "-a", "30", "-u", "cm", "huge_m4.txt", "h_m4.txt"], cwd=work,
                          capture_output=True, text=True).stderr.split()
                rows.append(("raster pair %dx%d in cm, 30 deg, default memory" % (huge, huge),
                             "%s s, peak %.1f GB" % (out[-2], int(out[-1]) / 2**20), "", "", ""))
                for name in ("huge_m4.raw", "h_m4.raw"):
                    os.remove(os.path.join(work, name))
            del y, x, terrain

            # GeoTIFF: against gdal_translate copying the file with the same creation options.
            from osgeo import gdal
            side = 10000
            tif = os.path.join(work, "in.tif")
            options = ["TILED=YES", "COMPRESS=DEFLATE", "PREDICTOR=3", "BIGTIFF=IF_SAFER",
                       "NUM_THREADS=%d" % os.cpu_count()]
            dataset = gdal.GetDriverByName("GTiff").Create(tif, side, side, 1, gdal.GDT_Float32,
                                                           options)
            dataset.SetGeoTransform((500000, 1, 0, 4010000, 0, -1))
            band = dataset.GetRasterBand(1)
            for top in range(0, side, 1000):
                y, x = np.mgrid[top:top + 1000, 0:side].astype(np.float32)
                band.WriteArray((500 + 300 * np.sin(x / 700.0) * np.cos(y / 900.0) +
                                 50 * np.sin(x / 61.0 + y / 47.0)).astype(np.float32), 0, top)
            dataset = None
            # Ours and the peer taken in turns, so that both see the same state of the machine.
            ours_tif, peer_tif, banded_tif = [], [], []
            for _ in range(5):
                ours_tif.append(command_time([os.path.join(RELEASE, "terrapivoter"), "-q",
                                              "--angle", "30", "in.tif", "out.tif"], work))
                peer_tif.append(command_time(["gdal_translate", "-q"] +
                                             sum((["-co", o] for o in options), []) +
                                             ["in.tif", "copy.tif"], work))
            rows.append(("GeoTIFF %dx%d Float32 DEFLATE, 30 deg, whole run" % (side, side),
                         "%.2f s" % statistics.median(ours_tif), "gdal_translate, same options",
                         "%.2f s" % statistics.median(peer_tif),
                         "%.2f" % (statistics.median(peer_tif) / statistics.median(ours_tif))))
            # In bands, the input read in place through GDAL's cache while the output is written
            # through it: the same bytes.
            for _ in range(3):
                banded_tif.append(command_time([os.path.join(RELEASE, "terrapivoter"), "-q",
                                                "--angle", "30", "--memory", "512M", "in.tif",
                                                "banded.tif"], work))
            same = (open(os.path.join(work, "out.tif"), "rb").read() ==
                    open(os.path.join(work, "banded.tif"), "rb").read())
            rows.append(("GeoTIFF %dx%d, --memory 512M (bands), 30 deg" % (side, side),
                         "%.2f s, %s bytes" % (statistics.median(banded_tif),
                                               "same" if same else "DIFFERENT"),
                         "the same run in one band", "%.2f s" % statistics.median(ours_tif),
                         "%.2f" % (statistics.median(ours_tif) / statistics.median(banded_tif))))
            # Bilinear, against gdalwarp doing the same turn (onto the input's grid, from a source
            # whose geotransform is turned), as the issue of it names it and with its kernel kept
            # unwidened (the same values as ours); peak memory beside the forward method's.
            rotated_source(tif, 30, os.path.join(work, "rotated.vrt"))
            warp = (["gdalwarp", "-q", "-overwrite", "-r", "bilinear", "-multi", "-wo",
                     "NUM_THREADS=ALL_CPUS", "-te", "500000", str(4010000 - side), str(500000 + side),
                     "4010000", "-ts", str(side), str(side), "-ot", "Float32"] +
                    sum((["-co", o] for o in options), []))
            ours_bilinear, peer_warp, peer_unwidened = [], [], []
            for _ in range(3):
                for name in ("bilinear.tif", "warped.tif", "warped1.tif"):
                    remove_if_present(os.path.join(work, name))
                ours_bilinear.append(command_time([os.path.join(RELEASE, "terrapivoter"), "-q",
                                                   "--angle", "30", "-r", "bilinear", "in.tif",
                                                   "bilinear.tif"], work))
                peer_warp.append(command_time(warp + ["rotated.vrt", "warped.tif"], work))
                peer_unwidened.append(command_time(warp + ["-wo", "XSCALE=1", "-wo", "YSCALE=1",
                                                           "rotated.vrt", "warped1.tif"], work))
            for label, times in (("gdalwarp -r bilinear -multi -wo NUM_THREADS=ALL_CPUS, same options", peer_warp),
                                 ("the same with -wo XSCALE=1 -wo YSCALE=1", peer_unwidened)):
                rows.append(("GeoTIFF %dx%d Float32 DEFLATE, bilinear 30 deg, whole run" % (side, side),
                             "%.2f s" % statistics.median(ours_bilinear), label,
                             "%.2f s" % statistics.median(times),
                             "%.2f" % (statistics.median(times) / statistics.median(ours_bilinear))))
            # The floor under any run that writes those bytes through GDAL: the bilinear output
            # alone compressed with the same options, from an uncompressed copy in the page cache.
            run(["gdal_translate", "-q", "-co", "TILED=YES", "bilinear.tif", "plain.tif"], cwd=work)
            write_alone = []
            for _ in range(3):
                remove_if_present(os.path.join(work, "rewritten.tif"))
                write_alone.append(command_time(["gdal_translate", "-q"] +
                                                sum((["-co", o] for o in options), []) +
                                                ["plain.tif", "rewritten.tif"], work))
            rows.append(("GeoTIFF %dx%d, the bilinear output's write alone (gdal_translate, same options)"
                         % (side, side), "%.2f s" % statistics.median(write_alone),
                         "gdalwarp -r bilinear, whole run", "%.2f s" % statistics.median(peer_warp),
                         "%.2f" % (statistics.median(peer_warp) / statistics.median(write_alone))))
            peaks = {}
            for method in ("forward", "bilinear", "cubic"):
                peaks[method] = int(run(["/usr/bin/time", "-f", "%M", os.path.join(RELEASE, "terrapivoter"),
                                         "-q", "-a", "30", "-r", method, "in.tif", "peak.tif"], cwd=work,
                                        capture_output=True, text=True).stderr.split()[-1]) // 1024
            rows.append(("GeoTIFF %dx%d, peak memory by method" % (side, side),
                         ", ".join("%s %d MB" % kv for kv in peaks.items()), "", "", ""))
            for name in ("in.tif", "out.tif", "copy.tif", "banded.tif", "bilinear.tif", "warped.tif",
                         "warped1.tif", "peak.tif", "rotated.vrt", "plain.tif", "rewritten.tif"):
                remove_if_present(os.path.join(work, name))

        # Whole runs of the program against its plain reference build.
        images = os.path.join(work, "c:", "images", "bench")
        os.makedirs(images)
        shutil.move(path, os.path.join(images, "grid.asc"))
        ascii_answers = "bench grid 1 grid_r 1 0 30\n"
        ends = []
        for label, answers, cells in (("ASCII grid 4000x4000", ascii_answers, n * n),):
            ends.append((label, answers, cells))
        if not args.quick:
            with open(os.path.join(images, "big_m4.txt"), "w") as f:
                f.write("8000\n8000\n4\n9000\n20000\n10.000000\n")
            big.tofile(os.path.join(images, "big_m4.raw"))
            ends.insert(0, ("raster pair 8000x8000", "bench big 0 2 big_r 0 0 30\n", 8000 * 8000))
        for label, answers, cells in ends:
            reference = []
            fast = []
            for _ in range(3):
                reference.append(program_run(os.path.join(REFERENCE, "terrapivoter"), work, answers))
                fast.append(program_run(os.path.join(RELEASE, "terrapivoter"), work, answers))
            peak = program_peak(os.path.join(RELEASE, "terrapivoter"), work, answers)
            mine, plain = statistics.median(fast), statistics.median(reference)
            rows.append(("whole run, %s, 30 deg" % label, "%.2f s" % mine, "plain reference build",
                         "%.2f s" % plain, "%.1f" % (plain / mine)))
            if cells == 8000 * 8000:
                rows.append(("peak memory, whole run, %s" % label,
                             "%.1f bytes/cell" % (peak / cells), "", "", ""))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    print("Machine: %s, %d cores, %.0f GiB; medians of %d runs (3 for the slow peers and whole runs)."
          % (cpu, os.cpu_count(), os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30, args.runs))
    print()
    print("| task | ours | peer | peer time | ratio |")
    print("|---|---|---|---|---|")
    for r in rows:
        print("| " + " | ".join(r) + " |")


if __name__ == "__main__":
    main()
