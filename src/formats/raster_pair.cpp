#include "formats/raster_pair.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <numeric>
#include <span>
#include <vector>

#include "base/cpu_dispatch.h"
#include "base/empty_cell.h"
#include "base/parallel.h"
#include "base/progress.h"
#include "base/tokens.h"
#include "formats/number_text.h"
#include "io/memory_budget.h"
#include "io/output_file.h"
#include "platform/platform.h"

namespace {

struct CloseFile {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FileHandle = std::unique_ptr<std::FILE, CloseFile>;

// A longer token is refused rather than kept whole: even "%lf" of the largest double is
// shorter, and a descriptor is never megabytes of digits.
constexpr std::size_t kLongestDescriptorToken = 1000;

constexpr const char* kDescriptorFields[] = {"the number of rows", "the number of columns",
                                             "the byte count",     "the smallest value",
                                             "the largest value",  "the pixel size"};

void to_little_endian(int32_t* values, std::size_t count) {
    if constexpr (std::endian::native == std::endian::big) {
        for (std::size_t i = 0; i < count; ++i) {
            auto u = static_cast<uint32_t>(values[i]);
            u = (u >> 24) | ((u >> 8) & 0xff00u) | ((u << 8) & 0xff0000u) | (u << 24);
            values[i] = static_cast<int32_t>(u);
        }
    }
}

}  // namespace

RasterDescriptor parse_raster_descriptor(std::FILE* f, const std::string& displayed) {
    RasterDescriptor d;
    int32_t* integers[] = {&d.nb_lig, &d.nb_col, &d.num_bytes, &d.min_alt, &d.max_alt};
    std::string token;
    FileSource source{f};
    for (int k = 0; k < 6; ++k) {
        if (!next_word(source, token, kLongestDescriptorToken + 1)) {
            if (std::ferror(f)) {
                throw Failure("cannot read " + displayed + ": " + platform::last_error_text());
            }
            throw Failure(displayed + ": the descriptor ends after " + std::to_string(k) +
                          " values; it needs 6 (rows, columns, byte count, smallest value, "
                          "largest value, pixel size)");
        }
        bool ok = false;
        if (token.size() <= kLongestDescriptorToken && k < 5) {
            auto v = parse_int32_token(token);
            ok = v.has_value();
            if (ok) *integers[k] = *v;
        } else if (token.size() <= kLongestDescriptorToken) {
            auto v = parse_real_token(token);
            ok = v.has_value();
            if (ok) d.dpix_size = *v;
        }
        if (!ok) {
            throw Failure(displayed + ": value " + std::to_string(k + 1) + " (" +
                          kDescriptorFields[k] + ") is " + quoted(token) + ", not " +
                          (k < 5 ? "a whole number within 32 bits" : "a finite number"));
        }
    }
    check_grid_shape(d.nb_lig, d.nb_col, displayed);
    return d;
}

std::string format_raster_descriptor(const RasterDescriptor& d) {
    std::string text;
    for (int32_t v : {d.nb_lig, d.nb_col, d.num_bytes, d.min_alt, d.max_alt}) {
        text += std::to_string(v);
        text += '\n';
    }
    text += format_header_real(d.dpix_size);
    text += '\n';
    return text;
}

namespace {

// A raster pair whose descriptor was read and checked and whose data file holds enough bytes,
// ready for its rows to be read.
struct OpenedRasterPair {
    RasterDescriptor descriptor;
    std::string descriptor_path;
    std::string data_path;
    FileHandle data;
};

OpenedRasterPair open_raster_pair(const FileName& base, bool whole = true) {
    const FileName descriptor_name = base + kRasterDescriptorSuffix;
    const FileName data_name = base + kRasterDataSuffix;
    OpenedRasterPair pair{{}, descriptor_name.shown, data_name.shown, nullptr};
    FileHandle descriptor(platform::open_for_reading(descriptor_name.host, true));
    if (!descriptor) throw MissingInputFile(pair.descriptor_path, platform::last_error_text());
    pair.data.reset(platform::open_for_reading(data_name.host, false));
    if (!pair.data) throw MissingInputFile(pair.data_path, platform::last_error_text());
    pair.descriptor = parse_raster_descriptor(descriptor.get(), pair.descriptor_path);
    const RasterDescriptor& d = pair.descriptor;

    const uint64_t expected = 4 * static_cast<uint64_t>(d.nb_lig) * static_cast<uint64_t>(d.nb_col);
    if (auto size = platform::regular_file_size(pair.data.get())) {
        const std::string shape =
            std::to_string(d.nb_lig) + " rows of " + std::to_string(d.nb_col) + " columns";
        if (*size < expected) {
            throw Failure(pair.data_path + ": holds " + std::to_string(*size) + " bytes, but " +
                          shape + " need " + std::to_string(expected) + " bytes");
        }
        if (*size > expected) {
            warn(pair.data_path + ": holds " + std::to_string(*size) + " bytes; the " +
                 std::to_string(*size - expected) + " bytes after the " + shape + " are ignored");
        }
    }
    if (whole) check_fits_in_memory(d.nb_lig, d.nb_col, pair.descriptor_path);
    return pair;
}

// A stored value of the data file's bytes (little-endian, 4-byte aligned in a mapping).
inline int32_t stored_value(const char* bytes) {
    int32_t value;
    std::memcpy(&value, bytes, sizeof value);
    to_little_endian(&value, 1);
    return value;
}

// Segments of rows converted straight from the data file mapped into memory (where the system
// can map it; it is not read ahead, as a file read in bands may be far larger than memory), or
// else read with positional reads, on whatever thread asks.
class RasterPairSource : public GridSource {
  public:
    RasterPairSource(OpenedRasterPair pair, double coef, bool reference)
        : GridSource(pair.descriptor.nb_lig, pair.descriptor.nb_col),
          pair_(std::move(pair)),
          mapped_(platform::MappedFile::map(pair_.data.get(), false)),
          coef_(coef),
          reference_(reference) {}

