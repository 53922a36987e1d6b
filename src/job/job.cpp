#include "job/job.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "base/failure.h"
#include "base/stage_log.h"
#include "formats/ascii_grid.h"
#include "formats/gdal_raster.h"
#include "formats/raster_pair.h"
#include "io/memory_ledger.h"
#include "job/band_plan.h"
#include "job/describe.h"
#include "job/engine.h"
#include "job/input.h"
#include "job/target.h"
#include "job/treat.h"

namespace terrapivoter {

namespace {

// A path and the form it names.
struct GridName {
    GridForm form;
    std::string name;    // the ASCII grid or GDAL raster itself, or a raster pair's base name
    std::string driver;  // a GDAL output's driver
};

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
    throw UsageError("INPUT " + quoted(path) + ": this terrapivoter was built without GDAL " +
                     "(TERRAPIVOTER_GDAL=OFF) and knows only " + kNativeForms);
}

// The GDAL driver that writes a path's suffix, as gdal_translate picks it.
std::string driver_of_suffix(const std::string& path) {
    if (ends_with(path, ".tif", true) || ends_with(path, ".tiff", true)) {
        const std::string problem = gdal_driver_problem("GTiff");
        if (!problem.empty()) throw UsageError("OUTPUT " + quoted(path) + ": " + problem);
        return "GTiff";
    }
    const std::vector<std::string> drivers =
        gdal_available() ? gdal_drivers_for(path) : std::vector<std::string>{};
    if (drivers.empty()) {
        throw UsageError("OUTPUT " + quoted(path) + ": the form is not known; name " +
                         kNativeForms +
                         ", NAME.tif (a GeoTIFF) or a name whose suffix a GDAL driver writes, or "
                         "give the GDAL driver with --of");
    }
    if (drivers.size() > 1) {
        std::string others;
        for (std::size_t k = 1; k < drivers.size(); ++k)
            others += (k > 1 ? ", " : "") + drivers[k];
        warn("OUTPUT " + quoted(path) + ": GDAL's " + drivers[0] + " driver writes it, as " +
             "gdal_translate would choose; " + others + " also write" +
             (drivers.size() == 2 ? "s" : "") + " that suffix (choose with --of)");
    }
    return drivers[0];
}

GridName output_name(const std::string& path, const JobOptions& o) {
    const std::optional<GridName> named = native_name(path);
    if (o.format && !o.driver.empty()) {
        throw UsageError("--format and --of both choose the output's form; give one");
    }
    if (!o.driver.empty()) {
        const std::string problem = gdal_driver_problem(o.driver);
        if (!problem.empty()) throw UsageError("--of: " + problem);
        return {GridForm::gdal, path, o.driver};
    }
    if (o.format == GridForm::ascii_grid) return {GridForm::ascii_grid, path, ""};
    if (o.format == GridForm::raster_pair) {
        const bool raster = named && named->form == GridForm::raster_pair;
        return {GridForm::raster_pair, raster ? named->name : path, ""};
    }
    if (named) return *named;
    // Any other suffix names the GDAL driver that writes it, as for gdal_translate.
    return {GridForm::gdal, path, driver_of_suffix(path)};
}

const char* one_band_form(GridForm form) {
    return form == GridForm::ascii_grid ? "an ASCII grid" : "a raster pair";
}

// Every check of the options against the forms that needs no file, so that a mistaken job
// writes and reads nothing.
void check_options(const JobOptions& o, const GridName& input, const GridName& output) {
    check_angle(o);
    const bool raster_in = input.form == GridForm::raster_pair;
    if (raster_in && !o.unit) {
        throw UsageError("--unit is required for a raster pair input (m, dm, cm or mm)");
    }
    if (!raster_in && o.unit) {
        throw UsageError("--unit applies to a raster pair input only; an ASCII grid has its own");
    }
    if (input.form == GridForm::ascii_grid && o.corner) {
        throw UsageError("--corner applies to a raster pair input only; an ASCII grid has its own");
    }
    if (input.form != GridForm::gdal && !o.bands.empty()) {
        throw UsageError("--band applies to an input read through GDAL only");
    }
    const bool gdal_out = output.form == GridForm::gdal;
    if (!gdal_out && o.bands.size() > 1) {
        throw UsageError("--band: " + std::string(one_band_form(output.form)) +
                         " holds one band; give one --band");
    }
    if (o.dst_nodata && output.form == GridForm::raster_pair) {
        throw UsageError("--dst-nodata: a raster pair has no no-data value");
    }
    if (!gdal_out && (!o.type.empty() || !o.creation_options.empty() || o.rotated_georef)) {
        throw UsageError(std::string(!o.type.empty()               ? "--ot"
                                     : !o.creation_options.empty() ? "--co"
                                                                   : "--georef") +
                         " applies to an output written through GDAL only");
    }
    if (!o.type.empty() && gdal_real_type(o.type).empty()) {
        throw UsageError("--ot: " + quoted(o.type) +
                         " is not a GDAL data type (Byte, Int16, UInt16, Int32, UInt32, Float32, "
                         "Float64, ...)");
    }
    if (raster_in && !o.corner && output.form == GridForm::ascii_grid) {
        throw UsageError("--corner X,Y is required to write a raster pair as an ASCII grid");
    }
    if (o.pivot.kind == Pivot::Kind::map && raster_in && !o.corner) {
        throw UsageError("--pivot-xy needs the raster pair's corner: give --corner X,Y");
    }
}

// What a GDAL input says of itself, and how it is read: which bands, and whether for their
// stored values (a GDAL output, which carries their scale) or for what they stand for.
struct GdalInput {
    GdalInfo info;
    std::vector<int> bands;  // counted from 1
    bool unscale = false;
};

// The bands a GDAL input is turned band by band into: every band into a GDAL output (as gdalwarp
// does), the one --band names into a native form.
GdalInput gdal_input(const JobOptions& o, const GridName& input, const GridName& output) {
    GdalInput gdal;
    gdal.info = peek_gdal_raster(input.name);
    const auto count = static_cast<int>(gdal.info.bands.size());
    for (const int band : o.bands) {
        if (band > count) {
            throw Failure(input.name + ": has no band " + std::to_string(band) + "; it has " +
                          std::to_string(count));
        }
        gdal.bands.push_back(band);
    }
    if (gdal.bands.empty()) {
        if (output.form != GridForm::gdal && count > 1) {
            throw UsageError(input.name + " has " + std::to_string(count) + " bands and " +
                             one_band_form(output.form) +
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
GdalWriteOptions gdal_output(const JobOptions& o, const GridName& input, const GridName& output,
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
    out.type = !o.type.empty() ? gdal_real_type(o.type) : gdal == nullptr ? "Float64" : "";
    for (const GdalBandInfo& band : out.bands) {
        if (!o.type.empty() || band.type.empty()) continue;
        out.type = out.type.empty() ? band.type : gdal_type_union(out.type, band.type);
    }
    for (GdalBandInfo& band : out.bands) {
        if (o.nodata) band.nodata = o.nodata;
        if (o.dst_nodata) band.nodata = o.dst_nodata;
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
    out.creation_options.insert(out.creation_options.end(), o.creation_options.begin(),
                                o.creation_options.end());
    return out;
}

Treatment treatment_of(const Job& job, const OpenedInput& opened, const GridName& output) {
    const JobOptions& o = job.options;
    if (!opened.band.georeferenced) {
        const std::string lacking =
            job.input + " has no georeference; give its lower-left corner with --corner X,Y";
        if (o.pivot.kind == Pivot::Kind::map) throw UsageError("--pivot-xy: " + lacking);
        if (output.form == GridForm::ascii_grid)
            throw UsageError("an ASCII grid output: " + lacking);
        if (o.rotated_georef) throw UsageError("--georef rotated: " + lacking);
    }
    return treatment_for(o, opened.band, opened.units);
}

// A turn in degrees is not a turn on the ground: a grid in a geographic coordinate system has
// cells that are square in degrees only (a cell at 50 degrees north is two thirds as wide as it
// is high), so it is turned out of shape.
void warn_if_geographic(const std::string& input, const Crs& crs) {
    if (!crs_is_geographic(crs.prj.empty() ? crs.wkt : crs.prj)) return;
    warn(input +
         ": its coordinate system is geographic, so its cells are square in degrees but "
         "not on the ground, and the turn bends it; project it first for a true turn "
         "(gdalwarp -t_srs with a projected coordinate system)");
}

struct GridSize {
    int64_t rows = 0;
    int64_t cols = 0;
};

// The input's rows and columns, from its header (or GDAL's word) alone.
GridSize size_of(const GridName& input, const GdalInfo* gdal) {
    if (gdal != nullptr) return {gdal->nb_lig, gdal->nb_col};
    if (input.form == GridForm::ascii_grid) {
        const AsciiHeader h = peek_ascii_grid(input.name);
        return {h.nb_lig, h.nb_col};
    }
    const RasterDescriptor d = peek_raster_pair(input.name);
    return {d.nb_lig, d.nb_col};
}

// The memory a run is given for --memory `asked`: that, or, when it is less than a band of a
// few rows needs, that least, said once.
int64_t memory_for(int64_t asked, const GridName& input, GridSize size) {
    const int64_t least = minimum_memory(size.rows, size.cols);
    if (asked >= least) return asked;
    warn("--memory: a band of a few rows of " + input.name + " needs " +
         std::to_string((least + (1 << 20) - 1) >> 20) + " MB; the run takes that much");
    return least;
}

// What a run holds when it holds everything, a cell's bytes (measured peaks, docs/
// performance.md): the input as working values (8), or a raster pair's as stored (4); the
// output as working values (8, up to twice as many cells for the full extent), or, for a
// raster pair of the input's extent, an eighth of them at a time (1); and a band's fixed costs.
int64_t memory_needed(GridSize size, GridForm in, GridForm out, Extent extent) {
    const int64_t cells = size.rows * size.cols;
    const int64_t input = in == GridForm::raster_pair ? 4 : 8;
    const int64_t output = extent == Extent::full ? 16 : out == GridForm::raster_pair ? 1 : 8;
    return cells * (input + output) + minimum_memory(size.rows, size.cols);
}

}  // namespace

void run_job(const Job& job, StageLog* stages, JobWatch* watch) {
    const JobOptions& o = job.options;
    for (const auto& [key, value] : o.config)
        gdal_set_config(key, value);
    const GridName input = input_name(job.input);
    const GridName output = output_name(job.output, o);
    check_options(o, input, output);

    Work work = program_work(o.threads, o.quiet);
    work.stages = stages;
    work.watch = watch;
    // The output's files first: a folder that cannot take them is reported before the input
    // is opened.
    Target target = prepare_target(output.form, output.name);
    std::optional<GdalInput> gdal;
    if (input.form == GridForm::gdal) gdal = gdal_input(o, input, output);
    const GridSize size = size_of(input, gdal ? &gdal->info : nullptr);
    // Without --memory, the budget is what the machine has left beside the other runs of the
    // program (their ledger), held while the run lasts.
    std::optional<MemoryReservation> reservation;
    if (o.memory) {
        work.memory = memory_for(*o.memory, input, size);
    } else {
        reservation.emplace(memory_needed(size, input.form, output.form, o.extent),
                            minimum_memory(size.rows, size.cols));
        work.memory = reservation->budget();
    }
    // The tests' seam: a budget below the least, so that a small grid is read in place and made
    // a few rows at a time through the whole program.
    if (const char* test_memory = std::getenv("TERRAPIVOTER_TEST_MEMORY")) {
        work.memory = std::strtoll(test_memory, nullptr, 10);
    }
    const std::vector<int> bands = gdal ? gdal->bands : std::vector<int>{1};
    if (output.form == GridForm::gdal) {
        target.gdal = gdal_output(o, input, output, gdal ? &*gdal : nullptr, work.threads);
    }
    InputSpec spec;
    spec.form = input.form;
    spec.name = input.name;
    spec.coef = o.unit.value_or(1.0);
    if (o.corner) spec.corner = InputSpec::Corner{o.corner->x, o.corner->y};
    spec.gdal = gdal ? &gdal->info : nullptr;
    spec.unscale = gdal && gdal->unscale;
    spec.with_range = output.form == GridForm::raster_pair;
    spec.scratch_beside = FileName(output.name).host;
    // Band after band, each loaded, turned and written before the next is read: a band's
    // memory at a time.
    for (std::size_t k = 0; k < bands.size(); ++k) {
        std::optional<StageTimer> stage(std::in_place, work, "read");
        spec.band = bands[k];
        OpenedInput opened = open_input(spec, work);
        stage.reset();
        if (k == 0) warn_if_geographic(job.input, opened.band.crs);
        if (o.nodata) opened.band.nodata = opened.units.working(*o.nodata);
        opened.band.output_nodata = o.dst_nodata;
        const Treatment treatment = treatment_of(job, opened, output);
        target.band = static_cast<int>(k);
        treat(opened.band, target, treatment, work);
    }
    commit(target, work);
}

}  // namespace terrapivoter
