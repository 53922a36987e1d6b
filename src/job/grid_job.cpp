#include "job/grid_job.h"

#include <algorithm>

#include "base/failure.h"
#include "base/grid_source.h"
#include "job/band_sweeper.h"
#include "job/describe.h"
#include "job/engine.h"
#include "job/target.h"
#include "job/treat.h"
#include "rotation/georeference.h"
#include "rotation/hole_filling.h"

namespace terrapivoter {

namespace {

// An input of nb_lig x nb_col cells of which only the pieces' cells are at hand: what a band
// reads, and all it reads.
class PiecesSource : public GridSource {
  public:
    // No pieces: a source of its size alone, which the job's description reads.
    PiecesSource(int32_t nb_lig, int32_t nb_col,
                 const std::vector<GridTurnPlan::Piece>* pieces = nullptr)
        : GridSource(nb_lig, nb_col), pieces_(pieces) {}

    void read(int32_t row, int32_t first, int32_t end, double* out) override {
        const std::size_t count = pieces_ != nullptr ? pieces_->size() : 0;
        for (std::size_t k = 0; k < count; ++k) {
            const GridTurnPlan::Piece& piece = (*pieces_)[k];
            const CellBox& b = piece.box;
            if (row < b.first_row || row >= b.end_row || first < b.first_col || end > b.end_col) {
                continue;
            }
            const double* from =
                piece.cells[static_cast<int32_t>(row - b.first_row)] + (first - b.first_col);
            std::copy(from, from + (end - first), out);
            return;
        }
        throw Failure("no piece of the input given holds row " + std::to_string(row) +
                      ", columns " + std::to_string(first) + " to " + std::to_string(end - 1) +
                      ", which the band reads");
    }

  private:
    const std::vector<GridTurnPlan::Piece>* pieces_;
};

void check_grid_options(const JobOptions& o) {
    check_angle(o);
    if (o.pivot.kind == Pivot::Kind::map) {
        throw UsageError(
            "--pivot-xy: a grid in memory has no georeference; give a line and column");
    }
}

Work grid_work(const JobOptions& o) {
    Work work = program_work(o.threads, true);
    work.in_library = true;
    if (o.memory) work.memory = *o.memory;
    return work;
}

InputBand band_of(GridSource& source, const JobOptions& o) {
    InputBand band;
    band.grid = &source;
    band.nodata = o.nodata;
    return band;
}

// A grid of zeros, of which nothing is held.
class ZeroSource : public GridSource {
  public:
    using GridSource::GridSource;
    void read(int32_t, int32_t first, int32_t end, double* out) override {
        std::fill(out, out + (end - first), 0.0);
    }
};

TurnedGrid turn_source(GridSource& source, const JobOptions& options) {
    check_grid_options(options);
    check_grid_shape(source.nb_lig(), source.nb_col(), "the grid");
    const Work work = grid_work(options);
    const InputBand band = band_of(source, options);
    Target target = prepare_target(GridForm::memory, FileName("the grid"));
    treat(band, target, treatment_for(options, band, {}), work);
    Target::InMemory& m = target.memory;
    return {std::move(m.cells), m.nb_lig, m.nb_col,
            int64_t{m.nb_lig} - m.frame.bottom - source.nb_lig(), m.frame.left};
}

}  // namespace

TurnedGrid turn_grid(DoubleGrid input, const JobOptions& options) {
    MemorySource source(input);
    return turn_source(source, options);
}

TurnedGrid turned_frame(int32_t nb_lig, int32_t nb_col, const JobOptions& options) {
    ZeroSource zeros(nb_lig, nb_col);
    TurnedGrid turned = turn_source(zeros, options);
    turned.cells = {};
    return turned;
}

GridTurnPlan::GridTurnPlan(int32_t nb_lig, int32_t nb_col, const JobOptions& options)
    : nb_lig_(nb_lig), nb_col_(nb_col), options_(options), nodata_(options.nodata) {
    check_grid_options(options);
    check_grid_shape(nb_lig, nb_col, "the grid");
    PiecesSource shape(nb_lig, nb_col);
    treatment_ = treatment_for(options, band_of(shape, options), {});
    geo_ = swept_grid(nb_lig, nb_col, treatment_);
    work_ = grid_work(options);
}

InputWindow GridTurnPlan::window(int32_t first, int32_t end) const {
    return band_window(nb_lig_, nb_col_, geo_, treatment_.rotation, treatment_.resampling, first,
                       end);
}

TurnedGrid GridTurnPlan::sweep(const std::vector<Piece>& pieces, int32_t first, int32_t end,
                               double& smallest, CellBox& kept) const {
    PiecesSource source(nb_lig_, nb_col_, &pieces);
    BandSweeper sweeper(source, geo_, treatment_.rotation, treatment_.resampling, nodata_,
                        end - first, work_);
    const DoubleGrid rows = sweeper.band(first, end, Holes::fill);
    smallest = std::min(smallest, background_value(rows, work_));
    if (treatment_.extent == Extent::full) widen_to_filled(rows, first, kept, work_);
    TurnedGrid band{CellBlock(rows.nb_lig, rows.nb_col), rows.nb_lig, rows.nb_col, 0, 0};
    for (int32_t i = 0; i < rows.nb_lig; ++i)
        std::copy_n(rows[i], rows.width(),
                    band.cells.data() + static_cast<std::size_t>(i) * rows.width());
    return band;
}

double GridTurnPlan::background(double smallest) const {
    PiecesSource shape(nb_lig_, nb_col_);
    return background_for(treatment_, band_of(shape, options_), smallest);
}

void GridTurnPlan::finish(DoubleGrid band, double background) const {
    fill_background(band, background, work_);
}

CellBox GridTurnPlan::first_kept() const {
    if (treatment_.extent != Extent::full) return {0, geo_.nb_lig, 0, geo_.nb_col};
    return terrapivoter::input_box(geo_, nb_lig_, nb_col_);
}

std::pair<int64_t, int64_t> GridTurnPlan::input_corner(const CellBox& kept) const {
    const CellBox own = terrapivoter::input_box(geo_, nb_lig_, nb_col_);
    return {own.first_row - kept.first_row, own.first_col - kept.first_col};
}

GeoTransform GridTurnPlan::output_geotransform(const GeoTransform& gt, int64_t input_row,
                                               int64_t input_col, int32_t out_rows,
                                               bool rotated) const {
    const Georef georef{gt[0], gt[3] + nb_lig_ * gt[5], gt[1]};
    const OutputFrame frame{static_cast<int32_t>(input_col),
                            static_cast<int32_t>(out_rows - input_row - nb_lig_)};
    return terrapivoter::output_geotransform(georef, gt, nb_lig_, treatment_.rotation, frame,
                                             out_rows, rotated);
}

}  // namespace terrapivoter
