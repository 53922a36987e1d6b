#include "rotation/placement.h"

#include <cmath>

#include "rotation/extended.h"

namespace terrapivoter {

namespace {

using extended::ld;
using extended::sum;
struct Offset {
    double x;
    double y;
};

Offset rotated_offset(double hipo, double new_ang) {
    const double radians = static_cast<double>(static_cast<ld>(new_ang) / api);
    const double cosine = std::cos(radians);
    const double sine = std::sin(radians);
    return {static_cast<double>(static_cast<ld>(hipo) * cosine),
            static_cast<double>(static_cast<ld>(hipo) * sine)};
}

struct Polar {
    double hipo;
    double ang;  // degrees, before the quadrant offset
};

Polar quadrant_polar(double dif_X, double dif_Y) {
    const double hipo = std::sqrt(
        static_cast<double>(static_cast<ld>(dif_X) * dif_X + static_cast<ld>(dif_Y) * dif_Y));
    const double tang = static_cast<double>(static_cast<ld>(dif_Y) / dif_X);
    const double rad_ang = std::atan(tang);
    return {hipo, static_cast<double>(static_cast<ld>(rad_ang) * api)};
}

Offset anticlockwise_offset(double dif_X, double dif_Y, double despl_ang) {
    if (dif_Y == 0 && dif_X > 0) return rotated_offset(dif_X, despl_ang);
    if (dif_X > 0 && dif_Y > 0) {
        const Polar p = quadrant_polar(dif_X, dif_Y);
        const double new_ang = sum(p.ang, despl_ang);
        if (new_ang == 90) return {0.0, p.hipo};
        return rotated_offset(p.hipo, new_ang);
    }
    if (dif_X == 0 && dif_Y > 0) return rotated_offset(dif_Y, sum(90.0, despl_ang));
    if (dif_X < 0 && dif_Y > 0) {
        const Polar p = quadrant_polar(dif_X, dif_Y);
        const double new_ang = sum(sum(180.0, p.ang), despl_ang);
        if (new_ang == 180) return {-p.hipo, 0.0};
        // Above and below 180 alike (at or below 90 only a rounding error away from the axis).
        return rotated_offset(p.hipo, new_ang);
    }
    if (dif_Y == 0 && dif_X < 0) return rotated_offset(std::fabs(dif_X), sum(180.0, despl_ang));
    if (dif_X < 0 && dif_Y < 0) {
        const Polar p = quadrant_polar(dif_X, dif_Y);
        double new_ang = sum(sum(180.0, p.ang), despl_ang);
        if (new_ang == 270) return {0.0, -p.hipo};
        // Angles above 90 carry third-quadrant cells to 360 and beyond; they are placed as the
        // fourth quadrant places the same angle rather than lost.
        if (new_ang == 360) return {p.hipo, 0.0};
        if (new_ang > 360) new_ang = static_cast<double>(static_cast<ld>(new_ang) - 360.0L);
        return rotated_offset(p.hipo, new_ang);
    }
    if (dif_X == 0 && dif_Y < 0) return rotated_offset(std::fabs(dif_Y), sum(270.0, despl_ang));
    if (dif_X > 0 && dif_Y < 0) {
        const Polar p = quadrant_polar(dif_X, dif_Y);
        double new_ang = sum(sum(360.0, p.ang), despl_ang);
        if (new_ang == 360) return {p.hipo, 0.0};
        if (new_ang > 360) new_ang = static_cast<double>(static_cast<ld>(new_ang) - 360.0L);
        return rotated_offset(p.hipo, new_ang);
    }
    return {0.0, 0.0};  // the reference cell keeps its own place
}

Offset clockwise_offset(double dif_X, double dif_Y, double despl_ang) {
    if (dif_X > 0 && dif_Y == 0) return rotated_offset(dif_X, sum(360.0, despl_ang));
    if (dif_X > 0 && dif_Y < 0) {
        const Polar p = quadrant_polar(dif_X, dif_Y);
        const double new_ang = sum(sum(360.0, p.ang), despl_ang);
        if (new_ang == 270) return {0.0, -p.hipo};
        return rotated_offset(p.hipo, new_ang);
    }
    if (dif_X == 0 && dif_Y < 0) return rotated_offset(-dif_Y, sum(270.0, despl_ang));
    if (dif_X < 0 && dif_Y < 0) {
        const Polar p = quadrant_polar(dif_X, dif_Y);
        const double new_ang = sum(sum(180.0, p.ang), despl_ang);
        if (new_ang == 180) return {-p.hipo, 0.0};
        return rotated_offset(p.hipo, new_ang);
    }
    if (dif_X < 0 && dif_Y == 0) return rotated_offset(-dif_X, sum(180.0, despl_ang));
    if (dif_X < 0 && dif_Y > 0) {
        const Polar p = quadrant_polar(dif_X, dif_Y);
        const double new_ang = sum(sum(180.0, p.ang), despl_ang);
        if (new_ang == 180) return {-p.hipo, 0.0};
        return rotated_offset(p.hipo, new_ang);
    }
    if (dif_X == 0 && dif_Y > 0) return rotated_offset(dif_Y, sum(90.0, despl_ang));
    if (dif_X > 0 && dif_Y > 0) {
        const Polar p = quadrant_polar(dif_X, dif_Y);
        const double new_ang = sum(p.ang, despl_ang);
        if (new_ang == 0) return {p.hipo, 0.0};
        if (new_ang < 0) return rotated_offset(p.hipo, static_cast<double>(360.0L + new_ang));
        return rotated_offset(p.hipo, new_ang);
    }
    return {0.0, 0.0};  // the reference cell keeps its own place
}

std::optional<int32_t> index_of(double position, int32_t offset, int32_t size) {
    // Exact: a double plus one half plus a 32-bit integer fits a 64-bit significand.
    const ld w = static_cast<ld>(position) + 0.5L + static_cast<ld>(offset);
    if (!(w > -1.0L && w < static_cast<ld>(size))) return std::nullopt;
    return static_cast<int32_t>(w);
}

}  // namespace

RotatedPosition rotated_position(int32_t i, int32_t j, int32_t nb_lig,
                                 const RotationParameters& p) {
    const double X = j;
    const double Y = nb_lig - 1 - i;
    const double dif_X = static_cast<double>(static_cast<ld>(X) - p.X1);
    const double dif_Y = static_cast<double>(static_cast<ld>(Y) - p.Y1);
    Offset offset{0.0, 0.0};
    if (p.despl_ang > 0) {
        offset = anticlockwise_offset(dif_X, dif_Y, p.despl_ang);
    } else if (p.despl_ang < 0) {
        offset = clockwise_offset(dif_X, dif_Y, p.despl_ang);
    } else {
        return {X, Y};
    }
    return {sum(p.X1, offset.x), sum(p.Y1, offset.y)};
}

std::optional<CellIndex> target_cell(RotatedPosition position, int32_t nb_lig, int32_t nb_col,
                                     OutputFrame frame) {
    const auto line = index_of(position.new_Y, frame.bottom, nb_lig);
    const auto col = index_of(position.new_X, frame.left, nb_col);
    if (!line || !col) return std::nullopt;
    return CellIndex{nb_lig - 1 - *line, *col};
}

bool angle_accepted(double despl_ang) {
    return std::fabs(std::trunc(despl_ang)) <= 180.0;
}

}  // namespace terrapivoter
