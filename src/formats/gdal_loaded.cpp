// The program's side of GDAL: every call goes to the GDAL module, loaded on the first.
#include <mutex>

#include "base/failure.h"
#include "base/progress.h"
#include "formats/gdal_module.h"
#include "io/output_file.h"
#include "platform/platform.h"

namespace {

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
                loaded = reinterpret_cast<GdalModuleEntry>(entry)();
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

}  // namespace

bool gdal_available() {
    return true;
}

GdalRaster read_gdal_raster(const FileName& file, int band, const Work& work, bool in_place) {
    return module().read(file, band, work, in_place);
}

GridSize peek_gdal_raster(const FileName& file) {
    return module().peek(file);
}

std::string gdal_driver_problem(const std::string& driver) {
    return module().driver_problem(driver);
}

bool gdal_real_type(const std::string& type) {
    return module().real_type(type);
}

std::vector<std::string> gdal_default_creation_options(const std::string& driver,
                                                       const std::string& type, unsigned threads) {
    return module().default_creation_options(driver, type, threads);
}

GdalWriter::GdalWriter(const GdalWriteOptions& options, OutputFile& out, int32_t nb_lig,
                       int32_t nb_col, const Work& work)
    : state_(module().open_writer(options, out, nb_lig, nb_col, work)) {}

GdalWriter::~GdalWriter() = default;

void GdalWriter::Close::operator()(State* state) const {
    module().close_writer(state);
}

void GdalWriter::write(DoubleGrid rows, Progress* progress) {
    module().write_rows(*state_, rows, progress);
}

std::vector<std::string> GdalWriter::finish() {
    return module().finish_writer(*state_);
}

std::vector<std::string> write_gdal_raster(DoubleGrid grid, const GdalWriteOptions& options,
                                           OutputFile& out, const Work& work) {
    GdalWriter writer(options, out, grid.nb_lig, grid.nb_col, work);
    Progress progress(work, "writing " + out.displayed(), grid.nb_lig, grid.cells());
    writer.write(grid, &progress);
    return writer.finish();
}

std::string gdal_crs_as_prj(const std::string& wkt) {
    return module().crs_as_prj(wkt);
}

std::string gdal_crs_from_prj(const std::string& prj_text) {
    return module().crs_from_prj(prj_text);
}
