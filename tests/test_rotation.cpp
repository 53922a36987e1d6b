#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "rotation/placement.h"
#include "rotation/sweep_reference.h"
#include "support.h"

using namespace terrapivoter;

namespace {

// A grid whose cell (r, c) holds 10 r + c + 1.
Matrix<double> numbered(int32_t rows, int32_t cols) {
    Matrix<double> grid(rows, cols);
    for (int32_t i = 0; i < rows; ++i) {
        for (int32_t j = 0; j < cols; ++j)
            grid[i][j] = 10.0 * i + j + 1;
    }
    return grid;
}

Matrix<double> rotated(const Matrix<double>& in, RotationParameters p) {
    Matrix<double> out(in.nb_lig(), in.nb_col());
    rotate_reference(in.view(), out.view(), p);
    return out;
}

std::optional<CellIndex> target(int32_t i, int32_t j, int32_t rows, int32_t cols,
                                RotationParameters p) {
    return target_cell(rotated_position(i, j, rows, p), rows, cols);
}

void expect_target(int32_t i, int32_t j, int32_t rows, int32_t cols, RotationParameters p,
                   int32_t row, int32_t col) {
    auto cell = target(i, j, rows, cols, p);
    ASSERT_TRUE(cell.has_value()) << "cell " << i << "," << j << " angle " << p.despl_ang;
    EXPECT_EQ(cell->row, row) << "cell " << i << "," << j << " angle " << p.despl_ang;
    EXPECT_EQ(cell->col, col) << "cell " << i << "," << j << " angle " << p.despl_ang;
}

TEST(Rotation, QuarterTurnAboutAWholeCell) {
    Matrix<double> in = numbered(5, 5);
    Matrix<double> out = rotated(in, {2, 2, 90});
    for (int32_t r = 0; r < 5; ++r) {
        for (int32_t c = 0; c < 5; ++c) {
            // Every cell, the centre included (it keeps its own value).
            EXPECT_EQ(out[r][c], in[c][4 - r]) << r << "," << c;
        }
    }
    expect_target(2, 4, 5, 5, {2, 2, 90}, 0, 2);
    expect_target(0, 2, 5, 5, {2, 2, 90}, 2, 0);
}

TEST(Rotation, FortyFiveDegreesWholeGridBeforeFilling) {
    Matrix<double> out = rotated(numbered(5, 5), {2, 2, 45});
    // Diagonal neighbours land on axis neighbours by the exact-angle shortcuts; 22 and 25 win
    // their collisions; cell (0, 1) reaches column -0.12 and is kept in column 0; the corners
    // (0, 4) and (4, 4) fall outside. The centre keeps its own value, 23.
    const std::vector<double> expected = {0,  4,  0,  15, 0,   //
                                          2,  13, 14, 25, 35,  //
                                          1,  12, 23, 34, 0,   //
                                          11, 22, 32, 43, 44,  //
                                          0,  31, 41, 42, 0};
    EXPECT_EQ(values_of(out.view()), expected);
}

TEST(Rotation, AShortcutDecidesAHalfIntegerCentre) {
    // 7 x 7 about its centre (3.5, 3.5): cell (4, 5) reaches exactly 360 degrees; the rotated
    // offset's sine of about -2.4e-16 would have put it one row lower.
    expect_target(4, 5, 7, 7, {3.5, 3.5, 45}, 2, 6);
}

TEST(Rotation, ClockwiseCasesAboutTheCentreOfFourByFour) {
    const struct {
        double angle;
        int32_t i, j, row, col;
    } cases[] = {
        {-90, 1, 3, 2, 2},  // positive X half-axis, 270 by the rotated offset
        {-90, 0, 3, 2, 3},  // first quadrant at -45, brought to 315
        {-90, 0, 2, 1, 3},  // positive Y half-axis at 0
        {-45, 0, 3, 1, 3},  // first-quadrant diagonal, exactly 0
        {-45, 2, 1, 1, 1},  // third-quadrant diagonal, exactly 180
        {-45, 2, 3, 2, 2},  // fourth-quadrant diagonal, exactly 270
        {-45, 0, 1, 0, 2},  // second-quadrant diagonal, exactly 90, rotated offset
    };
    for (const auto& c : cases)
        expect_target(c.i, c.j, 4, 4, {2, 2, c.angle}, c.row, c.col);
    // The reference cell (1, 2): no other cell lands on it at -90, and it keeps its own value.
    Matrix<double> in = numbered(4, 4);
    Matrix<double> out = rotated(in, {2, 2, -90});
    EXPECT_EQ(out[1][2], in[1][2]);
}

TEST(Rotation, HalfAxisDistanceKeepsItsFraction) {
    // 4 columns, 5 rows, centre (2, 2.5): row 1, column 2 is a positive Y half-axis cell 0.5
    // away, which -90 carries to column 2.5, line 2.5, that is row 1, column 3.
    expect_target(1, 2, 5, 4, {2, 2.5, -90}, 1, 3);
}

TEST(Rotation, HalfTurnsInBothDirectionsMirrorThroughTheCentre) {
    Matrix<double> in = numbered(5, 5);
    for (double angle : {180.0, -180.0}) {
        Matrix<double> out = rotated(in, {2, 2, angle});
        for (int32_t r = 0; r < 5; ++r) {
            for (int32_t c = 0; c < 5; ++c)
                EXPECT_EQ(out[r][c], in[4 - r][4 - c]) << angle;
        }
    }
}

TEST(Rotation, PositionsAtTheEdgesOfTheGrid) {
    const struct {
        double position;
        std::optional<int32_t> col;
    } cases[] = {
        {-0.7, 0},
        {-1.5, std::nullopt},
        {-1.4999, 0},
        {0.4999, 0},
        {0.5, 1},
        {3.5, 4},
        {4.4999, 4},
        {4.5, std::nullopt},
        {1e300, std::nullopt},
        {-1e300, std::nullopt},
        {std::numeric_limits<double>::infinity(), std::nullopt},
        {-std::numeric_limits<double>::infinity(), std::nullopt},
        {std::numeric_limits<double>::quiet_NaN(), std::nullopt},
    };
    for (const auto& c : cases) {
        auto cell = target_cell({c.position, 2.0}, 5, 5);
        EXPECT_EQ(cell.has_value(), c.col.has_value()) << c.position;
        if (cell && c.col) {
            EXPECT_EQ(cell->col, *c.col) << c.position;
        }
        auto line = target_cell({2.0, c.position}, 5, 5);
        EXPECT_EQ(line.has_value(), c.col.has_value()) << c.position;
        // Lines count from the bottom: line k is row 4 - k.
        if (line && c.col) {
            EXPECT_EQ(line->row, 4 - *c.col) << c.position;
        }
    }
}

TEST(Rotation, TheLaterCellWinsACollision) {
    // At 45 degrees about (2, 2), cells (2, 0) and (2, 1) both land in row 3, column 1.
    auto first = target(2, 0, 5, 5, {2, 2, 45});
    auto second = target(2, 1, 5, 5, {2, 2, 45});
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->row, second->row);
    EXPECT_EQ(first->col, second->col);
    Matrix<double> out = rotated(numbered(5, 5), {2, 2, 45});
    EXPECT_EQ(out[3][1], 22);
}

