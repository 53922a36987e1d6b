// The GDAL module: the code that calls GDAL, built as a shared module of its own
// (terrapivoter-gdal.so) that the program loads only when it first reads or writes through
// GDAL. Linking GDAL and the hundred libraries it brings costs a tenth of a second at every
// start, as long as the rest of a whole raster pair run; runs that never touch GDAL skip it.
// The module finds the rest of the program's code in the program itself.
#pragma once

#include <string>
#include <vector>

#include "formats/gdal_raster.h"

namespace terrapivoter {

// Everything the program asks of the module, in the order of gdal_raster.h.
struct GdalModule {
    // The version of the program the module was built with (TERRAPIVOTER_VERSION): the program
    // takes no other, whose table and types may differ from its own.
    const char* version;
    GdalInfo (*peek)(const FileName& file);
    GdalRaster (*read)(const FileName& file, int band, const Work& work, bool in_place,
                       bool unscale);
    std::string (*driver_problem)(const std::string& driver);
    std::vector<std::string> (*drivers_for)(const std::string& path);
    std::string (*real_type)(const std::string& type);
    std::string (*type_cannot_hold)(const std::string& type, double value);
    std::string (*type_union)(const std::string& a, const std::string& b);
    void (*set_config)(const std::string& key, const std::string& value);
    std::vector<std::string> (*default_creation_options)(const std::string& driver,
                                                         const std::string& type, int bands,
                                                         unsigned threads);
    GdalWriter::State* (*open_writer)(const GdalWriteOptions& options, const std::string& path,
                                      const std::string& displayed, int32_t nb_lig, int32_t nb_col,
                                      const Work& work);
    void (*start_band)(GdalWriter::State& state, int band);
    void (*write_rows)(GdalWriter::State& state, DoubleGrid rows, Progress* progress);
    void (*finish_writer)(GdalWriter::State& state);
    void (*close_writer)(GdalWriter::State* state);
    std::string (*crs_as_prj)(const std::string& wkt);
    std::string (*crs_from_prj)(const std::string& prj_text);
};

// The module's file name without the system's suffix, and the one symbol it exports: a
// function returning its GdalModule.
inline constexpr const char* kGdalModuleName = "terrapivoter-gdal";
inline constexpr const char* kGdalModuleEntry = "terrapivoter_gdal_module";
using GdalModuleEntry = const GdalModule* (*)();

}  // namespace terrapivoter
