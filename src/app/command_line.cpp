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

#include "app/engine.h"
#include "app/pipeline.h"
#include "base/failure.h"
#include "base/stage_log.h"
#include "formats/gdal_raster.h"
#include "formats/number_text.h"
#include "io/memory_budget.h"

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

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The options as typed; empty where not given.
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
    throw UsageError(option + ": " + ::quoted(text) + " is not a finite number");
}

// A no-data value: a number, or, as GDAL's utilities take them, "nan", "inf" or "-inf".
double nodata_of(const std::string& option, const std::string& text) {
    if (text.find(',') == std::string::npos) {
        if (auto v = parse_grid_token(text)) return *v;
    }
    throw UsageError(option + ": " + ::quoted(text) + " is not a number, nan or inf");
}

// A number as short as it reads back: "-32768", "0.1".
std::string shortest_text(double v) {
    char text[32];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, v);
        if (std::strtod(text, nullptr) == v) break;
    }
    return text;
}

struct Pair {
    double first;
    double second;
};

// "A,B", two numbers.
Pair pair_of(const std::string& option, const std::string& text, const char* shape) {
    const std::size_t comma = text.find(',');
    if (comma == std::string::npos || text.find(',', comma + 1) != std::string::npos) {
        throw UsageError(option + ": " + ::quoted(text) + " is not " + shape);
    }
    return {number_of(option, text.substr(0, comma)), number_of(option, text.substr(comma + 1))};
}

bool ends_with(const std::string& text, const std::string& end, bool any_case) {
    if (text.size() < end.size()) return false;
    return std::equal(end.begin(), end.end(), text.end() - static_cast<std::ptrdiff_t>(end.size()),
                      [any_case](char a, char b) {
                          auto lower = [](char c) {
                              return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
                          };
                          return any_case ? lower(a) == lower(b) : a == b;
                      });
}

struct GridName {
    GridForm form;
    std::string name;    // the ASCII grid or GDAL raster itself, or a raster pair's base name
    std::string driver;  // a GDAL output's driver
};

// The native form a path names: NAME.asc, NAME_m4.txt or NAME_m4.raw.
std::optional<GridName> native_name(const std::string& path) {
    if (ends_with(path, kAsciiSuffix, true)) return GridName{GridForm::ascii_grid, path, ""};
    for (const char* suffix : {kRasterDescriptorSuffix, kRasterDataSuffix}) {
        if (ends_with(path, suffix, false)) {
            return GridName{GridForm::raster_pair,
                            path.substr(0, path.size() - std::string(suffix).size()), ""};
        }
    }
    return std::nullopt;
}

constexpr const char* kNativeForms =
    "NAME.asc (an ASCII grid) or NAME_m4.txt / NAME_m4.raw (a raster pair)";

GridName input_name(const std::string& path) {
    if (auto named = native_name(path)) return *named;
    if (gdal_available()) return {GridForm::gdal, path, ""};
    throw UsageError("INPUT " + ::quoted(path) + ": this terrapivoter was built without GDAL " +
                     "(TERRAPIVOTER_GDAL=OFF) and knows only " + kNativeForms);
}

