#include "formats/raster_pair.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <numeric>
#include <vector>

#include "base/cpu_dispatch.h"
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

RasterInput read_raster_pair(const FileName& base, const Work& work) {
    const FileName descriptor_name = base + kRasterDescriptorSuffix;
    const FileName data_name = base + kRasterDataSuffix;
    const std::string& descriptor_path = descriptor_name.shown;
    const std::string& data_path = data_name.shown;
    FileHandle descriptor(platform::open_for_reading(descriptor_name.host, true));
    if (!descriptor) throw MissingInputFile(descriptor_path, platform::last_error_text());
    FileHandle data(platform::open_for_reading(data_name.host, false));
    if (!data) throw MissingInputFile(data_path, platform::last_error_text());

    RasterInput input;
    input.descriptor = parse_raster_descriptor(descriptor.get(), descriptor_path);
    descriptor.reset();
    const RasterDescriptor& d = input.descriptor;

    const uint64_t expected = 4 * static_cast<uint64_t>(d.nb_lig) * static_cast<uint64_t>(d.nb_col);
    if (auto size = platform::regular_file_size(data.get())) {
        const std::string shape =
            std::to_string(d.nb_lig) + " rows of " + std::to_string(d.nb_col) + " columns";
        if (*size < expected) {
            throw Failure(data_path + ": holds " + std::to_string(*size) + " bytes, but " + shape +
                          " need " + std::to_string(expected) + " bytes");
        }
        if (*size > expected) {
            warn(data_path + ": holds " + std::to_string(*size) + " bytes; the " +
                 std::to_string(*size - expected) + " bytes after the " + shape + " are ignored");
        }
    }
    check_fits_in_memory(d.nb_lig, d.nb_col, descriptor_path);
    input.values = Matrix<int32_t>(d.nb_lig, d.nb_col);
    prefer_huge_pages(input.values.view());
    Progress progress(work, "reading " + data_path, d.nb_lig, input.values.cells());
    detail::read_raster_rows(data.get(), input.values.view(), data_path, work, &progress);
    return input;
}

void detail::read_raster_rows(std::FILE* f, IntGrid grid, const std::string& displayed,
                              const Work& work, Progress* progress) {
    // Each thread reads its own rows at their offsets: the kernel's copying and the first
    // touch of the fresh rows then proceed in parallel.
    const auto row_bytes = sizeof(int32_t) * static_cast<std::size_t>(grid.nb_col);
    for_row_bands(work.threads, 0, grid.nb_lig, [&](unsigned, int32_t begin, int32_t end) {
        for (int32_t i = begin; i < end; ++i) {
            const int64_t got =
                platform::read_at(f, static_cast<uint64_t>(i) * row_bytes, grid[i], row_bytes);
            if (got < 0)
                throw Failure("cannot read " + displayed + ": " + platform::last_error_text());
            if (static_cast<std::size_t>(got) != row_bytes) {
                throw Failure(displayed + ": ends in row " + std::to_string(i) + " of " +
                              std::to_string(grid.nb_lig) + "; it holds fewer values than the " +
                              "descriptor announces");
            }
            to_little_endian(grid[i], static_cast<std::size_t>(grid.nb_col));
            advance(progress, 1);
        }
    });
}

