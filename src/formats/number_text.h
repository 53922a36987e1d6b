// Numbers as text: strict whole-token parsing and exact fixed-point formatting.
//
// Every value that reaches a grid or the dialogue goes through these, so their results are
// pinned to the C library's: parse_real_token gives exactly what strtod gives, and
// format_fixed6 writes exactly what printf("%lf") writes, only faster.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/tokens.h"

namespace terrapivoter {

// An optional '+' or '-' followed by decimal digits, the whole token, within 32 bits.
std::optional<int32_t> parse_int32_token(std::string_view token);

// The whole token read by strtod as a finite value ("+5", ".5", "1e3", "0x1p4" are numbers;
// "nan", "inf", "1e999", "12abc", "1,5" are not). Leading white space is not allowed.
std::optional<double> parse_real_token(std::string_view token);

// Reads the token that starts at p (not at a blank) and ends at the next blank or at `end`,
// leaving p after it. True, with `value`, when parse_real_token would accept the token.
bool read_real(const char*& p, const char* end, double& value);

// A value of an ASCII grid, read as GDAL reads one: what parse_real_token takes; a not-a-number,
// "nan" in any case with an optional sign (the C library's quiet NaN, whatever the sign); an
// infinity, "inf" or "infinity" in any case with an optional sign (GDAL writes a band's -inf
// no-data value so, and so does the tool); or a number written with a decimal comma in place of
// the point, as some localised exporters do ("0,5E+02" is 50). Anything else is refused.
std::optional<double> parse_grid_token(std::string_view token);

// read_real for the values of an ASCII grid: true, with `value`, when parse_grid_token would
// accept the token.
bool read_grid_value(const char*& p, const char* end, double& value);

// Longest text format_fixed6 can produce: sign, 309 integer digits, point, six decimals.
inline constexpr int kMaxFixed6Length = 1 + 309 + 1 + 6;

// Writes v as printf's "%lf" would (fixed point, six decimals, round half to even on exact
// ties, "-" for any negative value including -0.0, but "nan" for every NaN) into out, which has
// room for kMaxFixed6Length characters; returns the end of the text. No terminating NUL is written,
// and the bytes after the text, within that room, may be overwritten.
char* format_fixed6(double v, char* out);

// A header real: "%lf" when that text reads back as the same double, otherwise "%.*g" with the
// smallest precision from 1 to 17 that reads back exactly, so a georeference in degrees is not
// cut to six decimals; "nan" for a NaN.
std::string format_header_real(double v);

}  // namespace terrapivoter