GridName output_name(const Arguments& a) {
    const std::string& path = a.paths[1];
    const std::optional<GridName> named = native_name(path);
    if (!a.format.empty() && !a.driver.empty()) {
        throw UsageError("--format and --of both choose the output's form; give one");
    }
    if (!a.driver.empty()) {
        const std::string problem = gdal_driver_problem(a.driver);
        if (!problem.empty()) throw UsageError("--of: " + problem);
        return {GridForm::gdal, path, a.driver};
    }
    if (a.format == "ascii") return {GridForm::ascii_grid, path, ""};
    if (a.format == "raster") {
        const bool raster = named && named->form == GridForm::raster_pair;
        return {GridForm::raster_pair, raster ? named->name : path, ""};
    }
    if (!a.format.empty()) {
        throw UsageError("--format: " + ::quoted(a.format) + " is neither raster nor ascii");
    }
    if (named) return *named;
    if (ends_with(path, ".tif", true) || ends_with(path, ".tiff", true)) {
        const std::string problem = gdal_driver_problem("GTiff");
        if (!problem.empty()) throw UsageError("OUTPUT " + ::quoted(path) + ": " + problem);
        return {GridForm::gdal, path, "GTiff"};
    }
    // Any other suffix names the GDAL driver that writes it, as for gdal_translate.
    const std::vector<std::string> drivers =
        gdal_available() ? gdal_drivers_for(path) : std::vector<std::string>{};
    if (drivers.empty()) {
        throw UsageError("OUTPUT " + ::quoted(path) + ": the form is not known; name " +
                         kNativeForms +
                         ", NAME.tif (a GeoTIFF) or a name whose suffix a GDAL driver writes, or "
                         "give the GDAL driver with --of");
    }
    if (drivers.size() > 1) {
        std::string others;
        for (std::size_t k = 1; k < drivers.size(); ++k)
            others += (k > 1 ? ", " : "") + drivers[k];
        warn("OUTPUT " + ::quoted(path) + ": GDAL's " + drivers[0] + " driver writes it, as " +
             "gdal_translate would choose; " + others + " also write" +
             (drivers.size() == 2 ? "s" : "") + " that suffix (choose with --of)");
    }
    return {GridForm::gdal, path, drivers[0]};
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
    throw UsageError("--unit: " + ::quoted(unit) + " is none of m, dm, cm, mm");
}

// How a value in the input's stored units becomes a working value: divided by a raster pair's
// unit exactly as its stored values are, or, for a GDAL band read for what its values stand
// for, multiplied by its scale and offset as they are.
struct StoredUnits {
    double coef = 1.0;
    double scale = 1.0;
    double offset = 0.0;

    double working(double stored) const {
        if (coef != 1.0) return static_cast<double>(static_cast<long double>(stored) / coef);
        return scale == 1.0 && offset == 0.0 ? stored : stored * scale + offset;
    }
};

// What a GDAL input says of itself, and how it is read: which bands, and whether for their
// stored values (a GDAL output, which carries their scale) or for what they stand for.
struct GdalInput {
    GdalInfo info;
    std::vector<int> bands;  // counted from 1
    bool unscale = false;
};

// A loaded input and everything the treatment needs from it.
struct Loaded {
    InputGrid input;
    Source source;
    StoredUnits units;
};

