#include "app/pipeline.h"

#include <bit>
#include <cmath>
#include <limits>

#include "base/parallel.h"
#include "base/progress.h"
#include "base/stage_log.h"
#include "formats/ascii_grid.h"
#include "formats/raster_pair.h"
#include "io/memory_budget.h"
#include "rotation/bands.h"
#include "rotation/empty_cells.h"
#include "rotation/extent.h"
#include "rotation/georeference.h"
#include "rotation/hole_filling.h"

Target prepare_target(GridForm form, const FileName& name) {
    Target target;
    target.form = form;
    target.name = name;
    switch (form) {
        case GridForm::raster_pair:
            target.descriptor = std::make_unique<OutputFile>(name + kRasterDescriptorSuffix, true);
            target.data = std::make_unique<OutputFile>(name + kRasterDataSuffix, false);
            break;
        case GridForm::ascii_grid:
            target.data = std::make_unique<OutputFile>(name, true);
            break;
        case GridForm::gdal:
            target.folder = std::make_unique<OutputFolder>(name);
            break;
    }
    return target;
}

const std::string& Target::displayed() const {
    return folder ? folder->displayed() : data->displayed();
}

void commit(Target& target, const Work& work) {
    std::optional<StageTimer> stage(std::in_place, work, "sync");
    if (target.folder) {
        if (target.gdal_writer) target.gdal_writer->finish();
        target.gdal_writer.reset();
        stage.emplace(work, "rename");
        target.folder->commit();
        return;
    }
    std::vector<OutputFile*> files = {target.data.get()};
    if (target.descriptor) files.push_back(target.descriptor.get());
    for (const auto& file : target.companions)
        files.push_back(file.get());
    for (OutputFile* file : files)
        file->finish();
    stage.emplace(work, "rename");
    OutputFile::commit_together(files);
}

FileName prj_beside(const FileName& ascii_grid) {
    auto stem = [](const std::string& path) {
        const std::size_t dot = path.rfind('.');
        const std::size_t slash = path.find_last_of("/\\");
        return dot == std::string::npos || (slash != std::string::npos && dot < slash)
                   ? path
                   : path.substr(0, dot);
    };
    return {stem(ascii_grid.host) + ".prj", stem(ascii_grid.shown) + ".prj"};
}

InputGrid held_whole(Matrix<double> values) {
    InputGrid input{std::move(values), nullptr};
    input.source = std::make_unique<MemorySource>(input.held.view());
    return input;
}

namespace {

// Bytes for what a band costs beyond its cells: the writers' blocks of converted rows and text,
// GDAL's block cache, the threads' stacks.
constexpr int64_t kOverhead = int64_t{128} << 20;

// Outputs written a band at a time as they are swept (see treat) are cut into this many bands
// from this many cells up (bands of a million cells or more: 8 MB of working values).
constexpr int64_t kStreamedCells = int64_t{8} << 20;
constexpr int32_t kStreamedBands = 8;

// What a band's holes get before the band is handed on.
enum class Holes {
    fill,                     // filled
    fill_finding_background,  // filled, the band's background value found in the same pass
    left,                     // left for the writer to fill row by row
};

// Rows of the output swept a band at a time into one buffer, reused.
class BandSweeper {
  public:
    BandSweeper(GridSource& in, const Enlargement& geo, const RotationParameters& p,
                std::optional<double> nodata, int32_t height, const Work& work)
        : in_(in),
          geo_(geo),
          p_(p),
          nodata_(nodata),
          work_(work),
          from_source_(sweeps_from_source(in, work)) {
        const auto rows = static_cast<int32_t>(std::min<int64_t>(height + 2, geo.nb_lig));
        cells_ = fresh_grid<double>(rows, static_cast<int32_t>(geo.nb_col), work.threads);
        if (in.whole() == nullptr && !from_source_) {
            input_rows_.assign(static_cast<std::size_t>(in.nb_lig()), nullptr);
            // The input cells' buffer, made for the widest band at once: grown band by band, it
            // was copied and faulted in again at every growth.
            int64_t widest = 0;
            for (int32_t first = 0; first < geo.nb_lig; first += height) {
                const auto end =
                    static_cast<int32_t>(std::min<int64_t>(geo.nb_lig, first + height));
                widest = std::max(widest, window(first, end).cells());
            }
            reserve_storage(widest);
        }
        // One band or many: the sweep draws its own progress only when it is the whole output.
        if (height < geo.nb_lig) work_.show_progress = false;
    }

