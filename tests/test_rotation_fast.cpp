// The fast sweep must give the plain sweep's grid bit for bit, on any number of threads, and so
// must the whole treatment after it (hole filling and background).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "job/engine.h"
#include "rotation/bands.h"
#include "rotation/empty_cells.h"
#include "rotation/extent.h"
#include "rotation/hole_filling.h"
#include "rotation/placement.h"
#include "rotation/resample.h"
#include "rotation/sweep_fast.h"
#include "rotation/sweep_reference.h"
#include "support.h"

using namespace terrapivoter;

namespace {

// Every cell distinct, so that any cell placed differently shows; with `zeros`, about a third of
// them hold 0 or -0 instead (sea level, which must stay an elevation).
Matrix<double> distinct_cells(int32_t rows, int32_t cols, bool zeros = false) {
    Matrix<double> grid(rows, cols);
    for (int32_t i = 0; i < rows; ++i) {
        for (int32_t j = 0; j < cols; ++j) {
            const int64_t k = int64_t{i} * cols + j;
            grid[i][j] = zeros && k % 3 == 0 ? (k % 2 ? -0.0 : 0.0) : 1.0 + static_cast<double>(k);
        }
    }
    return grid;
}

// With `enlarged`, into an output grown to hold every turned cell (a frame of its own).
void expect_same_as_reference(const Matrix<double>& in, const RotationParameters& p,
                              std::initializer_list<unsigned> thread_counts,
                              bool enlarged = false) {
    Enlargement e{{}, in.nb_lig(), in.nb_col()};
    if (enlarged) e = enlargement_with_margin(in.nb_lig(), in.nb_col(), p);
    const auto rows = static_cast<int32_t>(e.nb_lig);
    const auto cols = static_cast<int32_t>(e.nb_col);
    Matrix<double> expected = empty_grid(rows, cols);
    rotate_reference(in.view(), expected.view(), p, e.frame);
    Matrix<double> expected_finished = empty_grid(rows, cols);
    rotate_reference(in.view(), expected_finished.view(), p, e.frame);
    fill_holes_and_background(expected_finished.view(), std::nullopt, {.threads = 1});
    // The smallest value that lands, cell by cell with the polar formulas.
    double landing = 10000000.0;
    for (int32_t i = 0; i < in.nb_lig(); ++i) {
        for (int32_t j = 0; j < in.nb_col(); ++j) {
            if (target_cell(rotated_position(i, j, in.nb_lig(), p), rows, cols, e.frame) &&
                in[i][j] < landing)
                landing = in[i][j];
        }
    }
    for (unsigned threads : thread_counts) {
        const std::string what = std::to_string(in.nb_lig()) + " x " + std::to_string(in.nb_col()) +
                                 " about (" + std::to_string(p.X1) + ", " + std::to_string(p.Y1) +
                                 ") by " + std::to_string(p.despl_ang) + " on " +
                                 std::to_string(threads) + " threads";
        Matrix<double> got = empty_grid(rows, cols);
        rotate_fast(in.view(), got.view(), p, {.threads = threads}, e.frame);
        ASSERT_TRUE(same_bits(expected.view(), got.view())) << what;
        fill_holes_and_background(got.view(), std::nullopt, {.threads = threads});
        ASSERT_TRUE(same_bits(expected_finished.view(), got.view())) << what << ", filled";
        // The input read a row segment at a time as the sweep goes, and the background found
        // while the holes are filled.
        Matrix<double> read = empty_grid(rows, cols);
        MemorySource source(in.view());
        rotate_source_fast(source, nullptr, read.view(), p, {.threads = threads}, e.frame);
        ASSERT_TRUE(same_bits(expected.view(), read.view())) << what << ", read as it goes";
        const double background =
            fill_holes_finding_background(read.view(), std::nullopt, {.threads = threads});
        fill_background(read.view(), background, {.threads = threads});
        ASSERT_TRUE(same_bits(expected_finished.view(), read.view()))
            << what << ", read as it goes, filled";
        const std::optional<double> guessed =
            smallest_landing_value(source, rows, cols, p, e.frame, {.threads = threads});
        if (guessed) {
            ASSERT_EQ(*guessed, landing) << what << ", the smallest value that lands";
        }
    }
}

// Shifts the reference column so that cell (i, j) lands within `ulps` of a cell boundary.
RotationParameters on_a_boundary(int32_t rows, int32_t i, int32_t j, RotationParameters p,
                                 int ulps) {
    const long double theta = static_cast<long double>(p.despl_ang) / api;
    const long double c = std::cos(theta), s = std::sin(theta);
    const long double dy = (rows - 1 - i) - static_cast<long double>(p.Y1);
    const long double position = p.X1 + (j - p.X1) * c - dy * s;
    const long double boundary = std::floor(position) + 0.5L;
    double x1 = static_cast<double>(p.X1 + (boundary - position) / (1.0L - c));
    for (int k = 0; k < std::abs(ulps); ++k)
        x1 = std::nextafter(x1, ulps > 0 ? 1e300 : -1e300);
    p.X1 = x1;
    return p;
}

TEST(FastSweep, MatchesTheReferenceOnChosenRotations) {
    const struct {
        int32_t rows, cols;
        RotationParameters p;
    } cases[] = {
        {5, 5, {2, 2, 45}},
        {7, 7, {3.5, 3.5, 45}},
        {5, 5, {2, 2, 90}},
        {4, 4, {2, 2, -90}},
        {4, 4, {2, 2, -45}},
        {5, 4, {2, 2.5, -90}},
        {301, 299, {149.5, 150.5, 90}},  // half-integer positions everywhere
        {300, 300, {150, 150, 180}},
        {300, 300, {150, 150, -180}},
        {200, 530, {265, 100, 135}},
        {200, 530, {265, 100, 170}},  // beyond a quarter turn
        {180, 600, {300, 90, 1e-9}},
        {180, 600, {300, 90, -180.99}},
        {150, 520, {1e6, -3e5, 0.001}},
        {150, 520, {1e12, 7, 30}},    // far reference points
        {150, 520, {2e9, 75, 1e-7}},  // ... whose turn still lands cells, each by the formulas
        {150, 520, {-40.25, 600.75, -17.3}},
        {1, 700, {350, 0, 30}},
        {700, 1, {0, 350, -30}},
        {90, 95, {47.5, 45, 0}},
        // Quarter turns that send two rows to column 0 or every cell to line 0's band.
        {8, 8, {0, 4, 90}},
        {8, 8, {0, 3, -90}},
        {9, 6, {0, 0, 90}},
        {6, 9, {5, 0, -90}},
        {8, 8, {7, 4, -90}},
        {1, 9, {0, 0, 90}},
        {9, 1, {0, 0, -90}},
        // ... with that pair of rows (299 and 300) on either side of two threads' halves.
        {600, 600, {0, 299, 90}},
        {600, 600, {599, 300, -90}},
    };
    for (const auto& c : cases) {
        expect_same_as_reference(distinct_cells(c.rows, c.cols), c.p, {1, 2, 3, 4, 8});
    }
}

TEST(FastSweep, MatchesTheReferenceAcrossTileSeams) {
    // Rows are swept a block of columns at a time, a block being 1024 / |sin| columns wide (at
    // least 1024); a cell at the start of a block must yield to the end of the previous block in
    // the rows below where both reach one output cell. Grids a few blocks wide, shallow and
    // steep, both ways round, and more than one band of 64 rows high.
    for (double angle : {6.0, -6.0, 11.0, -11.0, 30.0, -30.0, 45.0, -45.0, 63.0, -63.0, 88.5, -88.5,
                         135.0, -150.0}) {
        const double steepness = std::fabs(std::sin(angle / api));
        const auto block = static_cast<int32_t>(std::max(1024.0, 1024.0 / steepness));
        const int32_t cols = 2 * block + 37;
        const int32_t rows = 70;
        for (const RotationParameters& p : {RotationParameters{cols * 0.5, rows * 0.5, angle},
                                            RotationParameters{block + 0.5, 7.25, angle}}) {
            expect_same_as_reference(distinct_cells(rows, cols), p, {1, 2});
        }
    }
}

TEST(FastSweep, MatchesTheReferenceOnRandomRotations) {
    std::mt19937_64 rng(20261208);
    std::uniform_real_distribution<double> any_angle(-180.999, 180.999);
    for (int trial = 0; trial < 1500; ++trial) {
        const bool large = trial % 25 == 0;
        const auto rows = static_cast<int32_t>(1 + rng() % (large ? 300 : 40));
        const auto cols = static_cast<int32_t>(1 + rng() % (large ? 600 : 40));
        RotationParameters p{cols * 0.5, rows * 0.5, any_angle(rng)};
        switch (trial % 6) {
            case 1:
                p.X1 = static_cast<double>(rng() % static_cast<uint64_t>(cols));
                p.Y1 = static_cast<double>(rng() % static_cast<uint64_t>(rows));
                break;
            case 2:
                p.X1 = std::floor(p.X1) + 0.5;
                p.Y1 = std::floor(p.Y1) + 0.5;
                break;
            case 3:
                p.X1 += std::uniform_real_distribution<double>(-2 * cols, 2 * cols)(rng);
                break;
            case 4:
                p.despl_ang = static_cast<double>(static_cast<int>(rng() % 9) * 45 - 180);
                break;
            case 5:
                p.despl_ang = std::ldexp(1.0, -static_cast<int>(rng() % 60)) * (rng() % 2 ? 1 : -1);
                break;
            default:
                break;
        }
        expect_same_as_reference(distinct_cells(rows, cols, trial % 3 == 0), p, {1, 3},
                                 trial % 4 == 1 && std::fabs(p.X1) < 1e4);
        if (testing::Test::HasFatalFailure()) return;
    }
}

// Band by band, from only the input cells each band's window names (every other cell holds a
// poison that would show), both sweeps give the rows of the whole sweep; and so do both codes of
// each resampling method, from the window widened by the method's reach (with no-data and NaN
// among the cells, which they leave out, and infinities, whose zero weights make NaNs).
TEST(FastSweep, BandsOfTheOutputMatchTheWholeSweep) {
    std::mt19937_64 rng(1208);
    const double poison = -123456.75;
    const Resampling methods[] = {Resampling::forward, Resampling::nearest, Resampling::bilinear,
                                  Resampling::cubic};
    for (int trial = 0; trial < 800; ++trial) {
        const Resampling method = methods[trial % 4];
        const bool forward = method == Resampling::forward;
        const auto rows = static_cast<int32_t>(1 + rng() % 30);
        // Some rows long enough for the input to be asked for ahead of the cells.
        const auto cols = static_cast<int32_t>(1 + rng() % (trial % 16 >= 12 ? 200 : 30));
        RotationParameters p{cols * 0.5, rows * 0.5,
                             std::uniform_real_distribution<double>(-180.99, 180.99)(rng)};
        switch (trial / 4 % 5) {
            case 1:
                p.despl_ang = static_cast<double>(static_cast<int>(rng() % 9) * 45 - 180);
                break;
            case 2:
                p.despl_ang = 1e-7 * (rng() % 2 ? 1 : -1);
                break;
            case 3:
                p.X1 = -3.0 * cols;
                p.Y1 = 2.5 * rows;
                break;
            default:
                break;
        }
        Matrix<double> in = distinct_cells(rows, cols, trial % 2 == 0);
        const std::optional<double> nodata =
            forward || trial % 3 == 0 ? std::nullopt : std::optional<double>(7.0);
        if (!forward) {
            for (int32_t k = 0; k < rows * cols / 6; ++k) {
                const auto i = static_cast<int32_t>(rng() % static_cast<uint64_t>(rows));
                const auto j = static_cast<int32_t>(rng() % static_cast<uint64_t>(cols));
                const double marks[] = {std::nan(""), 7.0, HUGE_VAL, -HUGE_VAL};
                in[i][j] = marks[k % 4];
            }
        }
        Enlargement e{{}, rows, cols};
        if (trial % 3 == 0) e = enlargement_with_margin(rows, cols, p);
        const auto out_rows = static_cast<int32_t>(e.nb_lig);
        const auto out_cols = static_cast<int32_t>(e.nb_col);
        Matrix<double> whole = empty_grid(out_rows, out_cols);
        if (forward) {
            rotate_reference(in.view(), whole.view(), p, e.frame);
        } else {
            resample_reference(in.view(), whole.view(), p, e.frame, method, nodata);
        }
        const int32_t height = static_cast<int32_t>(1 + rng() % 4);
        for (int32_t first = 0; first < out_rows; first += height) {
            const int32_t end = std::min(out_rows, first + height);
            OutputFrame frame = e.frame;
            frame.first_row = first;
            frame.total_rows = out_rows;
            const InputWindow window = input_window(rows, cols, p, frame, first, end,
                                                    forward ? 0 : resampling_reach(method));
            Matrix<double> poisoned(rows, cols);
            for (int32_t i = 0; i < rows; ++i)
                std::fill(poisoned[i], poisoned[i] + cols, poison);
            for (int32_t i = window.rows.first; i < window.rows.end; ++i) {
                const IndexRange seg =
                    window.columns[static_cast<std::size_t>(i - window.rows.first)];
                std::copy(in[i] + seg.first, in[i] + seg.end, poisoned[i] + seg.first);
            }
            for (unsigned threads : {0u, 1u, 3u}) {
                Matrix<double> band = empty_grid(end - first, out_cols);
                if (!forward) {
                    if (threads == 0) {
                        resample_reference(poisoned.view(), band.view(), p, frame, method, nodata);
                    } else {
                        resample_fast(poisoned.view(), band.view(), p, frame, method, nodata,
                                      {.threads = threads});
                    }
                } else if (threads == 0) {
                    rotate_reference(poisoned.view(), window.rows, band.view(), p, frame);
                } else {
                    rotate_fast(poisoned.view(), window.rows, band.view(), p, {.threads = threads},
                                frame);
                }
                for (int32_t r = first; r < end; ++r) {
                    ASSERT_EQ(std::memcmp(band[r - first], whole[r],
                                          sizeof(double) * whole.view().width()),
                              0)
                        << rows << " x " << cols << " about (" << p.X1 << ", " << p.Y1 << ") by "
                        << p.despl_ang << ", method " << static_cast<int>(method) << ", rows "
                        << first << " to " << end << ", row " << r << ", " << threads
                        << " threads (0: reference)";
                }
            }
        }
    }
}

// A quarter turn writes rows bound for neighbouring columns together; a range of rows may end
// inside such a run (its rows beyond are not placed), on either side of column 0.
TEST(FastSweep, QuarterTurnsOfAnyRangeOfRowsMatchTheReference) {
    const int32_t n = 20;
    const Matrix<double> in = distinct_cells(n, n);
    for (const RotationParameters& p :
         {RotationParameters{0, 13, -90}, RotationParameters{0, 6, 90},
          RotationParameters{19, 6, -90}, RotationParameters{9, 9, 90}}) {
        for (int32_t first = 0; first < n; ++first) {
            for (int32_t end = first + 1; end <= n; ++end) {
                Matrix<double> expected = empty_grid(n, n);
                rotate_reference(in.view(), {first, end}, expected.view(), p, {});
                Matrix<double> got = empty_grid(n, n);
                rotate_fast(in.view(), {first, end}, got.view(), p, {.threads = 2}, {});
                ASSERT_TRUE(same_bits(expected.view(), got.view()))
                    << "about (" << p.X1 << ", " << p.Y1 << ") by " << p.despl_ang << ", rows "
                    << first << " to " << end;
            }
        }
    }
}

TEST(FastSweep, MatchesTheReferenceWithinAFewUlpsOfCellBoundaries) {
    std::mt19937_64 rng(99);
    for (int trial = 0; trial < 300; ++trial) {
        const auto rows = static_cast<int32_t>(3 + rng() % 60);
        const auto cols = static_cast<int32_t>(3 + rng() % 60);
        const RotationParameters base{cols * 0.5, rows * 0.5,
                                      std::uniform_real_distribution<double>(-180, 180)(rng)};
        const auto i = static_cast<int32_t>(rng() % static_cast<uint64_t>(rows));
        const auto j = static_cast<int32_t>(rng() % static_cast<uint64_t>(cols));
        const int ulps = static_cast<int>(rng() % 9) - 4;
        expect_same_as_reference(distinct_cells(rows, cols), on_a_boundary(rows, i, j, base, ulps),
                                 {1, 2});
        if (testing::Test::HasFatalFailure()) return;
    }
}

TEST(FastSweep, FallsBackOnlyNearCellBoundaries) {
    // About a whole centre at 37 degrees no position is near a boundary; at 90 degrees about a
    // half-integer column every column position lies on one.
    EXPECT_EQ(detail::count_exact_fallbacks(400, 400, {200, 200, 37}), 0);
    // At 30 degrees, sin = 1/2 puts every other cell of the centre row and column on a boundary.
    EXPECT_EQ(detail::count_exact_fallbacks(400, 400, {200, 200, 30}), 400);
    EXPECT_EQ(detail::count_exact_fallbacks(300, 301, {150.5, 150, 90}), 300 * 301);
}

}  // namespace
