// The output of a job: its files, made under temporary names before the input is read (so that
// a folder that cannot take them is reported first), written band after band, and given their
// names together at the end.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/file_name.h"
#include "base/work.h"
#include "formats/gdal_raster.h"
#include "io/cell_block.h"
#include "io/output_file.h"
#include "io/output_folder.h"
#include "job/input_band.h"
#include "rotation/placement.h"

namespace terrapivoter {

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
    // An output in memory: its cells, row 0 the top row, made when its first rows are written
    // (unless the sweep already made its cells there: in_memory_grid), and where it lies.
    struct InMemory {
        CellBlock cells;
        int32_t nb_lig = 0;
        int32_t nb_col = 0;
        OutputFrame frame;  // where the input's grid lies in it
        int64_t rows_written = 0;

        // Cells for nb_lig x nb_col, unless it has them already.
        void make(int32_t rows, int32_t cols);
    } memory;
    int band = 0;  // the band that the next treat() writes

    // The output as messages name it.
    const std::string& displayed() const;
};

// `name` is the ASCII grid or GDAL's raster itself, or a raster pair's base name (without
// "_m4.raw"). A GDAL output's driver and options are set in the returned target.
Target prepare_target(GridForm form, const FileName& name);

// The output in memory as a grid of rows into its cells, made for nb_lig x nb_col cells: a
// sweep of the whole output can make its cells there, so that they are not copied.
DoubleGrid in_memory_grid(Target& target, int32_t nb_lig, int32_t nb_col,
                          std::vector<double*>& rows);

// Finishes every file of the target and gives them their names together.
void commit(Target& target, const Work& work);

}  // namespace terrapivoter