    // Output rows [first, end), swept with a row of context on either side, their holes dealt
    // with as `holes` says (the background value into `smallest`); the view's row 0 is output
    // row `first`.
    DoubleGrid band(int32_t first, int32_t end, Holes holes = Holes::fill,
                    double* smallest = nullptr) {
        const auto total = static_cast<int32_t>(geo_.nb_lig);
        const int32_t top = std::max(0, first - 1);
        const int32_t bottom = std::min(total, end + 1);
        const DoubleGrid buffer{cells_.view().rows, bottom - top, cells_.nb_col()};
        mark_empty(buffer, work_);
        const OutputFrame frame = frame_of(top);
        const DoubleGrid* whole = in_.whole();
        if (whole != nullptr && bottom - top == total) {
            rotate(*whole, RowRange{0, whole->nb_lig}, buffer, p_, work_, frame);
        } else if (from_source_) {
            if (bottom - top < total) window_ = window(first, end);
            rotate_source(in_, bottom - top < total ? &window_ : nullptr, buffer, p_, work_, frame);
        } else {
            window_ = window(first, end);
            rotate_window(whole != nullptr ? *whole : read_window(), window_, buffer, p_, work_,
                          frame);
        }
        if (holes == Holes::fill_finding_background) {
            *smallest = fill_holes_finding_background(buffer, nodata_, work_);
        } else if (holes == Holes::fill) {
            fill_holes(buffer, nodata_, work_);
        }
        view_rows_.assign(buffer.rows, buffer.rows + (bottom - top));
        offset_ = first - top;
        return {view_rows_.data() + offset_, end - first, buffer.nb_col};
    }

    // The last band with the rows of context around it (where the output has them), and the
    // row at which the band starts in it: what its holes need.
    DoubleGrid with_context() {
        return {view_rows_.data(), static_cast<int32_t>(view_rows_.size()), cells_.nb_col()};
    }
    int32_t offset() const { return offset_; }

  private:
    // Room in storage_ for `cells` input cells (their contents are not kept).
    void reserve_storage(int64_t cells) {
        const auto needed =
            static_cast<std::size_t>(in_.nb_col()) + static_cast<std::size_t>(cells);
        if (needed <= storage_size_) return;
        storage_ = std::make_unique_for_overwrite<double[]>(needed);
        storage_size_ = needed;
    }

    // The output's frame for a band whose first swept row (context included) is `top`.
    OutputFrame frame_of(int32_t top) const {
        OutputFrame frame = geo_.frame;
        frame.first_row = top;
        frame.total_rows = static_cast<int32_t>(geo_.nb_lig);
        return frame;
    }

    // The input cells that band [first, end), with its rows of context, needs.
    InputWindow window(int32_t first, int32_t end) const {
        const auto total = static_cast<int32_t>(geo_.nb_lig);
        const int32_t top = std::max(0, first - 1);
        const int32_t bottom = std::min(total, end + 1);
        return input_window(in_.nb_lig(), in_.nb_col(), p_, frame_of(top), top, bottom);
    }

    // The cells of window_, read into storage_: each row's pointer is such that its column j is
    // at [j] for the columns read (the buffer starts with a row's worth of room so that no
    // pointer lies before it).
    DoubleGrid read_window() {
        const int32_t cols = in_.nb_col();
        reserve_storage(window_.cells());
        std::fill(input_rows_.begin(), input_rows_.end(), nullptr);
        std::size_t offset = static_cast<std::size_t>(cols);
        for (int32_t i = window_.rows.first; i < window_.rows.end; ++i) {
            const Segment seg = window_.columns[static_cast<std::size_t>(i - window_.rows.first)];
            input_rows_[static_cast<std::size_t>(i)] = storage_.get() + offset - seg.first;
            offset += static_cast<std::size_t>(seg.end - seg.first);
        }
        for_row_bands(work_.threads, window_.rows.first, window_.rows.end - window_.rows.first,
                      [&](unsigned, int32_t begin, int32_t end) {
                          for (int32_t i = begin; i < end; ++i) {
                              const Segment seg =
                                  window_.columns[static_cast<std::size_t>(i - window_.rows.first)];
                              if (seg.end > seg.first) {
                                  in_.read(i, seg.first, seg.end,
                                           input_rows_[static_cast<std::size_t>(i)] + seg.first);
                              }
                          }
                      });
        return {input_rows_.data(), in_.nb_lig(), cols};
    }

