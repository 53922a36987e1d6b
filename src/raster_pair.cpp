#include "raster_pair.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "memory_budget.h"
#include "number_text.h"
#include "output_file.h"
#include "platform.h"

namespace {

struct CloseFile {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FileHandle = std::unique_ptr<std::FILE, CloseFile>;

// A longer token is refused rather than kept whole: even "%lf" of the largest double is
// shorter, and a descriptor is never megabytes of digits.
constexpr std::size_t kLongestDescriptorToken = 1000;

// Next white-space separated token of `f`; false at the end of the file.
bool next_token(std::FILE* f, std::string& token) {
    token.clear();
    int c;
    while ((c = std::getc(f)) != EOF && std::isspace(c)) {
    }
    while (c != EOF && !std::isspace(c)) {
        if (token.size() <= kLongestDescriptorToken) token.push_back(static_cast<char>(c));
        c = std::getc(f);
    }
    return !token.empty();
}

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
    for (int k = 0; k < 6; ++k) {
        if (!next_token(f, token)) {
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
    if (d.nb_lig <= 0 || d.nb_col <= 0) {
        throw Failure(displayed + ": the grid must have at least one row and one column, not " +
                      std::to_string(d.nb_lig) + " rows and " + std::to_string(d.nb_col) +
                      " columns");
    }
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

RasterInput read_raster_pair(const std::string& displayed_base) {
    const std::string descriptor_path = displayed_base + kRasterDescriptorSuffix;
    const std::string data_path = displayed_base + kRasterDataSuffix;
    FileHandle descriptor(platform::open_for_reading(platform::host_path(descriptor_path), true));
    if (!descriptor) throw MissingInputFile(descriptor_path);
    FileHandle data(platform::open_for_reading(platform::host_path(data_path), false));
    if (!data) throw MissingInputFile(data_path);

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
    input.values = require_grid<int32_t>(d.nb_lig, d.nb_col);
    try {
        read_raster_rows(data.get(), input.values, data_path);
    } catch (...) {
        frimatrice(input.values.rows, input.values.nb_lig);
        throw;
    }
    return input;
}

void read_raster_rows(std::FILE* f, IntGrid grid, const std::string& displayed) {
    const auto cols = static_cast<std::size_t>(grid.nb_col);
    for (int32_t i = 0; i < grid.nb_lig; ++i) {
        if (std::fread(grid[i], sizeof(int32_t), cols, f) != cols) {
            if (std::ferror(f)) {
                throw Failure("cannot read " + displayed + ": " + platform::last_error_text());
            }
            throw Failure(displayed + ": ends in row " + std::to_string(i) + " of " +
                          std::to_string(grid.nb_lig) + "; it holds fewer values than the " +
                          "descriptor announces");
        }
        to_little_endian(grid[i], cols);
    }
}

ValueRange value_range(IntGrid grid) {
    ValueRange r{INT32_MAX, INT32_MIN};
    for (int32_t i = 0; i < grid.nb_lig; ++i) {
        for (int32_t j = 0; j < grid.nb_col; ++j) {
            r.smallest = std::min(r.smallest, grid[i][j]);
            r.largest = std::max(r.largest, grid[i][j]);
        }
    }
    return r;
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

void write_raster_data(DoubleGrid grid, double coef, OutputFile& out) {
    std::vector<int32_t> row(static_cast<std::size_t>(grid.nb_col));
    int64_t clamped_cells = 0;
    for (int32_t i = 0; i < grid.nb_lig; ++i) {
        for (int32_t j = 0; j < grid.nb_col; ++j) {
            bool clamped;
            row[static_cast<std::size_t>(j)] = raster_value(grid[i][j], coef, clamped);
            clamped_cells += clamped ? 1 : 0;
        }
        to_little_endian(row.data(), row.size());
        out.write(row.data(), row.size() * sizeof(int32_t));
    }
    if (clamped_cells > 0) {
        warn(out.displayed() + ": " + std::to_string(clamped_cells) +
             (clamped_cells == 1 ? " value lies" : " values lie") +
             " outside the 32-bit integer range and were clamped to its bounds");
    }
}

void convert_to_working_values(IntGrid& in, DoubleGrid out, double coef) {
    for (int32_t i = 0; i < in.nb_lig; ++i) {
        for (int32_t j = 0; j < in.nb_col; ++j)
            out[i][j] = working_value(in[i][j], coef);
        std::free(in.rows[i]);
        in.rows[i] = nullptr;
    }
    std::free(in.rows);
    in = {};
}

ValueRange whole_extremes(DoubleGrid grid) {
    double smallest = grid[0][0];
    double largest = grid[0][0];
    for (int32_t i = 0; i < grid.nb_lig; ++i) {
        for (int32_t j = 0; j < grid.nb_col; ++j) {
            smallest = std::min(smallest, grid[i][j]);
            largest = std::max(largest, grid[i][j]);
        }
    }
    auto whole = [](double v) {
        const double t = std::trunc(v);
        if (t >= 2147483647.0) return INT32_MAX;
        if (t <= -2147483648.0) return INT32_MIN;
        return static_cast<int32_t>(t);
    };
    return {whole(smallest), whole(largest)};
}
