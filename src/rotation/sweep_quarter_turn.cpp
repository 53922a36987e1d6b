#include <optional>
#include <vector>

#include "base/parallel.h"
#include "rotation/sweep_kernel.h"

namespace terrapivoter {

namespace detail {

namespace {

// Where each row of a quarter turn goes: its output column (or -1 when the row lands outside),
// and the line of its cell j, first_line + step * j, whole numbers all.
struct QuarterTurnRows {
    std::vector<int32_t> column;
    std::vector<int64_t> first_line;
};

// The rows' places, or nothing when the turn is not a quarter turn or a row lies near a cell
// boundary.
std::optional<QuarterTurnRows> quarter_turn_rows(const Sweep& sweep, IndexRange range) {
    const DoubleGrid in = sweep.in;
    // s is +1 or -1 exactly and c so small that a row's columns never move by a bound.
    const double drift = std::fabs(sweep.c) * (in.nb_col + 1);
    if (std::fabs(sweep.s) != 1.0 || drift > sweep.f.bound) return std::nullopt;
    const double margin = 2 * sweep.f.bound + drift;
    auto clear_of_boundaries = [margin](double w) {
        return std::fabs(w - ((w + kRounder) - kRounder)) > margin;
    };
    // ay is clear of boundaries and moves by exactly one per cell.
    QuarterTurnRows rows{std::vector<int32_t>(static_cast<std::size_t>(in.nb_lig)),
                         std::vector<int64_t>(static_cast<std::size_t>(in.nb_lig))};
    for (int32_t i = 0; i < in.nb_lig; ++i) {
        const RowStart start = sweep.row_start(i);
        if (!clear_of_boundaries(start.ax) || !clear_of_boundaries(start.ay)) return std::nullopt;
        const bool inside =
            i >= range.first && i < range.end && start.ax > -1.0 && start.ax < sweep.out.nb_col;
        rows.column[static_cast<std::size_t>(i)] = inside ? static_cast<int32_t>(start.ax) : -1;
        rows.first_line[static_cast<std::size_t>(i)] = static_cast<int64_t>(std::floor(start.ay));
    }
    return rows;
}

// The first row of each thread's rows, and the end. Rows go to distinct columns but for the two
// around column 0 (the band of index 0 is two cells wide); a thread's rows must keep such a
// pair, and then the threads write disjoint columns.
std::vector<int32_t> thread_rows(const std::vector<int32_t>& column, unsigned threads) {
    const auto rows = static_cast<int32_t>(column.size());
    std::vector<int32_t> first_row(threads + 1);
    for (unsigned t = 0; t <= threads; ++t) {
        auto b = static_cast<int32_t>(piece_start(rows, threads, t));
        while (b > 0 && b < rows && column[static_cast<std::size_t>(b)] >= 0 &&
               column[static_cast<std::size_t>(b)] == column[static_cast<std::size_t>(b - 1)]) {
            ++b;
        }
        first_row[t] = std::max(b, t > 0 ? first_row[t - 1] : 0);
    }
    return first_row;
}

// kGroup rows bound for neighbouring columns and the same lines are written together, a piece
// of an output row at a time: one cache line takes kGroup stores in a row instead of kGroup
// stores each on another page.
constexpr int32_t kGroup = 8;
constexpr int32_t kSide = 256;

// Rows that land inside, written together: kGroup of them, or one, in the order of their
// columns from the leftmost.
struct Group {
    int32_t size;
    int32_t left;
    int64_t first_line;
    int32_t rows[kGroup];
};

// Whether rows [i, i + kGroup) form a group.
bool forms_group(const QuarterTurnRows& q, int32_t i, int32_t end) {
    if (i + kGroup > end) return false;
    const auto at = static_cast<std::size_t>(i);
    const int32_t direction = q.column[at + 1] - q.column[at];
    if (q.column[at] < 0 || q.column[at + kGroup - 1] < 0 || (direction != 1 && direction != -1))
        return false;
    for (std::size_t r = 1; r < kGroup; ++r) {
        if (q.column[at + r] != q.column[at] + static_cast<int32_t>(r) * direction ||
            q.first_line[at + r] != q.first_line[at])
            return false;
    }
    return true;
}

// The groups of rows [begin, end) that land inside.
void group_rows(const QuarterTurnRows& q, int32_t begin, int32_t end, std::vector<Group>& groups) {
    groups.clear();
    for (int32_t i = begin; i < end;) {
        const auto at = static_cast<std::size_t>(i);
        const int32_t size = forms_group(q, i, end) ? kGroup : 1;
        if (q.column[at] >= 0) {
            Group& g = groups.emplace_back();
            g.size = size;
            g.left = std::min(q.column[at], q.column[at + static_cast<std::size_t>(size - 1)]);
            g.first_line = q.first_line[at];
            const bool leftward = g.left != q.column[at];
            for (int32_t r = 0; r < size; ++r)
                g.rows[r] = i + (leftward ? size - 1 - r : r);
        }
        i += size;
    }
}

// Writes the groups' cells, a block of columns at a time. From a source, a group's rows are
// read into `converted`, row r at r * kSide.
void write_groups(const Sweep& sweep, const std::vector<Group>& groups, double* converted) {
    const DoubleGrid in = sweep.in;
    const DoubleGrid out = sweep.out;
    const int64_t step = sweep.s > 0 ? 1 : -1;
    const int32_t last_line = sweep.total_rows() - 1;
    const auto lines = static_cast<uint64_t>(sweep.total_rows());
    for (int32_t block = 0; block < in.nb_col; block += kSide) {
        const int32_t block_end = std::min(block + kSide, in.nb_col);
        for (const Group& group : groups) {
            // Locals, which the stores below are not taken to change.
            const Group g = group;
            // The block's columns that the group's rows may read (those of a band's input
            // window), and the rows' values from column `block` on.
            int32_t first = block_end;
            int32_t last = block;
            for (int32_t r = 0; r < g.size; ++r) {
                const IndexRange readable = sweep.columns_of(g.rows[r]);
                first = std::min(first, std::max(block, readable.first));
                last = std::max(last, std::min(block_end, readable.end));
            }
            if (first >= last) continue;
            const double* sources[kGroup];
            for (int32_t r = 0; r < g.size; ++r) {
                if (converted == nullptr) {
                    sources[r] = in[g.rows[r]] + block;
                    continue;
                }
                double* values = converted + static_cast<std::ptrdiff_t>(r) * kSide;
                sweep.source->read(g.rows[r], first, last, values + (first - block));
                sources[r] = values;
            }
            for (int32_t j = first; j < last; ++j) {
                int64_t line = g.first_line + step * j;
                // Positions from -1.5 to -0.5 also go to line 0.
                if (line == -1) line = 0;
                if (static_cast<uint64_t>(line) >= lines) continue;
                const int32_t row = sweep.band_row(last_line - static_cast<int32_t>(line));
                if (row < 0) continue;
                double* target = out[row] + g.left;
                for (int32_t r = 0; r < g.size; ++r)
                    target[r] = sources[r][j - block];
            }
        }
    }
}

}  // namespace

bool sweep_quarter_turn(const Sweep& sweep, IndexRange range, unsigned threads) {
    const std::optional<QuarterTurnRows> rows = quarter_turn_rows(sweep, range);
    if (!rows) return false;
    const std::vector<int32_t> first_row = thread_rows(rows->column, threads);
    run_tasks(threads, threads, [&](unsigned t) {
        std::vector<Group> groups;
        const auto converted =
            sweep.source != nullptr
                ? std::make_unique_for_overwrite<double[]>(std::size_t{kGroup} * kSide)
                : nullptr;
        for (int32_t band = first_row[t]; band < first_row[t + 1]; band += kSide) {
            const int32_t band_end = std::min(band + kSide, first_row[t + 1]);
            group_rows(*rows, band, band_end, groups);
            write_groups(sweep, groups, converted.get());
            advance(sweep.progress, band_end - band);
        }
    });
    return true;
}

}  // namespace detail

}  // namespace terrapivoter
