#!/usr/bin/python3
"""GDAL and terrapivoter read each other's files.

    gdal_interop.py <terrapivoter binary> <samples folder>
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import numpy as np
from osgeo import gdal, osr

gdal.UseExceptions()
BINARY = None
SAMPLES = None


def ascii_header_and_values(path):
    """Header pairs (lower-case keys) and the values, as the text says them."""
    with open(path) as f:
        tokens = f.read().split()
    header = {}
    k = 0
    while tokens[k].lower() in ("ncols", "nrows", "xllcorner", "yllcorner", "xllcenter",
                                "yllcenter", "cellsize", "nodata_value"):
        header[tokens[k].lower()] = float(tokens[k + 1])
        k += 2
    values = np.array([float(t) for t in tokens[k:]])
    return header, values.reshape(int(header["nrows"]), int(header["ncols"]))


def write_geotiff(path, array, gdal_type, nodata, geotransform, epsg=None, options=()):
    """A one-band GeoTIFF of `array`."""
    dataset = gdal.GetDriverByName("GTiff").Create(path, array.shape[1], array.shape[0], 1,
                                                   gdal_type, list(options))
    dataset.SetGeoTransform(geotransform)
    if epsg is not None:
        srs = osr.SpatialReference()
        srs.ImportFromEPSG(epsg)
        dataset.SetSpatialRef(srs)
    band = dataset.GetRasterBand(1)
    if nodata is not None:
        band.SetNoDataValue(nodata)
    band.WriteArray(array)
    dataset = None


class Folder:
    """c:/images/<name>/ below a scratch working directory, as the program sees it."""

    def __init__(self):
        self.work = tempfile.mkdtemp(prefix="terrapivoter-gdal-")
        self.path = os.path.join(self.work, "c:", "images", "g")
        os.makedirs(self.path)

    def __call__(self, name):
        return os.path.join(self.path, name)

    def run(self, answers):
        proc = subprocess.run([BINARY], cwd=self.work, input=answers.encode(),
                              capture_output=True)
        if proc.returncode != 0:
            raise AssertionError("terrapivoter failed: " + proc.stderr.decode())

    def command(self, *arguments):
        """The command line, run in this folder."""
        proc = subprocess.run([BINARY, *arguments], cwd=self.path, stdin=subprocess.DEVNULL,
                              capture_output=True)
        if proc.returncode != 0:
            raise AssertionError("terrapivoter failed: " + proc.stderr.decode())

    def remove(self):
        shutil.rmtree(self.work, ignore_errors=True)


class GdalReadsOurFiles(unittest.TestCase):
    def setUp(self):
        self.folder = Folder()

    def tearDown(self):
        self.folder.remove()

    def check_ascii_output(self, output, nrows, ncols, x_min, y_min, cell, nodata):
        dataset = gdal.OpenEx(self.folder(output), open_options=["DATATYPE=Float64"])
        self.assertEqual((dataset.RasterYSize, dataset.RasterXSize), (nrows, ncols))
        gt = dataset.GetGeoTransform()
        self.assertAlmostEqual(gt[0], x_min, places=12)
        self.assertAlmostEqual(gt[3], y_min + nrows * cell, places=9)
        self.assertAlmostEqual(gt[1], cell, places=15)
        self.assertAlmostEqual(gt[5], -cell, places=15)
        band = dataset.GetRasterBand(1)
        self.assertEqual(band.GetNoDataValue(), nodata)
        _, written = ascii_header_and_values(self.folder(output))
        np.testing.assert_array_equal(band.ReadAsArray(), written)

    def test_a_grid_in_degrees_keeps_its_georeference_and_no_data(self):
        shutil.copy(os.path.join(SAMPLES, "lux_elev.asc"), self.folder("lux.asc"))
        self.folder.run("g lux 1 lux_r 1 0 30\n")
        self.check_ascii_output("lux_r.asc", 90, 95, 5.741666666667, 49.441666666667,
                                0.008333333333, -32768.0)

    def test_a_raster_pair_written_as_an_ascii_grid(self):
        for name in ("volcano_m4.txt", "volcano_m4.raw"):
            shutil.copy(os.path.join(SAMPLES, name), self.folder(name))
        self.folder.run("g volcano 0 2 v 1 1756000 5917000 0 -17.3\n")
        self.check_ascii_output("v.asc", 87, 61, 1756000.0, 5917000.0, 10.0, -9999.9999)

    def test_a_raster_pair_output_through_a_vrt(self):
        for name in ("volcano_m4.txt", "volcano_m4.raw"):
            shutil.copy(os.path.join(SAMPLES, name), self.folder(name))
        self.folder.run("g volcano 0 2 v 0 0 30\n")
        with open(self.folder("v.vrt"), "w") as f:
            f.write('<VRTDataset rasterXSize="61" rasterYSize="87">'
                    '<VRTRasterBand dataType="Int32" band="1" subClass="VRTRawRasterBand">'
                    '<SourceFilename relativetoVRT="1">v_m4.raw</SourceFilename>'
                    '<ImageOffset>0</ImageOffset><PixelOffset>4</PixelOffset>'
                    '<LineOffset>244</LineOffset><ByteOrder>LSB</ByteOrder>'
                    '</VRTRasterBand></VRTDataset>')
        dataset = gdal.Open(self.folder("v.vrt"))
        written = np.fromfile(self.folder("v_m4.raw"), dtype="<i4").reshape(87, 61)
        np.testing.assert_array_equal(dataset.GetRasterBand(1).ReadAsArray(), written)
        self.assertGreater(written.min(), 9000)


    def test_uncovered_corners_are_no_data_to_gdal(self):
        shutil.copy(os.path.join(SAMPLES, "lux_elev.asc"), self.folder("lux.asc"))
        self.folder.command("--angle", "30", "--extent", "full", "--background", "nodata",
                            "lux.asc", "full.asc")
        dataset = gdal.OpenEx(self.folder("full.asc"), open_options=["DATATYPE=Float64"])
        band = dataset.GetRasterBand(1)
        self.assertEqual(band.GetNoDataValue(), -32768.0)
        mask = band.GetMaskBand().ReadAsArray()
        rows, cols = mask.shape
        for corner in ((0, 0), (0, cols - 1), (rows - 1, 0), (rows - 1, cols - 1)):
            self.assertEqual(mask[corner], 0, corner)
        # The turned terrain keeps its place: its valid cells cover about as much ground.
        original = gdal.Open(self.folder("lux.asc"))
        before = original.GetRasterBand(1).GetMaskBand().ReadAsArray()
        valid_before = int(before.astype(bool).sum())
        valid_after = int(mask.astype(bool).sum())
        self.assertLess(abs(valid_after - valid_before), valid_before // 20)


class WeReadGdalFiles(unittest.TestCase):
    def setUp(self):
        self.folder = Folder()

    def tearDown(self):
        self.folder.remove()

    def through_gdal(self, array, gdal_type, nodata, geotransform):
        """A GeoTIFF of `array`, turned into an ASCII grid by gdal_translate."""
        tif = self.folder("src.tif")
        write_geotiff(tif, array, gdal_type, nodata, geotransform)
        gdal.Translate(self.folder("grid.asc"), tif, format="AAIGrid")

    def check_copy(self, geotransform, nodata_line):
        """Rotating by 0 copies the grid: our output must hold what GDAL's file holds."""
        self.folder.run("g grid 1 copy 1 0 0\n")
        reference = gdal.OpenEx(self.folder("grid.asc"), open_options=["DATATYPE=Float64"])
        header, values = ascii_header_and_values(self.folder("copy.asc"))
        expected = np.array([[float("%f" % v) for v in row]
                             for row in reference.GetRasterBand(1).ReadAsArray()])
        np.testing.assert_array_equal(values, expected)
        self.assertEqual(header["ncols"], reference.RasterXSize)
        self.assertEqual(header["nrows"], reference.RasterYSize)
        self.assertAlmostEqual(header["xllcorner"], geotransform[0], places=9)
        self.assertAlmostEqual(header["yllcorner"], geotransform[3] + geotransform[5] * reference.RasterYSize, places=9)
        self.assertAlmostEqual(header["cellsize"], geotransform[1], places=12)
        self.assertEqual(header["nodata_value"], nodata_line)

    def test_integer_data_with_no_data(self):
        rng = np.random.default_rng(1)
        array = rng.integers(1, 3000, (40, 50)).astype(np.int16)
        array[0, :7] = -9999
        gt = (600000.0, 25.0, 0, 4800000.0, 0, -25.0)
        self.through_gdal(array, gdal.GDT_Int16, -9999, gt)
        self.check_copy(gt, -9999.0)

    def test_floating_data_in_degrees_without_no_data(self):
        rng = np.random.default_rng(2)
        array = rng.uniform(-400.0, 4000.0, (30, 45)).astype(np.float32)
        gt = (-3.5, 0.0008333333333333334, 0, 52.25, 0, -0.0008333333333333334)
        self.through_gdal(array, gdal.GDT_Float32, None, gt)
        with open(self.folder("grid.asc")) as f:
            self.assertNotIn("NODATA", f.read(300).upper())
        self.check_copy(gt, -9999.9999)

    def test_double_data_with_no_data(self):
        rng = np.random.default_rng(3)
        array = rng.uniform(0.5, 99.5, (20, 20))
        array[5, 5] = -1.0e10
        gt = (1000.0, 2.0, 0, 2000.0, 0, -2.0)
        self.through_gdal(array, gdal.GDT_Float64, -1.0e10, gt)
        self.check_copy(gt, -1.0e10)

    def test_the_luxembourg_grid_rewritten_by_gdal(self):
        gdal.Translate(self.folder("grid.asc"), os.path.join(SAMPLES, "lux_elev.asc"), format="AAIGrid")
        self.folder.run("g grid 1 copy 1 0 0\n")
        header, values = ascii_header_and_values(self.folder("copy.asc"))
        _, original = ascii_header_and_values(os.path.join(SAMPLES, "lux_elev.asc"))
        np.testing.assert_array_equal(values, original)
        self.assertEqual(header["xllcorner"], 5.741666666667)
        self.assertEqual(header["cellsize"], 0.008333333333)
        self.assertEqual(header["nodata_value"], -32768.0)


