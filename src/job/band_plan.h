// How a band of the input is turned and written: all at once, or a band of output rows at a
// time, in one of three named ways. GDAL's warper is the model: a plan of chunks decided first,
// each chunk then swept by a kernel that does no I/O.
#pragma once

#include <cstdint>
#include <optional>

#include "base/grid_source.h"
#include "base/work.h"
#include "job/input_band.h"
#include "job/treatment.h"
#include "rotation/extent.h"

namespace terrapivoter {

enum class Strategy {
    // The whole output in one band: swept, its holes filled (its background found on the way),
    // written.
    whole,
    // Several bands, as many rows each as the memory budget allows. When the background is the
    // smallest value or the extent full, a first pass over the bands finds it (and the part of
    // the output to keep); the second sweeps them again and writes them.
    two_passes,
    // A raster pair written a band at a time as the bands are swept, so that the device stores
    // the first while the next are swept: its background, the smallest value, guessed before
    // the first band (the smallest value that lands), checked against the bands as they are
    // written, and the data written again where the two differ.
    streamed,
};

struct BandPlan {
    Strategy strategy = Strategy::whole;
    int32_t height = 0;             // output rows a band has at most
    std::optional<double> guessed;  // the background, for the streamed strategy
};

// The most output rows a band may have within the memory budget (all of them when they fit).
int32_t band_height(const GridSource& in, const Enlargement& geo, const RotationParameters& p,
                    const Work& work);

// The least memory a run on an nb_lig x nb_col input is given (below it, the same bytes come no
// faster and no smaller): the fixed costs of a band and 32 rows of the widest output the input
// can turn into (its diagonal), for a band of 16 rows and the input cells it needs.
int64_t minimum_memory(int64_t nb_lig, int64_t nb_col);

// The plan for turning `in` into an output of `geo`'s size in `form`.
BandPlan plan_bands(GridSource& in, const Enlargement& geo, const Treatment& treatment,
                    GridForm form, const Work& work);

}  // namespace terrapivoter
