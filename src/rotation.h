// Rotation of a grid by forward mapping: every input cell is carried to the output cell
// nearest to its rotated position, and a later cell (in row-major order) wins a collision.
//
// Positions are measured by column (growing to the right) and bottom-origin line
// (nb_lig - 1 - row, growing upward); a positive angle turns the terrain anticlockwise.
#pragma once

#include <cstdint>
#include <optional>

#include "grid.h"
#include "work.h"

// Degrees per radian, as the program has always used it (not quite 180/pi to the last bit).
inline constexpr double api = 57.29577951308232;

struct RotationParameters {
    double X1 = 0.0;         // reference column
    double Y1 = 0.0;         // reference line, counted from the bottom
    double despl_ang = 0.0;  // degrees; positive turns anticlockwise
};

// Absolute rotated position (column, line) of input cell (i, j) by the polar formulas: the
// anticlockwise case table for a positive angle, the clockwise one for a negative angle, and
// the cell's own position for an angle of 0.
struct RotatedPosition {
    double new_X;
    double new_Y;
};
RotatedPosition rotated_position(int32_t i, int32_t j, int32_t nb_lig, const RotationParameters& p);

// Output cell of a position: the position plus one half, truncated toward zero, in both axes;
// nothing when that falls outside the grid (however far, infinite or NaN).
struct CellIndex {
    int32_t row;
    int32_t col;
};
std::optional<CellIndex> target_cell(RotatedPosition position, int32_t nb_lig, int32_t nb_col);

// The plain sweep, one cell at a time in traversal order, straight from the case tables. `out`
// must be all zero (empty) and of the same size as `in`. An angle of 0 copies the grid.
void rotate_reference(DoubleGrid in, DoubleGrid out, const RotationParameters& p);

// A cell is empty when it compares equal to 0.0. Each empty interior cell whose four
// neighbours are all filled takes their mean; a neighbour holding the no-data value, when there
// is one, does not count as filled. The result does not depend on the number of threads.
void fill_holes(DoubleGrid grid, std::optional<double> nodata, const Work& work = {});

// The smallest non-zero value of the grid, or 10000000 when none lies below that.
double background_value(DoubleGrid grid, const Work& work = {});

// Gives every empty cell the value `dmin`.
void fill_background(DoubleGrid grid, double dmin, const Work& work = {});

// The angles the program takes: those whose whole part (truncated toward zero) is at most 180
// in magnitude, so every angle strictly between -181 and 181.
bool angle_accepted(double despl_ang);
