// A build without GDAL: only the raster pair and the ASCII grid are known.
#include "base/failure.h"
#include "formats/gdal_raster.h"

namespace terrapivoter {

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

GdalInfo peek_gdal_raster(const FileName& file) {
    no_gdal(file.shown);
}

GdalRaster read_gdal_raster(const FileName& file, int, const Work&, bool, bool) {
    no_gdal(file.shown);
}

std::string gdal_driver_problem(const std::string& driver) {
    return "the " + driver +
           " driver needs GDAL, and this terrapivoter was built without it "
           "(TERRAPIVOTER_GDAL=OFF)";
}

std::vector<std::string> gdal_drivers_for(const std::string&) {
    return {};
}

std::string gdal_real_type(const std::string&) {
    return "";
}

std::string gdal_type_cannot_hold(const std::string&, double) {
    return "";
}

std::string gdal_type_union(const std::string& a, const std::string&) {
    return a;
}

void gdal_set_config(const std::string&, const std::string&) {
    no_gdal("--config");
}

std::vector<std::string> gdal_default_creation_options(const std::string&, const std::string&, int,
                                                       unsigned) {
    return {};
}

struct GdalWriter::State {};

GdalWriter::GdalWriter(const GdalWriteOptions&, const std::string&, const std::string&, int32_t,
                       int32_t, const Work&) {
    no_gdal("writing through GDAL");
}

GdalWriter::~GdalWriter() = default;

void GdalWriter::Close::operator()(State* state) const {
    delete state;
}

void GdalWriter::start_band(int) {}

void GdalWriter::write(DoubleGrid, Progress*) {}

void GdalWriter::finish() {}

std::string gdal_crs_as_prj(const std::string&) {
    return "";
}

std::string gdal_crs_from_prj(const std::string&) {
    return "";
}

}  // namespace terrapivoter
