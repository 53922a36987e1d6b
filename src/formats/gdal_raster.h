// Rasters that GDAL reads and writes: GeoTIFF above all, and every other format it knows. The
// native forms (the raster pair and the ASCII grid) keep their own exact readers and writers.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/file_name.h"
#include "base/grid.h"
#include "base/grid_source.h"
#include "base/work.h"

class OutputFile;
class Progress;

// False in a build configured without GDAL (TERRAPIVOTER_GDAL=OFF); every function below then
// fails with a message that names that option.
bool gdal_available();

// GDAL's affine georeference: x = [0] + col * [1] + row * [2], y = [3] + col * [4] + row * [5],
// (col, row) in pixels from the top left corner of the top left cell.
using GeoTransform = std::array<double, 6>;

struct GdalRaster {
    Matrix<double> values;               // the whole grid, unless it was left in place
    std::unique_ptr<GridSource> source;  // the grid read in place, when it was
    // North-up with square cells (anything else is refused); none when the file has none.
    std::optional<GeoTransform> geotransform;
    std::optional<double> nodata;
    std::string crs_wkt;        // empty when the file has no coordinate system
    std::string area_or_point;  // "Area", "Point", or empty
    std::string type;           // the band's data type as GDAL names it ("Float32")
};

// Reads band `band` (counted from 1) as doubles. Fails naming the file when GDAL cannot open
// it, when it has no such band, or when its geotransform is rotated, sheared or flipped or its
// cells are not square (saying what it found).
// With `in_place`, no grid is made: `source` reads segments of rows with GDAL's block I/O.
GdalRaster read_gdal_raster(const FileName& file, int band, const Work& work,
                            bool in_place = false);

// The size of a raster GDAL opens, to decide whether it fits in memory.
struct GridSize {
    int32_t nb_lig = 0;
    int32_t nb_col = 0;
};
GridSize peek_gdal_raster(const FileName& file);

// What is wrong with writing through the driver of that short name ("GTiff"): unknown, or
// unable to create rasters; empty when nothing is.
std::string gdal_driver_problem(const std::string& driver);

// Whether GDAL knows a real (not complex) data type of that name ("Int16", "Float32").
bool gdal_real_type(const std::string& type);

struct GdalWriteOptions {
    std::string driver;                         // GDAL short name
    std::string type;                           // GDAL data type name
    std::vector<std::string> creation_options;  // NAME=VALUE; the later of a name wins
    GeoTransform geotransform{};
    std::string crs_wkt;        // empty: none
    std::string area_or_point;  // empty: none
    std::optional<double> nodata;
};

// The creation options written unless the user gives others: for GeoTIFF, tiles, DEFLATE with
// the predictor that suits the type, BigTIFF when needed and compression on every thread.
std::vector<std::string> gdal_default_creation_options(const std::string& driver,
                                                       const std::string& type, unsigned threads);

// A raster written through GDAL into `out`'s temporary file a band of rows at a time, the same
// bytes as write_gdal_raster.
class GdalWriter {
  public:
    GdalWriter(const GdalWriteOptions& options, OutputFile& out, int32_t nb_lig, int32_t nb_col,
               const Work& work);
    ~GdalWriter();
    GdalWriter(const GdalWriter&) = delete;
    GdalWriter& operator=(const GdalWriter&) = delete;

    // The raster's next rows, counted on `progress` (if any).
    void write(DoubleGrid rows, Progress* progress);
    // Closes the raster, warning about clamped values; returns the files the driver wrote
    // beside it.
    std::vector<std::string> finish();

    // What the GDAL module keeps of the raster being written.
    struct State;

  private:
    struct Close {
        void operator()(State* state) const;
    };
    std::unique_ptr<State, Close> state_;
};

// Writes `grid` through GDAL into `out`'s temporary file. Integer types take the values
// rounded to the nearest integer (halves away from zero) and clamped to the type's range, the
// clamped cells counted in one warning; Float32 takes them rounded to nearest. Returns the
// files the driver wrote beside it, if any, for them to take their names with it.
std::vector<std::string> write_gdal_raster(DoubleGrid grid, const GdalWriteOptions& options,
                                           OutputFile& out, const Work& work);

// A coordinate system as a ".prj" beside an ASCII grid holds it (ESRI's WKT), from a WKT.
std::string gdal_crs_as_prj(const std::string& wkt);

// A coordinate system as WKT, from the text of a ".prj" (or anything else GDAL reads as one).
// Empty when GDAL cannot read it.
std::string gdal_crs_from_prj(const std::string& prj_text);