// The input (band `band` of a GDAL input), held whole when it fits in the memory budget and
// read in place otherwise (an ASCII grid then through a scratch copy beside the output,
// `output_host`). A raster pair's descriptor carries the range of its stored values only to a
// raster pair output (`raster_out`): reading a grid in place for that alone is a pass of its
// own.
Loaded load(const GridName& input, double coef, const Arguments& a, const Work& work,
            bool raster_out, const std::string& output_host, const GdalInput* gdal, int band) {
    Loaded loaded;
    Source& s = loaded.source;
    std::optional<Georef> corner;
    if (!a.corner.empty()) {
        const Pair xy = pair_of("--corner", a.corner, "X,Y");
        corner = Georef{xy.first, xy.second, 1.0};
    }
    switch (input.form) {
        case GridForm::raster_pair: {
            const RasterDescriptor d = peek_raster_pair(input.name);
            s.coef = coef;
            loaded.units.coef = coef;
            s.carried = d;
            // Held in memory when it fits (load_raster_pair_held), read in place otherwise.
            RasterSource raster =
                fits_whole(d.nb_lig, d.nb_col, work)
                    ? load_raster_pair_held(input.name, coef, work, loaded.input.held)
                    : load_raster_pair_in_place(input.name, coef, work, raster_out);
            loaded.input.source = std::move(raster.source);
            if (raster.range) {
                s.carried.min_alt = raster.range->smallest;
                s.carried.max_alt = raster.range->largest;
            }
            if (corner) corner->cell_size = d.dpix_size;
            break;
        }
        case GridForm::ascii_grid: {
            const AsciiHeader peeked = peek_ascii_grid(input.name);
            AsciiHeader h;
            if (fits_whole(peeked.nb_lig, peeked.nb_col, work)) {
                AsciiInput ascii = load_ascii_grid(input.name, work);
                h = ascii.header;
                loaded.input = held_whole(std::move(ascii.values));
                s.carried = descriptor_of_grid(loaded.input.held.view(), h.dsize_pix);
            } else {
                AsciiInPlace ascii = read_ascii_grid_to_scratch(input.name, output_host);
                h = ascii.header;
                const ValueRange extremes = truncated_range(ascii.smallest, ascii.largest);
                s.carried = {h.nb_lig,          h.nb_col,         4,
                             extremes.smallest, extremes.largest, h.dsize_pix};
                loaded.input.source = std::move(ascii.source);
            }
            corner = Georef{h.X_min, h.Y_min, h.dsize_pix};
            s.nodata = h.nodata;
            s.crs.prj = read_companion(prj_beside(input.name)).value_or("");
            break;
        }
        case GridForm::gdal: {
            const GdalInfo& info = gdal->info;
            const GdalBandInfo& b = info.bands[static_cast<std::size_t>(band - 1)];
            const bool whole = fits_whole(info.nb_lig, info.nb_col, work);
            GdalRaster raster = read_gdal_raster(input.name, band, work, !whole, gdal->unscale);
            loaded.input = whole ? held_whole(std::move(raster.values))
                                 : InputGrid{{}, std::move(raster.source)};
            if (info.geotransform) {
                if (corner) {
                    throw UsageError("--corner: " + input.name + " has a georeference of its own");
                }
                const GeoTransform& gt = *info.geotransform;
                corner = Georef{gt[0], gt[3] + info.nb_lig * gt[5], gt[1]};
                s.geotransform = gt;
            }
            if (gdal->unscale) loaded.units = {1.0, b.scale.value_or(1.0), b.offset.value_or(0.0)};
            const double cell = corner ? corner->cell_size : 1.0;
            s.carried = raster_out || whole
                            ? descriptor_of_grid(*loaded.input.source, cell, work)
                            : RasterDescriptor{info.nb_lig, info.nb_col, 4, 0, 0, cell};
            if (b.nodata) s.nodata = loaded.units.working(*b.nodata);
            s.crs.wkt = info.crs_wkt;
            break;
        }
    }
    s.grid = loaded.input.source.get();
    if (corner) {
        s.georef = *corner;
        s.georeferenced = true;
    }
    if (!a.nodata.empty()) s.nodata = loaded.units.working(nodata_of("--nodata", a.nodata));
    if (!a.dst_nodata.empty()) s.output_nodata = nodata_of("--dst-nodata", a.dst_nodata);
    return loaded;
}

RotationParameters rotation_of(const Arguments& a, const Loaded& loaded) {
    const GridSource& grid = *loaded.source.grid;
    RotationParameters p{grid.nb_col() * 0.5, grid.nb_lig() * 0.5, number_of("--angle", a.angle)};
    if (!a.pivot_xy.empty()) {
        const Pair xy = pair_of("--pivot-xy", a.pivot_xy, "X,Y");
        const Georef& g = loaded.source.georef;
        // Cell centres sit on whole columns and lines.
        p.X1 = (xy.first - g.X_min) / g.cell_size - 0.5;
        p.Y1 = (xy.second - g.Y_min) / g.cell_size - 0.5;
    } else if (!a.pivot.empty() && a.pivot != "centre" && a.pivot != "center") {
        const Pair line_column = pair_of("--pivot", a.pivot, "centre or LINE,COLUMN");
        p.Y1 = line_column.first;
        p.X1 = line_column.second;
    }
    return p;
}

