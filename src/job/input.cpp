#include "job/input.h"

#include "base/failure.h"
#include "formats/ascii_grid.h"
#include "formats/raster_pair.h"
#include "io/memory_budget.h"
#include "job/engine.h"

namespace terrapivoter {

double StoredUnits::working(double stored) const {
    if (coef != 1.0) return static_cast<double>(static_cast<long double>(stored) / coef);
    return scale == 1.0 && offset == 0.0 ? stored : stored * scale + offset;
}

InputGrid held_whole(Matrix<double> values) {
    InputGrid input{std::move(values), nullptr};
    input.source = std::make_unique<MemorySource>(input.held.view());
    return input;
}

namespace {

void open_raster_pair(const InputSpec& spec, const Work& work, OpenedInput& opened) {
    InputBand& s = opened.band;
    const RasterDescriptor d = peek_raster_pair(spec.name);
    s.coef = spec.coef;
    opened.units.coef = spec.coef;
    s.carried = d;
    RasterSource raster =
        fits_whole(d.nb_lig, d.nb_col, work)
            ? load_raster_pair_held(spec.name, spec.coef, work, opened.grid.held)
            : load_raster_pair_in_place(spec.name, spec.coef, work, spec.with_range);
    opened.grid.source = std::move(raster.source);
    if (raster.range) {
        s.carried.min_alt = raster.range->smallest;
        s.carried.max_alt = raster.range->largest;
    }
    if (spec.corner) {
        s.georef = {spec.corner->x, spec.corner->y, d.dpix_size};
        s.georeferenced = true;
    }
}

void open_ascii_grid(const InputSpec& spec, const Work& work, OpenedInput& opened) {
    InputBand& s = opened.band;
    const AsciiHeader peeked = peek_ascii_grid(spec.name);
    AsciiHeader h;
    if (fits_whole(peeked.nb_lig, peeked.nb_col, work)) {
        AsciiInput ascii = load_ascii_grid(spec.name, work);
        h = ascii.header;
        opened.grid = held_whole(std::move(ascii.values));
        s.carried = descriptor_of_grid(opened.grid.held.view(), h.dsize_pix);
    } else {
        // Too large for memory: parsed into a scratch copy, whose extremes the parser found.
        AsciiInPlace ascii = read_ascii_grid_to_scratch(spec.name, spec.scratch_beside);
        h = ascii.header;
        const ValueRange extremes = truncated_range(ascii.smallest, ascii.largest);
        s.carried = {h.nb_lig, h.nb_col, 4, extremes.smallest, extremes.largest, h.dsize_pix};
        opened.grid.source = std::move(ascii.source);
    }
    s.georef = {h.X_min, h.Y_min, h.dsize_pix};
    s.georeferenced = true;
    s.nodata = h.nodata;
    s.crs.prj = read_companion(prj_beside(spec.name)).value_or("");
}

void open_gdal_raster(const InputSpec& spec, const Work& work, OpenedInput& opened) {
    InputBand& s = opened.band;
    const GdalInfo& info = *spec.gdal;
    const GdalBandInfo& b = info.bands[static_cast<std::size_t>(spec.band - 1)];
    const bool whole = fits_whole(info.nb_lig, info.nb_col, work);
    GdalRaster raster = read_gdal_raster(spec.name, spec.band, work, !whole, spec.unscale);
    opened.grid =
        whole ? held_whole(std::move(raster.values)) : InputGrid{{}, std::move(raster.source)};
    double cell = 1.0;
    if (info.geotransform) {
        if (spec.corner) {
            throw UsageError("--corner: " + spec.name.shown + " has a georeference of its own");
        }
        const GeoTransform& gt = *info.geotransform;
        s.georef = {gt[0], gt[3] + info.nb_lig * gt[5], gt[1]};
        s.georeferenced = true;
        s.geotransform = gt;
        cell = gt[1];
    } else if (spec.corner) {
        s.georef = {spec.corner->x, spec.corner->y, 1.0};
        s.georeferenced = true;
    }
    if (spec.unscale) opened.units = {1.0, b.scale.value_or(1.0), b.offset.value_or(0.0)};
    s.carried = spec.with_range || whole
                    ? descriptor_of_grid(*opened.grid.source, cell, work)
                    : RasterDescriptor{info.nb_lig, info.nb_col, 4, 0, 0, cell};
    if (b.nodata) s.nodata = opened.units.working(*b.nodata);
    s.crs.wkt = info.crs_wkt;
}

}  // namespace

OpenedInput open_input(const InputSpec& spec, const Work& work) {
    OpenedInput opened;
    switch (spec.form) {
        case GridForm::raster_pair:
            open_raster_pair(spec, work, opened);
            break;
        case GridForm::ascii_grid:
            open_ascii_grid(spec, work, opened);
            break;
        case GridForm::gdal:
            open_gdal_raster(spec, work, opened);
            break;
        case GridForm::memory:
            throw Failure("an input in memory is not opened: it is a grid already");
    }
    opened.band.grid = opened.grid.source.get();
    return opened;
}

}  // namespace terrapivoter
