// The GDAL module (see gdal_module.h): everything that calls GDAL.
#include "formats/gdal_module.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal.h>
#include <ogr_srs_api.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <numeric>
#include <type_traits>

#include "base/empty_cell.h"
#include "base/failure.h"
#include "base/parallel.h"
#include "base/progress.h"
#include "formats/number_text.h"
#include "io/memory_budget.h"
#include "io/output_file.h"
#include "platform/platform.h"

namespace {

// GDAL's own messages become ours: errors are read back where a call failed (they are kept per
// thread), warnings go out as our warnings.
void on_gdal_message(CPLErr kind, CPLErrorNum, const char* message) {
    if (kind == CE_Warning) warn(std::string("GDAL: ") + message);
}

void start_gdal() {
    static std::once_flag started;
    std::call_once(started, [] {
        // No ".aux.xml" beside what we read or write: everything we write goes into the file.
        CPLSetConfigOption("GDAL_PAM_ENABLED", "NO");
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

std::string last_gdal_error() {
    const char* message = CPLGetLastErrorMsg();
    return message != nullptr && *message != '\0' ? message : "GDAL gave no reason";
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
        CPLErrorReset();
        GDALClose(h);
        return CPLGetLastErrorType() != CE_Failure;
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

// Segments of rows through GDAL, one request at a time (a dataset serves one thread).
class GdalSource : public GridSource {
  public:
    GdalSource(Dataset dataset, GDALRasterBandH band, int32_t rows, int32_t cols, GDALDataType type,
               std::string shown)
        : GridSource(rows, cols),
          dataset_(std::move(dataset)),
          band_(band),
          type_(type),
          shown_(std::move(shown)) {}

    void read(int32_t row, int32_t first, int32_t end, double* out) override {
        const auto count = static_cast<std::size_t>(end - first);
        const std::lock_guard lock(mutex_);
        stored_.resize(count * static_cast<std::size_t>(GDALGetDataTypeSizeBytes(type_)));
        if (GDALRasterIO(band_, GF_Read, first, row, end - first, 1, stored_.data(), end - first, 1,
                         type_, 0, 0) != CE_None) {
            throw Failure("cannot read " + shown_ + ": " + last_gdal_error());
        }
        to_working_values(stored_.data(), type_, out, count);
    }

  private:
    Dataset dataset_;
    GDALRasterBandH band_;
    GDALDataType type_;
    std::string shown_;
    std::mutex mutex_;
    std::vector<unsigned char> stored_;
};

GdalRaster read_raster(const FileName& file, int band_number, const Work& work, bool in_place) {
    start_gdal();
    CPLSetConfigOption("GDAL_NUM_THREADS", std::to_string(std::max(1u, work.threads)).c_str());
    // A file that is not there is reported as the native readers report it.
    if (std::FILE* f = platform::open_for_reading(file.host, false)) {
        std::fclose(f);
    } else if (file.host.rfind("/vsi", 0) != 0) {
        throw MissingInputFile(file.shown, platform::last_error_text());
    }
    CPLErrorReset();
    Dataset dataset(GDALOpenEx(file.host.c_str(),
                               GDAL_OF_RASTER | GDAL_OF_READONLY | GDAL_OF_VERBOSE_ERROR, nullptr,
                               nullptr, nullptr));
    if (dataset.handle == nullptr) {
        throw Failure("cannot open " + file.shown + " as a raster: " + last_gdal_error());
    }
    const int bands = GDALGetRasterCount(dataset.handle);
    if (band_number < 1 || band_number > bands) {
        throw Failure(file.shown + ": has no band " + std::to_string(band_number) + "; it has " +
                      std::to_string(bands));
    }
    GDALRasterBandH band = GDALGetRasterBand(dataset.handle, band_number);
    const int cols = GDALGetRasterXSize(dataset.handle);
    const int rows = GDALGetRasterYSize(dataset.handle);
    check_grid_shape(rows, cols, file.shown);

    GdalRaster raster;
    GeoTransform gt{};
    if (GDALGetGeoTransform(dataset.handle, gt.data()) == CE_None) {
        if (gt[2] != 0.0 || gt[4] != 0.0) {
            throw Failure(file.shown + ": its geotransform " + geotransform_text(gt) +
                          " is rotated or sheared; only north-up grids can be turned");
        }
        if (!(gt[1] > 0.0) || !(gt[5] < 0.0)) {
            throw Failure(file.shown + ": its geotransform " + geotransform_text(gt) +
                          " is flipped (rows or columns run backwards); only north-up grids "
                          "can be turned");
        }
        if (gt[1] != -gt[5]) {
            throw Failure(file.shown + ": its cells are " + real_text(gt[1]) + " by " +
                          real_text(-gt[5]) + "; only grids of square cells can be turned");
        }
        raster.geotransform = gt;
    }
    int has_nodata = 0;
    const double nodata = GDALGetRasterNoDataValue(band, &has_nodata);
    if (has_nodata != 0) raster.nodata = nodata;
    if (const char* wkt = GDALGetProjectionRef(dataset.handle)) raster.crs_wkt = wkt;
    if (const char* a = GDALGetMetadataItem(dataset.handle, GDALMD_AREA_OR_POINT, nullptr)) {
        raster.area_or_point = a;
    }
    const GDALDataType type = GDALGetRasterDataType(band);
    raster.type = GDALGetDataTypeName(type);
    if (GDALDataTypeIsComplex(type) != 0) {
        throw Failure(file.shown + ": band " + std::to_string(band_number) + " holds " +
                      raster.type + " values; only real values can be turned");
    }

    if (in_place) {
        raster.source = std::make_unique<GdalSource>(std::move(dataset), band, rows, cols,
                                                     read_type(type), file.shown);
        return raster;
    }
    check_fits_in_memory(rows, cols, file.shown);
    raster.values = fresh_grid<double>(rows, cols, work.threads);
    const int32_t chunk = rows_per_chunk(band, cols);
    const GDALDataType stored = read_type(type);
    const auto row_bytes =
        static_cast<std::size_t>(cols) * static_cast<std::size_t>(GDALGetDataTypeSizeBytes(stored));
    std::vector<unsigned char> buffer(static_cast<std::size_t>(chunk) * row_bytes);
    Progress progress(work, "reading " + file.shown, rows, int64_t{rows} * cols);
    for (int32_t first = 0; first < rows; first += chunk) {
        const int32_t count = std::min(chunk, rows - first);
        if (GDALRasterIO(band, GF_Read, 0, first, cols, count, buffer.data(), cols, count, stored,
                         0, 0) != CE_None) {
            throw Failure("cannot read " + file.shown + ": " + last_gdal_error());
        }
        for_row_bands(work.threads, 0, count, [&](unsigned, int32_t begin, int32_t end) {
            for (int32_t r = begin; r < end; ++r) {
                to_working_values(buffer.data() + static_cast<std::size_t>(r) * row_bytes, stored,
                                  raster.values[first + r], static_cast<std::size_t>(cols));
            }
        });
        progress.advance(count);
    }
    return raster;
}

GridSize peek_raster(const FileName& file) {
    const GdalRaster raster = read_raster(file, 1, {}, true);
    return {raster.source->nb_lig(), raster.source->nb_col()};
}

std::string driver_problem(const std::string& driver) {
    start_gdal();
    GDALDriverH d = GDALGetDriverByName(driver.c_str());
    if (d == nullptr) return "GDAL has no driver named " + quoted(driver);
    const bool raster = GDALGetMetadataItem(d, GDAL_DCAP_RASTER, nullptr) != nullptr;
    const bool creates = GDALGetMetadataItem(d, GDAL_DCAP_CREATE, nullptr) != nullptr ||
                         GDALGetMetadataItem(d, GDAL_DCAP_CREATECOPY, nullptr) != nullptr;
    if (!raster || !creates) return "GDAL's " + driver + " driver cannot create rasters";
    return "";
}

bool real_type(const std::string& type) {
    start_gdal();
    const GDALDataType t = GDALGetDataTypeByName(type.c_str());
    return t != GDT_Unknown && GDALDataTypeIsComplex(t) == 0 && type == GDALGetDataTypeName(t);
}

std::vector<std::string> default_creation_options(const std::string& driver,
                                                  const std::string& type, unsigned threads) {
    if (driver != "GTiff") return {};
    start_gdal();
    const GDALDataType t = GDALGetDataTypeByName(type.c_str());
    const bool floating = GDALDataTypeIsFloating(t) != 0;
    return {"TILED=YES", "COMPRESS=DEFLATE", floating ? "PREDICTOR=3" : "PREDICTOR=2",
            "BIGTIFF=IF_SAFER", "NUM_THREADS=" + std::to_string(std::max(1u, threads))};
}

// The rounding and clamping of a value into an integer type, counting what had to be clamped.
template <class T>
int64_t to_integers(const double* values, T* out, std::size_t count) {
    constexpr auto lowest = static_cast<double>(std::numeric_limits<T>::lowest());
    // The largest double not beyond the type (2^63 - 1 is not a double; 2^63 - 1024 is).
    const double highest =
        std::nextafter(static_cast<double>(std::numeric_limits<T>::max()) + 1.0, 0.0);
    int64_t clamped = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const double r = std::round(values[k]);
        if (r != r) {
            out[k] = 0;
            ++clamped;
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
int64_t convert_values(const double* values, void* out, std::size_t count, GDALDataType type) {
    switch (type) {
        case GDT_Byte:
            return to_integers(values, static_cast<uint8_t*>(out), count);
        case GDT_UInt16:
            return to_integers(values, static_cast<uint16_t*>(out), count);
        case GDT_Int16:
            return to_integers(values, static_cast<int16_t*>(out), count);
        case GDT_UInt32:
            return to_integers(values, static_cast<uint32_t*>(out), count);
        case GDT_Int32:
            return to_integers(values, static_cast<int32_t*>(out), count);
        case GDT_UInt64:
            return to_integers(values, static_cast<uint64_t*>(out), count);
        case GDT_Int64:
            return to_integers(values, static_cast<int64_t*>(out), count);
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

}  // namespace

struct GdalWriter::State {
    GDALDriverH driver = nullptr;
    GDALDataType type = GDT_Unknown;
    CPLStringList creation;
    bool creates = false;
    OutputFile* out = nullptr;
    Dataset dataset{nullptr};
    GDALRasterBandH band = nullptr;
    std::string type_name;
    int64_t clamped = 0;
    Work work;
    // Rows are handed to GDAL in whole chunks of blocks, the same chunks however the rows come:
    // a GeoTIFF's bytes then do not depend on how the output was banded.
    int32_t chunk = 0;
    int32_t nb_col = 0;
    std::size_t type_size = 0;
    std::vector<unsigned char> pending;
    int32_t pending_rows = 0;
    int32_t written_rows = 0;

    void flush_pending() {
        if (pending_rows == 0) return;
        if (GDALRasterIO(band, GF_Write, 0, written_rows, nb_col, pending_rows, pending.data(),
                         nb_col, pending_rows, type, 0, 0) != CE_None) {
            fail("write");
        }
        written_rows += pending_rows;
        pending_rows = 0;
    }

    [[noreturn]] void fail(const std::string& what) const {
        throw Failure("cannot " + what + " " + out->displayed() + ": " + last_gdal_error());
    }
};

namespace {

GdalWriter::State* open_writer(const GdalWriteOptions& options, OutputFile& out, int32_t nb_lig,
                               int32_t nb_col, const Work& work) {
    start_gdal();
    auto state = std::make_unique<GdalWriter::State>();
    GdalWriter::State& st = *state;
    st.driver = GDALGetDriverByName(options.driver.c_str());
    st.type = GDALGetDataTypeByName(options.type.c_str());
    st.type_name = options.type;
    st.creation = option_list(options.creation_options);
    st.creates = GDALGetMetadataItem(st.driver, GDAL_DCAP_CREATE, nullptr) != nullptr;
    st.out = &out;
    st.work = work;
    out.hand_over();
    // A driver that can only copy gets the grid from an in-memory dataset.
    CPLErrorReset();
    st.dataset.handle = st.creates ? GDALCreate(st.driver, out.temporary_path().c_str(), nb_col,
                                                nb_lig, 1, st.type, st.creation.List())
                                   : GDALCreate(GDALGetDriverByName("MEM"), "", nb_col, nb_lig, 1,
                                                st.type, nullptr);
    if (st.dataset.handle == nullptr) st.fail("create");
    GeoTransform gt = options.geotransform;
    if (GDALSetGeoTransform(st.dataset.handle, gt.data()) != CE_None) st.fail("georeference");
    if (!options.crs_wkt.empty() &&
        GDALSetProjection(st.dataset.handle, options.crs_wkt.c_str()) != CE_None) {
        st.fail("set the coordinate system of");
    }
    if (!options.area_or_point.empty()) {
        GDALSetMetadataItem(st.dataset.handle, GDALMD_AREA_OR_POINT, options.area_or_point.c_str(),
                            nullptr);
    }
    st.band = GDALGetRasterBand(st.dataset.handle, 1);
    if (options.nodata && GDALSetRasterNoDataValue(st.band, *options.nodata) != CE_None) {
        st.fail("set the no-data value of");
    }
    st.nb_col = nb_col;
    st.chunk = std::min(rows_per_chunk(st.band, nb_col), std::max(1, nb_lig));
    st.type_size = static_cast<std::size_t>(GDALGetDataTypeSizeBytes(st.type));
    st.pending.resize(static_cast<std::size_t>(st.chunk) * static_cast<std::size_t>(nb_col) *
                      st.type_size);
    return state.release();
}

void write_rows(GdalWriter::State& st, DoubleGrid grid, Progress* progress) {
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
                                   grid.width(), st.type);
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
    if (GDALFlushRasterCache(st.band) != CE_None) st.fail("write");
}

std::vector<std::string> finish_writer(GdalWriter::State& st) {
    st.flush_pending();
    if (st.clamped > 0) {
        warn(st.out->displayed() + ": " + std::to_string(st.clamped) +
             (st.clamped == 1 ? " value lies" : " values lie") + " outside the range of " +
             st.type_name + " (or is not a number) and was clamped");
    }
    const std::string& path = st.out->temporary_path();
    if (!st.creates) {
        Dataset copy(GDALCreateCopy(st.driver, path.c_str(), st.dataset.handle, FALSE,
                                    st.creation.List(), nullptr, nullptr));
        if (copy.handle == nullptr) st.fail("write");
        std::swap(copy.handle, st.dataset.handle);
    }
    std::vector<std::string> beside;
    if (char** files = GDALGetFileList(st.dataset.handle)) {
        for (char** f = files; *f != nullptr; ++f) {
            if (path != *f) beside.emplace_back(*f);
        }
        CSLDestroy(files);
    }
    if (!st.dataset.close()) st.fail("write");
    return beside;
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

constexpr GdalModule kModule = {
    read_raster, peek_raster, driver_problem, real_type,    default_creation_options,
    open_writer, write_rows,  finish_writer,  close_writer, crs_as_prj,
    crs_from_prj};

}  // namespace

extern "C" __attribute__((visibility("default"))) const GdalModule* terrapivoter_gdal_module() {
    return &kModule;
}
static_assert(std::is_same_v<decltype(&terrapivoter_gdal_module), GdalModuleEntry>);