    GridSource& in_;
    Enlargement geo_;
    RotationParameters p_;
    std::optional<double> nodata_;
    Work work_;
    bool from_source_;  // the sweep reads the input itself (sweeps_from_source)
    Matrix<double> cells_;
    std::vector<double*> view_rows_;
    int32_t offset_ = 0;
    InputWindow window_;
    std::unique_ptr<double[]> storage_;
    std::size_t storage_size_ = 0;
    std::vector<double*> input_rows_;
};

// The most output rows a band may have within the memory budget (all of them when they fit).
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

double background_of(const Background& b, const Source& source, double smallest) {
    switch (b.kind) {
        case Background::Kind::nodata:
            // The input's no-data value, written as the output's; or the output's own.
            return source.nodata ? *source.nodata : *source.output_nodata;
        case Background::Kind::given:
            return b.value;
        case Background::Kind::smallest:
            break;
    }
    return smallest;
}

// Whether `v` is a no-data cell of a grid whose no-data value is `nodata` (every NaN is one
// when it is a NaN).
bool is_nodata(double v, double nodata) {
    return nodata != nodata ? v != v : v == nodata;
}

// The no-data cells of `rows` given the value `to`.
void replace_nodata(DoubleGrid rows, double from, double to, const Work& work) {
    for_row_bands(work.threads, 0, rows.nb_lig, [&](unsigned, int32_t begin, int32_t end) {
        for (int32_t i = begin; i < end; ++i) {
            double* row = rows[i];
            for (int32_t j = 0; j < rows.nb_col; ++j) {
                if (is_nodata(row[j], from)) row[j] = to;
            }
        }
    });
}

// A band of a target, written a band of rows at a time.
class TargetWriter {
  public:
    TargetWriter(const Source& source, Target& target, const Treatment& treatment,
                 const GridWindow& keep, int32_t nb_lig, int32_t nb_col, const Work& work)
        : source_(source), target_(target), work_(work), nb_lig_(nb_lig), nb_col_(nb_col) {
        const std::size_t bands = std::max<std::size_t>(1, target.gdal.bands.size());
        shown_ = target.displayed();
        if (bands > 1) {
            shown_ +=
                " (band " + std::to_string(target.band + 1) + " of " + std::to_string(bands) + ")";
        }
        progress_.emplace(work, "writing " + shown_, nb_lig, int64_t{nb_lig} * nb_col);
        const std::optional<double> output_nodata =
            source.output_nodata ? source.output_nodata : source.nodata;
        if (source.nodata && output_nodata &&
            std::bit_cast<uint64_t>(*source.nodata) != std::bit_cast<uint64_t>(*output_nodata)) {
            nodata_written_as_ = output_nodata;
        }
        // The output's corner: the input's, moved by the whole cells the output adds.
        const OutputFrame frame = keep.frame;
        const Georef& g = source.georef;
        switch (target.form) {
            case GridForm::raster_pair: {
                RasterDescriptor d = source.carried;
                d.nb_lig = nb_lig;
                d.nb_col = nb_col;
                target.descriptor->write(format_raster_descriptor(d));
                break;
            }
            case GridForm::ascii_grid: {
                if (source.crs.known()) {
                    const std::string prj =
                        !source.crs.prj.empty() ? source.crs.prj : gdal_crs_as_prj(source.crs.wkt);
                    if (!prj.empty()) {
                        target.companions.push_back(
                            std::make_unique<OutputFile>(prj_beside(target.name), true));
                        target.companions.back()->write(prj);
                    }
                }
                target.data->write(format_ascii_header(
                    {nb_col, nb_lig, g.X_min - frame.left * g.cell_size,
                     g.Y_min - frame.bottom * g.cell_size, g.cell_size, output_nodata}));
                break;
            }
            case GridForm::gdal: {
                if (target.gdal_writer) {
                    target.gdal_writer->start_band(target.band);
                    break;
                }
                GdalWriteOptions options = target.gdal;
                if (source.georeferenced) {
                    options.geotransform = output_geotransform(
                        source.georef, source.geotransform, source.grid->nb_lig(),
                        treatment.rotation, frame, nb_lig, treatment.rotated_georef);
                }
                options.crs_wkt = !source.crs.wkt.empty()   ? source.crs.wkt
                                  : !source.crs.prj.empty() ? gdal_crs_from_prj(source.crs.prj)
                                                            : "";
                if (options.bands.empty()) {
                    options.bands.emplace_back();
                    options.bands.back().nodata = output_nodata;
                }
                target.gdal_writer =
                    std::make_unique<GdalWriter>(options, target.folder->writer_path(),
                                                 target.displayed(), nb_lig, nb_col, work);
                target.gdal_writer->start_band(target.band);
                break;
            }
        }
    }

