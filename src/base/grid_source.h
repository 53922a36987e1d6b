// Where an input grid's working values come from: a grid held whole in memory, or a file read in
// place, a segment of a row at a time (a raster pair, a GDAL raster, the scratch copy of an ASCII
// grid), when the grid is larger than the memory the run may use.
#pragma once

#include <cstdint>
#include <memory>

#include "base/grid.h"

namespace terrapivoter {

class GridSource {
  public:
    GridSource(int32_t nb_lig, int32_t nb_col) : nb_lig_(nb_lig), nb_col_(nb_col) {}
    virtual ~GridSource() = default;
    GridSource(const GridSource&) = delete;
    GridSource& operator=(const GridSource&) = delete;

    int32_t nb_lig() const { return nb_lig_; }
    int32_t nb_col() const { return nb_col_; }

    // The whole grid, when it is held in memory; null when it is read in place.
    virtual const DoubleGrid* whole() const { return nullptr; }

    // Whether read() only converts values already in memory (a file mapped into it): the sweep
    // then reads each row's cells as it reaches them, and no grid or band of the input's
    // working values is made.
    virtual bool reads_from_memory() const { return false; }

    // The working values of row `row`, columns [first, end), into `out`. Several threads may
    // read at once.
    virtual void read(int32_t row, int32_t first, int32_t end, double* out) = 0;

    // The first of the smallest working values of row `row`, columns [first, end), below
    // `below` (smallest_value), or `below`. Several threads may ask at once.
    virtual double smallest(int32_t row, int32_t first, int32_t end, double below);

  private:
    int32_t nb_lig_;
    int32_t nb_col_;
};

// A grid held in memory (it must outlive the source).
class MemorySource : public GridSource {
  public:
    explicit MemorySource(DoubleGrid grid) : GridSource(grid.nb_lig, grid.nb_col), grid_(grid) {}
    const DoubleGrid* whole() const override { return &grid_; }
    void read(int32_t row, int32_t first, int32_t end, double* out) override;
    double smallest(int32_t row, int32_t first, int32_t end, double below) override;

  private:
    DoubleGrid grid_;
};

}  // namespace terrapivoter
