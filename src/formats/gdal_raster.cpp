// The GDAL module (see gdal_module.h): everything that calls GDAL.
#include "formats/gdal_module.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal.h>
#include <ogr_srs_api.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <numeric>
#include <set>
#include <type_traits>

#include "base/empty_cell.h"
#include "base/failure.h"
#include "base/parallel.h"
#include "base/progress.h"
#include "formats/number_text.h"
#include "io/memory_budget.h"
#include "platform/platform.h"

namespace terrapivoter {

namespace {

// The last failure GDAL reported on any thread, and the system's reason behind a failed write
// if there was one. GDAL keeps its last error per thread, and a failure met by one of its own
// threads (a GeoTIFF's blocks are decoded and encoded on several) never reaches the thread that
// asked. A write that failed for want of room is reported by libtiff as "Write error at
// scanline ..." and then by GDAL as "An error occurred while writing a dirty block": the
// system's "No space left on device" is only in errno when the first of them is reported.
struct Failures {
    std::mutex mutex;
    std::string last;
    int system_error = 0;  // the first errno that says why a write failed
};
Failures& failures() {
    static Failures f;
    return f;
}

bool is_write_error(int error) {
    return error == ENOSPC || error == EDQUOT || error == EFBIG || error == EIO || error == EROFS;
}

// GDAL's own messages become ours: failures are kept for the message of the call that failed,
// warnings go out as our warnings.
void on_gdal_message(CPLErr kind, CPLErrorNum, const char* message) {
    const int error = errno;
    if (kind == CE_Warning) {
        warn(std::string("GDAL: ") + message);
    } else if (kind >= CE_Failure) {
        Failures& f = failures();
        const std::lock_guard lock(f.mutex);
        f.last = message;
        if (f.system_error == 0 && is_write_error(error)) f.system_error = error;
    }
    errno = error;
}

// The configuration options the user set (--config): they stand over the program's own.
std::set<std::string>& user_config() {
    static std::set<std::string> keys;
    return keys;
}

void start_gdal() {
    static std::once_flag started;
    std::call_once(started, [] {
        CPLSetErrorHandler(on_gdal_message);
        GDALAllRegister();
        // The grids live in our own memory; GDAL's block cache needs only a row of blocks or
        // two. Its default (5% of memory) only delays compression to the closing of the file
        // and costs fresh pages: 64 MB wrote a 10000 x 10000 GeoTIFF 20% faster here. A
        // GDAL_CACHEMAX the user set stands.
        if (CPLGetConfigOption("GDAL_CACHEMAX", nullptr) == nullptr) {
            GDALSetCacheMax64(int64_t{64} << 20);
        }
    });
}

void set_config(const std::string& key, const std::string& value) {
    CPLSetConfigOption(key.c_str(), value.c_str());
    user_config().insert(key);
    if (key == "GDAL_CACHEMAX") GDALSetCacheMax64(GDALGetCacheMax64());
}

// Why the last call failed: the calling thread's own reason, or the last one any thread met,
// with the system's reason behind a failed write when GDAL's words leave it out.
std::string last_gdal_error() {
    const char* own = CPLGetLastErrorMsg();
    Failures& f = failures();
    const std::lock_guard lock(f.mutex);
    std::string reason = own != nullptr && *own != '\0' ? own : f.last;
    if (reason.empty()) reason = "GDAL gave no reason";
    if (f.system_error != 0) {
        const std::string system = std::strerror(f.system_error);
        if (reason.find(system) == std::string::npos) reason = system + " (" + reason + ")";
    }
    return reason;
}

// Forgets earlier failures before a call whose failure is to be reported.
void reset_gdal_error() {
    CPLErrorReset();
    Failures& f = failures();
    const std::lock_guard lock(f.mutex);
    f.last.clear();
    f.system_error = 0;
}

// A dataset closed on every way out.
struct Dataset {
    GDALDatasetH handle = nullptr;
    explicit Dataset(GDALDatasetH h) : handle(h) {}
    Dataset(const Dataset&) = delete;
    Dataset& operator=(const Dataset&) = delete;
    Dataset(Dataset&& other) noexcept : handle(std::exchange(other.handle, nullptr)) {}
    ~Dataset() {
        if (handle != nullptr) GDALClose(handle);
    }
    // Closes now, so that a driver's last write can be told apart from success.
    bool close() {
        GDALDatasetH h = std::exchange(handle, nullptr);
        reset_gdal_error();
        GDALClose(h);
        Failures& f = failures();
        const std::lock_guard lock(f.mutex);
        return CPLGetLastErrorType() != CE_Failure && f.last.empty();
    }
};

std::string real_text(double v) {
    return format_header_real(v);
}

// Rows per call to GDAL: whole blocks, and about four million cells, so that a request spans
// enough blocks for GDAL's threads to share.
int32_t rows_per_chunk(GDALRasterBandH band, int32_t cols) {
    int block_cols = 0;
    int block_rows = 0;
    GDALGetBlockSize(band, &block_cols, &block_rows);
    const int32_t block = std::max(1, block_rows);
    const int64_t wanted = std::max<int64_t>(1, (int64_t{1} << 22) / std::max(1, cols));
    return static_cast<int32_t>(std::max<int64_t>(block, wanted / block * block));
}

std::string geotransform_text(const GeoTransform& gt) {
    std::string text;
    for (double v : gt)
        text += (text.empty() ? "" : ", ") + real_text(v);
    return "(" + text + ")";
}

// Calls widen(T{}) with the C++ type of a band type whose every value is a double and whose
// widening is ours (GDAL widens one value at a time on one thread: half the reading time of a
// Float32 GeoTIFF); false, having called nothing, for the other types, which GDAL gives as
// doubles.
template <class Widen>
bool with_widened_type(GDALDataType type, Widen&& widen) {
    switch (type) {
        case GDT_Byte:
            widen(uint8_t{});
            return true;
        case GDT_UInt16:
            widen(uint16_t{});
            return true;
        case GDT_Int16:
            widen(int16_t{});
            return true;
        case GDT_UInt32:
            widen(uint32_t{});
            return true;
        case GDT_Int32:
            widen(int32_t{});
            return true;
        case GDT_Float32:
            widen(float{});
            return true;
        default:
            return false;
    }
}

// The type a band is read in.
GDALDataType read_type(GDALDataType stored) {
    return with_widened_type(stored, [](auto) {}) ? stored : GDT_Float64;
}

// Values read in `type` (a read_type) into working values. Stored doubles that happen to carry
// the empty cells' mark would be taken for empty cells: they become the quiet NaN they are.
void to_working_values(const void* in, GDALDataType type, double* out, std::size_t count) {
    const auto* bytes = static_cast<const unsigned char*>(in);
    const bool widened = with_widened_type(type, [&](auto stored) {
        using T = decltype(stored);
        for (std::size_t k = 0; k < count; ++k) {
            T value;
            std::memcpy(&value, bytes + k * sizeof(T), sizeof(T));
            out[k] = static_cast<double>(value);
        }
    });
    if (widened) return;
    std::memcpy(out, in, count * sizeof(double));
    for (std::size_t k = 0; k < count; ++k) {
        if (is_empty(out[k])) out[k] = std::numeric_limits<double>::quiet_NaN();
    }
}

// How stored values become working values: as they are, or unscaled into what they stand for.
struct Unscaling {
    double scale = 1.0;
    double offset = 0.0;
    bool applies = false;