    // Whether write() can fill the holes of the rows it is given (unfilled_in) for an output in
    // `form`.
    static bool fills_holes(GridForm form) { return form == GridForm::raster_pair; }

    // The output's next rows, their empty cells given the background value. With
    // `unfilled_in`, a grid whose rows [offset, offset + rows.nb_lig) are `rows` and whose
    // rows around them are their neighbours (the output's rows before and after them, where it
    // has them), the rows' holes are filled first (fills_holes), each row just before it is
    // converted, while the device writes the rows before.
    void write(DoubleGrid rows, double background, const DoubleGrid* unfilled_in = nullptr,
               int32_t offset = 0) {
        if (target_.form == GridForm::raster_pair) {
            const std::optional<double> nodata = source_.nodata;
            std::function<void(int32_t)> fill_row;
            if (unfilled_in != nullptr) {
                fill_row = [&](int32_t i) { fill_holes_in_row(*unfilled_in, i + offset, nodata); };
            }
            clamped_ += write_raster_band(rows, background, source_.coef, *target_.data, work_,
                                          &*progress_, fill_row);
            return;
        }
        fill_background(rows, background, work_);
        if (nodata_written_as_) replace_nodata(rows, *source_.nodata, *nodata_written_as_, work_);
        if (target_.form == GridForm::ascii_grid) {
            if (first_rows_ && rows.nb_lig > 0) target_.data->write(ascii_values_lead(rows[0][0]));
            write_ascii_band(rows, *target_.data, work_, &*progress_);
        } else {
            target_.gdal_writer->write(rows, &*progress_);
        }
        first_rows_ = false;
    }

    // Writes the output again from its first row (a raster pair's data: the same number of
    // bytes again, over the first ones).
    void restart() {
        target_.data->rewind();
        clamped_ = 0;
        first_rows_ = true;
        progress_.reset();
        progress_.emplace(work_, "writing " + shown_ + " again", nb_lig_,
                          int64_t{nb_lig_} * nb_col_);
    }

    // Says what the band's writing clamped.
    void finish() {
        if (target_.form == GridForm::raster_pair) warn_clamped(*target_.data, clamped_);
        progress_.reset();
    }

  private:
    const Source& source_;
    Target& target_;
    Work work_;
    int32_t nb_lig_;
    int32_t nb_col_;
    std::string shown_;
    std::optional<Progress> progress_;  // made anew when the output is written again
    std::optional<double> nodata_written_as_;
    bool first_rows_ = true;
    int64_t clamped_ = 0;
};

}  // namespace

