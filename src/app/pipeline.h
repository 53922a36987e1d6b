// The one pipeline that both ways in run. The dialogue and the command line each fill the same
// description of a job (a Source, a Target and a Treatment) and hand it to `treat`, which
// rotates, fills, writes and commits; loading goes through the engine for both.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/engine.h"
#include "io/output_file.h"
#include "rotation/placement.h"

enum class GridForm { raster_pair, ascii_grid };

// Where a grid lies on the map: its lower-left corner and the side of its square cells.
struct Georef {
    double X_min = 0.0;
    double Y_min = 0.0;
    double cell_size = 0.0;
};

// The input, loaded.
struct Source {
    DoubleGrid values;  // working values: metres, or an ASCII grid's own unit
    double coef = 1.0;  // a raster pair output multiplies the working values by this
    // What a raster pair output's descriptor carries over (its rows and columns are the output's).
    RasterDescriptor carried;
    Georef georef;                 // written into an ASCII grid output
    std::optional<double> nodata;  // never a filled neighbour; an ASCII output's nodata_value
};

// What a raster pair written from an ASCII grid carries: values in the grid's own unit, four
// bytes a value, the grid's extremes (truncated) and its cell size.
RasterDescriptor carried_from_ascii(DoubleGrid values, double cell_size);

// The output files, created under temporary names before anything is asked about the rotation,
// so that a folder that cannot take them is reported first.
struct Target {
    GridForm form = GridForm::ascii_grid;
    std::unique_ptr<OutputFile> data;        // the ASCII grid, or a raster pair's values
    std::unique_ptr<OutputFile> descriptor;  // a raster pair's descriptor
};

// `name` is the ASCII grid itself, or a raster pair's base name (without "_m4.raw").
Target prepare_target(GridForm form, const FileName& name);

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
};

// Rotates the source, fills its holes and its background, writes the target and gives its
// files their names (a raster pair's two together). `Background::nodata` needs source.nodata.
void treat(const Source& source, Target& target, const Treatment& treatment, const Work& work);
