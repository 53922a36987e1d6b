#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

#include "job/engine.h"
#include "rotation/empty_cells.h"
#include "rotation/extended.h"
#include "rotation/hole_filling.h"
#include "support.h"

using namespace terrapivoter;

namespace {

// A cell no input cell reached.
const double E = empty_cell();

// Hole filling then background fill, as the run does after a sweep.
std::vector<double> finished(int32_t rows, int32_t cols, const std::vector<double>& values,
                             std::optional<double> nodata = std::nullopt) {
    Matrix<double> grid = grid_of(rows, cols, values);
    fill_holes(grid.view(), nodata);
    fill_background(grid.view(), background_value(grid.view()));
    return values_of(grid.view());
}

TEST(HoleFilling, WorkedExample) {
    EXPECT_EQ(finished(4, 4,
                       {E, E, 5, E,  //
                        E, 3, E, 7,  //
                        2, 4, 6, E,  //
                        E, E, E, E}),
              (std::vector<double>{2, 2, 5, 2,     //
                                   2, 3, 5.25, 7,  //
                                   2, 4, 6, 2,     //
                                   2, 2, 2, 2}));
}

TEST(HoleFilling, Cases) {
    const struct {
        const char* what;
        int32_t rows, cols;
        std::vector<double> in, out;
        std::optional<double> nodata;
    } cases[] = {
        {"four neighbours give their mean",
         3,
         3,
         {9, 1, 9, 4, E, 2, 9, 3, 9},
         {9, 1, 9, 4, 2.5, 2, 9, 3, 9},
         {}},
        {"three filled neighbours are not enough",
         3,
         3,
         {9, 1, 9, E, E, 2, 9, 3, 9},
         {9, 1, 9, 1, 1, 2, 9, 3, 9},
         {}},
        {"adjacent holes both take the background",
         3,
         4,
         {5, 5, 5, 5, 5, E, E, 5, 5, 5, 5, 6},
         {5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 6},
         {}},
        {"border cells are never averaged",
         3,
         3,
         {E, 7, 7, 7, 7, 7, 7, 7, 8},
         {7, 7, 7, 7, 7, 7, 7, 7, 8},
         {}},
        {"two rows have no interior", 2, 3, {4, E, 4, 4, 8, 4}, {4, 4, 4, 4, 8, 4}, {}},
        {"a mean of exactly 0 is a value",
         3,
         3,
         {3, 1, 3, -1, E, 2, 3, -2, 3},
         {3, 1, 3, -1, 0, 2, 3, -2, 3},
         {}},
        {"a stored 0 is a value, and the smallest",
         3,
         3,
         {E, 4, 4, 4, 0, 4, 4, 4, 4},
         {0, 4, 4, 4, 0, 4, 4, 4, 4},
         {}},
        {"zeros are neighbours like any value",
         3,
         3,
         {0, 0, 0, 0, E, 0, 0, 0, 0},
         {0, 0, 0, 0, 0, 0, 0, 0, 0},
         {}},
        {"negative zero is a value", 1, 2, {-0.0, E}, {-0.0, -0.0}, {}},
        {"the mean of four negative zeros is zero, as their sum",
         3,
         3,
         {9, -0.0, 9, -0.0, E, -0.0, 9, -0.0, 9},
         {9, -0.0, 9, -0.0, 0.0, -0.0, 9, -0.0, 9},
         {}},
        {"the smallest value fills the background",
         2,
         2,
         {12.5, E, 40, E},
         {12.5, 12.5, 40, 12.5},
         {}},
        {"a negative smallest value fills the background",
         2,
         2,
         {-9999, E, 40, E},
         {-9999, -9999, 40, -9999},
         {}},
        // The background is the first of the smallest values in row order, whatever the
        // threads' or vector lanes' order: of 0 and -0, the one met first (column 2 here, and
        // column 9, in a lane of eight before column 2's).
        {"of equal smallest values, the first in the grid",
         1,
         16,
         {E, 3, 0.0, 3, 3, 3, 3, 3, 3, -0.0, 3, 3, 3, 3, 3, 3},
         {0.0, 3, 0.0, 3, 3, 3, 3, 3, 3, -0.0, 3, 3, 3, 3, 3, 3},
         {}},
        {"of equal smallest values, the first in the grid, -0",
         1,
         16,
         {E, 3, -0.0, 3, 3, 3, 3, 3, 3, 0.0, 3, 3, 3, 3, 3, 3},
         {-0.0, 3, -0.0, 3, 3, 3, 3, 3, 3, 0.0, 3, 3, 3, 3, 3, 3},
         {}},
        {"no filled cell at all", 2, 2, {E, E, E, E}, {1e7, 1e7, 1e7, 1e7}, {}},
        {"values above ten million", 2, 2, {2e7, E, 2e7, 2e7}, {2e7, 1e7, 2e7, 2e7}, {}},
        {"a no-data neighbour is not counted",
         3,
         3,
         {9, -32768, 9, 4, E, 2, 9, 3, 9},
         {9, -32768, 9, 4, -32768, 2, 9, 3, 9},
         -32768.0},
        {"no-data values are rotated values otherwise",
         3,
         3,
         {9, 1, 9, 4, E, 2, 9, -32768, 9},
         {9, 1, 9, 4, -32768, 2, 9, -32768, 9},
         -32768.0},
        {"without a no-data value every value counts",
         3,
         3,
         {9, -32768, 9, 4, E, 2, 9, 3, 9},
         {9, -32768, 9, 4, -8189.75, 2, 9, 3, 9},
         {}},
    };
    // Bit for bit: -0 and 0 are different results.
    auto bits = [](const std::vector<double>& values) {
        std::vector<uint64_t> out;
        for (double v : values)
            out.push_back(std::bit_cast<uint64_t>(v));
        return out;
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bits(finished(c.rows, c.cols, c.in, c.nodata)), bits(c.out)) << c.what;
    }
}

