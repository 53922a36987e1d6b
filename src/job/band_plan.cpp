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

namespace {

// Bytes a band of `height` output rows costs, for an input read in place: the band's rows and
// the input cells they need (for a band in the middle of the output, the widest part of the
// turned terrain), those within `reach` cells too; or the rows alone, for an input the sweep
// reads itself (`from_source`).
int64_t band_cost(const GridSource& in, const Enlargement& geo, const RotationParameters& p,
                  int64_t height, int32_t reach, bool from_source) {
    const int64_t row_bytes = geo.nb_col * static_cast<int64_t>(sizeof(double)) + 32;
    if (from_source) return (height + 2) * row_bytes;
    OutputFrame frame = geo.frame;
    frame.total_rows = static_cast<int32_t>(geo.nb_lig);
    const auto first = static_cast<int32_t>(std::max<int64_t>(0, (geo.nb_lig - height) / 2));
    const auto end = static_cast<int32_t>(std::min(geo.nb_lig, first + height));
    const InputWindow window = input_window(in.nb_lig(), in.nb_col(), p, frame, first, end, reach);
    return (height + 2) * row_bytes +
           (window.cells() + in.nb_col() + in.nb_lig()) * int64_t{sizeof(double)};
}

// The most output rows (at least one) whose band costs at most `available`.
int32_t height_within(const GridSource& in, const Enlargement& geo, const RotationParameters& p,
                      int64_t available, int32_t reach) {
    int64_t low = 1;
    int64_t high = geo.nb_lig;
    while (low < high) {
        const int64_t mid = (low + high + 1) / 2;
        if (band_cost(in, geo, p, mid, reach, false) <= available) {
            low = mid;
        } else {
            high = mid - 1;
        }
    }
    return static_cast<int32_t>(low);
}

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
    return height_within(in, geo, p, available, 0);
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
    const bool forward = treatment.resampling == Resampling::forward;
    BandPlan plan;
    plan.height = band_height(in, geo, treatment.rotation, work);
    // A raster pair of the input's extent is written as it is swept: in bands of a few rows,
    // however much memory there is.
    const bool as_swept = form == GridForm::raster_pair && treatment.extent == Extent::input;
    int32_t streamed = plan.height;
    if (as_swept && work.band_rows == 0 && geo.nb_lig * geo.nb_col >= kStreamedCells) {
        streamed = std::min<int32_t>(plan.height, (total + kStreamedBands - 1) / kStreamedBands);
    }
    if (as_swept && streamed < total && smallest && forward) {
        plan.guessed = smallest_landing_value_of(in, total, static_cast<int32_t>(geo.nb_col),
                                                 treatment.rotation, geo.frame, work);
    }
    if (streamed < total && (!smallest || plan.guessed)) plan.height = streamed;
    // Resampled, an input not held whole is read a window at a time: its bands are as high as
    // costs no more than forward placement's would.
    if (!forward && in.whole() == nullptr && work.band_rows == 0) {
        const int64_t forward_cost =
            band_cost(in, geo, treatment.rotation, streamed, 0, sweeps_from_source(in, work));
        plan.height = std::min(plan.height, height_within(in, geo, treatment.rotation, forward_cost,
                                                          resampling_reach(treatment.resampling)));
    }
    plan.strategy = plan.height >= total ? Strategy::whole
                    : plan.guessed       ? Strategy::streamed
                                         : Strategy::two_passes;
    return plan;
}

}  // namespace terrapivoter
