#include "rotation/bands.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "rotation/turn.h"

namespace terrapivoter {

namespace {

using ld = long double;

// A cell's index is its position plus one half, truncated: a cell lands in output line L only
// when its position lies in (L - 1.5, L + 0.5) (line 0 takes (-1.5, 0.5)). The placement
// formulas stray from the exact rotation by far less than a cell; a margin of two cells on each
// side covers both.
constexpr ld kMargin = 2.0L;

}  // namespace

int64_t InputWindow::cells() const {
    int64_t n = 0;
    for (const IndexRange& s : columns)
        n += s.end - s.first;
    return n;
}

InputWindow input_window(int32_t nb_lig, int32_t nb_col, const RotationParameters& p,
                         OutputFrame frame, int32_t first, int32_t end, int32_t reach) {
    const AffineTurn turn(p.despl_ang);
    const ld c = turn.cos;
    const ld s = turn.sin;
    // Output rows [first, end) are output lines [total - end, total - first - 1], which are
    // input-frame lines shifted by frame.bottom.
    // The turn keeps distances: a cell within `reach` cells of a position is within as many of
    // its line once turned.
    const ld margin = kMargin + reach;
    const ld low = static_cast<ld>(frame.total_rows - end) - frame.bottom - 1.5L - margin;
    const ld high = static_cast<ld>(frame.total_rows - first - 1) - frame.bottom + 0.5L + margin;
    InputWindow window;
    window.rows = {nb_lig, 0};
    std::vector<IndexRange> segments(static_cast<std::size_t>(nb_lig));
    for (int32_t i = 0; i < nb_lig; ++i) {
        // The turned line of cell (i, j) is a + j s.
        const ld dy = static_cast<ld>(nb_lig - 1 - i) - p.Y1;
        const ld a = p.Y1 - p.X1 * s + dy * c;
        IndexRange& seg = segments[static_cast<std::size_t>(i)];
        if (std::fabs(s) * nb_col < 1e-9L) {
            if (a >= low && a <= high) seg = {0, nb_col};
        } else {
            ld from = (low - a) / s;
            ld to = (high - a) / s;
            if (from > to) std::swap(from, to);
            from = std::max<ld>(std::floor(from) - margin, 0);
            to = std::min<ld>(std::ceil(to) + margin + 1, nb_col);
            if (from < to) seg = {static_cast<int32_t>(from), static_cast<int32_t>(to)};
        }
        if (seg.end > seg.first) {
            window.rows.first = std::min(window.rows.first, i);
            window.rows.end = std::max(window.rows.end, i + 1);
        }
    }
    if (window.rows.first >= window.rows.end) {
        window.rows = {0, 0};
        return window;
    }
    window.columns.assign(segments.begin() + window.rows.first, segments.begin() + window.rows.end);
    return window;
}

}  // namespace terrapivoter