Treatment treatment_of(const Arguments& a, const Loaded& loaded, const GridName& output) {
    if (!loaded.source.georeferenced) {
        const std::string lacking =
            a.paths[0] + " has no georeference; give its lower-left corner with --corner X,Y";
        if (!a.pivot_xy.empty()) throw UsageError("--pivot-xy: " + lacking);
        if (output.form == GridForm::ascii_grid)
            throw UsageError("an ASCII grid output: " + lacking);
        if (a.georef == "rotated") throw UsageError("--georef rotated: " + lacking);
    }
    Treatment t;
    t.rotated_georef = a.georef == "rotated";
    t.rotation = rotation_of(a, loaded);
    if (a.extent == "full") t.extent = Extent::full;
    if (a.background == "nodata") {
        if (!loaded.source.nodata && !loaded.source.output_nodata) {
            throw UsageError(
                "--background nodata: the input has no no-data value; give one with "
                "--nodata or --dst-nodata");
        }
        t.background.kind = Background::Kind::nodata;
    } else if (!a.background.empty() && a.background != "min") {
        t.background.kind = Background::Kind::given;
        t.background.value = loaded.units.working(number_of("--background", a.background));
    }
    return t;
}

// Every check that needs no file, so that a mistyped command writes and reads nothing.
void check_arguments(const Arguments& a, const GridName& input, const GridName& output) {
    if (a.angle.empty()) throw UsageError("--angle is required");
    if (!angle_accepted(number_of("--angle", a.angle))) {
        throw UsageError("--angle: " + a.angle +
                         " is too great: its whole part must be at most 180");
    }
    const bool raster_in = input.form == GridForm::raster_pair;
    if (raster_in && a.unit.empty()) {
        throw UsageError("--unit is required for a raster pair input (m, dm, cm or mm)");
    }
    if (!raster_in && !a.unit.empty()) {
        throw UsageError("--unit applies to a raster pair input only; an ASCII grid has its own");
    }
    if (!a.unit.empty()) unit_coefficient(a.unit);
    if (input.form == GridForm::ascii_grid && !a.corner.empty()) {
        throw UsageError("--corner applies to a raster pair input only; an ASCII grid has its own");
    }
    if (input.form != GridForm::gdal && !a.bands.empty()) {
        throw UsageError("--band applies to an input read through GDAL only");
    }
    for (const std::string& band : a.bands) {
        const auto n = parse_int32_token(band);
        if (!n || *n < 1) throw UsageError("--band: " + ::quoted(band) + " is not a band number");
    }
    const bool gdal_out = output.form == GridForm::gdal;
    if (!gdal_out && a.bands.size() > 1) {
        throw UsageError(
            "--band: " +
            std::string(output.form == GridForm::ascii_grid ? "an ASCII grid" : "a raster pair") +
            " holds one band; give one --band");
    }
    if (!a.dst_nodata.empty()) {
        if (output.form == GridForm::raster_pair) {
            throw UsageError("--dst-nodata: a raster pair has no no-data value");
        }
        nodata_of("--dst-nodata", a.dst_nodata);
    }
    if (!gdal_out && (!a.type.empty() || !a.creation_options.empty() || !a.georef.empty())) {
        throw UsageError(std::string(!a.type.empty()               ? "--ot"
                                     : !a.creation_options.empty() ? "--co"
                                                                   : "--georef") +
                         " applies to an output written through GDAL only");
    }
    if (!a.type.empty() && gdal_real_type(a.type).empty()) {
        throw UsageError("--ot: " + ::quoted(a.type) +
                         " is not a GDAL data type (Byte, Int16, UInt16, Int32, UInt32, Float32, "
                         "Float64, ...)");
    }
    for (const std::string& option : a.creation_options) {
        if (option.find('=') == std::string::npos || option.front() == '=') {
            throw UsageError("--co: " + ::quoted(option) + " is not NAME=VALUE");
        }
    }
    if (!a.georef.empty() && a.georef != "keep" && a.georef != "rotated") {
        throw UsageError("--georef: " + ::quoted(a.georef) + " is neither keep nor rotated");
    }
    if (!a.corner.empty()) pair_of("--corner", a.corner, "X,Y");
    if (raster_in && a.corner.empty() && output.form == GridForm::ascii_grid) {
        throw UsageError("--corner X,Y is required to write a raster pair as an ASCII grid");
    }
    if (!a.pivot.empty() && !a.pivot_xy.empty()) {
        throw UsageError("--pivot and --pivot-xy both give the reference point; give one");
    }
    if (!a.pivot_xy.empty()) {
        pair_of("--pivot-xy", a.pivot_xy, "X,Y");
        if (raster_in && a.corner.empty()) {
            throw UsageError("--pivot-xy needs the raster pair's corner: give --corner X,Y");
        }
    }
    if (!a.pivot.empty() && a.pivot != "centre" && a.pivot != "center") {
        pair_of("--pivot", a.pivot, "centre or LINE,COLUMN");
    }
    if (!a.extent.empty() && a.extent != "input" && a.extent != "full") {
        throw UsageError("--extent: " + ::quoted(a.extent) + " is neither input nor full");
    }
    if (!a.background.empty() && a.background != "min" && a.background != "nodata") {
        number_of("--background", a.background);
    }
    if (!a.nodata.empty()) nodata_of("--nodata", a.nodata);
    if (!a.memory.empty() && !memory_size(a.memory)) {
        throw UsageError("--memory: " + ::quoted(a.memory) +
                         " is not a size (bytes, or a number with K, M, G or T)");
    }
    if (!a.threads.empty()) {
        const auto n = parse_int32_token(a.threads);
        if (!n || *n < 1) throw UsageError("--threads: " + ::quoted(a.threads) + " is not a count");
    }
}

