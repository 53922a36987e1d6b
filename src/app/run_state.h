// The one record that the three phases of a run share.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "base/grid.h"
#include "job/input.h"
#include "job/target.h"

namespace terrapivoter {

struct RunState {
    // The output's files, written under temporary names; they take their own names only when
    // the run succeeds. (The input's files are opened and closed inside their readers.)
    Target output;

    // Grid geometry and descriptor values.
    int32_t nb_lig = 0;
    int32_t nb_col = 0;
    int32_t num_bytes = 0;
    int32_t min_alt = 0;
    int32_t max_alt = 0;
    double dpix_size = 0.0;

    // Choices made in the dialogue.
    int32_t DEM_Type_in = 0;   // 0 raster pair, 1 ASCII grid
    int32_t DEM_Type_out = 0;  // 0 raster pair, 1 ASCII grid
    uint8_t Ascii_DEM = 0;     // 1 when the input is an ASCII grid
    int32_t scale = 0;         // 0 metres, 1 decimetres, 2 centimetres, 3 millimetres
    double coef = 0.0;         // 1, 10, 100 or 1000

    // The input, loaded (open_input): its working values held whole when they fit in memory and
    // read in place otherwise. No whole grid of integers exists: a raster pair's stored values
    // become working values as they are read, and its writer converts a block of rows at a time.
    OpenedInput input;

    // Georeference of an ASCII grid.
    double X_min = 0.0;
    double Y_min = 0.0;
    double dsize_pix = 0.0;
    double nodata = 0.0;
    bool has_nodata = false;  // the input ASCII grid had a nodata_value line
    std::string prj;          // the coordinate system in a ".prj" beside it, copied to an output

    // Rotation parameters. The per-cell scratch values of the sweeps are locals of the
    // rotation code: nothing after a sweep reads them.
    double X1 = 0.0;
    double Y1 = 0.0;
    double despl_ang = 0.0;

    // Paths as the user sees them ("c:\images\<folder>\<name><suffix>"); names of any length.
    std::string nomdir;
    std::string nomfic;
    std::string nomim1;
    std::string nomdescr1;
    std::string nomim2;
    std::string nomdescr2;
};

}  // namespace terrapivoter
