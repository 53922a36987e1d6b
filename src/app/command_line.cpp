#include "app/command_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
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
    "Turn the elevation model INPUT about a reference point by an angle in degrees\n"
    "(positive: anticlockwise) and write the turned grid to OUTPUT. Without\n"
    "arguments, terrapivoter asks its questions instead (the interactive dialogue).\n"
    "\n"
    "INPUT and OUTPUT are paths; their names give the form: NAME.asc is an ASCII\n"
    "grid, NAME_m4.txt or NAME_m4.raw a raster pair (both of its files), NAME.tif a\n"
    "GeoTIFF.\n"
    "Any other INPUT is read through GDAL (.img, .nc, .hgt, .vrt, ...); any other\n"
    "OUTPUT is written by the GDAL driver of its suffix (.img, .nc, .gpkg, ...).\n"
    "\n"
    "The turn:\n"
    "  -a, --angle DEGREES     the angle, anticlockwise when positive (required;\n"
    "                          whole part at most 180)\n"
    "  -p, --pivot centre|LINE,COLUMN\n"
    "                          the reference point: the middle of the grid (default),\n"
    "                          or a line (0: the bottom row) and a column (0: left)\n"
    "      --pivot-xy X,Y      the reference point in map coordinates\n"
    "      --extent input|full keep the input's size and corner (default), or grow\n"
    "                          the output until no turned cell is lost\n"
    "  -r, --resampling forward|nearest|bilinear|cubic\n"
    "                          how each cell gets its value: every input cell moved\n"
    "                          to the nearest output cell, the holes filled with\n"
    "                          their neighbours' mean (default); or each output\n"
    "                          cell's centre taken back into the input and valued\n"
    "                          there by the nearest cell, the 4 around it weighted\n"
    "                          by distance, or the 16 around it by cubic convolution\n"
    "      --background min|nodata|VALUE\n"
    "                          what uncovered cells receive (default: the no-data\n"
    "                          value where the input has one, else the smallest)\n"
    "      --georef keep|rotated\n"
    "                          a GDAL output in the input's frame (default), or\n"
    "                          turned back over the ground it came from\n"
    "\n"
    "The input:\n"
    "  -u, --unit m|dm|cm|mm   the unit of a raster pair's values (required for one)\n"
    "      --corner X,Y        the lower-left corner of a raster pair\n"
    "  -b, --band N            a band of a GDAL input (repeatable; default: all)\n"
    "      --nodata VALUE      cells holding VALUE are no-data (default: the\n"
    "                          input's own); VALUE is in the input's stored units\n"
    "\n"
    "The output:\n"
    "  -f, --format raster|ascii  the output's form, whatever its name\n"
    "      --of DRIVER         the GDAL driver (short name) that writes the output\n"
    "      --co NAME=VALUE     a creation option of that driver (repeatable)\n"
    "      --ot TYPE           a GDAL output's data type (default: the input's, or\n"
    "                          Float64 for an ASCII grid or raster pair)\n"
    "      --dst-nodata VALUE  the output's no-data value (default: the input's)\n"
    "      --config KEY VALUE  a GDAL configuration option (repeatable)\n"
    "\n"
    "The work:\n"
    "  -j, --threads N         threads (default or 0: every core; same bytes for any)\n"
    "      --memory SIZE       memory the run may hold (256M, 4G; default: 3/4 of\n"
    "                          what the machine has free, less other runs' share)\n"
    "  -q, --quiet             no progress line\n"
    "  -h, --help              show this help and exit\n"
    "  -V, --version           show the version and exit\n"
    "\n"
    "Exit status: 0 written, 1 the run failed (nothing written), 2 a usage error.\n"
    "\n"
    "Examples:\n"
    "  terrapivoter --angle 30 site.tif site_r.tif\n"
    "  terrapivoter -a -17.5 -u cm --corner 500000,4000000 \\\n"
    "      --pivot-xy 500250,4000400 --extent full --nodata -9999 \\\n"
    "      dem_m4.txt turned.asc\n";

// An option of the command line: its names, and how many values it takes each time.
struct OptionName {
    const char* names;  // CLI11's: "-a,--angle"
    const char* name;   // the long one, as messages name it
    bool repeatable;
    int arity;
};
constexpr OptionName kOptionNames[] = {
    {"-a,--angle", "--angle", false, 1},
    {"-p,--pivot", "--pivot", false, 1},
    {"--pivot-xy", "--pivot-xy", false, 1},
    {"-u,--unit", "--unit", false, 1},
    {"--corner", "--corner", false, 1},
    {"-f,--format", "--format", false, 1},
    {"--extent", "--extent", false, 1},
    {"-r,--resampling", "--resampling", false, 1},
    {"--background", "--background", false, 1},
    {"--nodata", "--nodata", false, 1},
    {"--dst-nodata", "--dst-nodata", false, 1},
    {"-j,--threads", "--threads", false, 1},
    {"-b,--band", "--band", true, 1},
    {"--of", "--of", false, 1},
    {"--co", "--co", true, 1},
    {"--config", "--config", true, 2},
    {"--ot", "--ot", false, 1},
    {"--georef", "--georef", false, 1},
    {"--memory", "--memory", false, 1},
};

