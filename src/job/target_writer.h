// One band of a target written a band of rows at a time: the header or descriptor first (or
// the GDAL dataset, made with its first band), then the rows, their empty cells given the
// background and their no-data cells the output's no-data value.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/grid.h"
#include "base/progress.h"
#include "base/work.h"
#include "job/input_band.h"
#include "job/target.h"
#include "job/treatment.h"
#include "rotation/extent.h"
#include "rotation/hole_filling.h"

namespace terrapivoter {

class TargetWriter {
  public:
    // The output's `nb_lig` x `nb_col` cells are `keep`'s part of the turned grid.
    TargetWriter(const InputBand& input, Target& target, const Treatment& treatment,
                 const GridWindow& keep, int32_t nb_lig, int32_t nb_col, const Work& work);

    // Whether write() can fill the holes of the rows it is given (unfilled_in) for an output in
    // `form`.
    static bool fills_holes(GridForm form) { return form == GridForm::raster_pair; }

    // The output's next rows, their empty cells given the background value. With
    // `unfilled_in`, a grid whose rows [offset, offset + rows.nb_lig) are `rows` and whose
    // rows around them are their neighbours (the output's rows before and after them, where it
    // has them), the rows' holes are filled first (fills_holes), each row just before it is
    // converted, while the device writes the rows before. With `empty`, where each row's empty
    // cells lie (as the background value was found), only those cells are visited to give it.
    void write(DoubleGrid rows, double background, const DoubleGrid* unfilled_in = nullptr,
               int32_t offset = 0, std::span<const EmptyCells> empty = {});

    // Writes the output again from its first row (a raster pair's data: the same number of
    // bytes again, over the first ones).
    void restart();

    // Says what the band's writing clamped.
    void finish();

  private:
    // The rows, their background given, into the output in memory.
    void copy_into_memory(DoubleGrid rows);

    const InputBand& input_;
    Target& target_;
    Work work_;
    int32_t nb_lig_;
    int32_t nb_col_;
    std::string shown_;
    std::optional<Progress> progress_;  // made anew when the output is written again
    std::optional<double> nodata_written_as_;
    bool first_rows_ = true;
    int64_t clamped_ = 0;
};

}  // namespace terrapivoter
