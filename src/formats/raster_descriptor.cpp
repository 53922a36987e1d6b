#include "formats/raster_descriptor.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "base/parallel.h"
#include "base/tokens.h"
#include "formats/number_text.h"
#include "platform/platform.h"

namespace terrapivoter {

namespace {

// A longer token is refused rather than kept whole: even "%lf" of the largest double is
// shorter, and a descriptor is never megabytes of digits.
constexpr std::size_t kLongestDescriptorToken = 1000;

constexpr const char* kDescriptorFields[] = {"the number of rows", "the number of columns",
                                             "the byte count",     "the smallest value",
                                             "the largest value",  "the pixel size"};

}  // namespace

RasterDescriptor parse_raster_descriptor(std::FILE* f, const std::string& displayed) {
    RasterDescriptor d;
    int32_t* integers[] = {&d.nb_lig, &d.nb_col, &d.num_bytes, &d.min_alt, &d.max_alt};
    std::string token;
    FileBytes source{f};
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

RasterDescriptor descriptor_of_grid(DoubleGrid values, double cell_size) {
    const ValueRange extremes = whole_extremes(values);
    return {values.nb_lig, values.nb_col, 4, extremes.smallest, extremes.largest, cell_size};
}

RasterDescriptor descriptor_of_grid(GridSource& grid, double cell_size, const Work& work) {
    if (const DoubleGrid* whole = grid.whole()) return descriptor_of_grid(*whole, cell_size);
    // Read in place: the extremes from one pass over its rows.
    const unsigned threads = std::max(1u, work.threads);
    std::vector<std::pair<double, double>> found(
        threads,
        {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()});
    for_row_bands(threads, 0, grid.nb_lig(), [&](unsigned t, int32_t begin, int32_t end) {
        std::vector<double> row(static_cast<std::size_t>(grid.nb_col()));
        for (int32_t i = begin; i < end; ++i) {
            grid.read(i, 0, grid.nb_col(), row.data());
            for (double v : row) {
                if (v < found[t].first) found[t].first = v;
                if (v > found[t].second) found[t].second = v;
            }
        }
    });
    double smallest = found[0].first;
    double largest = found[0].second;
    for (const auto& [low, high] : found) {
        smallest = std::min(smallest, low);
        largest = std::max(largest, high);
    }
    const ValueRange extremes = truncated_range(smallest, largest);
    return {grid.nb_lig(), grid.nb_col(), 4, extremes.smallest, extremes.largest, cell_size};
}

}  // namespace terrapivoter
