#include "formats/raster_rounding.h"

#include <bit>
#include <cmath>

#include "base/cpu_dispatch.h"

namespace terrapivoter {

namespace {

// Rounded half away from zero. Some C libraries' roundl (mingw-w64's) adds a half and takes the
// floor, which carries 0.5 - 2^-65 up to 1; the fraction left by truncation is exact.
long double round_half_away(long double x) {
    const long double whole = std::truncl(x);
    if (std::fabs(x - whole) >= 0.5L) return x < 0 ? whole - 1.0L : whole + 1.0L;
    return whole;
}

}  // namespace

int32_t raster_value(double value, double coef, bool& clamped) {
    const long double r = round_half_away(static_cast<long double>(value) * coef);
    if (r >= 2147483647.0L) {
        clamped = r > 2147483647.0L;
        return INT32_MAX;
    }
    if (r <= -2147483648.0L) {
        clamped = r < -2147483648.0L;
        return INT32_MIN;
    }
    if (r != r) {
        clamped = true;
        return 0;
    }
    clamped = false;
    return static_cast<int32_t>(r);
}

namespace {

// Products below this (in magnitude) and factors below 2^995 are rounded exactly in double
// arithmetic; anything else (beyond 32 bits, not a number) goes through raster_value.
constexpr double kFastLimit = 2147483646.0;
constexpr double kSplitLimit = 0x1p995;

// Whether convert_row_fast rounds value x coef itself: a product within 32 bits, factors that
// split.
inline bool converts_fast(double value, double coef) {
    return (std::fabs(value * coef) < kFastLimit) & (std::fabs(value) < kSplitLimit) &
           (std::fabs(coef) < kSplitLimit);
}

// Veltkamp's split of x into a high part of 26 significant bits and the exact rest, so that the
// products of two such parts are exact. Needs |x| below 2^995 (and no fused multiply-add, which
// the build forbids).
struct Split {
    double high;
    double low;
};
inline Split split(double x) {
    const double t = 134217729.0 * x;  // 2^27 + 1
    const double high = t - (t - x);
    return {high, x - high};
}

// raster_value for a row, in double arithmetic that vectorises. The double product p of value and
// coef is within half an ulp of the exact one P, so both round alike unless p is exactly a
// half-integer h; then P's 64-bit rounding (what raster_value rounds) reaches h, and so rounds
// away from zero, exactly when P lies no further than half a 64-bit spacing below h: 2^(e-64),
// e the exponent of h (2^-66 below 0.5, where the spacing halves). Dekker's product gives P - p
// exactly. Empty cells take `background`. Returns how many values it could not convert: those
// need raster_value.
TERRAPIVOTER_CLONES
int32_t convert_row_fast(const double* values, int32_t* row, int32_t count, double coef,
                         double background) {
    const Split c = split(coef);
    int32_t unconverted = 0;
    // Selections are made with masks rather than branches, so that the loop vectorises.
    constexpr uint64_t kSign = 0x8000000000000000u;
    for (int32_t j = 0; j < count; ++j) {
        const double value = is_empty(values[j]) ? background : values[j];
        const double product = value * coef;
        const double magnitude = std::fabs(product);
        const bool fast = converts_fast(value, coef);
        const double bounded = std::bit_cast<double>(std::bit_cast<uint64_t>(magnitude) &
                                                     (uint64_t{0} - uint64_t{fast}));
        const auto whole = static_cast<int32_t>(bounded);
        const double fraction = bounded - static_cast<double>(whole);

        const Split v = split(value);
        const double error =
            ((v.high * c.high - product) + v.high * c.low + v.low * c.high) + v.low * c.low;
        const uint64_t sign = std::bit_cast<uint64_t>(product) & kSign;
        const double beyond =
            std::bit_cast<double>(std::bit_cast<uint64_t>(error) ^ sign);  // |P|-|p|
        const uint64_t exponent = std::bit_cast<uint64_t>(bounded) & 0x7ff0000000000000u;
        const double allowance =
            std::bit_cast<double>(exponent - ((uint64_t{64} + uint64_t{whole == 0}) << 52));
        const int32_t up =
            int32_t{fraction > 0.5} | (int32_t{fraction == 0.5} & int32_t{beyond >= -allowance});

        const int32_t rounded = whole + up;
        const int32_t negative = -static_cast<int32_t>(sign >> 63);
        row[j] = (rounded ^ negative) - negative;
        unconverted += 1 - int32_t{fast};
    }
    return unconverted;
}

}  // namespace

int64_t detail::convert_row_reference(const double* values, int32_t* row, int32_t count,
                                      double coef, double background) {
    int64_t clamped_cells = 0;
    for (int32_t j = 0; j < count; ++j) {
        bool clamped;
        row[j] = raster_value(is_empty(values[j]) ? background : values[j], coef, clamped);
        clamped_cells += clamped ? 1 : 0;
    }
    return clamped_cells;
}

int64_t detail::convert_row(const double* values, int32_t* row, int32_t count, double coef,
                            double background) {
    if (convert_row_fast(values, row, count, coef, background) == 0) return 0;
    // Values beyond 32 bits (clamped) or not numbers: rare, converted again one by one.
    int64_t clamped_cells = 0;
    for (int32_t j = 0; j < count; ++j) {
        const double value = is_empty(values[j]) ? background : values[j];
        if (converts_fast(value, coef)) continue;
        bool clamped;
        row[j] = raster_value(value, coef, clamped);
        clamped_cells += clamped ? 1 : 0;
    }
    return clamped_cells;
}

}  // namespace terrapivoter