TEST(HoleFilling, SumsInOrderRoundingAtEachStep) {
    // Above 1e16, right 1, below 1, left -1e16: rounded to double after each addition the sum
    // is 0 (1e16 + 1 is 1e16 again), so the cell takes 0; a sum kept in extended precision
    // throughout would give a mean of 0.5.
    Matrix<double> grid = grid_of(3, 3, {9, 1e16, 9, -1e16, E, 1, 9, 1, 9});
    fill_holes(grid.view(), std::nullopt);
    EXPECT_EQ(grid[1][1], 0.0);
}

// The processor's flush-to-zero and denormals-are-zero modes, on where there are such, for the
// object's life.
class FlushToZero {
  public:
    explicit FlushToZero(bool on) {
#if defined(__SSE2__)
        if (on) _mm_setcsr(saved_ | 0x8040);
#else
        (void)on;
#endif
    }
    ~FlushToZero() {
#if defined(__SSE2__)
        _mm_setcsr(saved_);
#endif
    }
    FlushToZero(const FlushToZero&) = delete;
    FlushToZero& operator=(const FlushToZero&) = delete;

  private:
#if defined(__SSE2__)
    unsigned saved_ = _mm_getcsr();
#endif
};

// Neighbours whose running sums land within a 64-bit unit of the midpoint between two doubles,
// on either side, where rounding twice (as the extended sums do) and once differ; beside them
// zeros, subnormals, values at 2^+-1000 and beyond, infinities, NaNs and the no-data value.
TEST(HoleFilling, FastRowsGiveThePlainSumsBitForBit) {
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> unit(1.0, 2.0);
    const double nodata = -9999.0;
    auto pick = [&](std::initializer_list<double> choices) {
        return *(choices.begin() + static_cast<std::ptrdiff_t>(rng() % choices.size()));
    };
    // Half a unit in the last place of s, off by a fraction f of it, on either side.
    auto near_midpoint = [&](double s) {
        if (s == 0 || !std::isfinite(s)) return unit(rng);
        const double half = std::ldexp(1.0, std::ilogb(s) - 53);
        const double f = pick({0.0, -0x1p-11, 0x1p-11, -0x1p-12, -0x1p-11 + 0x1p-35,
                               -0x1p-11 - 0x1p-35, -0x1p-10, 0x1p-40, -0x1p-52, 0x1p-52});
        const double b = half * (1 + f) + pick({0.0, 0.0, 2 * half, -2 * half});
        return rng() % 2 != 0 ? b : -b;
    };
    auto any_value = [&]() {
        switch (rng() % 12) {
            case 0:
                return pick({0.0, -0.0, 0x1p-1074, -0x1p-1030, 0x1p-1000, 0x1.8p-1001});
            case 1:
                return pick({0x1p1000, -0x1.fp999, 0x1p1023, HUGE_VAL, -HUGE_VAL});
            case 2:
                return pick({nodata, std::nan(""), empty_cell()});
            case 3:
                return std::ldexp(1.0, static_cast<int>(rng() % 40) - 20) *
                       pick({1.0, -1.0, 1 - 0x1p-53, 1 + 0x1p-52});
            default:
                return std::ldexp(unit(rng), static_cast<int>(rng() % 60) - 30);
        }
    };
    for (int trial = 0; trial < 300; ++trial) {
        const auto cols =
            static_cast<int32_t>(trial % 10 == 9 ? 520 + rng() % 600 : 3 + rng() % 40);
        Matrix<double> grid(3, cols);
        for (int32_t i = 0; i < 3; ++i) {
            for (int32_t j = 0; j < cols; ++j)
                grid[i][j] = any_value();
        }
        // Holes at every other odd column of the middle row, each with its own neighbours on
        // either side, summed up, right, down, left as the fill does.
        for (int32_t j = 1; j + 1 < cols; j += 4) {
            if (rng() % 8 == 0) continue;
            grid[1][j] = empty_cell();
            double* neighbours[] = {&grid[0][j], &grid[1][j + 1], &grid[2][j], &grid[1][j - 1]};
            double sum = rng() % 4 != 0 ? (*neighbours[0] = any_value()) + 0.0 : 0.0;
            for (int k = 1; k < 4; ++k) {
                if (rng() % 3 != 0) *neighbours[k] = near_midpoint(sum);
                sum = extended::sum(sum, *neighbours[k]);
            }
        }
        for (const std::optional<double> no_data :
             {std::optional<double>{}, std::optional{nodata}}) {
            // Also as in a process where a library has set the processor to treat subnormal
            // numbers as zero, which the extended sums never do (the fast sums must not either;
            // clang makes the plain code's times 0.25 a multiplication in doubles, which does).
            for (const bool flushing : {false, true}) {
                Matrix<double> plain = grid_of(3, cols, values_of(grid));
                Matrix<double> fast = grid_of(3, cols, values_of(grid));
                {
                    const FlushToZero flush(flushing);
                    fill_holes_in_row_plain(plain.view(), 1, no_data);
                    fill_holes_in_row(fast.view(), 1, no_data);
                }
                ASSERT_TRUE(same_bits(fast.view(), plain.view()))
                    << "trial " << trial << (flushing ? ", subnormals flushed" : "");
            }
        }
    }
}

