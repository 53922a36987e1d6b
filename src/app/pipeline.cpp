#include "app/pipeline.h"

#include <cmath>

#include "base/stage_log.h"
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
    target.name = name;
    if (form == GridForm::raster_pair) {
        target.descriptor = std::make_unique<OutputFile>(name + kRasterDescriptorSuffix, true);
        target.data = std::make_unique<OutputFile>(name + kRasterDataSuffix, false);
    } else {
        target.data = std::make_unique<OutputFile>(name, form == GridForm::ascii_grid);
    }
    return target;
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

GeoTransform output_geotransform(const Source& source, const RotationParameters& p,
                                 OutputFrame frame, int32_t nb_lig, bool rotated) {
    const Georef& g = source.georef;
    if (!rotated) {
        // Line 0 of the output is the input's line -frame.bottom.
        const double x_min = g.X_min - frame.left * g.cell_size;
        const double y_min = g.Y_min - frame.bottom * g.cell_size;
        return {x_min, g.cell_size, 0.0, y_min + nb_lig * g.cell_size, 0.0, -g.cell_size};
    }
    // The output cell at pixel (u, v) holds what the input had at the reference point plus the
    // offset turned back by the angle; map that through the input's own georeference.
    using ld = long double;
    const ld theta = static_cast<ld>(p.despl_ang) / static_cast<ld>(api);
    const ld c = std::cos(theta);
    const ld s = std::sin(theta);
    const ld in_lines = source.values.nb_lig;
    const ld y_max = static_cast<ld>(g.Y_min) + in_lines * g.cell_size;
    struct Point {
        ld x;
        ld y;
    };
    auto map = [&](ld u, ld v) {
        const ld column = u - 0.5L - frame.left;                   // in the input's frame
        const ld line = (nb_lig - 1) - (v - 0.5L) - frame.bottom;  // counted from the bottom
        const ld dx = column - p.X1;
        const ld dy = line - p.Y1;
        const ld x = p.X1 + dx * c + dy * s;
        const ld y = p.Y1 - dx * s + dy * c;
        return Point{g.X_min + (x + 0.5L) * g.cell_size,
                     y_max - ((in_lines - 1 - y) + 0.5L) * g.cell_size};
    };
    const Point origin = map(0, 0);
    const Point across = map(1, 0);
    const Point down = map(0, 1);
    return {static_cast<double>(origin.x),
            static_cast<double>(across.x - origin.x),
            static_cast<double>(down.x - origin.x),
            static_cast<double>(origin.y),
            static_cast<double>(across.y - origin.y),
            static_cast<double>(down.y - origin.y)};
}

namespace {

// The turned grid before hole filling: the output grid itself, or the part of an enlarged one
// that the turned terrain and the input's own cells occupy.
struct Turned {
    Matrix<double> cells;
    GridWindow window;
};

// A grid of empty cells, on huge pages where the system offers them.
Matrix<double> empty_output(int64_t nb_lig, int64_t nb_col, const Work& work) {
    Matrix<double> grid =
        fresh_grid<double>(static_cast<int32_t>(nb_lig), static_cast<int32_t>(nb_col));
    mark_empty(grid.view(), work);
    return grid;
}

Turned turn(DoubleGrid in, const Treatment& t, const Work& work, const std::string& shown) {
    Turned turned;
    if (t.extent == Extent::input) {
        turned.cells = empty_output(in.nb_lig, in.nb_col, work);
        rotate(in, turned.cells.view(), t.rotation, work);
        turned.window.view = turned.cells.view();
        return turned;
    }
    const Enlargement enlarged = enlargement_with_margin(in.nb_lig, in.nb_col, t.rotation);
    check_fits_in_memory(in.nb_lig, in.nb_col, shown, enlarged.nb_lig * enlarged.nb_col);
    turned.cells = empty_output(enlarged.nb_lig, enlarged.nb_col, work);
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
    std::optional<StageTimer> stage(std::in_place, work, "rotate");
    Turned turned = turn(source.values, treatment, work, target.data->displayed());
    const DoubleGrid out = turned.window.view;
    stage.emplace(work, "fill");
    fill_holes(out, source.nodata, work);
    fill_background(out, background_of(treatment.background, out, source, work), work);
    stage.emplace(work, "write");

    // The output's corner: the input's, moved by the whole cells the output adds.
    const OutputFrame frame = turned.window.frame;
    const Georef& g = source.georef;
    // Files that take their names with the data: a raster pair's descriptor, the coordinate
    // system beside an ASCII grid, what a GDAL driver writes beside its raster.
    std::vector<std::unique_ptr<OutputFile>> companions;
    switch (target.form) {
        case GridForm::raster_pair: {
            RasterDescriptor d = source.carried;
            d.nb_lig = out.nb_lig;
            d.nb_col = out.nb_col;
            target.descriptor->write(format_raster_descriptor(d));
            write_raster_values(out, source.coef, *target.data, work);
            break;
        }
        case GridForm::ascii_grid: {
            const AsciiHeader header{out.nb_col,
                                     out.nb_lig,
                                     g.X_min - frame.left * g.cell_size,
                                     g.Y_min - frame.bottom * g.cell_size,
                                     g.cell_size,
                                     source.nodata};
            if (source.crs.known()) {
                const std::string prj =
                    !source.crs.prj.empty() ? source.crs.prj : gdal_crs_as_prj(source.crs.wkt);
                if (!prj.empty()) {
                    companions.push_back(
                        std::make_unique<OutputFile>(prj_beside(target.name), true));
                    companions.back()->write(prj);
                }
            }
            write_ascii_grid(out, header, *target.data, work);
            break;
        }
        case GridForm::gdal: {
            GdalWriteOptions options = target.gdal;
            if (source.georeferenced) {
                options.geotransform = output_geotransform(source, treatment.rotation, frame,
                                                           out.nb_lig, treatment.rotated_georef);
            } else {
                options.geotransform = {0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
            }
            options.crs_wkt = !source.crs.wkt.empty()   ? source.crs.wkt
                              : !source.crs.prj.empty() ? gdal_crs_from_prj(source.crs.prj)
                                                        : "";
            options.area_or_point = source.area_or_point;
            options.nodata = source.nodata;
            const std::string beside_tail =
                target.data->temporary_path().substr(target.name.host.size());
            for (const std::string& path : write_gdal_raster(out, options, *target.data, work)) {
                // "<name><marker>.aux.xml" and the like take "<name>.aux.xml".
                std::string host = path;
                const std::size_t at = host.find(beside_tail);
                if (at != std::string::npos) host.erase(at, beside_tail.size());
                companions.push_back(OutputFile::adopt({host, host}, path));
            }
            break;
        }
    }
    std::vector<OutputFile*> files = {target.data.get()};
    if (target.descriptor) files.push_back(target.descriptor.get());
    for (const auto& file : companions)
        files.push_back(file.get());
    stage.emplace(work, "sync");
    for (OutputFile* file : files)
        file->finish();
    stage.emplace(work, "rename");
    OutputFile::commit_together(files);
}