void treat(const Source& source, Target& target, const Treatment& treatment, const Work& work) {
    GridSource& in = *source.grid;
    const RotationParameters& p = treatment.rotation;
    const Enlargement geo = treatment.extent == Extent::input
                                ? Enlargement{{}, in.nb_lig(), in.nb_col()}
                                : enlargement_with_margin(in.nb_lig(), in.nb_col(), p);
    const auto total = static_cast<int32_t>(geo.nb_lig);
    const bool smallest = treatment.background.kind == Background::Kind::smallest;
    const bool full = treatment.extent == Extent::full;
    std::optional<StageTimer> stage(std::in_place, work, "rotate");

    // A raster pair's data is written a band at a time as the bands are swept: the device
    // stores the first bands while the next are swept, and the output grid is a band's size.
    // Its background, the smallest value, is not known before the last band: it is guessed as
    // the smallest value that lands (the output's, unless every cell holding it is covered by
    // a later one), taken from the bands as they are written, and where the two differ, the
    // whole data is written again with the right one.
    int32_t height = band_height(in, geo, p, work);
    std::optional<double> guessed;
    if (target.form == GridForm::raster_pair && !full) {
        int32_t streamed = height;
        if (work.band_rows == 0 && geo.nb_lig * geo.nb_col >= kStreamedCells)
            streamed = std::min<int32_t>(height, (total + kStreamedBands - 1) / kStreamedBands);
        if (streamed < total && smallest)
            guessed = smallest_landing_value_of(in, total, static_cast<int32_t>(geo.nb_col), p,
                                                geo.frame, work);
        if (streamed < total && (!smallest || guessed)) height = streamed;
    }
    const bool one_band = height >= total;
    BandSweeper sweeper(in, geo, p, source.nodata, height, work);

    // What the output keeps (all of it, or, for the full extent, the rows and columns that the
    // turned terrain and the input's own cells occupy), and its smallest value.
    CellBox keep =
        full ? input_box(geo, in.nb_lig(), in.nb_col()) : CellBox{0, geo.nb_lig, 0, geo.nb_col};
    double dmin = kNoBackground;
    DoubleGrid single;
    bool holes_left = false;
    // The background, from every band swept with its holes filled (and what the output keeps
    // of the full extent found on the way).
    auto background_from_bands = [&] {
        double least = kNoBackground;
        Progress progress(work, "finding the background", total, geo.nb_lig * geo.nb_col);
        for (int32_t first = 0; first < total; first += height) {
            const int32_t end = std::min(total, first + height);
            const DoubleGrid rows = sweeper.band(first, end);
            if (full) widen_to_filled(rows, first, keep, work);
            if (smallest) least = std::min(least, background_value(rows, work));
            progress.advance(end - first);
        }
        return least;
    };
    if (one_band) {
        // The whole output kept, its background is found while its holes are filled, or, for
        // a writer that fills them, before they are (filling them cannot lower it), so that
        // the device writes the first rows while the last ones are filled.
        const bool whole_kept = smallest && !full;
        holes_left = whole_kept && TargetWriter::fills_holes(target.form);
        single = sweeper.band(0, total,
                              holes_left   ? Holes::left
                              : whole_kept ? Holes::fill_finding_background
                                           : Holes::fill,
                              &dmin);
        if (full) widen_to_filled(single, 0, keep, work);
        stage.emplace(work, "fill");
        if (holes_left) {
            dmin = background_value(single, work);
            if (!holes_keep_background(dmin)) {
                fill_holes(single, source.nodata, work);
                dmin = background_value(single, work);
                holes_left = false;
            }
        } else if (smallest && !whole_kept) {
            dmin = background_value(window_of(single, 0, keep, geo).view, work);
        }
    } else if ((smallest && !guessed) || full) {
        dmin = background_from_bands();
    }
    double background = guessed ? *guessed : background_of(treatment.background, source, dmin);

    const GridWindow shape = window_of(DoubleGrid{nullptr, 0, 0}, 0, keep, geo);
    const auto kept_rows = static_cast<int32_t>(keep.end_row - keep.first_row);
    stage.emplace(work, "write");
    TargetWriter writer(source, target, treatment, shape, kept_rows, shape.view.nb_col, work);
    // Bands whose holes the writer fills, as it converts their rows.
    const bool writer_fills = !one_band && !full && TargetWriter::fills_holes(target.form);
    // The written rows' smallest value, when the background was guessed (before their holes
    // are filled, which cannot lower it unless holes_keep_background says otherwise).
    double written_smallest = kNoBackground;
    auto write_rows = [&] {
        for (auto first = static_cast<int32_t>(keep.first_row); first < keep.end_row;
             first += height) {
            const auto end = static_cast<int32_t>(std::min<int64_t>(keep.end_row, first + height));
            GridWindow kept;  // owns the kept part's row pointers, while it is written
            DoubleGrid unfilled;
            int32_t offset = 0;
            if (one_band) {
                kept = window_of(single, 0, keep, geo);
                if (holes_left) unfilled = kept.view;
            } else if (writer_fills) {
                kept.view = sweeper.band(first, end, Holes::left);
                unfilled = sweeper.with_context();
                offset = sweeper.offset();
            } else {
                kept = window_of(sweeper.band(first, end), first, keep, geo);
            }
            const DoubleGrid rows = kept.view;
            if (guessed) {
                const double least = background_value(rows, work);
                if (least < written_smallest) written_smallest = least;
            }
            writer.write(rows, background, unfilled.rows != nullptr ? &unfilled : nullptr, offset);
            if (one_band) break;
        }
    };
    write_rows();
    if (guessed) {
        if (!holes_keep_background(written_smallest)) written_smallest = background_from_bands();
        if (std::bit_cast<uint64_t>(written_smallest) != std::bit_cast<uint64_t>(background)) {
            background = written_smallest;
            guessed.reset();
            writer.restart();
            write_rows();
        }
    }
    writer.finish();
}