// The arguments as typed: the paths, and each option's values in the order given. CLI11 gathers
// them; job_of reads each once.
struct Arguments {
    std::vector<std::string> paths;
    std::map<std::string, std::vector<std::string>> values;  // by long name
    bool quiet = false;

    const std::vector<std::string>& all(const std::string& name) const {
        static const std::vector<std::string> none;
        const auto found = values.find(name);
        return found == values.end() ? none : found->second;
    }
    // The value of an option given once, or "" when it was not given.
    std::string one(const std::string& name) const {
        const std::vector<std::string>& given = all(name);
        if (given.size() > 1) {
            std::string listed;
            for (const std::string& v : given)
                listed += (listed.empty() ? "" : ", ") + v;
            throw UsageError(name + " is given " + std::to_string(given.size()) + " times (" +
                             listed + "); give it once");
        }
        return given.empty() ? "" : given.front();
    }
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

Pivot pivot_of(const std::string& pivot, const std::string& pivot_xy) {
    if (!pivot.empty() && !pivot_xy.empty()) {
        throw UsageError("--pivot and --pivot-xy both give the reference point; give one");
    }
    if (!pivot_xy.empty()) {
        const Pair xy = pair_of("--pivot-xy", pivot_xy, "X,Y");
        return {Pivot::Kind::map, xy.first, xy.second};
    }
    if (pivot.empty() || pivot == "centre" || pivot == "center") return {};
    const Pair line_column = pair_of("--pivot", pivot, "centre or LINE,COLUMN");
    return {Pivot::Kind::line_column, line_column.first, line_column.second};
}

std::optional<Background::Kind> background_of(const std::string& background, double& value) {
    if (background.empty()) return std::nullopt;
    if (background == "nodata") return Background::Kind::nodata;
    if (background == "min") return Background::Kind::smallest;
    const auto given = parse_real_token(background);
    if (!given) {
        throw UsageError("--background: " + terrapivoter::quoted(background) +
                         " is none of min, nodata or a number");
    }
    value = *given;
    return Background::Kind::given;
}

// The value of an option that takes one of a few words, or nothing when it is not given.
template <class T>
std::optional<T> choice_of(const Arguments& a, const std::string& option,
                           std::initializer_list<std::pair<const char*, T>> choices) {
    const std::string given = a.one(option);
    if (given.empty()) return std::nullopt;
    std::string words;
    for (const auto& [word, value] : choices) {
        if (given == word) return value;
        words += (words.empty() ? "" : ", ") + std::string(word);
    }
    if (choices.size() == 2) {
        words = "neither " + words.replace(words.find(", "), 2, " nor ");
    } else {
        words = "none of " + words;
    }
    throw UsageError(option + ": " + terrapivoter::quoted(given) + " is " + words);
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
    if (const std::string angle = a.one("--angle"); !angle.empty()) {
        o.angle = number_of("--angle", angle);
    }
    o.pivot = pivot_of(a.one("--pivot"), a.one("--pivot-xy"));
    if (const std::string unit = a.one("--unit"); !unit.empty()) o.unit = unit_coefficient(unit);
    if (const std::string corner = a.one("--corner"); !corner.empty()) {
        const Pair xy = pair_of("--corner", corner, "X,Y");
        o.corner = JobOptions::Corner{xy.first, xy.second};
    }
    o.format = choice_of<GridForm>(
        a, "--format", {{"raster", GridForm::raster_pair}, {"ascii", GridForm::ascii_grid}});
    o.extent = choice_of<Extent>(a, "--extent", {{"input", Extent::input}, {"full", Extent::full}})
                   .value_or(o.extent);
    o.resampling = choice_of<Resampling>(a, "--resampling",
                                         {{"forward", Resampling::forward},
                                          {"nearest", Resampling::nearest},
                                          {"bilinear", Resampling::bilinear},
                                          {"cubic", Resampling::cubic}})
                       .value_or(o.resampling);
    o.background = background_of(a.one("--background"), o.background_value);
    if (const std::string v = a.one("--nodata"); !v.empty()) o.nodata = nodata_of("--nodata", v);
    if (const std::string v = a.one("--dst-nodata"); !v.empty()) {
        o.dst_nodata = nodata_of("--dst-nodata", v);
    }
    if (const std::string threads = a.one("--threads"); !threads.empty()) {
        const auto n = parse_int32_token(threads);
        if (!n || *n < 0) {
            throw UsageError("--threads: " + terrapivoter::quoted(threads) +
                             " is not a count (0: every core)");
        }
        if (*n > 0) o.threads = static_cast<unsigned>(*n);
    }
    o.quiet = a.quiet;
    for (const std::string& band : a.all("--band")) {
        const auto n = parse_int32_token(band);
        if (!n || *n < 1) {
            throw UsageError("--band: " + terrapivoter::quoted(band) + " is not a band number");
        }
        o.bands.push_back(*n);
    }
    o.driver = a.one("--of");
    for (const std::string& option : a.all("--co")) {
        if (option.find('=') == std::string::npos || option.front() == '=') {
            throw UsageError("--co: " + terrapivoter::quoted(option) + " is not NAME=VALUE");
        }
        o.creation_options.push_back(option);
    }
    const std::vector<std::string>& config = a.all("--config");
    for (std::size_t k = 0; k + 1 < config.size(); k += 2)
        o.config.emplace_back(config[k], config[k + 1]);
    o.type = a.one("--ot");
    o.rotated_georef =
        choice_of<bool>(a, "--georef", {{"keep", false}, {"rotated", true}}).value_or(false);
    if (const std::string memory = a.one("--memory"); !memory.empty()) {
        o.memory = memory_size(memory);
        if (!o.memory) {
            throw UsageError("--memory: " + terrapivoter::quoted(memory) +
                             " is not a size (bytes, or a number with K, M, G or T)");
        }
    }
    return job;
}

void add_options(CLI::App& app, Arguments& a) {
    app.add_option("paths", a.paths);
    for (const OptionName& option : kOptionNames) {
        app.add_option(option.names, a.values[option.name])
            ->type_size(option.arity)
            ->expected(1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
            ->allow_extra_args(false);
    }
    app.add_flag("-q,--quiet", a.quiet);
}

// How far apart two words are: the fewest letters inserted, removed or replaced that make one
// the other.
std::size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// What is wrong with an option nobody knows, with the nearest one it may have meant.
std::string unknown_option(const std::string& typed) {
    const std::string option = typed.substr(0, typed.find('='));
    std::string nearest;
    std::size_t best = std::max<std::size_t>(2, option.size() / 3) + 1;
    for (const OptionName& known : kOptionNames) {
        const std::size_t d = edit_distance(option, known.name);
        if (d < best) {
            best = d;
            nearest = known.name;
        }
    }
    for (const char* flag : {"--quiet", "--help", "--version"}) {
        const std::size_t d = edit_distance(option, flag);
        if (d < best) {
            best = d;
            nearest = flag;
        }
    }
    return "there is no option " + option +
           (nearest.empty() ? "" : "; did you mean " + nearest + "?");
}

// Writes `text` on standard output: true, or false (a message said why) when it cannot.
bool say(const char* text) {
    if (std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0) return true;
    std::fprintf(stderr, "terrapivoter: cannot write on standard output: %s\n",
                 std::strerror(errno));
    return false;
}

int usage_error(const std::string& what) {
    std::fprintf(stderr, "terrapivoter: %s\nTry 'terrapivoter --help'.\n", what.c_str());
    return 2;
}

// The arguments read into `a`, the help and version flags into `help` and `version`; UsageError
// for arguments the command line does not take.
void parse_arguments(int argc, char** argv, Arguments& a, bool& help, bool& version) {
    CLI::App app;
    app.set_help_flag();
    app.allow_extras();
    add_options(app, a);
    app.add_flag("-h,--help", help);
    app.add_flag("-V,--version", version);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ArgumentMismatch& e) {
        // "--angle: 1 required TEXT missing": the option is named before the colon.
        const std::string what = e.what();
        const std::string option = what.substr(0, what.find(':'));
        throw UsageError(option +
                         (option == "--config" ? " needs a KEY and a VALUE" : " needs a value"));
    } catch (const CLI::ParseError& e) {
        throw UsageError(e.what());
    }
    for (const std::string& extra : app.remaining()) {
        if (extra.size() > 1 && extra[0] == '-') throw UsageError(unknown_option(extra));
    }
}

// parse_arguments over the words after the program's name.
void parse_words(const std::vector<std::string>& args, Arguments& a, bool& help, bool& version) {
    std::vector<std::string> words = {"terrapivoter"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(words.size());
    for (std::string& word : words)
        argv.push_back(word.data());
    parse_arguments(static_cast<int>(argv.size()), argv.data(), a, help, version);
}

}  // namespace

Job job_of_arguments(const std::vector<std::string>& args) {
    Arguments a;
    bool help = false;
    bool version = false;
    parse_words(args, a, help, version);
    if (help || version) throw UsageError(help ? "--help runs no job" : "--version runs no job");
    return job_of(a);
}

int run_command_line(const std::vector<std::string>& args, StageLog* stages) {
    bool help = false;
    bool version = false;
    Arguments a;
    try {
        parse_words(args, a, help, version);
    } catch (const UsageError& e) {
        return usage_error(e.what());
    }
    if (help) return say(kHelp) ? 0 : 1;
    if (version) return say("terrapivoter " TERRAPIVOTER_VERSION "\n") ? 0 : 1;
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
