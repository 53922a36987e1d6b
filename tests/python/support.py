"""What the Python tests share: the program under test, the samples, GeoTIFFs made and read."""

import os
import subprocess

import numpy as np
from osgeo import gdal, osr

gdal.UseExceptions()
PROGRAM = os.environ["TERRAPIVOTER"]
SAMPLES = os.environ["TERRAPIVOTER_SAMPLES"]


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def write_geotiff(path, values, nodata=None, gt=(500000.0, 10.0, 0.0, 4000000.0, 0.0, -10.0)):
    """A one-band GeoTIFF of doubles in UTM zone 31N."""
    ds = gdal.GetDriverByName("GTiff").Create(str(path), values.shape[1], values.shape[0], 1,
                                              gdal.GDT_Float64)
    ds.SetGeoTransform(gt)
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(32631)
    ds.SetProjection(srs.ExportToWkt())
    band = ds.GetRasterBand(1)
    if nodata is not None:
        band.SetNoDataValue(nodata)
    band.WriteArray(values)
    ds = None


def program(*args):
    """Runs the command line quietly; it must succeed."""
    run = subprocess.run([PROGRAM, "--quiet", *map(str, args)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    return run
