"""The QGIS tool (terrapivoter:rotate) run by QGIS's own Processing framework, headless.

Needs Debian's python3-qgis; run with QT_QPA_PLATFORM=offscreen and TERRAPIVOTER_QGIS_PLUGINS
at the folder that holds the plugin.
"""

import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from osgeo import gdal, osr

from support import PROGRAM, SAMPLES, program, write_geotiff

qgis_core = pytest.importorskip("qgis.core")

sys.path.insert(0, os.environ["TERRAPIVOTER_QGIS_PLUGINS"])


@pytest.fixture(scope="module")
def rotate():
    from qgis.core import QgsApplication

    QgsApplication.setPrefixPath("/usr", True)
    app = QgsApplication([], False)
    app.initQgis()
    from terrapivoter_processing.provider import TerrapivoterProvider

    provider = TerrapivoterProvider()
    QgsApplication.processingRegistry().addProvider(provider)
    algorithm = QgsApplication.processingRegistry().createAlgorithmById("terrapivoter:rotate")
    assert algorithm is not None
    yield algorithm
    QgsApplication.processingRegistry().removeProvider(provider)


def run(algorithm, parameters, feedback=None):
    from qgis.core import QgsProcessingContext, QgsProcessingFeedback

    context = QgsProcessingContext()
    results, ok = algorithm.run(parameters, context, feedback or QgsProcessingFeedback())
    return results, ok


def raster(path):
    ds = gdal.Open(str(path))
    band = ds.GetRasterBand(1)
    srs = osr.SpatialReference(wkt=ds.GetProjection())
    return (ds.ReadAsArray(), ds.GetGeoTransform(), srs.GetAuthorityCode(None),
            band.GetNoDataValue())


# The algorithm's parameters, and the command line's options for the same run.
CASES = [
    ({"ANGLE": 30.0}, ["-a", "30"]),
    ({"ANGLE": -17.5, "EXTENT": 1, "RESAMPLING": 2, "PIVOT": "6.1,49.8 [EPSG:4326]"},
     ["-a", "-17.5", "--extent", "full", "-r", "bilinear", "--pivot-xy", "6.1,49.8"]),
    ({"ANGLE": 45.0, "GEOREF": 1, "BACKGROUND": "min", "RESAMPLING": 3},
     ["-a", "45", "--georef", "rotated", "--background", "min", "-r", "cubic"]),
    ({"ANGLE": 10.0, "BANDS": [1], "BACKGROUND": "123.5"},
     ["-a", "10", "-b", "1", "--background", "123.5"]),
]


@pytest.mark.parametrize("parameters,options", CASES)
def test_the_tool_writes_what_the_command_line_writes(rotate, tmp_path, parameters, options):
    tif = os.path.join(SAMPLES, "lux_elev.tif")
    results, ok = run(rotate, {"INPUT": tif, "OUTPUT": str(tmp_path / "tool.tif"),
                               **parameters})
    assert ok and results["OUTPUT"] == str(tmp_path / "tool.tif")
    program(*options, tif, tmp_path / "program.tif")
    ours, theirs = raster(tmp_path / "tool.tif"), raster(tmp_path / "program.tif")
    assert np.array_equal(ours[0], theirs[0], equal_nan=True)
    assert ours[1:] == theirs[1:]


def test_a_cancelled_run_stops_at_once_and_leaves_nothing(rotate, tmp_path):
    from qgis.core import QgsProcessingFeedback

    write_geotiff(tmp_path / "big.tif", np.random.default_rng(3).uniform(0.0, 900.0, (7000, 7000)))
    out = tmp_path / "out" / "big_r.tif"
    out.parent.mkdir()
    feedback = QgsProcessingFeedback()
    cancelled_at = []

    def cancel():
        time.sleep(0.5)
        cancelled_at.append(time.perf_counter())
        feedback.cancel()

    threading.Thread(target=cancel).start()
    results, ok = run(rotate, {"INPUT": str(tmp_path / "big.tif"), "OUTPUT": str(out),
                               "ANGLE": 30.0, "RESAMPLING": 3}, feedback)
    stopped = time.perf_counter()
    assert cancelled_at and stopped - cancelled_at[0] < 1.0
    assert "OUTPUT" not in results
    assert os.listdir(out.parent) == []


def test_the_parameters_and_the_command_lines_options_stay_in_step(rotate):
    from terrapivoter_processing.rotate_algorithm import CHOICES, OPTIONS

    help_text = subprocess.run([PROGRAM, "--help"], capture_output=True, text=True).stdout
    names = {p.name() for p in rotate.parameterDefinitions()}
    assert names == set(OPTIONS) | {"INPUT", "OUTPUT"}
    for name, option in OPTIONS.items():
        assert option in help_text, option
    for name, (option, words) in CHOICES.items():
        # The command line's own list of the option's words, as its help gives them.
        line = next(line for line in help_text.splitlines() if option + " " in line)
        assert line.split(option + " ")[1].split()[0] == "|".join(words), line
        assert rotate.parameterDefinition(name).options() == words


@pytest.mark.skipif(not os.path.exists("/usr/bin/qgis_process.bin"), reason="no qgis_process")
def test_qgis_process_runs_the_tool_as_the_command_line_runs(tmp_path):
    # QGIS's own command line, with the plugin found where the tests have it and enabled in a
    # profile of the test's own (Debian's qgis_process wrapper passes an option the program
    # refuses: the program itself is called).
    env = dict(os.environ, QGIS_PLUGINPATH=os.environ["TERRAPIVOTER_QGIS_PLUGINS"],
               QGIS_CUSTOM_CONFIG_PATH=str(tmp_path / "profile"), QT_QPA_PLATFORM="offscreen")
    qgis_process = ["/usr/bin/qgis_process.bin"]
    subprocess.run(qgis_process + ["plugins", "enable", "terrapivoter_processing"], env=env,
                   check=True, capture_output=True)
    tif = os.path.join(SAMPLES, "lux_elev.tif")
    run = subprocess.run(qgis_process + ["run", "terrapivoter:rotate", "--", f"INPUT={tif}",
                                         "ANGLE=30", "RESAMPLING=2",
                                         f"OUTPUT={tmp_path / 'tool.tif'}"],
                         env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    program("-a", "30", "-r", "bilinear", tif, tmp_path / "program.tif")
    ours, theirs = raster(tmp_path / "tool.tif"), raster(tmp_path / "program.tif")
    assert np.array_equal(ours[0], theirs[0], equal_nan=True)
    assert ours[1:] == theirs[1:]
