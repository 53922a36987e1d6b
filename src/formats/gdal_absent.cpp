// A build without GDAL: only the raster pair and the ASCII grid are known.
#include "base/failure.h"
#include "formats/gdal_raster.h"

namespace {

[[noreturn]] void no_gdal(const std::string& what) {
    throw Failure(what +
                  ": this terrapivoter was built without GDAL (TERRAPIVOTER_GDAL=OFF), so "
                  "it knows only ASCII grids (NAME.asc) and raster pairs (NAME_m4.txt)");
}

}  // namespace

bool gdal_available() {
    return false;
}

GdalRaster read_gdal_raster(const FileName& file, int, const Work&, bool) {
    no_gdal(file.shown);
}

GridSize peek_gdal_raster(const FileName& file) {
    no_gdal(file.shown);
}

std::string gdal_driver_problem(const std::string& driver) {
    return "the " + driver +
           " driver needs GDAL, and this terrapivoter was built without it "
           "(TERRAPIVOTER_GDAL=OFF)";
}

bool gdal_real_type(const std::string&) {
    return false;
}

std::vector<std::string> gdal_default_creation_options(const std::string&, const std::string&,
                                                       unsigned) {
    return {};
}

std::vector<std::string> write_gdal_raster(DoubleGrid, const GdalWriteOptions&, OutputFile&,
                                           const Work&) {
    no_gdal("writing through GDAL");
}

struct GdalWriter::State {};

GdalWriter::GdalWriter(const GdalWriteOptions&, OutputFile&, int32_t, int32_t, const Work&) {
    no_gdal("writing through GDAL");
}

GdalWriter::~GdalWriter() = default;

void GdalWriter::Close::operator()(State* state) const {
    delete state;
}

void GdalWriter::write(DoubleGrid, Progress*) {}

std::vector<std::string> GdalWriter::finish() {
    return {};
}

std::string gdal_crs_as_prj(const std::string&) {
    return "";
}

std::string gdal_crs_from_prj(const std::string&) {
    return "";
}
