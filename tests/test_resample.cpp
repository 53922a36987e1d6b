// Resampling gives each output cell the input's surface at the position its centre turns back
// to: exactly, for the surfaces each method reproduces; no-data and NaN cells left out.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "base/empty_cell.h"
#include "rotation/empty_cells.h"
#include "rotation/extent.h"
#include "rotation/resample.h"
#include "rotation/sweep_reference.h"
#include "support.h"

using namespace terrapivoter;

namespace {

using Surface = std::function<long double(long double x, long double y)>;

// The largest error, in units of the largest value's last place, of `method` against `surface`
// over the output cells whose cells read all lie inside the input (`reach` cells on either side
// of the position's cell).
double worst_ulps(const Surface& surface, Resampling method, int32_t reach, int32_t rows,
                  int32_t cols, const RotationParameters& p, bool enlarged) {
    Matrix<double> in(rows, cols);
    double largest = 0;
    for (int32_t i = 0; i < rows; ++i) {
        for (int32_t j = 0; j < cols; ++j) {
            in[i][j] = static_cast<double>(surface(j, rows - 1 - i));
            largest = std::max(largest, std::fabs(in[i][j]));
        }
    }
    Enlargement e{{}, rows, cols};
    if (enlarged) e = enlargement_with_margin(rows, cols, p);
    const auto out_rows = static_cast<int32_t>(e.nb_lig);
    Matrix<double> out(out_rows, static_cast<int32_t>(e.nb_col));
    resample_reference(in.view(), out.view(), p, e.frame, method, std::nullopt);
    // Each output cell centre's map position, turned back about the reference point.
    const long double theta = static_cast<long double>(p.despl_ang) / api;
    const long double c = std::cos(theta);
    const long double s = std::sin(theta);
    double worst = 0;
    int checked = 0;
    for (int32_t v = 0; v < out_rows; ++v) {
        for (int32_t u = 0; u < out.nb_col(); ++u) {
            const long double dx = static_cast<long double>(u - e.frame.left) - p.X1;
            const long double dy =
                static_cast<long double>(out_rows - 1 - v - e.frame.bottom) - p.Y1;
            const long double x = p.X1 + dx * c + dy * s;
            const long double y = p.Y1 - dx * s + dy * c;
            const long double r = rows - 1 - y;
            if (std::floor(x) - reach < 0 || std::floor(x) + reach + 1 >= cols ||
                std::floor(r) - reach < 0 || std::floor(r) + reach + 1 >= rows)
                continue;
            const long double error = std::fabs(out[v][u] - surface(x, y));
            worst = std::max(
                worst,
                static_cast<double>(error / (largest * std::numeric_limits<double>::epsilon())));
            ++checked;
        }
    }
    EXPECT_GT(checked, rows * cols / 4) << p.despl_ang;
    return worst;
}

TEST(Resampling, ReproducesTheSurfacesItsKernelIsExactFor) {
    const Surface plane = [](long double x, long double y) { return 0.75L * x - 1.25L * y + 300; };
    const Surface quadratic = [](long double x, long double y) {
        return 0.01L * x * x - 0.03L * x * y + 0.02L * y * y + 0.5L * x - 0.25L * y + 200;
    };
    const struct {
        double angle;
        double x1, y1;
        bool enlarged;
    } turns[] = {
        {30, 20, 15, false},     {-17.3, 0, 0, true},     {45, 19.5, 14.5, false},
        {123.4, 3.25, 40, true}, {-179.5, 23, 12, false}, {0.001, 10, 10, true},
    };
    // Each cell's own value wherever it is the nearest (away from the ties between cells).
    const Surface cells = [](long double x, long double y) {
        return std::floor(x + 0.5L) * 1000 + std::floor(y + 0.5L);
    };
    for (const auto& t : turns) {
        const RotationParameters p{t.x1, t.y1, t.angle};
        // A reference point off the cells' grid, so that no position ties two cells.
        const RotationParameters off{t.x1 + 0.123, t.y1 + 0.0371, t.angle};
        EXPECT_EQ(worst_ulps(cells, Resampling::nearest, 0, 30, 40, off, t.enlarged), 0)
            << "nearest, " << t.angle;
        EXPECT_LE(worst_ulps(plane, Resampling::bilinear, 0, 30, 40, p, t.enlarged), 3)
            << "bilinear, a plane, " << t.angle;
        EXPECT_LE(worst_ulps(plane, Resampling::cubic, 1, 30, 40, p, t.enlarged), 12)
            << "cubic, a plane, " << t.angle;
        EXPECT_LE(worst_ulps(quadratic, Resampling::cubic, 1, 30, 40, p, t.enlarged), 12)
            << "cubic, a quadratic, " << t.angle;
    }
}

// A quarter or half turn about the extent's centre carries every cell centre onto a cell centre:
// the nearest cell is the cell forward placement moves there, where the output holds every turned
// cell (forward placement folds the cells just outside onto the edge).
TEST(Resampling, NearestIsForwardPlacementWhereTheTurnPermutesTheCells) {
    for (const auto& [rows, cols] :
         {std::pair{7, 9}, std::pair{6, 8}, std::pair{5, 5}, std::pair{6, 6}}) {
        Matrix<double> in(rows, cols);
        for (int32_t i = 0; i < rows; ++i) {
            for (int32_t j = 0; j < cols; ++j)
                in[i][j] = i * 100 + j;
        }
        for (const double angle : {90.0, 180.0, -90.0}) {
            const RotationParameters p{(cols - 1) / 2.0, (rows - 1) / 2.0, angle};
            for (const bool enlarged : {false, true}) {
                if (!enlarged && rows != cols && angle != 180) continue;
                Enlargement e{{}, rows, cols};
                if (enlarged) e = enlargement_with_margin(rows, cols, p);
                const auto out_rows = static_cast<int32_t>(e.nb_lig);
                const auto out_cols = static_cast<int32_t>(e.nb_col);
                Matrix<double> placed = empty_grid(out_rows, out_cols);
                rotate_reference(in.view(), placed.view(), p, e.frame);
                Matrix<double> nearest(out_rows, out_cols);
                resample_reference(in.view(), nearest.view(), p, e.frame, Resampling::nearest,
                                   std::nullopt);
                EXPECT_TRUE(same_bits(placed.view(), nearest.view()))
                    << rows << " x " << cols << " by " << angle << (enlarged ? ", enlarged" : "");
            }
        }
    }
}

// Half a turn about (1.25, 1.25) takes output cell (row 2, column 1) of a 4 x 4 grid back to the
// corner of the input's central four cells, row 1.5, column 1.5 (a tie for the nearest cell);
// about (1.3, 1.2), to row 1.6, column 1.6, nearest to cell (2, 2), bilinear's weights 0.4 and
// 0.6 on each axis.
TEST(Resampling, NoDataAndNaNDropOutAndTheRestAreReweighted) {
    const double nan = std::nan("");
    const double no = -9999;  // the no-data value
    const struct {
        const char* what;
        Resampling method;
        bool tie;                   // about (1.25, 1.25), else about (1.3, 1.2)
        std::vector<double> cells;  // row by row
        double expected;            // NaN: the background
    } cases[] = {
        {"four cells",
         Resampling::bilinear,
         true,
         {0, 0, 0, 0, 0, 1, 2, 0, 0, 3, 6, 0, 0, 0, 0, 0},
         3},
        // Left unweighted, the three would give 8.4 or 7.6.
        {"one no-data",
         Resampling::bilinear,
         false,
         {0, 0, 0, 0, 0, 10, no, 0, 0, 10, 10, 0, 0, 0, 0, 0},
         10},
        {"one NaN",
         Resampling::bilinear,
         false,
         {0, 0, 0, 0, 0, nan, 10, 0, 0, 10, 10, 0, 0, 0, 0, 0},
         10},
        // A position inside a no-data cell is no-data, whatever lies around it.
        {"the nearest no-data",
         Resampling::bilinear,
         false,
         {0, 0, 0, 0, 0, 10, 10, 0, 0, 10, no, 0, 0, 0, 0, 0},
         nan},
        {"the nearest no-data",
         Resampling::cubic,
         false,
         {0, 0, 0, 0, 0, 10, 10, 0, 0, 10, nan, 0, 0, 0, 0, 0},
         nan},
        {"the nearest no-data",
         Resampling::nearest,
         false,
         {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, no, 1, 1, 1, 1, 1},
         nan},
        {"nearest",
         Resampling::nearest,
         false,
         {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 5, 1, 1, 1, 1, 1},
         5},
        // The weights at half a cell: -1/16, 9/16, 9/16, -1/16 on each axis, the corners'
        // product 1/256.
        {"a corner over",
         Resampling::cubic,
         true,
         {16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         16.0 / 256},
        // One of the sixteen missing, bilinear's value (cubic's reweighted would be 8.89).
        {"a corner missing",
         Resampling::cubic,
         true,
         {no, 0, 0, 0, 0, 8, 8, 0, 0, 8, 4, 0, 0, 0, 0, 0},
         7},
        {"a centre cell missing",
         Resampling::cubic,
         false,
         {10, 10, 10, 10, 10, nan, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10},
         10},
    };
    for (const auto& c : cases) {
        Matrix<double> in(4, 4);
        for (int32_t k = 0; k < 16; ++k)
            in[k / 4][k % 4] = c.cells[static_cast<std::size_t>(k)];
        Matrix<double> out(4, 4);
        const RotationParameters p =
            c.tie ? RotationParameters{1.25, 1.25, 180} : RotationParameters{1.3, 1.2, 180};
        resample_reference(in.view(), out.view(), p, {}, c.method, no);
        if (std::isnan(c.expected)) {
            EXPECT_TRUE(is_empty(out[2][1])) << c.what << ": " << out[2][1];
        } else {
            EXPECT_NEAR(out[2][1], c.expected, 1e-12) << c.what;
        }
    }
}

}  // namespace