// On any number of threads, the grid the plain code gives filling the rows one by one in order
// and then the background: rows with runs of empty cells at either end (as the turned terrain's
// corners leave them) and empty cells scattered in between.
TEST(HoleFilling, EveryThreadCountGivesTheGridOfOnePassInOrder) {
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 60; ++trial) {
        const auto rows = static_cast<int32_t>(1 + rng() % 50);
        const auto cols = static_cast<int32_t>(1 + rng() % 50);
        std::vector<double> values(static_cast<std::size_t>(rows * cols));
        const auto width = static_cast<std::size_t>(cols);
        for (std::size_t i = 0; i < values.size(); i += width) {
            const std::size_t lead = rng() % width;
            const std::size_t trail = width - rng() % (width - lead + 1);
            for (std::size_t j = 0; j < width; ++j) {
                const bool empty = j < lead || j >= trail || rng() % (trial % 2 == 0 ? 4 : 40) == 0;
                values[i + j] = empty ? E : static_cast<double>(rng() % 1000) - 300;
            }
        }
        Matrix<double> one = grid_of(rows, cols, values);
        for (int32_t i = 0; i < rows; ++i)
            fill_holes_in_row_plain(one.view(), i, -300.0);
        fill_background(one.view(), background_value(one.view()));
        for (unsigned threads : {1u, 2u, 3u, 8u}) {
            Matrix<double> many = grid_of(rows, cols, values);
            fill_holes_and_background(many.view(), -300.0, {.threads = threads});
            ASSERT_TRUE(same_bits(one.view(), many.view()))
                << rows << " x " << cols << ", " << threads;
        }
    }
}

TEST(HoleFilling, RowsInAnyOrderLeaveTheBackgroundTheSweepLeft) {
    // Values a few units in the last place above a minimum m of any significand, so that the
    // rounded sums of four of them come as close below 4m as rounding allows: no mean falls
    // below m, and the rows filled one by one, last first, give fill_holes' grid.
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> any_minimum(-5000.0, 5000.0);
    for (int trial = 0; trial < 400; ++trial) {
        const auto rows = static_cast<int32_t>(3 + rng() % 30);
        const auto cols = static_cast<int32_t>(3 + rng() % 30);
        const double m = any_minimum(rng);
        std::vector<double> values(static_cast<std::size_t>(rows * cols));
        for (double& v : values) {
            v = m;
            for (auto steps = rng() % 4; steps > 0; --steps)
                v = std::nextafter(v, 1e300);
            if (rng() % 5 == 0) v = E;
        }
        Matrix<double> whole = grid_of(rows, cols, values);
        const double before = background_value(whole.view());
        ASSERT_TRUE(holes_keep_background(before));
        fill_holes(whole.view(), std::nullopt);
        ASSERT_EQ(background_value(whole.view()), before) << "minimum " << m;
        Matrix<double> by_rows = grid_of(rows, cols, values);
        for (int32_t i = rows - 1; i >= 0; --i)
            fill_holes_in_row(by_rows.view(), i, std::nullopt);
        ASSERT_TRUE(same_bits(whole.view(), by_rows.view())) << "minimum " << m;
    }
    // Only sums that overflow make a mean below every neighbour: -inf here.
    const double low = -std::numeric_limits<double>::max() / 2;
    Matrix<double> grid = grid_of(3, 3, {9, low, 9, low, E, low, 9, low, 9});
    EXPECT_FALSE(holes_keep_background(background_value(grid.view())));
    fill_holes(grid.view(), std::nullopt);
    EXPECT_LT(background_value(grid.view()), low);
}

}  // namespace