    void operator()(double* values, std::size_t count) const {
        if (!applies) return;
        for (std::size_t k = 0; k < count; ++k) {
            const double v = values[k] * scale + offset;
            values[k] = is_empty(v) ? std::numeric_limits<double>::quiet_NaN() : v;
        }
    }
};

Unscaling unscaling_of(GDALRasterBandH band, bool unscale) {
    int has_scale = 0;
    int has_offset = 0;
    Unscaling u;
    u.scale = GDALGetRasterScale(band, &has_scale);
    u.offset = GDALGetRasterOffset(band, &has_offset);
    if (has_scale == 0) u.scale = 1.0;
    if (has_offset == 0) u.offset = 0.0;
    u.applies = unscale && (u.scale != 1.0 || u.offset != 0.0);
    return u;
}

// Segments of rows through GDAL, one request at a time (a dataset serves one thread).
class GdalSource : public GridSource {
  public:
    GdalSource(Dataset dataset, GDALRasterBandH band, int32_t rows, int32_t cols, GDALDataType type,
               Unscaling unscaling, bool turned_over, std::string shown)
        : GridSource(rows, cols),
          dataset_(std::move(dataset)),
          band_(band),
          type_(type),
          unscaling_(unscaling),
          turned_over_(turned_over),
          shown_(std::move(shown)) {}

    void read(int32_t row, int32_t first, int32_t end, double* out) override {
        const auto count = static_cast<std::size_t>(end - first);
        const int32_t stored_row = turned_over_ ? nb_lig() - 1 - row : row;
        const std::lock_guard lock(mutex_);
        stored_.resize(count * static_cast<std::size_t>(GDALGetDataTypeSizeBytes(type_)));
        if (GDALRasterIO(band_, GF_Read, first, stored_row, end - first, 1, stored_.data(),
                         end - first, 1, type_, 0, 0) != CE_None) {
            throw Failure("cannot read " + shown_ + ": " + last_gdal_error());
        }
        to_working_values(stored_.data(), type_, out, count);
        unscaling_(out, count);
    }

