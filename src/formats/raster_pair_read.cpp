#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "base/parallel.h"
#include "base/progress.h"
#include "formats/raster_pair.h"
#include "io/memory_budget.h"
#include "platform/platform.h"

namespace terrapivoter {

namespace {

struct CloseFile {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FileHandle = std::unique_ptr<std::FILE, CloseFile>;

}  // namespace

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
            warn_once(pair.data_path + ": holds " + std::to_string(*size) + " bytes; the " +
                      std::to_string(*size - expected) + " bytes after the " + shape +
                      " are ignored");
        }
    }
    if (whole) check_fits_in_memory(d.nb_lig, d.nb_col, pair.descriptor_path);
    return pair;
}

// A stored value of the data file's bytes (little-endian, 4-byte aligned in a mapping).
inline int32_t stored_value(const char* bytes) {
    int32_t value;
    std::memcpy(&value, bytes, sizeof value);
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
            use(t, i, row.data());
            advance(progress, 1);
        }
    });
}

}  // namespace terrapivoter
