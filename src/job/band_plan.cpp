#include "job/band_plan.h"

#include <algorithm>
#include <cmath>

#include "io/memory_budget.h"
#include "job/engine.h"
#include "rotation/bands.h"

namespace terrapivoter {

namespace {

// Bytes for what a band costs beyond its cells: the writers' blocks of converted rows and text,
// GDAL's block cache, the threads' stacks.
constexpr int64_t kOverhead = int64_t{128} << 20;

// Outputs written a band at a time as they are swept are cut into this many bands from this
// many cells up (bands of a million cells or more: 8 MB of working values).
constexpr int64_t kStreamedCells = int64_t{8} << 20;
constexpr int32_t kStreamedBands = 8;

}  // namespace

int32_t band_height(const GridSource& in, const Enlargement& geo, const RotationParameters& p,
                    const Work& work) {
    if (work.band_rows > 0)
        return static_cast<int32_t>(std::min<int64_t>(work.band_rows, geo.nb_lig));
    const int64_t row_bytes = geo.nb_col * static_cast<int64_t>(sizeof(double)) + 32;
    const int64_t held =
        in.whole() != nullptr ? in.nb_lig() * (in.nb_col() * int64_t{sizeof(double)} + 32) : 0;
    const int64_t available = memory_budget(work) - held - kOverhead;
    // Held whole, or read by the sweep itself: the band's rows are all it costs.
    if (in.whole() != nullptr || sweeps_from_source(in, work)) {
        if (available >= geo.nb_lig * row_bytes) return static_cast<int32_t>(geo.nb_lig);
        return static_cast<int32_t>(std::clamp<int64_t>(available / row_bytes - 2, 1, geo.nb_lig));
    }
    // Read in place: the band's rows and the input cells they need, for a band in the middle
    // of the output (the widest part of the turned terrain).
    auto cost = [&](int64_t height) {
        OutputFrame frame = geo.frame;
        frame.total_rows = static_cast<int32_t>(geo.nb_lig);
        const auto first = static_cast<int32_t>(std::max<int64_t>(0, (geo.nb_lig - height) / 2));
        const auto end = static_cast<int32_t>(std::min(geo.nb_lig, first + height));
        const InputWindow window = input_window(in.nb_lig(), in.nb_col(), p, frame, first, end);
        return (height + 2) * row_bytes +
               (window.cells() + in.nb_col() + in.nb_lig()) * int64_t{sizeof(double)};
    };
    int64_t low = 1;
    int64_t high = geo.nb_lig;
    while (low < high) {
        const int64_t mid = (low + high + 1) / 2;
        if (cost(mid) <= available) {
            low = mid;
        } else {
            high = mid - 1;
        }
    }
    return static_cast<int32_t>(low);
}

int64_t minimum_memory(int64_t nb_lig, int64_t nb_col) {
    const auto widest = static_cast<int64_t>(
        std::ceil(std::sqrt(static_cast<double>(nb_lig * nb_lig + nb_col * nb_col))) + 5);
    return kOverhead + 32 * (widest * int64_t{sizeof(double)} + 32);
}

BandPlan plan_bands(GridSource& in, const Enlargement& geo, const Treatment& treatment,
                    GridForm form, const Work& work) {
    const auto total = static_cast<int32_t>(geo.nb_lig);
    const bool smallest = treatment.background.kind == Background::Kind::smallest;
    BandPlan plan;
    plan.height = band_height(in, geo, treatment.rotation, work);
    if (form == GridForm::raster_pair && treatment.extent == Extent::input) {
        int32_t streamed = plan.height;
        if (work.band_rows == 0 && geo.nb_lig * geo.nb_col >= kStreamedCells)
            streamed =
                std::min<int32_t>(plan.height, (total + kStreamedBands - 1) / kStreamedBands);
        if (streamed < total && smallest) {
            plan.guessed = smallest_landing_value_of(in, total, static_cast<int32_t>(geo.nb_col),
                                                     treatment.rotation, geo.frame, work);
        }
        if (streamed < total && (!smallest || plan.guessed)) plan.height = streamed;
    }
    plan.strategy = plan.height >= total ? Strategy::whole
                    : plan.guessed       ? Strategy::streamed
                                         : Strategy::two_passes;
    return plan;
}

}  // namespace terrapivoter