ValueRange value_range(IntGrid grid, const Work& work) {
    const unsigned threads = std::max(1u, work.threads);
    std::vector<ValueRange> ranges(threads, ValueRange{INT32_MAX, INT32_MIN});
    for_row_bands(threads, 0, grid.nb_lig, [&](unsigned t, int32_t begin, int32_t end) {
        ValueRange& r = ranges[t];
        for (int32_t i = begin; i < end; ++i) {
            for (int32_t j = 0; j < grid.nb_col; ++j) {
                r.smallest = std::min(r.smallest, grid[i][j]);
                r.largest = std::max(r.largest, grid[i][j]);
            }
        }
    });
    ValueRange all = ranges[0];
    for (const ValueRange& r : ranges) {
        all.smallest = std::min(all.smallest, r.smallest);
        all.largest = std::max(all.largest, r.largest);
    }
    return all;
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

// The rounding of value x coef for a row, in a form that vectorises. The double product is
// within half an ulp (2^-23 below 2^31) of the exact one; unless it lies that close to a
// half-integer, both round to the same integer. Returns how many values it could not decide
// (near a half-integer, or beyond 32 bits): those need the extended-precision formula.
TERRAPIVOTER_CLONES
int32_t convert_row_fast(const double* values, int32_t* row, int32_t count, double coef) {
    int32_t undecided = 0;
    for (int32_t j = 0; j < count; ++j) {
        const double product = values[j] * coef;
        const double magnitude = std::fabs(product);
        const bool in_range = magnitude < 2147483646.0;
        const double bounded = in_range ? magnitude : 0.0;
        const auto whole = static_cast<int32_t>(bounded);
        const double fraction = bounded - static_cast<double>(whole);
        const bool decided = in_range & (std::fabs(fraction - 0.5) > 0x1p-20);
        const int32_t rounded = whole + (fraction > 0.5 ? 1 : 0);
        row[j] = product < 0 ? -rounded : rounded;
        undecided += decided ? 0 : 1;
    }
    return undecided;
}

int64_t convert_row_reference(const double* values, int32_t* row, int32_t count, double coef) {
    int64_t clamped_cells = 0;
    for (int32_t j = 0; j < count; ++j) {
        bool clamped;
        row[j] = raster_value(values[j], coef, clamped);
        clamped_cells += clamped ? 1 : 0;
    }
    return clamped_cells;
}

using RowConversion = int64_t (*)(const double*, int32_t*, int32_t, double);

// Blocks of rows are converted (in parallel) and written in turn, so that the integers of the
// whole grid never exist at once.
void write_converted_rows(DoubleGrid grid, double coef, OutputFile& out, RowConversion convert,
                          unsigned threads, bool overlap, Progress* progress) {
    const auto rows_per_block =
        static_cast<int32_t>(std::clamp<int64_t>((int64_t{1} << 20) / grid.nb_col, 1, grid.nb_lig));
    const std::size_t block_cells = static_cast<std::size_t>(rows_per_block) * grid.width();
    std::vector<int32_t> block_values[2] = {std::vector<int32_t>(block_cells),
                                            std::vector<int32_t>(overlap ? block_cells : 0)};
    std::vector<int64_t> clamped_cells(threads, 0);
    produce_row_blocks(
        grid.nb_lig, rows_per_block, threads, overlap,
        [&](unsigned slot, unsigned part, int32_t begin, int32_t end) {
            const int32_t first = begin - begin % rows_per_block;
            for (int32_t i = begin; i < end; ++i) {
                int32_t* row =
                    block_values[slot].data() + static_cast<std::size_t>(i - first) * grid.width();
                clamped_cells[part] += convert(grid[i], row, grid.nb_col, coef);
                to_little_endian(row, static_cast<std::size_t>(grid.nb_col));
            }
        },
        [&](unsigned slot, int32_t begin, int32_t end) {
            out.write(block_values[slot].data(),
                      sizeof(int32_t) * static_cast<std::size_t>(end - begin) * grid.width());
            advance(progress, end - begin);
        });
    const int64_t clamped_total =
        std::accumulate(clamped_cells.begin(), clamped_cells.end(), int64_t{0});
    if (clamped_total > 0) {
        warn(out.displayed() + ": " + std::to_string(clamped_total) +
             (clamped_total == 1 ? " value lies" : " values lie") +
             " outside the 32-bit integer range and were clamped to its bounds");
    }
}

}  // namespace

int64_t detail::convert_row(const double* values, int32_t* row, int32_t count, double coef) {
    // Rows holding a value the fast rounding cannot decide are converted again, value by value.
    if (convert_row_fast(values, row, count, coef) == 0) return 0;
    return convert_row_reference(values, row, count, coef);
}

void write_raster_data(DoubleGrid grid, double coef, OutputFile& out, const Work& work) {
    const unsigned threads = std::max(1u, work.threads);
    Progress progress(work, "writing " + out.displayed(), grid.nb_lig, grid.cells());
    write_converted_rows(grid, coef, out, detail::convert_row, threads, true, &progress);
}

void write_raster_data_reference(DoubleGrid grid, double coef, OutputFile& out) {
    write_converted_rows(grid, coef, out, convert_row_reference, 1, false, nullptr);
}

void convert_to_working_values(Matrix<int32_t>& in, DoubleGrid out, double coef, const Work& work) {
    for_row_bands(work.threads, 0, in.nb_lig(), [&](unsigned, int32_t begin, int32_t end) {
        for (int32_t i = begin; i < end; ++i) {
            const int32_t* values = in[i];
            double* working = out[i];
            for (int32_t j = 0; j < in.nb_col(); ++j)
                working[j] = working_value_fast(values[j], coef);
            in.release_row(i);
        }
    });
    in = Matrix<int32_t>();
}

void convert_to_working_values_reference(Matrix<int32_t>& in, DoubleGrid out, double coef) {
    for (int32_t i = 0; i < in.nb_lig(); ++i) {
        for (int32_t j = 0; j < in.nb_col(); ++j)
            out[i][j] = working_value(in[i][j], coef);
        in.release_row(i);
    }
    in = Matrix<int32_t>();
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
    if (smallest > largest) smallest = largest = 0.0;
    auto whole = [](double v) {
        const double t = std::trunc(v);
        if (t >= 2147483647.0) return INT32_MAX;
        if (t <= -2147483648.0) return INT32_MIN;
        return static_cast<int32_t>(t);
    };
    return {whole(smallest), whole(largest)};
}