  private:
    Dataset dataset_;
    GDALRasterBandH band_;
    GDALDataType type_;
    Unscaling unscaling_;
    bool turned_over_;
    std::string shown_;
    std::mutex mutex_;
    std::vector<unsigned char> stored_;
};

std::vector<std::string> list_of(char** list) {
    std::vector<std::string> items;
    for (char** item = list; item != nullptr && *item != nullptr; ++item)
        items.emplace_back(*item);
    return items;
}

// A band's metadata as gdal_translate carries it over turned values: without the statistics,
// which no longer hold.
std::vector<std::string> carried_band_metadata(GDALRasterBandH band) {
    std::vector<std::string> kept;
    for (std::string& item : list_of(GDALGetMetadata(band, nullptr))) {
        if (item.rfind("STATISTICS_", 0) != 0) kept.push_back(std::move(item));
    }
    return kept;
}

GdalBandInfo band_info(GDALRasterBandH band) {
    GdalBandInfo info;
    info.type = GDALGetDataTypeName(GDALGetRasterDataType(band));
    int has = 0;
    const double nodata = GDALGetRasterNoDataValue(band, &has);
    if (has != 0) info.nodata = nodata;
    const double scale = GDALGetRasterScale(band, &has);
    if (has != 0) info.scale = scale;
    const double offset = GDALGetRasterOffset(band, &has);
    if (has != 0) info.offset = offset;
    if (const char* unit = GDALGetRasterUnitType(band)) info.unit = unit;
    if (const char* description = GDALGetDescription(band)) info.description = description;
    info.colour = static_cast<int>(GDALGetRasterColorInterpretation(band));
    info.metadata = carried_band_metadata(band);
    return info;
}

// GDAL's default georeference, which drivers give a grid that has none.
constexpr GeoTransform kNoGeoTransform{0.0, 1.0, 0.0, 0.0, 0.0, 1.0};

// Opens a raster, reporting a missing file as the native readers report it.
Dataset open_raster(const FileName& file) {
    start_gdal();
    if (std::FILE* f = platform::open_for_reading(file.host, false)) {
        std::fclose(f);
    } else if (file.host.rfind("/vsi", 0) != 0) {
        throw MissingInputFile(file.shown, platform::last_error_text());
    }
    reset_gdal_error();
    Dataset dataset(GDALOpenEx(file.host.c_str(),
                               GDAL_OF_RASTER | GDAL_OF_READONLY | GDAL_OF_VERBOSE_ERROR, nullptr,
                               nullptr, nullptr));
    if (dataset.handle == nullptr) {
        throw Failure("cannot open " + file.shown + " as a raster: " + last_gdal_error());
    }
    return dataset;
}

// The georeference of a grid GDAL reads, north-up with square cells, and whether its rows are
// stored south first; fails saying what it found otherwise.
std::optional<GeoTransform> checked_geotransform(GDALDatasetH dataset, const std::string& shown,
                                                 bool& south_up) {
    south_up = false;
    GeoTransform gt{};
    if (GDALGetGeoTransform(dataset, gt.data()) != CE_None || gt == kNoGeoTransform) {
        return std::nullopt;
    }
    if (gt[2] != 0.0 || gt[4] != 0.0) {
        throw Failure(shown + ": its geotransform " + geotransform_text(gt) +
                      " is rotated or sheared; only north-up grids can be turned");
    }
    if (!(gt[1] > 0.0) || gt[5] == 0.0 || gt[5] != gt[5]) {
        throw Failure(shown + ": its geotransform " + geotransform_text(gt) +
                      " has columns that run west or rows of no height; only north-up grids "
                      "can be turned");
    }
    const double dx = gt[1];
    const double dy = std::fabs(gt[5]);
    if (!cells_are_square(dx, dy)) {
        throw Failure(shown + ": its cells are " + real_text(dx) + " by " + real_text(dy) +
                      "; only grids of square cells can be turned");
    }
    if (gt[5] > 0.0) {
        // South-up: its rows are read north first, which puts its top edge at its far one.
        south_up = true;
        gt[3] += GDALGetRasterYSize(dataset) * gt[5];
        gt[5] = -gt[5];
    }
    return gt;
}

GdalInfo peek_raster(const FileName& file) {
    const Dataset dataset = open_raster(file);
    GdalInfo info;
    info.nb_col = GDALGetRasterXSize(dataset.handle);
    info.nb_lig = GDALGetRasterYSize(dataset.handle);
    check_grid_shape(info.nb_lig, info.nb_col, file.shown);
    const int bands = GDALGetRasterCount(dataset.handle);
    if (bands < 1) throw Failure(file.shown + ": has no band of values");
    bool south_up = false;
    info.geotransform = checked_geotransform(dataset.handle, file.shown, south_up);
    if (const char* wkt = GDALGetProjectionRef(dataset.handle)) info.crs_wkt = wkt;
    info.metadata = list_of(GDALGetMetadata(dataset.handle, nullptr));
    for (int b = 1; b <= bands; ++b) {
        GDALRasterBandH band = GDALGetRasterBand(dataset.handle, b);
        info.bands.push_back(band_info(band));
        if (GDALDataTypeIsComplex(GDALGetRasterDataType(band)) != 0) {
            throw Failure(file.shown + ": band " + std::to_string(b) + " holds " +
                          info.bands.back().type + " values; only real values can be turned");
        }
    }
    return info;
}

GdalRaster read_raster(const FileName& file, int band_number, const Work& work, bool in_place,
                       bool unscale) {
    start_gdal();
    if (user_config().count("GDAL_NUM_THREADS") == 0) {
        CPLSetConfigOption("GDAL_NUM_THREADS", std::to_string(std::max(1u, work.threads)).c_str());
    }
    Dataset dataset = open_raster(file);
    const int bands = GDALGetRasterCount(dataset.handle);
    if (band_number < 1 || band_number > bands) {
        throw Failure(file.shown + ": has no band " + std::to_string(band_number) + "; it has " +
                      std::to_string(bands));
    }
    GDALRasterBandH band = GDALGetRasterBand(dataset.handle, band_number);
    const int cols = GDALGetRasterXSize(dataset.handle);
    const int rows = GDALGetRasterYSize(dataset.handle);
    check_grid_shape(rows, cols, file.shown);
    bool south_up = false;
    checked_geotransform(dataset.handle, file.shown, south_up);
    const GDALDataType stored = read_type(GDALGetRasterDataType(band));
    const Unscaling unscaling = unscaling_of(band, unscale);

    GdalRaster raster;
    if (in_place) {
        raster.source = std::make_unique<GdalSource>(std::move(dataset), band, rows, cols, stored,
                                                     unscaling, south_up, file.shown);
        return raster;
    }
    check_fits_in_memory(rows, cols, file.shown);
    raster.values = fresh_grid<double>(rows, cols, work.threads);
    const int32_t chunk = rows_per_chunk(band, cols);
    const auto row_bytes =
        static_cast<std::size_t>(cols) * static_cast<std::size_t>(GDALGetDataTypeSizeBytes(stored));
    std::vector<unsigned char> buffer(static_cast<std::size_t>(chunk) * row_bytes);
    Progress progress(work, "reading " + file.shown, rows, int64_t{rows} * cols);
    for (int32_t first = 0; first < rows; first += chunk) {
        const int32_t count = std::min(chunk, rows - first);
        reset_gdal_error();
        if (GDALRasterIO(band, GF_Read, 0, first, cols, count, buffer.data(), cols, count, stored,
                         0, 0) != CE_None) {
            throw Failure("cannot read " + file.shown + ": " + last_gdal_error());
        }
        for_row_bands(work.threads, 0, count, [&](unsigned, int32_t begin, int32_t end) {
            for (int32_t r = begin; r < end; ++r) {
                double* out = raster.values[south_up ? rows - 1 - (first + r) : first + r];
                to_working_values(buffer.data() + static_cast<std::size_t>(r) * row_bytes, stored,
                                  out, static_cast<std::size_t>(cols));
                unscaling(out, static_cast<std::size_t>(cols));
            }
        });
        progress.advance(count);
    }
    return raster;
}

bool writes_rasters(GDALDriverH d) {
    return GDALGetMetadataItem(d, GDAL_DCAP_RASTER, nullptr) != nullptr &&
           (GDALGetMetadataItem(d, GDAL_DCAP_CREATE, nullptr) != nullptr ||
            GDALGetMetadataItem(d, GDAL_DCAP_CREATECOPY, nullptr) != nullptr);
}

std::string driver_problem(const std::string& driver) {
    start_gdal();
    GDALDriverH d = GDALGetDriverByName(driver.c_str());
    if (d == nullptr) return "GDAL has no driver named " + quoted(driver);
    if (!writes_rasters(d)) return "GDAL's " + driver + " driver cannot create rasters";
    // A virtual raster would only point at the scratch file it was copied from; MEM writes no
    // file at all.
    if (driver == "VRT" || driver == "MEM") {
        return "GDAL's " + driver + " driver writes no raster of its own to a file";
    }
    return "";
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return text;
}

std::vector<std::string> drivers_for(const std::string& path) {
    start_gdal();
    const std::size_t dot = path.rfind('.');
    const std::size_t slash = path.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    const std::string suffix = lower(path.substr(dot + 1));
    std::vector<std::string> found;
    for (int i = 0; i < GDALGetDriverCount(); ++i) {
        GDALDriverH d = GDALGetDriver(i);
        const char* extensions = GDALGetMetadataItem(d, GDAL_DMD_EXTENSIONS, nullptr);
        if (!writes_rasters(d) || extensions == nullptr) continue;
        const std::string name = GDALGetDriverShortName(d);
        if (!driver_problem(name).empty()) continue;
        for (const std::string& e :
             list_of(CPLStringList(CSLTokenizeString(extensions), TRUE).List())) {
            if (lower(e) == suffix) {
                found.push_back(name);
                break;
            }
        }
    }
    // GeoTIFF's suffix is also the cloud-optimised GeoTIFF's; gdal_translate takes GeoTIFF
    // without a word.
    if (found.size() == 2 && found[0] == "GTiff" && found[1] == "COG") found.pop_back();
    return found;
}

std::string real_type(const std::string& type) {
    start_gdal();
    const GDALDataType t = GDALGetDataTypeByName(type.c_str());
    if (t == GDT_Unknown || GDALDataTypeIsComplex(t) != 0) return "";
    return GDALGetDataTypeName(t);
}

std::string type_cannot_hold(const std::string& type, double value) {
    start_gdal();
    const GDALDataType t = GDALGetDataTypeByName(type.c_str());
    if (t == GDT_Float64) return "";
    if (t == GDT_Float32) {
        if (!std::isfinite(value) || std::fabs(value) <= std::numeric_limits<float>::max()) {
            return "";
        }
        return type + " holds values of magnitude up to " +
               real_text(std::numeric_limits<float>::max());
    }
    const bool is_signed = GDALDataTypeIsSigned(t) != 0;
    const int bits = GDALGetDataTypeSizeBits(t);
    const double lowest = is_signed ? -std::ldexp(1.0, bits - 1) : 0.0;
    const double beyond = std::ldexp(1.0, is_signed ? bits - 1 : bits);
    // The largest double within the type (2^63 - 1 is not a double; 2^63 - 1024 is).
    const double highest = bits < 53 ? beyond - 1.0 : std::nextafter(beyond, 0.0);
    if (value >= lowest && value <= highest && value == std::floor(value)) return "";
    auto whole = [](double v) {
        char text[32];
        std::snprintf(text, sizeof text, "%.0f", v);
        return std::string(text);
    };
    return type + " holds whole numbers from " + whole(lowest) + " to " + whole(highest);
}

std::string type_union(const std::string& a, const std::string& b) {
    start_gdal();
    return GDALGetDataTypeName(
        GDALDataTypeUnion(GDALGetDataTypeByName(a.c_str()), GDALGetDataTypeByName(b.c_str())));
}

std::vector<std::string> default_creation_options(const std::string& driver,
                                                  const std::string& type, int bands,
                                                  unsigned threads) {
    if (driver != "GTiff") return {};
    start_gdal();
    const GDALDataType t = GDALGetDataTypeByName(type.c_str());
    const bool floating = GDALDataTypeIsFloating(t) != 0;
    std::vector<std::string> options = {
        "TILED=YES", "COMPRESS=DEFLATE", floating ? "PREDICTOR=3" : "PREDICTOR=2",
        "BIGTIFF=IF_SAFER", "NUM_THREADS=" + std::to_string(std::max(1u, threads))};
    // Each band is written whole before the next: interleaved by pixel, every compressed block
    // would be written once for each band.
    if (bands > 1) options.emplace_back("INTERLEAVE=BAND");
    return options;
}

// The rounding and clamping of a value into an integer type, counting what had to be clamped. A
// NaN becomes `nodata` where there is one: it is no value, not one to clamp.
template <class T>
int64_t to_integers(const double* values, T* out, std::size_t count, std::optional<double> nodata) {
    constexpr auto lowest = static_cast<double>(std::numeric_limits<T>::lowest());
    // The largest double not beyond the type (2^63 - 1 is not a double; 2^63 - 1024 is).
    const double highest =
        std::nextafter(static_cast<double>(std::numeric_limits<T>::max()) + 1.0, 0.0);
    const T for_nan = nodata ? static_cast<T>(*nodata) : T{0};
    int64_t clamped = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const double r = std::round(values[k]);
        if (r != r) {
            out[k] = for_nan;
            clamped += nodata ? 0 : 1;
        } else if (r < lowest) {
            out[k] = std::numeric_limits<T>::lowest();
            ++clamped;
        } else if (r > highest) {
            out[k] = std::numeric_limits<T>::max();
            clamped += r > static_cast<double>(std::numeric_limits<T>::max()) ? 1 : 0;
        } else {
            out[k] = static_cast<T>(r);
        }
    }
    return clamped;
}

// Converts `count` doubles into `type` at `out`; returns how many had to be clamped.
int64_t convert_values(const double* values, void* out, std::size_t count, GDALDataType type,
                       std::optional<double> nodata) {
    switch (type) {
        case GDT_Byte:
            return to_integers(values, static_cast<uint8_t*>(out), count, nodata);
        case GDT_UInt16:
            return to_integers(values, static_cast<uint16_t*>(out), count, nodata);
        case GDT_Int16:
            return to_integers(values, static_cast<int16_t*>(out), count, nodata);
        case GDT_UInt32:
            return to_integers(values, static_cast<uint32_t*>(out), count, nodata);
        case GDT_Int32:
            return to_integers(values, static_cast<int32_t*>(out), count, nodata);
        case GDT_UInt64:
            return to_integers(values, static_cast<uint64_t*>(out), count, nodata);
        case GDT_Int64:
            return to_integers(values, static_cast<int64_t*>(out), count, nodata);
        case GDT_Float32: {
            auto* f = static_cast<float*>(out);
            for (std::size_t k = 0; k < count; ++k)
                f[k] = static_cast<float>(values[k]);
            return 0;
        }
        default:
            std::memcpy(out, values, count * sizeof(double));
            return 0;
    }
}

// The options as GDAL takes them, the later of two with one name winning.
CPLStringList option_list(const std::vector<std::string>& options) {
    std::map<std::string, std::string> by_name;
    std::vector<std::string> order;
    for (const std::string& option : options) {
        const std::size_t equals = option.find('=');
        std::string name = option.substr(0, equals);
        std::transform(name.begin(), name.end(), name.begin(), [](char c) {
            return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
        });
        if (by_name.count(name) == 0) order.push_back(name);
        by_name[name] = equals == std::string::npos ? "" : option.substr(equals + 1);
    }
    CPLStringList list;
    for (const std::string& name : order)
        list.SetNameValue(name.c_str(), by_name[name].c_str());
    return list;
}

// The name of a driver's scratch copy in the writer's folder, which no driver names a file of
// its own after.
constexpr const char* kScratchName = ".terrapivoter-scratch.tif";

}  // namespace

