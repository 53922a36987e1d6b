// A row's holes: the plain code, cell by cell in extended precision, and the fast code, which
// finds the holes four cells at a time and sums four holes at once in doubles, to the same bits.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "base/cpu_dispatch.h"
#include "rotation/empty_cells.h"
#include "rotation/extended.h"
#include "rotation/hole_filling.h"
#include "rotation/lanes.h"

namespace terrapivoter {

namespace {

// A neighbour counts when it is filled: not a NaN (the empty marker is one), not the no-data
// value.
bool filled(double v, bool has_nodata, double nodata_value) {
    return v == v && !(has_nodata && v == nodata_value);
}

// The mean of four neighbours, summed in that order from 0 in extended precision, rounded to
// double at each step.
double mean_of_four(double up, double right, double down, double left) {
    double sum = extended::sum(0.0, up);
    sum = extended::sum(sum, right);
    sum = extended::sum(sum, down);
    sum = extended::sum(sum, left);
    return static_cast<double>(static_cast<extended::ld>(sum) * 0.25L);
}

constexpr uint64_t kSignBit = 0x8000000000000000ULL;
constexpr uint64_t kExponentBits = 0x7ff0000000000000ULL;

// Clears the lanes of `mask` whose value is not filled: a NaN, or the no-data value.
[[gnu::always_inline]] inline void keep_filled(const Lanes& v, bool has_nodata, double nodata_value,
                                               Flags& mask) {
    mask &= v == v;  // NOLINT(misc-redundant-expression): false for a NaN alone
    if (has_nodata) mask &= v != nodata_value;
}

// Whether every lane's value lies where sums in doubles reproduce the extended ones: zero, or
// from 2^-1000 to below 2^1000 in magnitude, so that no sum of four, no step of a sum's error
// and no mean overflows or is subnormal (and the processor's flush-to-zero setting, which a
// library in the same process may have changed, matters to none).
[[gnu::always_inline]] inline bool fast_lanes(const Lanes& v) {
    // Compared as integers, which order magnitudes as the numbers do and see a subnormal as
    // what it is, whatever the processor's mode.
    const LaneBits magnitude = reinterpret_cast<LaneBits>(v) & ~kSignBit;
    return all_set((magnitude < std::bit_cast<uint64_t>(0x1p1000)) &
                   ((magnitude >= std::bit_cast<uint64_t>(0x1p-1000)) | (magnitude == 0)));
}

// extended::sum in each lane, for the values fast_lanes admits. The x87 sum rounds the exact
// sum x to 64 bits, then to 53. That differs from s, x rounded once, only where x lies beyond
// the midpoint between s and its neighbour yet within half a 64-bit unit of it, and s is odd:
// the midpoint, where the first rounding lands, then goes to the even neighbour. Which side of
// s x lies on, and how far, is x - s, exact (Knuth's two-sum).
[[gnu::always_inline]] inline void add_as_extended(Lanes& sum, const Lanes& b) {
    const Lanes a = sum;
    const Lanes s = a + b;
    const Lanes b_part = s - a;
    const Lanes error = (a - (s - b_part)) + (b - b_part);
    const auto s_bits = reinterpret_cast<LaneBits>(s);
    const auto error_bits = reinterpret_cast<LaneBits>(error);
    // 2^E for s in [2^E, 2^(E+1)): s's unit in the last place is 2^(E-52).
    const auto binade = reinterpret_cast<Lanes>(s_bits & kExponentBits);
    const auto distance = reinterpret_cast<Lanes>(error_bits & ~kSignBit);
    const Flags turns =
        ((s_bits & 1) != 0) & (error != 0.0) & (distance >= binade * (0x1p-53 - 0x1p-64));
    const auto unit = reinterpret_cast<LaneBits>(binade * 0x1p-52);
    const auto step = reinterpret_cast<Lanes>(unit | (error_bits & kSignBit));
    sum = turns ? s + step : s;
}

// For each set of four lanes (bit k for lane k), the set lanes, first.
constexpr Indices kSetLanes[16] = {{0, 0, 0, 0}, {0, 0, 0, 0}, {1, 0, 0, 0}, {0, 1, 0, 0},
                                   {2, 0, 0, 0}, {0, 2, 0, 0}, {1, 2, 0, 0}, {0, 1, 2, 0},
                                   {3, 0, 0, 0}, {0, 3, 0, 0}, {1, 3, 0, 0}, {0, 1, 3, 0},
                                   {2, 3, 0, 0}, {0, 2, 3, 0}, {1, 2, 3, 0}, {0, 1, 2, 3}};

// A row's columns are taken a segment at a time: its holes (empty cells whose four neighbours
// are filled) are found four cells at a time and their columns gathered, with no branch on
// each cell (which holes, scattered as they are, defeat); then they are filled four at a time.
constexpr int32_t kSegment = 512;

}  // namespace

// A cell is filled only when its four neighbours are already filled, so no cell filled here is
// the neighbour of another: the holes may be filled in any order, rows on any thread, and give
// the grid a single pass in row-major order gives.
void fill_holes_in_row_plain(DoubleGrid grid, int32_t i, std::optional<double> nodata) {
    if (i <= 0 || i >= grid.nb_lig - 1) return;
    const bool has_nodata = nodata.has_value();
    const double nodata_value = nodata.value_or(0.0);
    for (int32_t j = 1; j < grid.nb_col - 1; ++j) {
        if (!is_empty(grid[i][j])) continue;
        const double up = grid[i - 1][j], right = grid[i][j + 1], down = grid[i + 1][j],
                     left = grid[i][j - 1];
        bool all_filled = true;
        for (double neighbour : {up, right, down, left})
            all_filled = all_filled && filled(neighbour, has_nodata, nodata_value);
        if (all_filled) grid[i][j] = mean_of_four(up, right, down, left);
    }
}

TERRAPIVOTER_CLONES
void fill_holes_in_row(DoubleGrid grid, int32_t i, std::optional<double> nodata) {
    if (i <= 0 || i >= grid.nb_lig - 1) return;
    const bool has_nodata = nodata.has_value();
    const double nodata_value = nodata.value_or(0.0);
    auto counts = [&](double v) { return filled(v, has_nodata, nodata_value); };
    const double* above = grid[i - 1];
    double* row = grid[i];
    const double* below = grid[i + 1];
    // The row after `below` is asked for as this one is looked at: the pass is the first to
    // read the rows since the sweep scattered its writes over them, and the processor's own
    // prefetching of them came late.
    const double* ahead = i + 2 < grid.nb_lig ? grid[i + 2] : nullptr;
    int32_t holes[kSegment + kLanes];
    for (int32_t start = 1; start < grid.nb_col - 1; start += kSegment) {
        const int32_t end = std::min(grid.nb_col - 1, start + kSegment);
        int32_t count = 0;
        int32_t j = start;
        for (; j + kLanes <= end; j += kLanes) {
            if (ahead != nullptr) __builtin_prefetch(ahead + j, 0, 2);
            Lanes cell, up, right, down, left;
            load_lanes(row + j, cell);
            load_lanes(above + j, up);
            load_lanes(row + j + 1, right);
            load_lanes(below + j, down);
            load_lanes(row + j - 1, left);
            Flags hole = reinterpret_cast<LaneBits>(cell) == kEmptyCellBits;
            for (const Lanes* neighbour : {&up, &right, &down, &left})
                keep_filled(*neighbour, has_nodata, nodata_value, hole);
            const auto set = static_cast<unsigned>((hole[0] & 1) | (hole[1] & 2) | (hole[2] & 4) |
                                                   (hole[3] & 8));
            const Indices at = kSetLanes[set] + j;
            std::memcpy(holes + count, &at, sizeof at);
            count += std::popcount(set);
        }
        for (; j < end; ++j) {
            holes[count] = j;
            const bool hole = is_empty(row[j]) && counts(above[j]) && counts(row[j + 1]) &&
                              counts(below[j]) && counts(row[j - 1]);
            count += hole ? 1 : 0;
        }
        if (count == 0) continue;
        // The last group's spare lanes repeat its last hole, which takes the same value again.
        for (int k = 0; k < kLanes; ++k)
            holes[count + k] = holes[count - 1];
        for (int32_t k = 0; k < count; k += kLanes) {
            const int32_t* at = holes + k;
            const Lanes up = {above[at[0]], above[at[1]], above[at[2]], above[at[3]]};
            const Lanes right = {row[at[0] + 1], row[at[1] + 1], row[at[2] + 1], row[at[3] + 1]};
            const Lanes down = {below[at[0]], below[at[1]], below[at[2]], below[at[3]]};
            const Lanes left = {row[at[0] - 1], row[at[1] - 1], row[at[2] - 1], row[at[3] - 1]};
            if (fast_lanes(up) && fast_lanes(right) && fast_lanes(down) && fast_lanes(left)) {
                Lanes sum = up + 0.0;  // as 0 + up in extended precision: -0 becomes 0
                add_as_extended(sum, right);
                add_as_extended(sum, down);
                add_as_extended(sum, left);
                const Lanes mean = sum * 0.25;
                for (int lane = 0; lane < kLanes; ++lane)
                    row[at[lane]] = mean[lane];
                continue;
            }
            for (int lane = 0; lane < kLanes; ++lane)
                row[at[lane]] = mean_of_four(up[lane], right[lane], down[lane], left[lane]);
        }
    }
}

}  // namespace terrapivoter