TEST(Rotation, AngleZeroKeepsEveryCell) {
    Matrix<double> in = numbered(4, 6);
    in[1][1] = 0.0;
    for (double zero : {0.0, -0.0}) {
        Matrix<double> out = rotated(in, {1.5, 2.25, zero});
        EXPECT_TRUE(same_bits(in.view(), out.view()));
    }
}

TEST(Rotation, ThirdQuadrantBeyondAQuarterTurnIsPlaced) {
    // 135 degrees carries the diagonal cell below-left of (2, 2) to exactly 360, 170 degrees
    // beyond it; both must land where the fourth quadrant would place those angles.
    expect_target(3, 1, 5, 5, {2, 2, 135}, 2, 3);
    Matrix<double> out = rotated(numbered(5, 5), {2, 2, 170});
    auto cell = target(3, 1, 5, 5, {2, 2, 170});
    ASSERT_TRUE(cell);
    EXPECT_EQ(out[cell->row][cell->col], 32);
}

// Where an exact rotation by angle/api radians puts a cell, in long double.
struct Ideal {
    long double column, line;
};
Ideal ideal_position(int32_t i, int32_t j, int32_t rows, RotationParameters p) {
    const long double theta = static_cast<long double>(p.despl_ang) / api;
    const long double dx = j - static_cast<long double>(p.X1);
    const long double dy = (rows - 1 - i) - static_cast<long double>(p.Y1);
    return {p.X1 + dx * std::cos(theta) - dy * std::sin(theta),
            p.Y1 + dx * std::sin(theta) + dy * std::cos(theta)};
}

bool near_half(long double v) {
    const long double w = v + 0.5L;
    return std::fabs(w - std::nearbyint(w)) < 1e-9L;
}

// Away from the cell boundaries every cell must land where the exact rotation puts it, in
// every quadrant and for every angle the program accepts: no class of cell is lost or misplaced.
TEST(Rotation, AgreesWithTheExactRotationAwayFromCellBoundaries) {
    std::mt19937_64 rng(4242);
    std::uniform_real_distribution<double> angle(-180.99, 180.99);
    int checked = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const int32_t rows = 3 + static_cast<int32_t>(rng() % 30);
        const int32_t cols = 3 + static_cast<int32_t>(rng() % 30);
        RotationParameters p{cols * 0.5, rows * 0.5, angle(rng)};
        if (trial % 3 == 1)
            p = {static_cast<double>(rng() % static_cast<uint64_t>(cols)),
                 static_cast<double>(rng() % static_cast<uint64_t>(rows)), p.despl_ang};
        if (trial % 3 == 2) p.X1 += 0.37;
        if (trial % 10 == 0)
            p.despl_ang = static_cast<double>(static_cast<int>(rng() % 9) * 45 - 180);
        for (int32_t i = 0; i < rows; ++i) {
            for (int32_t j = 0; j < cols; ++j) {
                const Ideal ideal = ideal_position(i, j, rows, p);
                if (near_half(ideal.column) || near_half(ideal.line)) continue;
                const RotatedPosition got = rotated_position(i, j, rows, p);
                ASSERT_NEAR(got.new_X, static_cast<double>(ideal.column), 1e-9)
                    << i << "," << j << " angle " << p.despl_ang << " about " << p.X1 << ","
                    << p.Y1;
                ASSERT_NEAR(got.new_Y, static_cast<double>(ideal.line), 1e-9)
                    << i << "," << j << " angle " << p.despl_ang << " about " << p.X1 << ","
                    << p.Y1;
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 50000);
}

TEST(Rotation, AngleCheck) {
    for (double accepted : {180.0, 180.9, -180.9, 90.5, 0.0, -0.0, -180.0, 1e-300}) {
        EXPECT_TRUE(angle_accepted(accepted)) << accepted;
    }
    // 4294967306 would pass a check that keeps only the low 32 bits of the whole part.
    for (double refused : {181.0, -181.0, 200.0, 4294967306.0, -4294967296.0, 1e300, -1e19}) {
        EXPECT_FALSE(angle_accepted(refused)) << refused;
    }
}

}  // namespace
