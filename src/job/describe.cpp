#include "job/describe.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/failure.h"

namespace terrapivoter {

namespace {

RotationParameters rotation_of(const JobOptions& o, const InputBand& input) {
    const GridSource& grid = *input.grid;
    // The centre lies where the grid's middle cell lies, or between the middle two: a half turn
    // about it is an exact flip, a quarter turn an exact transpose when the counts share their
    // parity.
    RotationParameters p{(grid.nb_col() - 1) * 0.5, (grid.nb_lig() - 1) * 0.5, *o.angle};
    if (o.pivot.kind == Pivot::Kind::map) {
        const Georef& g = input.georef;
        // Cell centres sit on whole columns and lines.
        p.X1 = (o.pivot.first - g.X_min) / g.cell_size - 0.5;
        p.Y1 = (o.pivot.second - g.Y_min) / g.cell_size - 0.5;
    } else if (o.pivot.kind == Pivot::Kind::line_column) {
        p.Y1 = o.pivot.first;
        p.X1 = o.pivot.second;
    }
    return p;
}

}  // namespace

std::string shortest_text(double v) {
    char text[32];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, v);
        if (std::strtod(text, nullptr) == v) break;
    }
    // Fewer digits than a whole number has come out as "2e+02": write it out instead.
    if (std::strchr(text, 'e') != nullptr && std::fabs(v) >= 1.0 && std::fabs(v) < 1e16) {
        std::snprintf(text, sizeof text, "%.0f", v);
    }
    return text;
}

void check_angle(const JobOptions& o) {
    if (!o.angle) throw UsageError("--angle is required");
    if (!angle_accepted(*o.angle)) {
        throw UsageError("--angle: " + shortest_text(*o.angle) +
                         " is too great: its whole part must be at most 180");
    }
}

Treatment treatment_for(const JobOptions& o, const InputBand& input, const StoredUnits& units) {
    Treatment t;
    t.rotated_georef = o.rotated_georef;
    t.rotation = rotation_of(o, input);
    t.extent = o.extent;
    t.resampling = o.resampling;
    const bool has_nodata = input.nodata || input.output_nodata;
    t.background.kind =
        o.background.value_or(has_nodata ? Background::Kind::nodata : Background::Kind::smallest);
    if (t.background.kind == Background::Kind::nodata && !has_nodata) {
        throw UsageError(
            "--background nodata: the input has no no-data value; give one with --nodata or "
            "--dst-nodata");
    }
    if (t.background.kind == Background::Kind::given) {
        t.background.value = units.working(o.background_value);
    }
    return t;
}

}  // namespace terrapivoter