class GeoTiff(unittest.TestCase):
    """Rasters through GDAL: GeoTIFF in and out, types, no-data, coordinate systems."""

    def setUp(self):
        self.folder = Folder()

    def tearDown(self):
        self.folder.remove()

    def tif(self, name, array, gdal_type, nodata=None, gt=(600000.0, 25.0, 0, 4800000.0, 0, -25.0),
            epsg=32631, options=("TILED=YES", "COMPRESS=DEFLATE")):
        write_geotiff(self.folder(name), array, gdal_type, nodata, gt, epsg, options)

    def test_an_unturned_grid_comes_back_in_its_own_type(self):
        rng = np.random.default_rng(11)
        for type_name, dtype, nodata in (("Byte", np.uint8, 255), ("Int16", np.int16, -32768),
                                         ("UInt16", np.uint16, 0), ("Int32", np.int32, -99999),
                                         ("UInt32", np.uint32, 4294967295),
                                         ("Float32", np.float32, -3.4e38),
                                         ("Float64", np.float64, float("nan"))):
            info = np.iinfo(dtype) if np.issubdtype(dtype, np.integer) else np.finfo(dtype)
            array = rng.uniform(max(info.min, -1e6), min(info.max, 1e6), (37, 53)).astype(dtype)
            array[0, :5] = nodata
            self.tif("in.tif", array, gdal.GetDataTypeByName(type_name), nodata)
            # Read whole, and read in place a few rows at a time: both widen the stored type.
            self.folder.command("--angle", "0", "--memory", "1k", "in.tif", "small.tif")
            self.folder.command("--angle", "0", "in.tif", "out.tif")
            with open(self.folder("small.tif"), "rb") as small:
                with open(self.folder("out.tif"), "rb") as whole:
                    self.assertEqual(small.read(), whole.read(), type_name)
            os.remove(self.folder("small.tif"))
            source = gdal.Open(self.folder("in.tif"))
            turned = gdal.Open(self.folder("out.tif"))
            band = turned.GetRasterBand(1)
            self.assertEqual(gdal.GetDataTypeName(band.DataType), type_name)
            np.testing.assert_array_equal(band.ReadAsArray(), array, err_msg=type_name)
            stored_nodata = source.GetRasterBand(1).GetNoDataValue()
            if np.isnan(nodata):
                self.assertTrue(np.isnan(band.GetNoDataValue()))
            else:
                self.assertEqual(band.GetNoDataValue(), stored_nodata)
            self.assertEqual(turned.GetGeoTransform(), source.GetGeoTransform())
            self.assertTrue(turned.GetSpatialRef().IsSame(source.GetSpatialRef()))
            self.assertEqual(turned.GetMetadataItem("AREA_OR_POINT"), "Area")
            layout = turned.GetMetadata("IMAGE_STRUCTURE")
            self.assertEqual(layout.get("COMPRESSION"), "DEFLATE")
            self.assertEqual(band.GetBlockSize(), [256, 256])
            leftovers = [f for f in os.listdir(self.folder.path) if f not in ("in.tif", "out.tif")]
            self.assertEqual(leftovers, [])

    def test_one_dem_in_three_forms_turns_alike(self):
        shutil.copy(os.path.join(SAMPLES, "lux_elev.tif"), self.folder("lux.tif"))
        shutil.copy(os.path.join(SAMPLES, "lux_elev.asc"), self.folder("lux.asc"))
        values = gdal.Open(self.folder("lux.tif")).ReadAsArray().astype("<i4")
        values.tofile(self.folder("lux_m4.raw"))
        with open(self.folder("lux_m4.txt"), "w") as f:
            f.write("90\n95\n4\n0\n0\n0.008333333333\n")
        turn = ("-a", "-17.3", "-p", "40.5,20", "--nodata", "-32768")
        self.folder.command(*turn, "lux.tif", "t.tif")
        self.folder.command(*turn, "lux.asc", "t.asc")
        self.folder.command(*turn, "-u", "m", "lux_m4.txt", "t_m4.txt")
        from_tif = gdal.Open(self.folder("t.tif")).ReadAsArray()
        _, from_asc = ascii_header_and_values(self.folder("t.asc"))
        from_raster = np.fromfile(self.folder("t_m4.raw"), dtype="<i4").reshape(90, 95)
        np.testing.assert_array_equal(from_tif, from_raster)
        np.testing.assert_array_equal(np.sign(from_asc) * np.floor(np.abs(from_asc) + 0.5), from_raster)
        # An ASCII output carries the GeoTIFF's coordinate system in a .prj beside it.
        self.folder.command(*turn, "lux.tif", "g.asc")
        from_prj = gdal.Open(self.folder("g.asc"))
        self.assertEqual(from_prj.GetFileList()[1:], [self.folder("g.prj")])
        self.assertEqual(from_prj.GetSpatialRef().ExportToProj4(),
                         gdal.Open(self.folder("lux.tif")).GetSpatialRef().ExportToProj4())

    def test_a_prj_is_carried_from_an_ascii_grid_to_an_ascii_grid_and_a_geotiff(self):
        shutil.copy(os.path.join(SAMPLES, "lux_elev.asc"), self.folder("lux.asc"))
        srs = osr.SpatialReference()
        srs.ImportFromEPSG(4326)
        srs.MorphToESRI()
        with open(self.folder("lux.prj"), "w") as f:
            f.write(srs.ExportToWkt())
        self.folder.run("g lux 1 dialogue 1 0 30\n")
        with open(self.folder("lux.prj")) as a, open(self.folder("dialogue.prj")) as b:
            self.assertEqual(a.read(), b.read())
        self.folder.command("-a", "30", "lux.asc", "t.tif")
        wgs84 = osr.SpatialReference()
        wgs84.ImportFromEPSG(4326)
        self.assertTrue(gdal.Open(self.folder("t.tif")).GetSpatialRef().IsSame(
            wgs84, ["IGNORE_DATA_AXIS_TO_SRS_AXIS_MAPPING=YES", "CRITERION=EQUIVALENT"]))

    def test_not_a_number_is_no_data_in_a_geotiff_and_an_ascii_grid(self):
        array = np.full((40, 60), 100.0, dtype=np.float32)
        array[10:30, 20:40] = np.nan
        array[5, 5] = 50.0
        self.tif("nan.tif", array, gdal.GDT_Float32, float("nan"))
        self.folder.command("-a", "30", "--background", "nodata", "nan.tif", "t.tif")
        self.folder.command("-a", "30", "--background", "nodata", "nan.tif", "t.asc")
        turned = gdal.Open(self.folder("t.tif")).ReadAsArray()
        self.assertTrue(np.isnan(turned[0, 0]))  # an uncovered corner
        finite = turned[np.isfinite(turned)]
        # No NaN was averaged into a hole nor taken for the smallest value.
        self.assertTrue(set(np.unique(finite)) <= {50.0, 100.0, 75.0, 87.5, 62.5})
        self.assertGreater(np.isnan(turned).sum(), 300)
        with open(self.folder("t.asc")) as f:
            text = f.read()
        self.assertIn("nodata_value nan\n", text)
        self.assertNotIn("-nan", text)
        header, values = ascii_header_and_values(self.folder("t.asc"))
        np.testing.assert_array_equal(values, turned)
        # An ASCII grid with nan cells and a nan no-data value reads and turns the same way.
        self.folder.command("-a", "30", "--background", "nodata", "t.asc", "u.tif")
        again = gdal.Open(self.folder("u.tif"))
        self.assertTrue(np.isnan(again.GetRasterBand(1).GetNoDataValue()))

    def test_a_stored_double_like_the_empty_mark_stays_a_value(self):
        array = np.full((20, 20), 3.0)
        array.view(np.uint64)[7, 7] = 0x7FFC0E0D0E0D0E0D
        self.tif("odd.tif", array, gdal.GDT_Float64)
        self.folder.command("-a", "0", "odd.tif", "t.tif")
        turned = gdal.Open(self.folder("t.tif")).ReadAsArray()
        self.assertTrue(np.isnan(turned[7, 7]))
        self.assertEqual(np.isnan(turned).sum(), 1)

    def test_a_rotated_geotransform_is_refused(self):
        self.tif("sheared.tif", np.ones((10, 10), np.int16), gdal.GDT_Int16,
                 gt=(1000.0, 10.0, 2.0, 2000.0, 2.0, -10.0))
        proc = subprocess.run([BINARY, "-a", "30", "sheared.tif", "t.tif"], cwd=self.folder.path,
                              capture_output=True, stdin=subprocess.DEVNULL)
        self.assertEqual(proc.returncode, 1)
        self.assertIn(b"is rotated or sheared", proc.stderr)
        self.assertFalse(os.path.exists(self.folder("t.tif")))

    def test_a_rotated_georeference_puts_each_cell_back_over_its_ground(self):
        shutil.copy(os.path.join(SAMPLES, "lux_elev.tif"), self.folder("lux.tif"))
        self.folder.command("-a", "30", "-p", "20,60", "--georef", "rotated", "--extent",
                            "full", "lux.tif", "t.tif")
        source = gdal.Open(self.folder("lux.tif"))
        turned = gdal.Open(self.folder("t.tif"))
        a = source.ReadAsArray()
        b = turned.ReadAsArray()
        values, counts = np.unique(a, return_counts=True)
        once = {v for v, n in zip(values, counts) if n == 1}
        values, counts = np.unique(b, return_counts=True)
        distinctive = sorted(once & {v for v, n in zip(values, counts) if n == 1})
        self.assertGreater(len(distinctive), 10)
        to_map = gdal.Transformer(source, None, [])
        to_turned = gdal.Transformer(turned, None, [])
        for v in distinctive:
            row, col = np.argwhere(a == v)[0]
            _, (x, y, _) = to_map.TransformPoint(0, col + 0.5, row + 0.5)
            _, (u, w, _) = to_turned.TransformPoint(1, x, y)
            row2, col2 = np.argwhere(b == v)[0]
            self.assertLessEqual(abs(u - (col2 + 0.5)), 0.5 + 1e-9, v)
            self.assertLessEqual(abs(w - (row2 + 0.5)), 0.5 + 1e-9, v)


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv[1])
    SAMPLES = os.path.abspath(sys.argv[2])
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[3:])
