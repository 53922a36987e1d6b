#include "app/command_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/failure.h"
#include "formats/number_text.h"
#include "job/job.h"

namespace terrapivoter {

namespace {

constexpr const char* kHelp =
    "Usage: terrapivoter [OPTIONS] INPUT OUTPUT\n"
    "Turn the elevation model INPUT about a reference point by an angle in degrees (positive:\n"
    "anticlockwise) and write the turned grid to OUTPUT. Without arguments, terrapivoter asks\n"
    "its questions instead (the interactive dialogue).\n"
    "\n"
    "INPUT and OUTPUT are paths; their names give the form: NAME.asc is an ASCII grid,\n"
    "NAME_m4.txt or NAME_m4.raw a raster pair (both of its files), NAME.tif a GeoTIFF; any\n"
    "other INPUT is read through GDAL (HFA .img, netCDF, SRTM .hgt, VRT, ...), and any other\n"
    "OUTPUT is written by the GDAL driver of its suffix (.img, .nc, .gpkg, ...) or of --of.\n"
    "\n"
    "Options:\n"
    "  -a, --angle DEGREES             the angle, anticlockwise when positive (whole part at most "
    "180)\n"
    "  -p, --pivot centre|LINE,COLUMN  the reference point: the centre, or a line (0: bottom) and "
    "column\n"
    "      --pivot-xy X,Y              the reference point in map coordinates\n"
    "  -u, --unit m|dm|cm|mm           the unit of a raster pair input's values (required for "
    "one)\n"
    "      --corner X,Y                the lower-left corner of a raster pair input\n"
    "  -f, --format raster|ascii       the output's form, whatever its name\n"
    "  -b, --band N                    a band of a GDAL input (repeatable; default: all)\n"
    "      --of DRIVER                 the GDAL driver (short name) that writes the output\n"
    "      --co NAME=VALUE             a creation option of that driver (repeatable)\n"
    "      --config KEY VALUE          a GDAL configuration option (repeatable)\n"
    "      --ot TYPE                   a GDAL output's data type (default: the input band's, or "
    "Float64)\n"
    "      --georef keep|rotated       a GDAL output in the input's frame, or turned back over the "
    "ground\n"
    "      --extent input|full         keep the input's size and corner, or grow until no cell is "
    "lost\n"
    "      --background min|nodata|VALUE  what uncovered cells receive (default: the smallest "
    "value)\n"
    "      --nodata VALUE              cells holding VALUE are no-data (default: the input's own)\n"
    "      --dst-nodata VALUE          the output's no-data value (default: the input's)\n"
    "  -j, --threads N                 threads to use (default: every core; same output for any "
    "N)\n"
    "      --memory SIZE               memory the run may hold (256M, 4G; default: 3/4 of the "
    "machine's)\n"
    "  -q, --quiet                     no progress line\n"
    "  -h, --help                      show this help and exit\n"
    "  -V, --version                   show the version and exit\n"
    "\n"
    "--angle is required. Defaults: --pivot centre, --extent input, --background min.\n"
    "VALUE is in the input's stored units (a raster pair's integers).\n"
    "Exit status: 0 written, 1 the run failed (nothing written), 2 a usage error.\n"
    "\n"
    "Examples:\n"
    "  terrapivoter --angle 30 site.tif site_r.tif\n"
    "  terrapivoter -a -17.5 -u cm --corner 500000,4000000 --pivot-xy 500250,4000400 \\\n"
    "      --extent full --background nodata --nodata -9999 dem_m4.txt turned.asc\n";

// The options as typed; empty where not given. CLI11 gathers them; options_of reads each once.
struct Arguments {
    std::vector<std::string> paths;
    std::string angle;
    std::string pivot;
    std::string pivot_xy;
    std::string unit;
    std::string corner;
    std::string format;
    std::string extent;
    std::string background;
    std::string nodata;
    std::string threads;
    bool quiet = false;
    std::vector<std::string> bands;
    std::string driver;
    std::vector<std::string> creation_options;
    std::vector<std::string> config;  // KEY, VALUE, KEY, VALUE, ...
    std::string type;
    std::string dst_nodata;
    std::string georef;
    std::string memory;
};

double number_of(const std::string& option, const std::string& text) {
    if (auto v = parse_real_token(text)) return *v;
    throw UsageError(option + ": " + terrapivoter::quoted(text) + " is not a finite number");
}

// A no-data value: a number, or, as GDAL's utilities take them, "nan", "inf" or "-inf".
double nodata_of(const std::string& option, const std::string& text) {
    if (text.find(',') == std::string::npos) {
        if (auto v = parse_grid_token(text)) return *v;
    }
    throw UsageError(option + ": " + terrapivoter::quoted(text) + " is not a number, nan or inf");
}

struct Pair {
    double first;
    double second;
};

// "A,B", two numbers.
Pair pair_of(const std::string& option, const std::string& text, const char* shape) {
    const std::size_t comma = text.find(',');
    if (comma == std::string::npos || text.find(',', comma + 1) != std::string::npos) {
        throw UsageError(option + ": " + terrapivoter::quoted(text) + " is not " + shape);
    }
    return {number_of(option, text.substr(0, comma)), number_of(option, text.substr(comma + 1))};
}

// "256M", "2G", "512k", "1048576": bytes, with an optional binary multiple (K, M, G, T, in
// either case, and an optional B after it).
std::optional<int64_t> memory_size(std::string text) {
    if (!text.empty() && (text.back() == 'B' || text.back() == 'b')) text.pop_back();
    int shift = 0;
    if (!text.empty()) {
        const char unit = static_cast<char>(text.back() | 0x20);
        const std::string units = "kmgt";
        if (const auto at = units.find(unit); at != std::string::npos) {
            shift = 10 * static_cast<int>(at + 1);
            text.pop_back();
        }
    }
    const auto number = parse_real_token(text);
    if (!number || *number <= 0 || *number * std::ldexp(1.0, shift) > 9e18) return std::nullopt;
    return static_cast<int64_t>(*number * std::ldexp(1.0, shift));
}

double unit_coefficient(const std::string& unit) {
    const std::pair<const char*, double> units[] = {
        {"m", 1.0}, {"dm", 10.0}, {"cm", 100.0}, {"mm", 1000.0}};
    for (const auto& [name, coef] : units) {
        if (unit == name) return coef;
    }
    throw UsageError("--unit: " + terrapivoter::quoted(unit) + " is none of m, dm, cm, mm");
}

Pivot pivot_of(const Arguments& a) {
    if (!a.pivot.empty() && !a.pivot_xy.empty()) {
        throw UsageError("--pivot and --pivot-xy both give the reference point; give one");
    }
    if (!a.pivot_xy.empty()) {
        const Pair xy = pair_of("--pivot-xy", a.pivot_xy, "X,Y");
        return {Pivot::Kind::map, xy.first, xy.second};
    }
    if (a.pivot.empty() || a.pivot == "centre" || a.pivot == "center") return {};
    const Pair line_column = pair_of("--pivot", a.pivot, "centre or LINE,COLUMN");
    return {Pivot::Kind::line_column, line_column.first, line_column.second};
}

// The job the arguments describe, every value read once into its type.
Job job_of(const Arguments& a) {
    if (a.paths.size() < 2) {
        throw UsageError(a.paths.empty() ? "INPUT and OUTPUT are missing" : "OUTPUT is missing");
    }
    if (a.paths.size() > 2) {
        throw UsageError("one INPUT and one OUTPUT, not " + std::to_string(a.paths.size()) +
                         " paths");
    }
    Job job{a.paths[0], a.paths[1], {}};
    JobOptions& o = job.options;
    if (!a.angle.empty()) o.angle = number_of("--angle", a.angle);
    o.pivot = pivot_of(a);
    if (!a.unit.empty()) o.unit = unit_coefficient(a.unit);
    if (!a.corner.empty()) {
        const Pair xy = pair_of("--corner", a.corner, "X,Y");
        o.corner = JobOptions::Corner{xy.first, xy.second};
    }
    if (a.format == "ascii") {
        o.format = GridForm::ascii_grid;
    } else if (a.format == "raster") {
        o.format = GridForm::raster_pair;
    } else if (!a.format.empty()) {
        throw UsageError("--format: " + terrapivoter::quoted(a.format) +
                         " is neither raster nor ascii");
    }
    if (a.extent == "full") {
        o.extent = Extent::full;
    } else if (!a.extent.empty() && a.extent != "input") {
        throw UsageError("--extent: " + terrapivoter::quoted(a.extent) +
                         " is neither input nor full");
    }
    if (a.background == "nodata") {
        o.background = Background::Kind::nodata;
    } else if (!a.background.empty() && a.background != "min") {
        o.background = Background::Kind::given;
        o.background_value = number_of("--background", a.background);
    }
    if (!a.nodata.empty()) o.nodata = nodata_of("--nodata", a.nodata);
    if (!a.dst_nodata.empty()) o.dst_nodata = nodata_of("--dst-nodata", a.dst_nodata);
    if (!a.threads.empty()) {
        const auto n = parse_int32_token(a.threads);
        if (!n || *n < 1)
            throw UsageError("--threads: " + terrapivoter::quoted(a.threads) + " is not a count");
        o.threads = static_cast<unsigned>(*n);
    }
    o.quiet = a.quiet;
    for (const std::string& band : a.bands) {
        const auto n = parse_int32_token(band);
        if (!n || *n < 1)
            throw UsageError("--band: " + terrapivoter::quoted(band) + " is not a band number");
        o.bands.push_back(*n);
    }
    o.driver = a.driver;
    for (const std::string& option : a.creation_options) {
        if (option.find('=') == std::string::npos || option.front() == '=') {
            throw UsageError("--co: " + terrapivoter::quoted(option) + " is not NAME=VALUE");
        }
    }
    o.creation_options = a.creation_options;
    for (std::size_t k = 0; k + 1 < a.config.size(); k += 2)
        o.config.emplace_back(a.config[k], a.config[k + 1]);
    o.type = a.type;
    if (a.georef == "rotated") {
        o.rotated_georef = true;
    } else if (!a.georef.empty() && a.georef != "keep") {
        throw UsageError("--georef: " + terrapivoter::quoted(a.georef) +
                         " is neither keep nor rotated");
    }
    if (!a.memory.empty()) {
        o.memory = memory_size(a.memory);
        if (!o.memory) {
            throw UsageError("--memory: " + terrapivoter::quoted(a.memory) +
                             " is not a size (bytes, or a number with K, M, G or T)");
        }
    }
    return job;
}

void add_options(CLI::App& app, Arguments& a) {
    app.add_option("paths", a.paths);
    app.add_option("-a,--angle", a.angle);
    app.add_option("-p,--pivot", a.pivot);
    app.add_option("--pivot-xy", a.pivot_xy);
    app.add_option("-u,--unit", a.unit);
    app.add_option("--corner", a.corner);
    app.add_option("-f,--format", a.format);
    app.add_option("--extent", a.extent);
    app.add_option("--background", a.background);
    app.add_option("--nodata", a.nodata);
    app.add_option("--dst-nodata", a.dst_nodata);
    app.add_option("-j,--threads", a.threads);
    app.add_flag("-q,--quiet", a.quiet);
    app.add_option("-b,--band", a.bands)->allow_extra_args(false);
    app.add_option("--of", a.driver);
    app.add_option("--co", a.creation_options)->allow_extra_args(false);
    app.add_option("--config", a.config)->expected(2)->allow_extra_args(false);
    app.add_option("--ot", a.type);
    app.add_option("--georef", a.georef);
    app.add_option("--memory", a.memory);
}

int usage_error(const std::string& what) {
    std::fprintf(stderr, "terrapivoter: %s\nTry 'terrapivoter --help'.\n", what.c_str());
    return 2;
}

}  // namespace

int run_command_line(int argc, char** argv, StageLog* stages) {
    CLI::App app;
    app.set_help_flag();
    bool help = false;
    bool version = false;
    Arguments a;
    add_options(app, a);
    app.add_flag("-h,--help", help);
    app.add_flag("-V,--version", version);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return usage_error(e.what());
    }
    if (help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (version) {
        std::puts("terrapivoter " TERRAPIVOTER_VERSION);
        return 0;
    }
    try {
        run_job(job_of(a), stages);
        return 0;
    } catch (const UsageError& e) {
        return usage_error(e.what());
    } catch (const Failure& failure) {
        std::fprintf(stderr, "terrapivoter: %s\n", failure.what());
    } catch (const std::bad_alloc&) {
        std::fputs("terrapivoter: not enough memory\n", stderr);
    }
    return 1;
}

}  // namespace terrapivoter
