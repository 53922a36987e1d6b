// A turn of one grid into another, described in full: what every way in (the command line, the
// Python package, the QGIS tool) fills and hands to run_job. The options are held as the types
// they are, each with its default, as GDAL's GDALWarpAppOptions holds gdalwarp's; option names
// in messages are the command line's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/work.h"
#include "job/input_band.h"
#include "job/treatment.h"

namespace terrapivoter {

class StageLog;

// The reference point.
struct Pivot {
    enum class Kind {
        centre,       // the middle of the grid's extent: column (columns - 1) / 2, line
                      // (lines - 1) / 2 (the dialogue's centre is half the counts)
        line_column,  // `first` a line (0: the bottom row), `second` a column (0: the left one)
        map,          // `first` and `second` map coordinates X and Y
    };
    Kind kind = Kind::centre;
    double first = 0.0;
    double second = 0.0;
};

struct JobOptions {
    // The turn.
    std::optional<double> angle;  // degrees, anticlockwise when positive: required
    Pivot pivot;                  // the centre
    Extent extent = Extent::input;
    Resampling resampling = Resampling::forward;
    // The no-data value where the input has one (as gdalwarp leaves the source's no-data),
    // otherwise the smallest value.
    std::optional<Background::Kind> background;
    double background_value = 0.0;  // with Background::Kind::given, in the input's stored units
    bool rotated_georef = false;    // a GDAL output in the input's frame

    // The input.
    std::optional<double> unit;  // a raster pair's stored units a metre (1, 10, 100, 1000)
    struct Corner {
        double x;
        double y;
    };
    std::optional<Corner> corner;  // a raster pair's lower-left corner
    std::vector<int> bands;        // a GDAL input's, from 1: every band (a GDAL output)
    std::optional<double> nodata;  // in the input's stored units: the input's own no-data value

    // The output.
    std::optional<GridForm> format;             // as its name says
    std::string driver;                         // a GDAL output's driver: the one of its suffix
    std::vector<std::string> creation_options;  // NAME=VALUE, after the defaults
    std::string type;                           // a GDAL output's type, in any case: the input's
    std::optional<double> dst_nodata;           // as the output stores it: the input's
    std::vector<std::pair<std::string, std::string>> config;  // GDAL's, for this run

    // The work.
    std::optional<unsigned> threads;  // every core
    bool quiet = false;               // a progress line on a terminal
    std::optional<int64_t> memory;    // bytes: three quarters of the machine's
};

struct Job {
    std::string input;   // a path, as typed
    std::string output;  // a path, as typed
    JobOptions options;
};

// Runs the job: checks that its options fit the forms its paths name (UsageError otherwise,
// before anything is read or written), creates the output's files, turns each band of the input
// into the output and gives the files their names together. Failure on any error, with nothing
// written. With `stages`, each stage's time is logged there (a benchmark's).
// With `watch`, the caller sees each step's progress and may stop the job (Cancelled).
void run_job(const Job& job, StageLog* stages = nullptr, JobWatch* watch = nullptr);

}  // namespace terrapivoter