    bool reads_from_memory() const override { return mapped_ != nullptr; }

    void read(int32_t row, int32_t first, int32_t end, double* out) override {
        const auto count = static_cast<std::size_t>(end - first);
        const uint64_t offset = (static_cast<uint64_t>(row) * static_cast<uint64_t>(nb_col()) +
                                 static_cast<uint64_t>(first)) *
                                sizeof(int32_t);
        if (mapped_) {
            const char* stored = mapped_->bytes().data() + offset;
            if (reference_) {
                for (std::size_t k = 0; k < count; ++k)
                    out[k] = working_value(stored_value(stored + 4 * k), coef_);
            } else {
                for (std::size_t k = 0; k < count; ++k)
                    out[k] = working_value_fast(stored_value(stored + 4 * k), coef_);
            }
            return;
        }
        std::vector<int32_t> stored(count);
        const int64_t got =
            platform::read_at(pair_.data.get(), offset, stored.data(), count * sizeof(int32_t));
        if (got < 0) {
            throw Failure("cannot read " + pair_.data_path + ": " + platform::last_error_text());
        }
        if (static_cast<std::size_t>(got) != count * sizeof(int32_t)) {
            throw Failure(pair_.data_path + ": ends in row " + std::to_string(row) + " of " +
                          std::to_string(nb_lig()) +
                          "; it holds fewer values than the descriptor announces");
        }
        to_little_endian(stored.data(), count);
        for (std::size_t k = 0; k < count; ++k) {
            out[k] =
                reference_ ? working_value(stored[k], coef_) : working_value_fast(stored[k], coef_);
        }
    }

    // The range of the stored values: from the mapping when there is one.
    ValueRange stored_range(const Work& work);

  private:
    OpenedRasterPair pair_;
    std::unique_ptr<platform::MappedFile> mapped_;
    double coef_;
    bool reference_;
};

// The stored values held in memory as the data file has them, 4 bytes a cell where working
// values take 8, and turned into working values as the sweep reads them.
class StoredRasterSource : public GridSource {
  public:
    StoredRasterSource(const RasterDescriptor& d, double coef)
        : GridSource(d.nb_lig, d.nb_col),
          block_(sizeof(int32_t) * static_cast<std::size_t>(d.nb_lig) *
                 static_cast<std::size_t>(d.nb_col)),
          coef_(coef) {}

    bool held() const { return block_.data() != nullptr; }
    bool reads_from_memory() const override { return true; }

    int32_t* row(int32_t i) const {
        return static_cast<int32_t*>(block_.data()) +
               static_cast<std::size_t>(i) * static_cast<std::size_t>(nb_col());
    }

    void read(int32_t i, int32_t first, int32_t end, double* out) override {
        const int32_t* stored = row(i) + first;
        for (int32_t k = 0; k < end - first; ++k)
            out[k] = working_value_fast(stored[k], coef_);
    }