// The bands a GDAL input is turned band by band into: every band into a GDAL output (as gdalwarp
// does), the one --band names into a native form.
GdalInput gdal_input(const Arguments& a, const GridName& input, const GridName& output) {
    GdalInput gdal;
    gdal.info = peek_gdal_raster(input.name);
    const auto count = static_cast<int>(gdal.info.bands.size());
    for (const std::string& band : a.bands) {
        const int n = *parse_int32_token(band);
        if (n > count) {
            throw Failure(input.name + ": has no band " + band + "; it has " +
                          std::to_string(count));
        }
        gdal.bands.push_back(n);
    }
    if (gdal.bands.empty()) {
        if (output.form != GridForm::gdal && count > 1) {
            throw UsageError(
                input.name + " has " + std::to_string(count) + " bands and " +
                (output.form == GridForm::ascii_grid ? "an ASCII grid" : "a raster pair") +
                " holds one: choose it with --band N (-b N)");
        }
        for (int b = 1; b <= count; ++b)
            gdal.bands.push_back(b);
    }
    // A GDAL output carries the bands' scale and offset as gdal_translate does, over their
    // stored values; the native forms hold what the values stand for.
    gdal.unscale = output.form != GridForm::gdal;
    return gdal;
}

// A GDAL output's driver, type, creation options and properties, each band's no-data value the
// output's (which its type must hold).
GdalWriteOptions gdal_output(const Arguments& a, const GridName& input, const GridName& output,
                             const GdalInput* gdal, unsigned threads) {
    GdalWriteOptions out;
    out.driver = output.driver;
    if (gdal != nullptr) {
        out.metadata = gdal->info.metadata;
        for (const int b : gdal->bands)
            out.bands.push_back(gdal->info.bands[static_cast<std::size_t>(b - 1)]);
    } else {
        out.bands.emplace_back();
        if (input.form == GridForm::ascii_grid) {
            out.bands.back().nodata = peek_ascii_grid(input.name).nodata;
        }
    }
    // By default the input's type, the smallest that holds every band's when they differ.
    out.type = !a.type.empty() ? gdal_real_type(a.type) : gdal == nullptr ? "Float64" : "";
    for (const GdalBandInfo& band : out.bands) {
        if (!a.type.empty() || band.type.empty()) continue;
        out.type = out.type.empty() ? band.type : gdal_type_union(out.type, band.type);
    }
    for (GdalBandInfo& band : out.bands) {
        if (!a.nodata.empty()) band.nodata = nodata_of("--nodata", a.nodata);
        if (!a.dst_nodata.empty()) band.nodata = nodata_of("--dst-nodata", a.dst_nodata);
        if (!band.nodata) continue;
        const std::string cannot = gdal_type_cannot_hold(out.type, *band.nodata);
        if (!cannot.empty()) {
            throw UsageError("the output's no-data value " + shortest_text(*band.nodata) +
                             " does not fit its type: " + cannot +
                             "; give one that does with --dst-nodata");
        }
    }
    const auto bands = static_cast<int>(out.bands.size());
    out.creation_options = gdal_default_creation_options(out.driver, out.type, bands, threads);
    out.creation_options.insert(out.creation_options.end(), a.creation_options.begin(),
                                a.creation_options.end());
    return out;
}

