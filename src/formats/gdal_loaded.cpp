// The program's side of GDAL: every call goes to the GDAL module, loaded on the first; or, in a
// library that carries the module's code itself (TERRAPIVOTER_GDAL_LINKED: the Python
// package's, which no program's symbols can serve), to that code.
#include <mutex>

#include "base/failure.h"
#include "base/progress.h"
#include "formats/gdal_module.h"
#include "platform/platform.h"

#ifdef TERRAPIVOTER_GDAL_LINKED
extern "C" const terrapivoter::GdalModule* terrapivoter_gdal_module();
#endif

namespace terrapivoter {

namespace {

#ifdef TERRAPIVOTER_GDAL_LINKED
const GdalModule& module() {
    return *terrapivoter_gdal_module();
}
#else
// Where the module may lie: beside the program or one folder up (a build tree, whose tests and
// benchmarks sit in folders of their own), then where it is installed, relative to the program
// (TERRAPIVOTER_MODULE_DIR: "../lib/<triplet>/terrapivoter" from "bin").
std::vector<std::string> module_places(const std::string& folder) {
    const std::string file = std::string(kGdalModuleName) + platform::kModuleSuffix;
    return {folder + "/" + file, folder + "/../" + file,
            folder + "/" + TERRAPIVOTER_MODULE_DIR + "/" + file};
}

const GdalModule& module() {
    static std::once_flag once;
    static const GdalModule* loaded = nullptr;
    static std::string failure;
    std::call_once(once, [] {
        const std::string folder = platform::program_folder();
        const std::vector<std::string> places = module_places(folder);
        for (const std::string& place : places) {
            if (!platform::file_exists(place)) continue;
            std::string error;
            if (void* entry = platform::load_module(place, kGdalModuleEntry, error)) {
                const GdalModule* found = reinterpret_cast<GdalModuleEntry>(entry)();
                if (std::string(found->version) == TERRAPIVOTER_VERSION) {
                    loaded = found;
                } else {
                    failure = "GDAL support at " + place + " belongs to terrapivoter " +
                              found->version + ", not to this terrapivoter " +
                              TERRAPIVOTER_VERSION + "; install the two together";
                }
            } else {
                failure = "cannot load GDAL support from " + place + ": " + error;
            }
            return;
        }
        failure = "GDAL support is missing: there is no " +
                  places.back().substr(places.back().rfind('/') + 1) +
                  " where this program looks for it (" + places.back() + ")";
    });
    if (loaded == nullptr) throw Failure(failure);
    return *loaded;
}
#endif

}  // namespace

bool gdal_available() {
    return true;
}

GdalInfo peek_gdal_raster(const FileName& file) {
    return module().peek(file);
}

GdalRaster read_gdal_raster(const FileName& file, int band, const Work& work, bool in_place,
                            bool unscale) {
    return module().read(file, band, work, in_place, unscale);
}

std::string gdal_driver_problem(const std::string& driver) {
    return module().driver_problem(driver);
}

std::vector<std::string> gdal_drivers_for(const std::string& path) {
    return module().drivers_for(path);
}

std::string gdal_real_type(const std::string& type) {
    return module().real_type(type);
}

std::string gdal_type_cannot_hold(const std::string& type, double value) {
    return module().type_cannot_hold(type, value);
}

std::string gdal_type_union(const std::string& a, const std::string& b) {
    return module().type_union(a, b);
}

void gdal_set_config(const std::string& key, const std::string& value) {
    module().set_config(key, value);
}

std::vector<std::string> gdal_default_creation_options(const std::string& driver,
                                                       const std::string& type, int bands,
                                                       unsigned threads) {
    return module().default_creation_options(driver, type, bands, threads);
}

GdalWriter::GdalWriter(const GdalWriteOptions& options, const std::string& path,
                       const std::string& displayed, int32_t nb_lig, int32_t nb_col,
                       const Work& work)
    : state_(module().open_writer(options, path, displayed, nb_lig, nb_col, work)) {}

GdalWriter::~GdalWriter() = default;

void GdalWriter::Close::operator()(State* state) const {
    module().close_writer(state);
}

void GdalWriter::start_band(int band) {
    module().start_band(*state_, band);
}

void GdalWriter::write(DoubleGrid rows, Progress* progress) {
    module().write_rows(*state_, rows, progress);
}

void GdalWriter::finish() {
    module().finish_writer(*state_);
}

std::string gdal_crs_as_prj(const std::string& wkt) {
    return module().crs_as_prj(wkt);
}

std::string gdal_crs_from_prj(const std::string& prj_text) {
    return module().crs_from_prj(prj_text);
}

}  // namespace terrapivoter