    // Working values grow with the stored ones (the unit is positive): the smallest stored
    // value gives the smallest working value, with no other conversion.
    double smallest(int32_t i, int32_t first, int32_t end, double below) override {
        if (end <= first) return below;
        const int32_t* stored = row(i);
        int32_t least = INT32_MAX;
        for (int32_t j = first; j < end; ++j)
            least = std::min(least, stored[j]);
        const double value = working_value_fast(least, coef_);
        return value < below ? value : below;
    }

  private:
    platform::LargeBlock block_;
    double coef_;
};

// The smallest and largest of a thread's share of the stored values.
ValueRange widened(ValueRange r, const int32_t* values, int32_t count) {
    for (int32_t j = 0; j < count; ++j) {
        r.smallest = std::min(r.smallest, values[j]);
        r.largest = std::max(r.largest, values[j]);
    }
    return r;
}

ValueRange merged(const std::vector<ValueRange>& ranges) {
    ValueRange all{INT32_MAX, INT32_MIN};
    for (const ValueRange& r : ranges) {
        all.smallest = std::min(all.smallest, r.smallest);
        all.largest = std::max(all.largest, r.largest);
    }
    return all;
}

// Reads the pair's rows, the stored values handed to `use` with their row and the number of
// the thread (below work.threads) that read them, and returns their range.
RasterSummary read_rows(OpenedRasterPair& pair, const Work& work,
                        const std::function<void(unsigned, int32_t, const int32_t*)>& use,
                        const std::function<int32_t*(int32_t)>& into = nullptr) {
    const RasterDescriptor& d = pair.descriptor;
    const unsigned threads = std::max(1u, work.threads);
    std::vector<ValueRange> ranges(threads, ValueRange{INT32_MAX, INT32_MIN});
    Progress progress(work, "reading " + pair.data_path, d.nb_lig, int64_t{d.nb_lig} * d.nb_col);
    detail::read_raster_rows(
        pair.data.get(), d.nb_lig, d.nb_col, pair.data_path, work, &progress,
        [&](unsigned t, int32_t i, const int32_t* values) {
            ranges[t] = widened(ranges[t], values, d.nb_col);
            use(t, i, values);
        },
        into);
    return {d, merged(ranges)};
}

ValueRange RasterPairSource::stored_range(const Work& work) {
    if (!mapped_) {
        return read_rows(pair_, work, [](unsigned, int32_t, const int32_t*) {}).range;
    }
    const unsigned threads = std::max(1u, work.threads);
    std::vector<ValueRange> ranges(threads, ValueRange{INT32_MAX, INT32_MIN});
    const char* bytes = mapped_->bytes().data();
    const auto row_bytes = sizeof(int32_t) * static_cast<std::size_t>(nb_col());
    for_row_bands(threads, 0, nb_lig(), [&](unsigned t, int32_t begin, int32_t end) {
        ValueRange r = ranges[t];
        for (int32_t i = begin; i < end; ++i) {
            const char* row = bytes + static_cast<std::size_t>(i) * row_bytes;
            for (int32_t j = 0; j < nb_col(); ++j) {
                const int32_t v = stored_value(row + 4 * static_cast<std::size_t>(j));
                r.smallest = std::min(r.smallest, v);
                r.largest = std::max(r.largest, v);
            }
        }
        ranges[t] = r;
    });
    return merged(ranges);
}

}  // namespace

RasterDescriptor peek_raster_pair(const FileName& base) {
    return open_raster_pair(base, false).descriptor;
}

RasterSource open_raster_pair_in_place(const FileName& base, double coef, bool reference,
                                       const Work* range_work) {
    OpenedRasterPair pair = open_raster_pair(base, false);
    const RasterDescriptor descriptor = pair.descriptor;
    auto source = std::make_unique<RasterPairSource>(std::move(pair), coef, reference);
    std::optional<ValueRange> range;
    if (range_work != nullptr) range = source->stored_range(*range_work);
    return {descriptor, std::move(source), range};
}

RasterSummary read_raster_summary(const FileName& base, const Work& work) {
    OpenedRasterPair pair = open_raster_pair(base, false);
    return read_rows(pair, work, [](unsigned, int32_t, const int32_t*) {});
}

RasterInput read_raster_pair(const FileName& base, double coef, const Work& work) {
    OpenedRasterPair pair = open_raster_pair(base);
    Matrix<double> values =
        fresh_grid<double>(pair.descriptor.nb_lig, pair.descriptor.nb_col, work.threads);
    const int32_t cols = pair.descriptor.nb_col;
    RasterSummary summary = read_rows(pair, work, [&](unsigned, int32_t i, const int32_t* row) {
        double* working = values[i];
        for (int32_t j = 0; j < cols; ++j)
            working[j] = working_value_fast(row[j], coef);
    });
    return {summary.descriptor, summary.range, std::move(values)};
}

RasterSource read_raster_pair_stored(const FileName& base, double coef, const Work& work) {
    OpenedRasterPair pair = open_raster_pair(base);
    const RasterDescriptor d = pair.descriptor;
    auto source = std::make_unique<StoredRasterSource>(d, coef);
    if (!source->held()) {
        throw Failure(pair.data_path + ": not enough memory to hold its " +
                      std::to_string(d.nb_lig) + " rows of " + std::to_string(d.nb_col) +
                      " columns");
    }
    StoredRasterSource& stored = *source;
    const RasterSummary summary = read_rows(
        pair, work, [](unsigned, int32_t, const int32_t*) {},
        [&stored](int32_t i) { return stored.row(i); });
    return {d, std::move(source), summary.range};
}

RasterInput read_raster_pair_reference(const FileName& base, double coef) {
    OpenedRasterPair pair = open_raster_pair(base);
    Matrix<double> values = fresh_grid<double>(pair.descriptor.nb_lig, pair.descriptor.nb_col, 1);
    const int32_t cols = pair.descriptor.nb_col;
    RasterSummary summary = read_rows(pair, {}, [&](unsigned, int32_t i, const int32_t* row) {
        for (int32_t j = 0; j < cols; ++j)
            values[i][j] = working_value(row[j], coef);
    });
    return {summary.descriptor, summary.range, std::move(values)};
}

void detail::read_raster_rows(std::FILE* f, int32_t nb_lig, int32_t nb_col,
                              const std::string& displayed, const Work& work, Progress* progress,
                              const std::function<void(unsigned, int32_t, const int32_t*)>& use,
                              const std::function<int32_t*(int32_t)>& into) {
    // Each thread reads its own rows at their offsets (into a row of its own, or where `into`
    // says): the kernel's copying and the use of the values proceed in parallel.
    const auto row_bytes = sizeof(int32_t) * static_cast<std::size_t>(nb_col);
    for_row_bands(work.threads, 0, nb_lig, [&](unsigned t, int32_t begin, int32_t end) {
        std::vector<int32_t> own(into ? 0 : static_cast<std::size_t>(nb_col));
        for (int32_t i = begin; i < end; ++i) {
            const std::span<int32_t> row(into ? into(i) : own.data(),
                                         static_cast<std::size_t>(nb_col));
            const int64_t got =
                platform::read_at(f, static_cast<uint64_t>(i) * row_bytes, row.data(), row_bytes);
            if (got < 0)
                throw Failure("cannot read " + displayed + ": " + platform::last_error_text());
            if (static_cast<std::size_t>(got) != row_bytes) {
                throw Failure(displayed + ": ends in row " + std::to_string(i) + " of " +
                              std::to_string(nb_lig) + "; it holds fewer values than the " +
                              "descriptor announces");
            }
            to_little_endian(row.data(), row.size());
            use(t, i, row.data());
            advance(progress, 1);
        }
    });
}

int32_t raster_value(double value, double coef, bool& clamped) {
    const long double r = std::roundl(static_cast<long double>(value) * coef);
    if (r >= 2147483647.0L) {
        clamped = r > 2147483647.0L;
        return INT32_MAX;
    }
    if (r <= -2147483648.0L) {
        clamped = r < -2147483648.0L;
        return INT32_MIN;
    }
    if (r != r) {
        clamped = true;
        return 0;
    }
    clamped = false;
    return static_cast<int32_t>(r);
}

namespace {

// Products below this (in magnitude) and factors below 2^995 are rounded exactly in double
// arithmetic; anything else (beyond 32 bits, not a number) goes through raster_value.
constexpr double kFastLimit = 2147483646.0;
constexpr double kSplitLimit = 0x1p995;

// Whether convert_row_fast rounds value x coef itself: a product within 32 bits, factors that
// split.
inline bool converts_fast(double value, double coef) {
    return (std::fabs(value * coef) < kFastLimit) & (std::fabs(value) < kSplitLimit) &
           (std::fabs(coef) < kSplitLimit);
}

// Veltkamp's split of x into a high part of 26 significant bits and the exact rest, so that the
// products of two such parts are exact. Needs |x| below 2^995 (and no fused multiply-add, which
// the build forbids).
struct Split {
    double high;
    double low;
};
inline Split split(double x) {
    const double t = 134217729.0 * x;  // 2^27 + 1
    const double high = t - (t - x);
    return {high, x - high};
}

// raster_value for a row, in double arithmetic that vectorises. The double product p of value and
// coef is within half an ulp of the exact one P, so both round alike unless p is exactly a
// half-integer h; then P's 64-bit rounding (what raster_value rounds) reaches h, and so rounds
// away from zero, exactly when P lies no further than half a 64-bit spacing below h: 2^(e-64),
// e the exponent of h (2^-66 below 0.5, where the spacing halves). Dekker's product gives P - p
// exactly. Empty cells take `background`. Returns how many values it could not convert: those
// need raster_value.
TERRAPIVOTER_CLONES
int32_t convert_row_fast(const double* values, int32_t* row, int32_t count, double coef,
                         double background) {
    const Split c = split(coef);
    int32_t unconverted = 0;
    // Selections are made with masks rather than branches, so that the loop vectorises.
    constexpr uint64_t kSign = 0x8000000000000000u;
    for (int32_t j = 0; j < count; ++j) {
        const double value = is_empty(values[j]) ? background : values[j];
        const double product = value * coef;
        const double magnitude = std::fabs(product);
        const bool fast = converts_fast(value, coef);
        const double bounded = std::bit_cast<double>(std::bit_cast<uint64_t>(magnitude) &
                                                     (uint64_t{0} - uint64_t{fast}));
        const auto whole = static_cast<int32_t>(bounded);
        const double fraction = bounded - static_cast<double>(whole);

        const Split v = split(value);
        const double error =
            ((v.high * c.high - product) + v.high * c.low + v.low * c.high) + v.low * c.low;
        const uint64_t sign = std::bit_cast<uint64_t>(product) & kSign;
        const double beyond =
            std::bit_cast<double>(std::bit_cast<uint64_t>(error) ^ sign);  // |P|-|p|
        const uint64_t exponent = std::bit_cast<uint64_t>(bounded) & 0x7ff0000000000000u;
        const double allowance =
            std::bit_cast<double>(exponent - ((uint64_t{64} + uint64_t{whole == 0}) << 52));
        const int32_t up =
            int32_t{fraction > 0.5} | (int32_t{fraction == 0.5} & int32_t{beyond >= -allowance});

        const int32_t rounded = whole + up;
        const int32_t negative = -static_cast<int32_t>(sign >> 63);
        row[j] = (rounded ^ negative) - negative;
        unconverted += 1 - int32_t{fast};
    }
    return unconverted;
}

int64_t convert_row_reference(const double* values, int32_t* row, int32_t count, double coef,
                              double background) {
    int64_t clamped_cells = 0;
    for (int32_t j = 0; j < count; ++j) {
        bool clamped;
        row[j] = raster_value(is_empty(values[j]) ? background : values[j], coef, clamped);
        clamped_cells += clamped ? 1 : 0;
    }
    return clamped_cells;
}

using RowConversion = int64_t (*)(const double*, int32_t*, int32_t, double, double);

// Blocks of rows are converted and written in turn, so that the integers of the whole grid
// never exist at once, on `threads` threads, each writing the blocks it converted where they
// belong in the file. Returns the number of clamped values.
int64_t write_converted_rows(DoubleGrid grid, double coef, OutputFile& out, RowConversion convert,
                             unsigned threads, Progress* progress, double background = empty_cell(),
                             const std::function<void(int32_t)>& before_row = nullptr) {
    // Blocks of about a megabyte: the system copies them into the file while they are still in
    // the cache (four times larger took a quarter longer).
    const auto rows_per_block =
        static_cast<int32_t>(std::clamp<int64_t>((int64_t{1} << 18) / grid.nb_col, 1, grid.nb_lig));
    const std::size_t block_cells = static_cast<std::size_t>(rows_per_block) * grid.width();
    const std::size_t row_bytes = sizeof(int32_t) * grid.width();
    const unsigned parts = std::max(1u, threads);
    std::vector<int64_t> clamped_cells(parts, 0);
    // Rows [begin, end) into `values` (a block's room, not cleared: every value is converted
    // before it is written, and its pages are first touched by the thread that converts).
    auto convert_rows = [&](unsigned part, int32_t begin, int32_t end, int32_t* values) {
        for (int32_t i = begin; i < end; ++i) {
            int32_t* row = values + static_cast<std::size_t>(i - begin) * grid.width();
            if (before_row) before_row(i);
            clamped_cells[part] += convert(grid[i], row, grid.nb_col, coef, background);
            to_little_endian(row, static_cast<std::size_t>(grid.nb_col));
        }
    };
    const int32_t blocks = (grid.nb_lig + rows_per_block - 1) / rows_per_block;
    const uint64_t start = out.begin_parallel();
    // Each thread takes every parts-th block, so that the blocks reach the file nearly in
    // order; no thread waits for another, and the system's copying runs on every core.
    run_tasks(parts, parts, [&](unsigned part) {
        const auto values = std::make_unique_for_overwrite<int32_t[]>(block_cells);
        for (auto b = static_cast<int32_t>(part); b < blocks; b += static_cast<int32_t>(parts)) {
            const int32_t begin = b * rows_per_block;
            const int32_t end = std::min(grid.nb_lig, begin + rows_per_block);
            convert_rows(part, begin, end, values.get());
            out.write_at(start + static_cast<uint64_t>(begin) * row_bytes, values.get(),
                         static_cast<std::size_t>(end - begin) * row_bytes);
            advance(progress, end - begin);
        }
    });
    out.end_parallel(start + static_cast<uint64_t>(grid.nb_lig) * row_bytes);
    return std::accumulate(clamped_cells.begin(), clamped_cells.end(), int64_t{0});
}

}  // namespace

void warn_clamped(const OutputFile& out, int64_t clamped) {
    if (clamped > 0) {
        warn(out.displayed() + ": " + std::to_string(clamped) +
             (clamped == 1 ? " value lies" : " values lie") +
             " outside the 32-bit integer range and were clamped to its bounds");
    }
}

int64_t detail::convert_row(const double* values, int32_t* row, int32_t count, double coef,
                            double background) {
    if (convert_row_fast(values, row, count, coef, background) == 0) return 0;
    // Values beyond 32 bits (clamped) or not numbers: rare, converted again one by one.
    int64_t clamped_cells = 0;
    for (int32_t j = 0; j < count; ++j) {
        const double value = is_empty(values[j]) ? background : values[j];
        if (converts_fast(value, coef)) continue;
        bool clamped;
        row[j] = raster_value(value, coef, clamped);
        clamped_cells += clamped ? 1 : 0;
    }
    return clamped_cells;
}

int64_t write_raster_rows(DoubleGrid grid, double coef, OutputFile& out, const Work& work,
                          Progress* progress, std::optional<double> background,
                          const std::function<void(int32_t)>& before_row) {
    return write_converted_rows(grid, coef, out, detail::convert_row, std::max(1u, work.threads),
                                progress, background.value_or(empty_cell()), before_row);
}

int64_t write_raster_rows_reference(DoubleGrid grid, double coef, OutputFile& out) {
    return write_converted_rows(grid, coef, out, convert_row_reference, 1, nullptr);
}

void write_raster_data(DoubleGrid grid, double coef, OutputFile& out, const Work& work) {
    Progress progress(work, "writing " + out.displayed(), grid.nb_lig, grid.cells());
    warn_clamped(out, write_raster_rows(grid, coef, out, work, &progress));
}

void write_raster_data_reference(DoubleGrid grid, double coef, OutputFile& out) {
    warn_clamped(out, write_raster_rows_reference(grid, coef, out));
}

ValueRange whole_extremes(DoubleGrid grid) {
    // Not-a-number cells (no-data) have no place in a range; a grid of nothing else has 0 to 0.
    double smallest = std::numeric_limits<double>::infinity();
    double largest = -smallest;
    for (int32_t i = 0; i < grid.nb_lig; ++i) {
        for (int32_t j = 0; j < grid.nb_col; ++j) {
            const double v = grid[i][j];
            if (v < smallest) smallest = v;
            if (v > largest) largest = v;
        }
    }
    return truncated_range(smallest, largest);
}

ValueRange truncated_range(double smallest, double largest) {
    if (smallest > largest) smallest = largest = 0.0;
    auto whole = [](double v) {
        const double t = std::trunc(v);
        if (t >= 2147483647.0) return INT32_MAX;
        if (t <= -2147483648.0) return INT32_MIN;
        return static_cast<int32_t>(t);
    };
    return {whole(smallest), whole(largest)};
}
