#include "job/treat.h"

#include <bit>
#include <optional>

#include "base/progress.h"
#include "base/stage_log.h"
#include "job/band_plan.h"
#include "job/band_sweeper.h"
#include "job/target_writer.h"
#include "rotation/extent.h"
#include "rotation/hole_filling.h"

namespace terrapivoter {

namespace {

// What every strategy works on: the input, the output's geometry, and the part of the output
// kept (all of it, or, for the full extent, the rows and columns that the turned terrain and
// the input's own cells occupy, found as the bands are swept).
struct Turning {
    const InputBand& input;
    Target& target;
    const Treatment& treatment;
    const Work& work;
    Enlargement geo;
    int32_t total;
    bool smallest;  // the background is the smallest value
    bool full;      // the full extent
    CellBox keep;
    std::optional<StageTimer>& stage;  // the stage a benchmark's log is told of
};

BandSweeper sweeper_of(const Turning& t, int32_t height, DoubleGrid into = {}) {
    return {
        *t.input.grid, t.geo, t.treatment.rotation, t.treatment.resampling, t.input.nodata, height,
        t.work,        into};
}

// Whether the writer fills the holes of the kept rows as it writes them (a raster pair's, row
// by row): forward placement's holes, when the whole output is kept.
bool writer_fills_holes(const Turning& t) {
    return !t.full && t.treatment.resampling == Resampling::forward &&
           TargetWriter::fills_holes(t.target.form);
}

// The writer of the kept part of the output.
TargetWriter writer_of(const Turning& t) {
    const GridWindow shape = window_of(DoubleGrid{nullptr, 0, 0}, 0, t.keep, t.geo);
    const auto kept_rows = static_cast<int32_t>(t.keep.end_row - t.keep.first_row);
    return {t.input, t.target, t.treatment, shape, kept_rows, shape.view.nb_col, t.work};
}

// The background, from every band swept with its holes filled (and what the output keeps of
// the full extent found on the way).
double background_from_bands(Turning& t, BandSweeper& sweeper, int32_t height) {
    double least = kNoBackground;
    Progress progress(t.work, "finding the background", t.total, t.geo.nb_lig * t.geo.nb_col);
    for (int32_t first = 0; first < t.total; first += height) {
        const int32_t end = std::min(t.total, first + height);
        const DoubleGrid rows = sweeper.band(first, end);
        if (t.full) widen_to_filled(rows, first, t.keep, t.work);
        if (t.smallest) least = std::min(least, background_value(rows, t.work));
        progress.advance(end - first);
    }
    return least;
}

// The kept rows swept and written a band at a time (a raster pair's holes filled by its writer,
// row by row, with the band's rows of context at hand); with `written_smallest`, the smallest
// value of the rows written, before their holes are filled.
void write_bands(const Turning& t, BandSweeper& sweeper, TargetWriter& writer, int32_t height,
                 double background, double* written_smallest) {
    const bool writer_fills = writer_fills_holes(t);
    for (auto first = static_cast<int32_t>(t.keep.first_row); first < t.keep.end_row;
         first += height) {
        const auto end = static_cast<int32_t>(std::min<int64_t>(t.keep.end_row, first + height));
        GridWindow kept;  // owns the kept part's row pointers, while it is written
        DoubleGrid unfilled;
        int32_t offset = 0;
        if (writer_fills) {
            kept.view = sweeper.band(first, end, Holes::left);
            unfilled = sweeper.with_context();
            offset = sweeper.offset();
        } else {
            kept = window_of(sweeper.band(first, end), first, t.keep, t.geo);
        }
        if (written_smallest != nullptr) {
            *written_smallest = std::min(*written_smallest, background_value(kept.view, t.work));
        }
        writer.write(kept.view, background, unfilled.rows != nullptr ? &unfilled : nullptr, offset);
    }
}

void treat_whole(Turning& t) {
    // An output in memory of the input's extent is swept where it is handed back.
    std::vector<double*> memory_rows;
    DoubleGrid into;
    if (t.target.form == GridForm::memory && !t.full) {
        into = in_memory_grid(t.target, t.total, static_cast<int32_t>(t.geo.nb_col), memory_rows);
    }
    BandSweeper sweeper = sweeper_of(t, t.total, into);
    // The whole output kept, its background is found while its holes are filled, and where
    // its empty cells lie noted, for the background to be given to them alone; or, for a writer
    // that fills them, it is found before they are (filling them cannot lower it), so that the
    // device writes the first rows while the last ones are filled.
    bool holes_left = t.smallest && !t.full && writer_fills_holes(t);
    double smallest = kNoBackground;
    const DoubleGrid single = sweeper.band(0, t.total,
                                           holes_left ? Holes::left
                                           : t.full   ? Holes::fill
                                                      : Holes::fill_finding_background,
                                           &smallest);
    if (t.full) widen_to_filled(single, 0, t.keep, t.work);
    t.stage.emplace(t.work, "fill");
    if (holes_left) {
        smallest = background_value(single, t.work);
        if (!holes_keep_background(smallest)) {
            fill_holes(single, t.input.nodata, t.work);
            smallest = background_value(single, t.work);
            holes_left = false;
        }
    } else if (t.smallest && t.full) {
        smallest = background_value(window_of(single, 0, t.keep, t.geo).view, t.work);
    }
    const double background = background_for(t.treatment, t.input, smallest);
    t.stage.emplace(t.work, "write");
    TargetWriter writer = writer_of(t);
    const GridWindow kept = window_of(single, 0, t.keep, t.geo);
    // The whole output kept, `kept` is the band itself, whose empty cells the sweeper noted.
    writer.write(kept.view, background, holes_left ? &kept.view : nullptr, 0,
                 t.full ? std::span<const EmptyCells>{} : sweeper.empty_cells());
    writer.finish();
}

void treat_in_two_passes(Turning& t, int32_t height) {
    BandSweeper sweeper = sweeper_of(t, height);
    double smallest = kNoBackground;
    if (t.smallest || t.full) smallest = background_from_bands(t, sweeper, height);
    const double background = background_for(t.treatment, t.input, smallest);
    t.stage.emplace(t.work, "write");
    TargetWriter writer = writer_of(t);
    write_bands(t, sweeper, writer, height, background, nullptr);
    writer.finish();
}

void treat_streamed(Turning& t, int32_t height, double guessed) {
    BandSweeper sweeper = sweeper_of(t, height);
    t.stage.emplace(t.work, "write");
    TargetWriter writer = writer_of(t);
    // The written rows' smallest value (before their holes are filled, which cannot lower it
    // unless holes_keep_background says otherwise).
    double written_smallest = kNoBackground;
    write_bands(t, sweeper, writer, height, guessed, &written_smallest);
    if (!holes_keep_background(written_smallest)) {
        written_smallest = background_from_bands(t, sweeper, height);
    }
    if (std::bit_cast<uint64_t>(written_smallest) != std::bit_cast<uint64_t>(guessed)) {
        writer.restart();
        write_bands(t, sweeper, writer, height, written_smallest, nullptr);
    }
    writer.finish();
}

}  // namespace

double background_for(const Treatment& treatment, const InputBand& input, double smallest) {
    switch (treatment.background.kind) {
        case Background::Kind::nodata:
            // The input's no-data value, written as the output's; or the output's own.
            return input.nodata ? *input.nodata : *input.output_nodata;
        case Background::Kind::given:
            return treatment.background.value;
        case Background::Kind::smallest:
            break;
    }
    return smallest;
}

Enlargement swept_grid(int32_t nb_lig, int32_t nb_col, const Treatment& treatment) {
    return treatment.extent == Extent::full
               ? enlargement_with_margin(nb_lig, nb_col, treatment.rotation)
               : Enlargement{{}, nb_lig, nb_col};
}

void treat(const InputBand& input, Target& target, const Treatment& treatment, const Work& work) {
    GridSource& in = *input.grid;
    const bool full = treatment.extent == Extent::full;
    std::optional<StageTimer> stage(std::in_place, work, "rotate");
    const Enlargement geo = swept_grid(in.nb_lig(), in.nb_col(), treatment);
    Turning t{
        input,
        target,
        treatment,
        work,
        geo,
        static_cast<int32_t>(geo.nb_lig),
        treatment.background.kind == Background::Kind::smallest,
        full,
        full ? input_box(geo, in.nb_lig(), in.nb_col()) : CellBox{0, geo.nb_lig, 0, geo.nb_col},
        stage};
    const BandPlan plan = plan_bands(in, geo, treatment, target.form, work);
    switch (plan.strategy) {
        case Strategy::whole:
            treat_whole(t);
            break;
        case Strategy::two_passes:
            treat_in_two_passes(t, plan.height);
            break;
        case Strategy::streamed:
            treat_streamed(t, plan.height, *plan.guessed);
            break;
    }
}

}  // namespace terrapivoter
