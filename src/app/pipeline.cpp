#include "app/pipeline.h"

#include "formats/ascii_grid.h"
#include "formats/raster_pair.h"
#include "io/memory_budget.h"
#include "rotation/empty_cells.h"
#include "rotation/extent.h"
#include "rotation/hole_filling.h"

RasterDescriptor carried_from_ascii(DoubleGrid values, double cell_size) {
    const ValueRange extremes = whole_extremes(values);
    return {values.nb_lig, values.nb_col, 4, extremes.smallest, extremes.largest, cell_size};
}

Target prepare_target(GridForm form, const FileName& name) {
    Target target;
    target.form = form;
    if (form == GridForm::raster_pair) {
        target.descriptor = std::make_unique<OutputFile>(name + kRasterDescriptorSuffix, true);
        target.data = std::make_unique<OutputFile>(name + kRasterDataSuffix, false);
    } else {
        target.data = std::make_unique<OutputFile>(name, true);
    }
    return target;
}

namespace {

// The turned grid before hole filling: the output grid itself, or the part of an enlarged one
// that the turned terrain and the input's own cells occupy.
struct Turned {
    Matrix<double> cells;
    GridWindow window;
};

Turned turn(DoubleGrid in, const Treatment& t, const Work& work, const std::string& shown) {
    Turned turned;
    if (t.extent == Extent::input) {
        turned.cells = empty_grid(in.nb_lig, in.nb_col, work);
        rotate(in, turned.cells.view(), t.rotation, work);
        turned.window.view = turned.cells.view();
        return turned;
    }
    const Enlargement enlarged = enlargement_with_margin(in.nb_lig, in.nb_col, t.rotation);
    check_fits_in_memory(in.nb_lig, in.nb_col, shown, enlarged.nb_lig * enlarged.nb_col);
    turned.cells = empty_grid(static_cast<int32_t>(enlarged.nb_lig),
                              static_cast<int32_t>(enlarged.nb_col), work);
    rotate(in, turned.cells.view(), t.rotation, work, enlarged.frame);
    turned.window = occupied_window(turned.cells.view(), enlarged, in.nb_lig, in.nb_col, work);
    return turned;
}

double background_of(const Background& b, DoubleGrid grid, const Source& source, const Work& work) {
    switch (b.kind) {
        case Background::Kind::nodata:
            return *source.nodata;
        case Background::Kind::given:
            return b.value;
        case Background::Kind::smallest:
            break;
    }
    return background_value(grid, work);
}

}  // namespace

void treat(const Source& source, Target& target, const Treatment& treatment, const Work& work) {
    Turned turned = turn(source.values, treatment, work, target.data->displayed());
    const DoubleGrid out = turned.window.view;
    fill_holes(out, source.nodata, work);
    fill_background(out, background_of(treatment.background, out, source, work), work);

    // The output's corner: the input's, moved by the whole cells the output adds.
    const OutputFrame frame = turned.window.frame;
    const Georef& g = source.georef;
    if (target.form == GridForm::raster_pair) {
        RasterDescriptor d = source.carried;
        d.nb_lig = out.nb_lig;
        d.nb_col = out.nb_col;
        target.descriptor->write(format_raster_descriptor(d));
        target.descriptor->finish();
        write_raster_values(out, source.coef, *target.data, work);
    } else {
        const AsciiHeader header{out.nb_col,
                                 out.nb_lig,
                                 g.X_min - frame.left * g.cell_size,
                                 g.Y_min - frame.bottom * g.cell_size,
                                 g.cell_size,
                                 source.nodata};
        write_ascii_grid(out, header, *target.data, work);
    }
    target.data->finish();
    if (target.descriptor) {
        OutputFile::commit_together({target.data.get(), target.descriptor.get()});
    } else {
        target.data->commit();
    }
}
