// Rasters that GDAL reads and writes: GeoTIFF above all, and every other format it knows. The
// native forms (the raster pair and the ASCII grid) keep their own exact readers and writers.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/file_name.h"
#include "base/georeference.h"
#include "base/grid.h"
#include "base/grid_source.h"
#include "base/work.h"

namespace terrapivoter {

class Progress;

// False in a build configured without GDAL (TERRAPIVOTER_GDAL=OFF); every function below then
// fails with a message that names that option.
bool gdal_available();

// What a band carries besides its values, as gdal_translate carries it.
struct GdalBandInfo {
    std::string type;  // the stored data type as GDAL names it ("Int16")
    std::optional<double> nodata;
    // The stored values are elevations once multiplied by `scale` and offset by `offset`; none
    // when the band says nothing (1 and 0).
    std::optional<double> scale;
    std::optional<double> offset;
    std::string unit;                   // "m", "ft"; empty when unknown
    std::string description;            // the band's own name
    int colour = 0;                     // GDAL's colour interpretation (GDALColorInterp)
    std::vector<std::string> metadata;  // default domain, NAME=VALUE
};

// What a raster says of itself, its values aside.
struct GdalInfo {
    int32_t nb_lig = 0;
    int32_t nb_col = 0;
    // North-up with square cells (cells_are_square; anything else but a south-up grid is refused);
    // none when the file has no georeference. A south-up grid's is that of its rows turned over, as
    // they are read.
    std::optional<GeoTransform> geotransform;
    std::string crs_wkt;                // empty when the file has no coordinate system
    std::vector<std::string> metadata;  // the dataset's, default domain (AREA_OR_POINT too)
    std::vector<GdalBandInfo> bands;
};

// What `file` says of itself. Fails naming the file when GDAL cannot open it, when it has no
// band of real values, or when its geotransform is rotated, sheared or runs west, or its cells
// are not square (saying what it found).
GdalInfo peek_gdal_raster(const FileName& file);

struct GdalRaster {
    Matrix<double> values;               // the whole grid, unless it was left in place
    std::unique_ptr<GridSource> source;  // the grid read in place, when it was
};

// Reads band `band` (counted from 1) of a raster peek_gdal_raster accepted, as doubles: the
// stored values, or, with `unscale`, the elevations they stand for (stored x scale + offset).
// A south-up grid's rows come north first. With `in_place`, no grid is made: `source` reads
// segments of rows with GDAL's block I/O.
GdalRaster read_gdal_raster(const FileName& file, int band, const Work& work, bool in_place,
                            bool unscale);

// What is wrong with writing through the driver of that short name ("GTiff"): unknown, unable
// to create rasters, or unable to write a file of its own; empty when nothing is.
std::string gdal_driver_problem(const std::string& driver);

// The drivers that can write a raster to a file named so, found by its suffix as gdal_translate
// finds them, the one it uses first; none when no driver claims the suffix.
std::vector<std::string> gdal_drivers_for(const std::string& path);

// GDAL's own name of a real (not complex) data type, given in any case ("float32": "Float32");
// empty when GDAL knows no such type.
std::string gdal_real_type(const std::string& type);

// Empty when `type` holds `value` (an integer type: a whole number in its range; Float32: a
// value within its range, or not finite); otherwise what it holds ("Byte holds 0 to 255").
std::string gdal_type_cannot_hold(const std::string& type, double value);

// The smallest type that holds every value of both.
std::string gdal_type_union(const std::string& a, const std::string& b);

// GDAL's configuration option KEY set to VALUE for this run, as GDAL's utilities' --config.
void gdal_set_config(const std::string& key, const std::string& value);

struct GdalWriteOptions {
    std::string driver;                         // GDAL short name
    std::string type;                           // GDAL data type name
    std::vector<std::string> creation_options;  // NAME=VALUE; the later of a name wins
    std::optional<GeoTransform> geotransform;   // none: the output has no georeference
    std::string crs_wkt;                        // empty: none
    std::vector<std::string> metadata;          // the dataset's, NAME=VALUE
    // One for each band of the output: its no-data value is the output's.
    std::vector<GdalBandInfo> bands;
};

// The creation options written unless the user gives others: for GeoTIFF, tiles, DEFLATE with
// the predictor that suits the type, BigTIFF when needed, compression on every thread, and
// bands one after the other when there are several (each band is written whole in turn).
std::vector<std::string> gdal_default_creation_options(const std::string& driver,
                                                       const std::string& type, int bands,
                                                       unsigned threads);

// A raster written through GDAL at `path` (a writer's path in an OutputFolder, where the driver
// names its own files beside it), a band at a time, each a band of rows at a time. Integer types
// take the values rounded to the nearest integer (halves away from zero) and clamped to the
// type's range, the clamped cells counted in one warning, and every NaN becomes the band's
// no-data value where it has one; Float32 takes them rounded to nearest. A driver that can only
// copy a dataset is given a scratch GeoTIFF in the same folder, copied when finished.
class GdalWriter {
  public:
    GdalWriter(const GdalWriteOptions& options, const std::string& path,
               const std::string& displayed, int32_t nb_lig, int32_t nb_col, const Work& work);
    ~GdalWriter();
    GdalWriter(const GdalWriter&) = delete;
    GdalWriter& operator=(const GdalWriter&) = delete;

    // The band (counted from 0) that the next rows go to, from its first row.
    void start_band(int band);
    // The band's next rows, counted on `progress` (if any).
    void write(DoubleGrid rows, Progress* progress);
    // Closes the raster, warning about clamped values.
    void finish();

    // What the GDAL module keeps of the raster being written.
    struct State;

  private:
    struct Close {
        void operator()(State* state) const;
    };
    std::unique_ptr<State, Close> state_;
};

// A coordinate system as a ".prj" beside an ASCII grid holds it (ESRI's WKT), from a WKT.
std::string gdal_crs_as_prj(const std::string& wkt);

// A coordinate system as WKT, from the text of a ".prj" (or anything else GDAL reads as one).
// Empty when GDAL cannot read it.
std::string gdal_crs_from_prj(const std::string& prj_text);

}  // namespace terrapivoter
