// The input of a job, loaded: one band of a grid, its working values held whole or read in
// place, and everything about it that an output carries on.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "base/georeference.h"
#include "base/grid.h"
#include "base/grid_source.h"
#include "formats/raster_descriptor.h"

namespace terrapivoter {

enum class GridForm {
    raster_pair,
    ascii_grid,
    gdal,    // any raster GDAL reads or writes
    memory,  // an output handed back to the caller in memory (the Python package's arrays)
};

// A coordinate system as it came: the text of a ".prj" beside an ASCII grid, or GDAL's WKT.
struct Crs {
    std::string prj;
    std::string wkt;
    bool known() const { return !prj.empty() || !wkt.empty(); }
};

struct InputBand {
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

// An input grid, and the grid it is read from when it is held whole.
struct InputGrid {
    Matrix<double> held;
    std::unique_ptr<GridSource> source;
};

// A grid held whole, as its source.
InputGrid held_whole(Matrix<double> values);

}  // namespace terrapivoter
