#include "rotation/georeference.h"

#include "rotation/turn.h"

namespace terrapivoter {

GeoTransform output_geotransform(const Georef& g, const std::optional<GeoTransform>& gt,
                                 int32_t in_lines, const RotationParameters& p, OutputFrame frame,
                                 int32_t nb_lig, bool rotated) {
    if (!rotated) {
        // Line 0 of the output is the input's line -frame.bottom.
        const int32_t rows_above = nb_lig - in_lines - frame.bottom;
        if (gt) {
            return {(*gt)[0] - frame.left * (*gt)[1],  (*gt)[1], 0.0,
                    (*gt)[3] + rows_above * -(*gt)[5], 0.0,      (*gt)[5]};
        }
        const double x_min = g.X_min - frame.left * g.cell_size;
        const double y_min = g.Y_min - frame.bottom * g.cell_size;
        return {x_min, g.cell_size, 0.0, y_min + nb_lig * g.cell_size, 0.0, -g.cell_size};
    }
    // The output cell at pixel (u, v) holds what the input had at the reference point plus the
    // offset turned back by the angle; map that through the input's own georeference.
    using ld = long double;
    const AffineTurn turn(p.despl_ang);
    const ld c = turn.cos;
    const ld s = turn.sin;
    const ld lines = in_lines;
    const ld y_max = static_cast<ld>(g.Y_min) + lines * g.cell_size;
    struct Point {
        ld x;
        ld y;
    };
    auto map = [&](ld u, ld v) {
        const ld column = u - 0.5L - frame.left;                   // in the input's frame
        const ld line = (nb_lig - 1) - (v - 0.5L) - frame.bottom;  // counted from the bottom
        const ld dx = column - p.X1;
        const ld dy = line - p.Y1;
        const ld x = p.X1 + dx * c + dy * s;
        const ld y = p.Y1 - dx * s + dy * c;
        return Point{g.X_min + (x + 0.5L) * g.cell_size,
                     y_max - ((lines - 1 - y) + 0.5L) * g.cell_size};
    };
    const Point origin = map(0, 0);
    const Point across = map(1, 0);
    const Point down = map(0, 1);
    return {static_cast<double>(origin.x),
            static_cast<double>(across.x - origin.x),
            static_cast<double>(down.x - origin.x),
            static_cast<double>(origin.y),
            static_cast<double>(across.y - origin.y),
            static_cast<double>(down.y - origin.y)};
}

}  // namespace terrapivoter
