#!/usr/bin/python3
"""GDAL and terrapivoter read each other's files.

    gdal_interop.py <terrapivoter binary> <samples folder>
"""

import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
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

    def command(self, *arguments, test_memory=None):
        """The command line, run in this folder (with the tests' memory budget, if given)."""
        env = dict(os.environ)
        if test_memory is not None:
            env["TERRAPIVOTER_TEST_MEMORY"] = str(test_memory)
        proc = subprocess.run([BINARY, *arguments], cwd=self.path, stdin=subprocess.DEVNULL,
                              capture_output=True, env=env)
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
            # Read whole, and read in place a few rows at a time (the tests' memory budget, below
            # what --memory takes): both widen the stored type.
            self.folder.command("--angle", "0", "in.tif", "small.tif", test_memory=1024)
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

    def test_what_gdal_translate_carries_comes_back_at_angle_zero(self):
        """Properties and values of a scaled DEM, a 3-band image and a pixel-is-point grid."""
        rng = np.random.default_rng(12)
        scaled = rng.integers(-500, 30000, (23, 31)).astype(np.int16)
        scaled[0, :4] = -32768
        self.tif("scaled.tif", scaled, gdal.GDT_Int16, -32768)
        dataset = gdal.Open(self.folder("scaled.tif"), gdal.GA_Update)
        dataset.SetMetadata({"SOURCE": "survey 1998", "AREA_OR_POINT": "Area"})
        band = dataset.GetRasterBand(1)
        band.SetScale(0.1)
        band.SetOffset(100.0)
        band.SetUnitType("m")
        band.SetDescription("elevation")
        band.SetMetadata({"QUALITY": "checked", "STATISTICS_MINIMUM": "1"})
        dataset = None
        rgb = rng.integers(0, 256, (3, 19, 27)).astype(np.uint8)
        dataset = gdal.GetDriverByName("GTiff").Create(self.folder("rgb.tif"), 27, 19, 3,
                                                       gdal.GDT_Byte, ["PHOTOMETRIC=RGB"])
        dataset.SetGeoTransform((300000.0, 5.0, 0, 5000000.0, 0, -5.0))
        for b in range(3):
            dataset.GetRasterBand(b + 1).WriteArray(rgb[b])
        dataset = None
        self.tif("point.tif", scaled, gdal.GDT_Int16, -32768)
        dataset = gdal.Open(self.folder("point.tif"), gdal.GA_Update)
        dataset.SetMetadataItem("AREA_OR_POINT", "Point")
        dataset = None
        for name in ("scaled.tif", "rgb.tif", "point.tif"):
            self.folder.command("-a", "0", "--extent", "full", name, "ours_" + name)
            gdal.Translate(self.folder("ref_" + name), self.folder(name))
            ours = gdal.Open(self.folder("ours_" + name))
            ref = gdal.Open(self.folder("ref_" + name))
            self.assertEqual(ours.GetGeoTransform(), ref.GetGeoTransform(), name)
            self.assertEqual(ours.GetMetadata(), ref.GetMetadata(), name)
            self.assertEqual(ours.RasterCount, ref.RasterCount, name)
            for b in range(1, ref.RasterCount + 1):
                a, r = ours.GetRasterBand(b), ref.GetRasterBand(b)
                np.testing.assert_array_equal(a.ReadAsArray(), r.ReadAsArray(), err_msg=name)
                for prop in ("GetScale", "GetOffset", "GetUnitType", "GetDescription",
                             "GetColorInterpretation", "GetNoDataValue", "DataType"):
                    value = getattr(a, prop)
                    expected = getattr(r, prop)
                    self.assertEqual(value() if callable(value) else value,
                                     expected() if callable(expected) else expected,
                                     (name, b, prop))
                metadata = {k: v for k, v in r.GetMetadata().items()
                            if not k.startswith("STATISTICS_")}
                self.assertEqual(a.GetMetadata(), metadata, (name, b))
        self.assertEqual(gdal.Open(self.folder("ours_point.tif")).GetMetadataItem("AREA_OR_POINT"),
                         "Point")
        # A form that stores no scale receives what the values stand for.
        self.folder.command("-a", "0", "scaled.tif", "scaled.asc")
        _, values = ascii_header_and_values(self.folder("scaled.asc"))
        expected = np.where(scaled == -32768, -32768 * 0.1 + 100.0, scaled * 0.1 + 100.0)
        np.testing.assert_array_equal(values, np.round(expected, 6))

    def test_no_data_is_never_clamped_into_data(self):
        array = np.full((30, 30), 200, np.int16)
        array[10:20, 10:20] = -32768
        self.tif("dem.tif", array, gdal.GDT_Int16, -32768)
        self.folder.command("-a", "30", "--ot", "byte", "--dst-nodata", "255", "dem.tif",
                            "t.tif")
        turned_dataset = gdal.Open(self.folder("t.tif"))
        band = turned_dataset.GetRasterBand(1)
        self.assertEqual(gdal.GetDataTypeName(band.DataType), "Byte")
        self.assertEqual(band.GetNoDataValue(), 255)
        turned = band.ReadAsArray()
        self.assertEqual(turned[15, 15], 255)
        self.assertNotIn(0, turned)  # neither the no-data cells nor the corners became data

    def test_bands_are_turned_each_with_its_own_no_data(self):
        stack = np.stack([np.full((20, 25), 10 * (b + 1), np.float32) for b in range(3)])
        stack[1, 5:9, 5:9] = -1
        dataset = gdal.GetDriverByName("GTiff").Create(self.folder("stack.tif"), 25, 20, 3,
                                                       gdal.GDT_Float32)
        dataset.SetGeoTransform((600000.0, 25.0, 0, 4800000.0, 0, -25.0))
        for b in range(3):
            dataset.GetRasterBand(b + 1).WriteArray(stack[b])
        dataset.GetRasterBand(2).SetNoDataValue(-1)
        dataset = None
        self.folder.command("-a", "30", "--background", "0", "stack.tif", "all.tif")
        self.folder.command("-a", "30", "--background", "0", "-b", "3", "-b", "2", "stack.tif",
                            "picked.tif")
        self.folder.command("-a", "30", "--background", "0", "-b", "2", "stack.tif", "two.asc")
        turned = gdal.Open(self.folder("all.tif")).ReadAsArray()
        picked = gdal.Open(self.folder("picked.tif")).ReadAsArray()
        np.testing.assert_array_equal(picked, turned[[2, 1]])
        _, two = ascii_header_and_values(self.folder("two.asc"))
        np.testing.assert_array_equal(two, turned[1])
        self.assertEqual(set(np.unique(turned[0])), {0.0, 10.0})
        self.assertIn(-1.0, turned[1])  # band 2's no-data cells, turned, never filled
        proc = subprocess.run([BINARY, "-a", "30", "stack.tif", "t.asc"], cwd=self.folder.path,
                              capture_output=True, stdin=subprocess.DEVNULL)
        self.assertEqual(proc.returncode, 2)
        self.assertIn(b"has 3 bands and an ASCII grid holds one: choose it with --band N",
                      proc.stderr)

    def test_a_truncated_file_read_on_two_threads_says_why(self):
        array = np.random.default_rng(5).random((600, 600)).astype(np.float32)
        self.tif("whole.tif", array, gdal.GDT_Float32)
        with open(self.folder("whole.tif"), "rb") as f:
            data = f.read()
        with open(self.folder("cut.tif"), "wb") as f:
            f.write(data[:len(data) * 2 // 3])
        proc = subprocess.run([BINARY, "-a", "30", "-j", "2", "cut.tif", "t.tif"],
                              cwd=self.folder.path, capture_output=True, stdin=subprocess.DEVNULL)
        self.assertEqual(proc.returncode, 1)
        self.assertNotIn(b"GDAL gave no reason", proc.stderr)
        self.assertRegex(proc.stderr.decode(), "cannot read cut.tif: .*(read|Read)")

    def test_geometry_as_gdal_sees_it(self):
        rng = np.random.default_rng(6)
        array = rng.uniform(0, 500, (21, 17)).astype(np.float32)
        turn = ("-a", "-23", "--extent", "full", "--georef", "rotated")
        # South-up: its rows stored south first, its y step positive.
        self.tif("north.tif", array, gdal.GDT_Float32, gt=(10.0, 2.0, 0, 100.0, 0, -2.0))
        self.tif("south.tif", array[::-1], gdal.GDT_Float32, gt=(10.0, 2.0, 0, 58.0, 0, 2.0))
        self.folder.command(*turn, "north.tif", "n.tif")
        self.folder.command(*turn, "south.tif", "s.tif")
        north, south = gdal.Open(self.folder("n.tif")), gdal.Open(self.folder("s.tif"))
        np.testing.assert_array_equal(north.ReadAsArray(), south.ReadAsArray())
        self.assertEqual(north.GetGeoTransform(), south.GetGeoTransform())
        # Cells square to GDAL's last digits (a BT file stores its extent, not its step).
        self.tif("degrees.tif", array, gdal.GDT_Float32,
                 gt=(5.7, 0.008333333333333337, 0, 50.2, 0, -0.008333333333333333), epsg=4326)
        gdal.Translate(self.folder("degrees.bt"), self.folder("degrees.tif"), format="BT")
        for name in ("degrees.tif", "degrees.bt"):
            self.folder.command("-a", "0", name, name + ".asc")
            _, values = ascii_header_and_values(self.folder(name + ".asc"))
            np.testing.assert_array_equal(values, np.round(array.astype(np.float64), 6))
        # No georeference: none comes back.
        dataset = gdal.GetDriverByName("GTiff").Create(self.folder("bare.tif"), 17, 21, 1,
                                                       gdal.GDT_Float32)
        dataset.GetRasterBand(1).WriteArray(array)
        dataset = None
        self.folder.command("-a", "90", "bare.tif", "b.tif")
        bare = gdal.Open(self.folder("b.tif"))
        self.assertEqual(bare.GetGeoTransform(can_return_null=True), None)
        # A first value that is no number: GDAL still finds where the values start.
        nan_first = np.full((4, 5), 7.0, np.float32)
        nan_first[0, 0] = np.nan
        self.tif("nan.tif", nan_first, gdal.GDT_Float32, float("nan"))
        self.folder.command("-a", "0", "nan.tif", "nan.asc")
        read = gdal.Open(self.folder("nan.asc")).ReadAsArray()
        self.assertTrue(np.isnan(read[0, 0]))
        np.testing.assert_array_equal(read.flat[1:], nan_first.flat[1:])
        # -inf, as GDAL and the tool write it, reads back.
        self.folder.command("-a", "0", "--nodata", "-inf", "nan.tif", "inf.asc")
        self.folder.command("-a", "0", "inf.asc", "inf2.asc")

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

    def test_resampled_cells_are_what_gdals_warper_gives(self):
        """Every method against GDAL's warper resampling onto our rotated geotransform (its kernel
        unwidened), no-data cells among the input's: the same values, the same cells valued."""
        n, mark = 60, -1e30
        y, x = np.mgrid[0:n, 0:n].astype(float)
        dem = 500 + 30 * np.sin(x / 7.0) * np.cos(y / 9.0) + np.random.default_rng(3).uniform(0, 3, (n, n))
        dem[np.random.default_rng(4).random((n, n)) < 0.05] = -9999
        self.tif("dem.tif", dem, gdal.GDT_Float64, nodata=-9999)
        for method, algorithm in (("nearest", "near"), ("bilinear", "bilinear"), ("cubic", "cubic")):
            # Off the cells' grid, so that no position ties two cells for the nearest.
            self.folder.command("-a", "31.7", "-r", method, "-p", "30.13,29.71", "--georef",
                                "rotated", "--extent", "full", "--dst-nodata", str(mark),
                                "dem.tif", "t.tif")
            ours = gdal.Open(self.folder("t.tif"))
            peer = gdal.GetDriverByName("MEM").Create("", ours.RasterXSize, ours.RasterYSize, 1,
                                                      gdal.GDT_Float64)
            peer.SetGeoTransform(ours.GetGeoTransform())
            peer.GetRasterBand(1).Fill(mark)
            gdal.Warp(peer, self.folder("dem.tif"), resampleAlg=algorithm, dstNodata=mark,
                      warpOptions=["XSCALE=1", "YSCALE=1"])
            a, b = ours.ReadAsArray(), peer.ReadAsArray()
            ours = None
            np.testing.assert_array_equal(a == mark, b == mark, err_msg=method)
            valued = a != mark
            self.assertGreater(valued.sum(), n * n // 2)
            np.testing.assert_allclose(a[valued], b[valued], rtol=1e-9, atol=0, err_msg=method)


class Drivers(unittest.TestCase):
    """Every GDAL driver that writes rasters: the files gdal_translate writes, at their names."""

    def setUp(self):
        self.folder = Folder()
        rng = np.random.default_rng(7)
        array = rng.uniform(0, 1000, (50, 60)).astype(np.float32)
        array[0, :3] = -9999
        write_geotiff(self.folder("src.tif"), array, gdal.GDT_Float32, -9999,
                      (500000.0, 10.0, 0, 4000000.0, 0, -10.0), 32631)
        self.folder.command("-a", "30", "src.tif", "turned.tif")

    def tearDown(self):
        self.folder.remove()

    def run_program(self, *arguments, **options):
        return subprocess.run([BINARY, *arguments], cwd=self.folder.path, capture_output=True,
                              stdin=subprocess.DEVNULL, **options)

    def test_each_driver_writes_what_gdal_translate_writes(self):
        gdal.PushErrorHandler("CPLQuietErrorHandler")
        self.addCleanup(gdal.PopErrorHandler)
        tried = []
        for i in range(gdal.GetDriverCount()):
            driver = gdal.GetDriver(i)
            md = driver.GetMetadata()
            creates = md.get("DCAP_CREATE") == "YES" or md.get("DCAP_CREATECOPY") == "YES"
            if md.get("DCAP_RASTER") != "YES" or not creates:
                continue
            if "Float32" not in md.get("DMD_CREATIONDATATYPES", "").split():
                continue
            name = driver.ShortName
            suffix = (md.get("DMD_EXTENSIONS") or "out").split()[0]
            ours, ref = self.folder(name + "/ours"), self.folder(name + "/ref")
            os.makedirs(ours)
            os.makedirs(ref)
            proc = self.run_program("-a", "30", "--of", name, "src.tif", f"{name}/ours/o.{suffix}")
            if name in ("VRT", "MEM"):  # no raster file of their own
                self.assertEqual(proc.returncode, 2, name)
                continue
            try:
                gdal.Translate(f"{ref}/o.{suffix}", self.folder("turned.tif"), format=name)
                expected = gdal.Open(f"{ref}/o.{suffix}")
            except RuntimeError:
                continue  # the driver needs options, or writes what GDAL cannot read back
            self.assertEqual(proc.returncode, 0, (name, proc.stderr))
            tried.append(name)
            written = gdal.Open(f"{ours}/o.{suffix}")
            self.assertEqual(written.GetGeoTransform(), expected.GetGeoTransform(), name)
            a, b = written.GetSpatialRef(), expected.GetSpatialRef()
            self.assertTrue(a.IsSame(b) if b is not None else a is None, name)
            band, ref_band = written.GetRasterBand(1), expected.GetRasterBand(1)
            self.assertEqual(band.GetNoDataValue(), ref_band.GetNoDataValue(), name)
            np.testing.assert_array_equal(band.ReadAsArray(), ref_band.ReadAsArray(),
                                          err_msg=name)
            # The same file set, but for statistics that gdal_translate took from its source.
            names = set(os.listdir(ours)) | {"o.grd.aux.xml"} if name == "RRASTER" else set(
                os.listdir(ours))
            self.assertEqual(names, set(os.listdir(ref)), name)
        for multi_file in ("GTiff", "EHdr", "SAGA", "RST", "GPKG", "ENVI", "AAIGrid"):
            self.assertIn(multi_file, tried)

    def test_the_suffix_names_the_driver_and_config_options_reach_gdal(self):
        for name, driver in (("o.img", "HFA"), ("o.nc", "netCDF"), ("o.gpkg", "GPKG"),
                             ("o.bil", "EHdr"), ("o.grd", "GSAG")):
            proc = self.run_program("-a", "30", "--ot", "float32", "src.tif", name)
            self.assertEqual(proc.returncode, 0, (name, proc.stderr))
            self.assertEqual(gdal.Open(self.folder(name)).GetDriver().ShortName, driver)
            # Several drivers write ".grd": the one gdal_translate picks, with a word.
            self.assertEqual(b"GSBG" in proc.stderr, driver == "GSAG", name)
        self.run_program("-a", "30", "--config", "GDAL_PAM_ENABLED", "NO", "src.tif", "p.bil")
        self.assertTrue(os.path.exists(self.folder("p.bil")))
        self.assertFalse(os.path.exists(self.folder("p.bil.aux.xml")))
        self.assertTrue(os.path.exists(self.folder("o.bil.aux.xml")))

    def test_a_failed_or_interrupted_write_leaves_nothing(self):
        def small_files():
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        for driver, name in (("GTiff", "o.tif"), ("EHdr", "o.bil"), ("GPKG", "o.gpkg"),
                             ("SAGA", "o.sdat")):
            proc = self.run_program("-a", "30", "--of", driver, "src.tif", name,
                                    preexec_fn=small_files)
            self.assertEqual(proc.returncode, 1, driver)
            self.assertIn(b"File too large", proc.stderr, driver)
            self.assertEqual(sorted(os.listdir(self.folder.path)), ["src.tif", "turned.tif"])
        big = np.random.default_rng(8).random((3000, 3000)).astype(np.float32)
        write_geotiff(self.folder("big.tif"), big, gdal.GDT_Float32, None,
                      (0.0, 1.0, 0, 3000.0, 0, -1.0))
        child = subprocess.Popen([BINARY, "-a", "30", "-j", "1", "big.tif", "o.bil"],
                                 cwd=self.folder.path, stdin=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        caught = False
        for _ in range(20000):
            folders = [f for f in os.listdir(self.folder.path) if ".tmp-terrapivoter-" in f]
            inside = [os.path.join(self.folder.path, f, g) for f in folders
                      for g in os.listdir(os.path.join(self.folder.path, f))]
            if any(os.path.getsize(p) > 0 for p in inside if os.path.exists(p)):
                caught = True
                break
            time.sleep(0.0005)
        child.terminate()
        child.wait()
        self.assertTrue(caught)
        self.assertEqual(child.returncode, -signal.SIGTERM)
        self.assertEqual(sorted(os.listdir(self.folder.path)), ["big.tif", "src.tif", "turned.tif"])


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv[1])
    SAMPLES = os.path.abspath(sys.argv[2])
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[3:])