struct GdalWriter::State {
    GDALDriverH driver = nullptr;
    GDALDataType type = GDT_Unknown;
    CPLStringList creation;
    std::string path;       // where the driver writes
    std::string scratch;    // the scratch GeoTIFF a driver that can only copy is given
    std::string displayed;  // the output, as messages name it
    Dataset dataset{nullptr};
    GdalWriteOptions options;
    GDALRasterBandH band = nullptr;
    std::optional<double> nodata;  // the band's
    int64_t clamped = 0;
    Work work;
    // Rows are handed to GDAL in whole chunks of blocks, the same chunks however the rows come:
    // a GeoTIFF's bytes then do not depend on how the output was banded.
    int32_t chunk = 0;
    int32_t nb_lig = 0;
    int32_t nb_col = 0;
    std::size_t type_size = 0;
    std::vector<unsigned char> pending;
    int32_t pending_rows = 0;
    int32_t written_rows = 0;

    void flush_pending() {
        if (pending_rows == 0) return;
        reset_gdal_error();
        if (GDALRasterIO(band, GF_Write, 0, written_rows, nb_col, pending_rows, pending.data(),
                         nb_col, pending_rows, type, 0, 0) != CE_None) {
            fail("write");
        }
        written_rows += pending_rows;
        pending_rows = 0;
    }

