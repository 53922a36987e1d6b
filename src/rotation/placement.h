// Rotation of a grid by forward mapping: every input cell is carried to the output cell
// nearest to its rotated position, and a later cell (in row-major order) wins a collision.
//
// Positions are measured by column (growing to the right) and bottom-origin line
// (nb_lig - 1 - row, growing upward); a positive angle turns the terrain anticlockwise.
#pragma once

#include <cstdint>
#include <optional>

namespace terrapivoter {

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

// Where the output grid lies in the input's frame: the output's column 0 is the input's column
// -left, its line 0 (its bottom row) the input's line -bottom. The input's own grid is {0, 0};
// an output enlarged to hold the whole turned terrain starts whole cells further out.
struct OutputFrame {
    int32_t left = 0;
    int32_t bottom = 0;
    // A band of the output: the grid a sweep writes holds the output's rows [first_row,
    // first_row + its own rows) of `total_rows` in all (0: the grid is the whole output).
    // Cells that land in other rows are not placed.
    int32_t first_row = 0;
    int32_t total_rows = 0;
};

// Indices [first, end): the rows of the input that a sweep visits (the others are not placed;
// the cells of a band of the output all come from such a range), or the columns of a row.
struct IndexRange {
    int32_t first = 0;
    int32_t end = 0;
};

// Output cell of a position in a grid of nb_lig x nb_col cells lying at `frame`: the position
// plus one half plus the frame's offset, truncated toward zero, in both axes; nothing when that
// falls outside the grid (however far, infinite or NaN).
struct CellIndex {
    int32_t row;
    int32_t col;
};
std::optional<CellIndex> target_cell(RotatedPosition position, int32_t nb_lig, int32_t nb_col,
                                     OutputFrame frame = {});

// The angles the program takes: those whose whole part (truncated toward zero) is at most 180
// in magnitude, so every angle strictly between -181 and 181.
bool angle_accepted(double despl_ang);

}  // namespace terrapivoter
