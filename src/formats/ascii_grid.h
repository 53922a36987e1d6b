// The ASCII grid (".asc"): a header of keyword and value pairs, then the values row by row,
// row 0 (the top of the terrain) first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/file_name.h"
#include "base/grid.h"
#include "base/grid_source.h"
#include "base/work.h"

namespace terrapivoter {

class OutputFile;
class Progress;

inline constexpr const char* kAsciiSuffix = ".asc";

struct AsciiHeader {
    int32_t nb_col = 0;
    int32_t nb_lig = 0;
    double X_min = 0.0;  // lower-left corner, centre keywords already turned into the corner
    double Y_min = 0.0;
    double dsize_pix = 0.0;
    std::optional<double> nodata;
};

struct ParsedHeader {
    AsciiHeader header;
    std::size_t data_start = 0;  // offset of the first value in the text
};

// Reads the header by keyword (case-insensitive, any order): ncols, nrows, xllcorner or
// xllcenter, yllcorner or yllcenter, cellsize (or equal dx and dy), and an optional
// nodata_value, which may be "nan". Numbers are read as GDAL reads them (parse_grid_token; a
// count may be written "24.0"). The header ends at the first token that is not one of them.
// Fails naming `displayed` on a missing, repeated or unreadable entry, on cells that are not
// square, or on a grid without rows or columns.
ParsedHeader parse_ascii_header(std::string_view text, const std::string& displayed);

// Reads exactly grid.nb_lig x grid.nb_col values (parse_grid_token: finite numbers, "nan",
// decimal commas) from text[data_start...] into `grid`, on up to `work.threads` threads. Fails
// naming the row and column of the first missing or unreadable value; warns about extra
// values.
void parse_ascii_values(std::string_view text, std::size_t data_start, DoubleGrid grid,
                        const std::string& displayed, const Work& work = {},
                        Progress* progress = nullptr);

// The same, word by word with strtod.
void parse_ascii_values_reference(std::string_view text, std::size_t data_start, DoubleGrid grid,
                                  const std::string& displayed);

struct AsciiInput {
    AsciiHeader header;
    Matrix<double> values;
};

// Opens `file` (MissingInputFile when it cannot be opened), reads the header, checks
// that the file can hold the announced grid, and only then allocates and reads the values. The
// file is mapped rather than copied where the system allows.
AsciiInput read_ascii_grid(const FileName& file, const Work& work = {});

// The same, the file read into memory and its values parsed by strtod.
AsciiInput read_ascii_grid_reference(const FileName& file);

// The same for the whole content of a file already in memory.
AsciiInput parse_ascii_grid(std::string_view text, const std::string& displayed_path,
                            const Work& work = {});
AsciiInput parse_ascii_grid_reference(std::string_view text, const std::string& displayed_path);

// The header alone, read from the start of the file: enough to decide whether the grid fits in
// memory.
AsciiHeader peek_ascii_grid(const FileName& file);

// An ASCII grid too large for memory: its header, a source over a scratch copy of its values as
// doubles (made next to `scratch_beside`, a host path), and the extremes of its values (NaN
// aside; 0 and 0 when there are none). The values and the messages are those of
// parse_ascii_values_reference; the text is read a piece at a time, never whole.
struct AsciiInPlace {
    AsciiHeader header;
    std::unique_ptr<GridSource> source;
    double smallest = 0.0;
    double largest = 0.0;
};
AsciiInPlace read_ascii_grid_to_scratch(const FileName& file, const std::string& scratch_beside);

// Whether a coordinate system written as WKT (ESRI's in a ".prj", GDAL's, WKT2) is geographic:
// its outermost keyword, GEOGCS, GEOGCRS or GEODCRS (a geocentric GEOCCS is not).
bool crs_is_geographic(std::string_view wkt);

// The ".prj" that GDAL reads beside an ASCII grid: its name with the suffix ".prj".
FileName prj_beside(const FileName& ascii_grid);

// The text of a small file that goes with a grid (the ".prj" beside an ASCII grid, which holds
// its coordinate system), or nothing when there is no such file.
std::optional<std::string> read_companion(const FileName& file);

// "ncols", "nrows", "xllcorner", "yllcorner", "cellsize" and "nodata_value" lines. The no-data
// line carries `nodata` when given, else the fixed "-9999.9999".
std::string format_ascii_header(const AsciiHeader& header);

// What goes between the header and the values: nothing, or, before a first value written as a
// word ("nan", "inf"), a blank. GDAL's reader takes the values to start on the first line that
// does not start with a letter (its own writer sets every value off by a blank).
const char* ascii_values_lead(double first_value);

// Every value as "%lf\t", all on one line, without a final line feed, formatted on up to
// `work.threads` threads while the previous block of rows is written. Rows are counted on
// `progress` when given, otherwise on a progress line of its own.
void write_ascii_values(DoubleGrid grid, OutputFile& out, const Work& work = {},
                        Progress* progress = nullptr);

// The same with fprintf.
void write_ascii_values_reference(DoubleGrid grid, OutputFile& out);

}  // namespace terrapivoter
