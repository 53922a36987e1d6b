// The one pipeline that both ways in run. The dialogue and the command line each fill the same
// description of a job (a Source, a Target and a Treatment) and hand it to `treat`, which
// rotates, fills, writes and commits; loading goes through the engine for both.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/engine.h"
#include "base/grid_source.h"
#include "formats/gdal_raster.h"
#include "io/output_file.h"
#include "io/output_folder.h"
#include "rotation/placement.h"

enum class GridForm {
    raster_pair,
    ascii_grid,
    gdal,  // any raster GDAL reads or writes
};

// A coordinate system as it came: the text of a ".prj" beside an ASCII grid, or GDAL's WKT.
struct Crs {
    std::string prj;
    std::string wkt;
    bool known() const { return !prj.empty() || !wkt.empty(); }
};

// The input, loaded: one band of it.
struct Source {
    GridSource* grid = nullptr;  // working values (metres, or the grid's own unit): held whole,
                                 // or read in place
    double coef = 1.0;           // a raster pair output multiplies the working values by this
    // What a raster pair output's descriptor carries over (its rows and columns are the output's).
    RasterDescriptor carried;
    bool georeferenced = false;  // `georef` is known
    Georef georef;               // an ASCII grid's header, a GeoTIFF's geotransform
    // A GDAL input's own geotransform (north-up), whose two steps a GDAL output in the input's
    // frame keeps as they are.
    std::optional<GeoTransform> geotransform;
    std::optional<double> nodata;  // never a filled neighbour; the output's no-data value...
    // ...unless this one is given: the input's no-data cells are written as it.
    std::optional<double> output_nodata;
    Crs crs;
};

// The output files, created under temporary names before anything is asked about the rotation,
// so that a folder that cannot take them is reported first.
struct Target {
    GridForm form = GridForm::ascii_grid;
    FileName name;                                        // as prepare_target was given it
    std::unique_ptr<OutputFile> data;                     // the ASCII grid, a raster pair's values
    std::unique_ptr<OutputFile> descriptor;               // a raster pair's descriptor
    std::vector<std::unique_ptr<OutputFile>> companions;  // the ".prj" beside an ASCII grid
    std::unique_ptr<OutputFolder> folder;                 // where a GDAL driver writes its files
    // A GDAL output: driver, type, creation options and each band's properties, the no-data
    // value the output's.
    GdalWriteOptions gdal;
    std::unique_ptr<GdalWriter> gdal_writer;  // open from the first band written to the commit
    int band = 0;                             // the band that the next treat() writes

    // The output as messages name it.
    const std::string& displayed() const;
};

// `name` is the ASCII grid or GDAL's raster itself, or a raster pair's base name (without
// "_m4.raw"). A GDAL output's driver and options are set in the returned target.
Target prepare_target(GridForm form, const FileName& name);

// Finishes every file of the target and gives them their names together.
void commit(Target& target, const Work& work);

enum class Extent {
    input,  // the input's size and corner: what the turn carries outside is cut off
    full,   // enlarged by whole cells on each side until no turned cell falls outside
};

// What the cells that no input cell reaches and hole filling leaves empty receive.
struct Background {
    enum class Kind {
        smallest,  // the smallest value of the turned grid
        nodata,    // the no-data value
        given,     // `value`, in working units
    };
    Kind kind = Kind::smallest;
    double value = 0.0;
};

struct Treatment {
    RotationParameters rotation;
    Extent extent = Extent::input;
    Background background;
    // A GDAL output georeferenced so that each cell lies over the ground it came from (the
    // input's geotransform turned about the reference point by the opposite angle), rather
    // than in the input's frame.
    bool rotated_georef = false;
};

// The ".prj" that GDAL reads beside an ASCII grid: its name with the suffix ".prj".
FileName prj_beside(const FileName& ascii_grid);

// Rotates the source, fills its holes and its background and writes it as the target's band
// `target.band`; commit() then gives the files their names (a raster pair's two together).
// `Background::nodata` needs a no-data value (source.nodata or source.output_nodata).
//
// The output is made a band of rows at a time, as many rows as work.memory allows (the whole
// output, in one band, when it fits): each band is swept from the input cells that can land in
// it, in row-major order, with a row on either side for hole filling, and written in turn. When
// there is more than one band and the background is the smallest value (or the extent full),
// a first pass over the bands finds it (and the part of the output to keep), and the second
// sweeps them again to write them: every byte is the one the whole-grid run writes.
void treat(const Source& source, Target& target, const Treatment& treatment, const Work& work);

// An input grid, and the grid it is read from when it is held whole.
struct InputGrid {
    Matrix<double> held;
    std::unique_ptr<GridSource> source;
};

// A grid held whole, as its source.
InputGrid held_whole(Matrix<double> values);