    [[noreturn]] void fail(const std::string& what) const {
        throw Failure("cannot " + what + " " + displayed + ": " + last_gdal_error());
    }
};

namespace {

// Gives a written band the properties its input band carries, as gdal_translate does; a driver
// that cannot store one keeps it beside the file (GDAL's .aux.xml) or drops it, as for
// gdal_translate.
void carry_band_properties(GDALRasterBandH band, const GdalBandInfo& info) {
    if (info.scale || info.offset) {
        GDALSetRasterScale(band, info.scale.value_or(1.0));
        GDALSetRasterOffset(band, info.offset.value_or(0.0));
    }
    if (!info.unit.empty()) GDALSetRasterUnitType(band, info.unit.c_str());
    if (!info.description.empty()) GDALSetDescription(band, info.description.c_str());
    const auto colour = static_cast<GDALColorInterp>(info.colour);
    if (colour != GCI_Undefined && colour != GDALGetRasterColorInterpretation(band)) {
        GDALSetRasterColorInterpretation(band, colour);
    }
    if (!info.metadata.empty()) {
        CPLStringList metadata;
        for (const std::string& item : info.metadata)
            metadata.AddString(item.c_str());
        GDALSetMetadata(band, metadata.List(), nullptr);
    }
}

GdalWriter::State* open_writer(const GdalWriteOptions& options, const std::string& path,
                               const std::string& displayed, int32_t nb_lig, int32_t nb_col,
                               const Work& work) {
    start_gdal();
    auto state = std::make_unique<GdalWriter::State>();
    GdalWriter::State& st = *state;
    st.driver = GDALGetDriverByName(options.driver.c_str());
    st.type = GDALGetDataTypeByName(options.type.c_str());
    st.creation = option_list(options.creation_options);
    st.path = path;
    st.displayed = displayed;
    st.options = options;
    st.work = work;
    st.nb_lig = nb_lig;
    st.nb_col = nb_col;
    // GeoTIFF is written as it is made. Every other driver that can copy a dataset is given one
    // to copy, as gdal_translate gives it one: many take at their creation what they cannot
    // take later (NITF its coordinate system, GeoPackage its no-data value, PCRaster its value
    // scale), and work it out from the dataset they copy.
    const bool copies = GDALGetMetadataItem(st.driver, GDAL_DCAP_CREATECOPY, nullptr) != nullptr &&
                        options.driver != "GTiff";
    const auto bands = static_cast<int>(options.bands.size());
    reset_gdal_error();
    if (!copies) {
        st.dataset.handle =
            GDALCreate(st.driver, path.c_str(), nb_col, nb_lig, bands, st.type, st.creation.List());
    } else {
        // The dataset to copy: a GeoTIFF written beside where the driver writes (raw and in
        // bands: it is read once, by the copy).
        const std::size_t slash = path.find_last_of("/\\");
        st.scratch = path.substr(0, slash + 1) + kScratchName;
        const char* scratch_options[] = {"TILED=YES", "BIGTIFF=IF_SAFER", "INTERLEAVE=BAND",
                                         nullptr};
        st.dataset.handle = GDALCreate(GDALGetDriverByName("GTiff"), st.scratch.c_str(), nb_col,
                                       nb_lig, bands, st.type, const_cast<char**>(scratch_options));
    }
    if (st.dataset.handle == nullptr) {
        // A type the driver does not write is the usual reason, and --ot the way out.
        std::string reason = last_gdal_error();
        const char* types = GDALGetMetadataItem(st.driver, GDAL_DMD_CREATIONDATATYPES, nullptr);
        if (types != nullptr &&
            (" " + std::string(types) + " ").find(" " + options.type + " ") == std::string::npos) {
            reason += " (GDAL's " + options.driver + " driver writes " + types +
                      " values: choose one with --ot)";
        }
        throw Failure("cannot create " + displayed + ": " + reason);
    }
    if (GDALGetRasterCount(st.dataset.handle) != bands) {
        throw Failure("cannot create " + displayed + ": GDAL's " + options.driver +
                      " driver made " + std::to_string(GDALGetRasterCount(st.dataset.handle)) +
                      " bands where " + std::to_string(bands) + " were asked for");
    }
    if (options.geotransform) {
        GeoTransform gt = *options.geotransform;
        if (GDALSetGeoTransform(st.dataset.handle, gt.data()) != CE_None) st.fail("georeference");
    }
    if (!options.crs_wkt.empty() &&
        GDALSetProjection(st.dataset.handle, options.crs_wkt.c_str()) != CE_None) {
        st.fail("set the coordinate system of");
    }
    if (!options.metadata.empty()) {
        CPLStringList metadata;
        for (const std::string& item : options.metadata)
            metadata.AddString(item.c_str());
        GDALSetMetadata(st.dataset.handle, metadata.List(), nullptr);
    }
    for (int b = 0; b < bands; ++b) {
        GDALRasterBandH band = GDALGetRasterBand(st.dataset.handle, b + 1);
        const GdalBandInfo& info = options.bands[static_cast<std::size_t>(b)];
        if (info.nodata && GDALSetRasterNoDataValue(band, *info.nodata) != CE_None) {
            st.fail("set the no-data value of");
        }
        carry_band_properties(band, info);
    }
    // What the driver could not keep of them is its own affair, as for gdal_translate.
    reset_gdal_error();
    st.type_size = static_cast<std::size_t>(GDALGetDataTypeSizeBytes(st.type));
    return state.release();
}

void start_band(GdalWriter::State& st, int band) {
    st.flush_pending();
    st.band = GDALGetRasterBand(st.dataset.handle, band + 1);
    st.nodata = st.options.bands[static_cast<std::size_t>(band)].nodata;
    st.written_rows = 0;
    st.chunk = std::min(rows_per_chunk(st.band, st.nb_col), std::max(1, st.nb_lig));
    st.pending.resize(static_cast<std::size_t>(st.chunk) * static_cast<std::size_t>(st.nb_col) *
                      st.type_size);
}

void write_rows(GdalWriter::State& st, DoubleGrid grid, Progress* progress) {
    if (st.band == nullptr) start_band(st, 0);
    const std::size_t row_bytes = grid.width() * st.type_size;
    std::vector<int64_t> clamped(std::max(1u, st.work.threads), 0);
    for (int32_t first = 0; first < grid.nb_lig;) {
        // Rows converted in parallel into the chunk being gathered, which goes out once whole.
        const int32_t count = std::min(st.chunk - st.pending_rows, grid.nb_lig - first);
        unsigned char* into =
            st.pending.data() + static_cast<std::size_t>(st.pending_rows) * row_bytes;
        for_row_bands(st.work.threads, 0, count, [&](unsigned t, int32_t begin, int32_t end) {
            for (int32_t r = begin; r < end; ++r) {
                clamped[t] +=
                    convert_values(grid[first + r], into + static_cast<std::size_t>(r) * row_bytes,
                                   grid.width(), st.type, st.nodata);
            }
        });
        st.pending_rows += count;
        first += count;
        if (st.pending_rows == st.chunk) st.flush_pending();
        advance(progress, count);
    }
    st.clamped += std::accumulate(clamped.begin(), clamped.end(), int64_t{0});
    // Blocks left dirty in GDAL's cache while the next band's input is read through the same
    // cache made a banded GeoTIFF to GeoTIFF run ten times slower: they go out with each band.
    reset_gdal_error();
    if (GDALFlushRasterCache(st.band) != CE_None) st.fail("write");
}

void finish_writer(GdalWriter::State& st) {
    st.flush_pending();
    if (st.clamped > 0) {
        warn(st.displayed + ": " + std::to_string(st.clamped) +
             (st.clamped == 1 ? " value lies" : " values lie") + " outside the range of " +
             st.options.type + " (or is not a number) and was clamped");
    }
    if (!st.scratch.empty()) {
        reset_gdal_error();
        Dataset copy(GDALCreateCopy(st.driver, st.path.c_str(), st.dataset.handle, FALSE,
                                    st.creation.List(), nullptr, nullptr));
        if (copy.handle == nullptr) st.fail("write");
        std::swap(copy.handle, st.dataset.handle);
        if (!copy.close()) st.fail("write");
        GDALDeleteDataset(GDALGetDriverByName("GTiff"), st.scratch.c_str());
    }
    if (!st.dataset.close()) st.fail("write");
}

void close_writer(GdalWriter::State* state) {
    delete state;
}

std::string crs_as_prj(const std::string& wkt) {
    start_gdal();
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    std::string prj;
    char* text = nullptr;
    if (OSRSetFromUserInput(srs, wkt.c_str()) == OGRERR_NONE &&
        OSRMorphToESRI(srs) == OGRERR_NONE && OSRExportToWkt(srs, &text) == OGRERR_NONE &&
        text != nullptr) {
        prj = text;
    }
    CPLFree(text);
    OSRDestroySpatialReference(srs);
    return prj;
}

std::string crs_from_prj(const std::string& prj_text) {
    start_gdal();
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    CPLStringList lines(CSLTokenizeString2(prj_text.c_str(), "\r\n", 0), TRUE);
    std::string wkt;
    char* text = nullptr;
    if (OSRImportFromESRI(srs, lines.List()) == OGRERR_NONE &&
        OSRExportToWkt(srs, &text) == OGRERR_NONE && text != nullptr) {
        wkt = text;
    }
    CPLFree(text);
    OSRDestroySpatialReference(srs);
    return wkt;
}

constexpr GdalModule kModule = {TERRAPIVOTER_VERSION, peek_raster,
                                read_raster,          driver_problem,
                                drivers_for,          real_type,
                                type_cannot_hold,     type_union,
                                set_config,           default_creation_options,
                                open_writer,          start_band,
                                write_rows,           finish_writer,
                                close_writer,         crs_as_prj,
                                crs_from_prj};

}  // namespace

}  // namespace terrapivoter

extern "C" __attribute__((visibility("default"))) const terrapivoter::GdalModule*
terrapivoter_gdal_module() {
    return &terrapivoter::kModule;
}
static_assert(std::is_same_v<decltype(&terrapivoter_gdal_module), terrapivoter::GdalModuleEntry>);