int run(const Arguments& a, StageLog* stages) {
    if (a.paths.size() < 2) {
        throw UsageError(a.paths.empty() ? "INPUT and OUTPUT are missing" : "OUTPUT is missing");
    }
    if (a.paths.size() > 2) {
        throw UsageError("one INPUT and one OUTPUT, not " + std::to_string(a.paths.size()) +
                         " paths");
    }
    for (std::size_t k = 0; k + 1 < a.config.size(); k += 2)
        gdal_set_config(a.config[k], a.config[k + 1]);
    const GridName input = input_name(a.paths[0]);
    const GridName output = output_name(a);
    check_arguments(a, input, output);

    std::optional<unsigned> threads;
    if (!a.threads.empty()) threads = static_cast<unsigned>(*parse_int32_token(a.threads));
    Work work = program_work(threads, a.quiet);
    work.stages = stages;
    if (!a.memory.empty()) work.memory = *memory_size(a.memory);
    const double coef = a.unit.empty() ? 1.0 : unit_coefficient(a.unit);
    std::optional<GdalInput> gdal;
    if (input.form == GridForm::gdal) gdal = gdal_input(a, input, output);
    const std::vector<int> bands = gdal ? gdal->bands : std::vector<int>{1};
    GdalWriteOptions written;
    if (output.form == GridForm::gdal) {
        written = gdal_output(a, input, output, gdal ? &*gdal : nullptr, work.threads);
    }
    Target target = prepare_target(output.form, output.name);
    target.gdal = std::move(written);
    // Band after band, each loaded, turned and written before the next is read: a band's
    // memory at a time.
    for (std::size_t k = 0; k < bands.size(); ++k) {
        std::optional<StageTimer> stage(std::in_place, work, "read");
        const Loaded loaded = load(input, coef, a, work, output.form == GridForm::raster_pair,
                                   FileName(output.name).host, gdal ? &*gdal : nullptr, bands[k]);
        stage.reset();
        const Treatment treatment = treatment_of(a, loaded, output);
        target.band = static_cast<int>(k);
        treat(loaded.source, target, treatment, work);
    }
    commit(target, work);
    return 0;
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
        return run(a, stages);
    } catch (const UsageError& e) {
        return usage_error(e.what());
    } catch (const Failure& failure) {
        std::fprintf(stderr, "terrapivoter: %s\n", failure.what());
    } catch (const std::bad_alloc&) {
        std::fputs("terrapivoter: not enough memory\n", stderr);
    }
    return 1;
}
