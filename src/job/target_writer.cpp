#include "job/target_writer.h"

#include <algorithm>
#include <bit>
#include <functional>

#include "base/parallel.h"
#include "formats/ascii_grid.h"
#include "formats/raster_pair.h"
#include "job/engine.h"
#include "rotation/georeference.h"
#include "rotation/hole_filling.h"

namespace terrapivoter {

namespace {

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

}  // namespace

TargetWriter::TargetWriter(const InputBand& input, Target& target, const Treatment& treatment,
                           const GridWindow& keep, int32_t nb_lig, int32_t nb_col, const Work& work)
    : input_(input), target_(target), work_(work), nb_lig_(nb_lig), nb_col_(nb_col) {
    const std::size_t bands = std::max<std::size_t>(1, target.gdal.bands.size());
    shown_ = target.displayed();
    if (bands > 1) {
        shown_ +=
            " (band " + std::to_string(target.band + 1) + " of " + std::to_string(bands) + ")";
    }
    progress_.emplace(work, "writing " + shown_, nb_lig, int64_t{nb_lig} * nb_col);
    const std::optional<double> output_nodata =
        input.output_nodata ? input.output_nodata : input.nodata;
    if (input.nodata && output_nodata &&
        std::bit_cast<uint64_t>(*input.nodata) != std::bit_cast<uint64_t>(*output_nodata)) {
        nodata_written_as_ = output_nodata;
    }
    // The output's corner: the input's, moved by the whole cells the output adds.
    const OutputFrame frame = keep.frame;
    const Georef& g = input.georef;
    switch (target.form) {
        case GridForm::raster_pair: {
            RasterDescriptor d = input.carried;
            d.nb_lig = nb_lig;
            d.nb_col = nb_col;
            target.descriptor->write(format_raster_descriptor(d));
            break;
        }
        case GridForm::ascii_grid: {
            if (input.crs.known()) {
                const std::string prj =
                    !input.crs.prj.empty() ? input.crs.prj : gdal_crs_as_prj(input.crs.wkt);
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
            if (input.georeferenced) {
                options.geotransform = output_geotransform(input.georef, input.geotransform,
                                                           input.grid->nb_lig(), treatment.rotation,
                                                           frame, nb_lig, treatment.rotated_georef);
            }
            options.crs_wkt = !input.crs.wkt.empty()   ? input.crs.wkt
                              : !input.crs.prj.empty() ? gdal_crs_from_prj(input.crs.prj)
                                                       : "";
            if (options.bands.empty()) {
                options.bands.emplace_back();
                options.bands.back().nodata = output_nodata;
            }
            target.gdal_writer = std::make_unique<GdalWriter>(
                options, target.folder->writer_path(), target.displayed(), nb_lig, nb_col, work);
            target.gdal_writer->start_band(target.band);
            break;
        }
        case GridForm::memory: {
            target.memory.make(nb_lig, nb_col);
            target.memory.frame = frame;
            target.memory.rows_written = 0;
            break;
        }
    }
}

void TargetWriter::write(DoubleGrid rows, double background, const DoubleGrid* unfilled_in,
                         int32_t offset, std::span<const EmptyCells> empty) {
    if (target_.form == GridForm::raster_pair) {
        const std::optional<double> nodata = input_.nodata;
        std::function<void(int32_t)> fill_row;
        if (unfilled_in != nullptr) {
            fill_row = [&](int32_t i) { fill_holes_in_row(*unfilled_in, i + offset, nodata); };
        }
        clamped_ += write_raster_band(rows, background, input_.coef, *target_.data, work_,
                                      &*progress_, fill_row);
        return;
    }
    fill_background(rows, background, work_, empty);
    if (nodata_written_as_) replace_nodata(rows, *input_.nodata, *nodata_written_as_, work_);
    if (target_.form == GridForm::memory) {
        copy_into_memory(rows);
    } else if (target_.form == GridForm::ascii_grid) {
        if (first_rows_ && rows.nb_lig > 0) target_.data->write(ascii_values_lead(rows[0][0]));
        write_ascii_band(rows, *target_.data, work_, &*progress_);
    } else {
        target_.gdal_writer->write(rows, &*progress_);
    }
    first_rows_ = false;
}

void TargetWriter::copy_into_memory(DoubleGrid rows) {
    Target::InMemory& m = target_.memory;
    const auto width = static_cast<std::size_t>(m.nb_col);
    for_row_bands(work_.threads, 0, rows.nb_lig, [&](unsigned, int32_t begin, int32_t end) {
        for (int32_t i = begin; i < end; ++i) {
            double* to = m.cells.data() + static_cast<std::size_t>(m.rows_written + i) * width;
            // A sweep of the whole output made its cells in place.
            if (rows[i] != to) std::copy_n(rows[i], width, to);
        }
    });
    m.rows_written += rows.nb_lig;
    progress_->advance(rows.nb_lig);
}

void TargetWriter::restart() {
    target_.data->rewind();
    clamped_ = 0;
    first_rows_ = true;
    progress_.reset();
    progress_.emplace(work_, "writing " + shown_ + " again", nb_lig_, int64_t{nb_lig_} * nb_col_);
}

void TargetWriter::finish() {
    if (target_.form == GridForm::raster_pair) warn_clamped(*target_.data, clamped_);
    progress_.reset();
}

}  // namespace terrapivoter
