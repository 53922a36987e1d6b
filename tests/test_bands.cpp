// The output made a few rows at a time, from inputs held whole or read in place, writes every
// byte the whole-grid run writes.
#include <gtest/gtest.h>

#include "app/pipeline.h"
#include "formats/ascii_grid.h"
#include "formats/gdal_raster.h"
#include "formats/raster_pair.h"
#include "support.h"

namespace {

// A grid of working values, the file read in place, or a raster pair's stored values held as
// they are.
enum class Held { whole, in_place, stored };

class Bands : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* name :
             {"volcano_m4.txt", "volcano_m4.raw", "lux_elev.asc", "lux_elev.tif"})
            fs::copy_file(sample(name), dir / name);
    }

    // The input in `form`, held whole or read in place.
    InputGrid input(GridForm form, Held held, Source& source) {
        InputGrid grid;
        const Work work{.threads = 2};
        switch (form) {
            case GridForm::raster_pair: {
                const std::string base = (dir / "volcano").string();
                const RasterInput whole = held_raster_pair(base, 100.0, work);
                source.coef = 100.0;
                source.carried = whole.descriptor;
                source.carried.min_alt = whole.range.smallest;
                source.carried.max_alt = whole.range.largest;
                source.georef = {1756000.0, 5917000.0, 10.0};
                if (held == Held::whole) {
                    grid.held = held_raster_pair(base, 100.0, work).values;
                } else if (held == Held::stored) {
                    grid.source = read_raster_pair_stored(base, 100.0, work).source;
                } else {
                    grid.source = open_raster_pair_in_place(base, 100.0, false).source;
                }
                break;
            }
            case GridForm::ascii_grid: {
                const std::string file = (dir / "lux_elev.asc").string();
                AsciiInput whole = read_ascii_grid(file, work);
                source.carried = descriptor_of_grid(whole.values.view(), whole.header.dsize_pix);
                source.georef = {whole.header.X_min, whole.header.Y_min, whole.header.dsize_pix};
                source.nodata = whole.header.nodata;
                if (held != Held::in_place) {
                    grid.held = std::move(whole.values);
                } else {
                    grid.source = read_ascii_grid_to_scratch(file, (dir / "out").string()).source;
                }
                break;
            }
            case GridForm::gdal: {
                const std::string file = (dir / "lux_elev.tif").string();
                const GdalInfo info = peek_gdal_raster(file);
                GdalRaster raster = read_gdal_raster(file, 1, work, held == Held::in_place, false);
                source.nodata = info.bands[0].nodata;
                source.crs.wkt = info.crs_wkt;
                source.georef = {5.741666666667, 49.441666666667, 0.008333333333};
                if (held != Held::in_place) {
                    grid.held = std::move(raster.values);
                } else {
                    grid.source = std::move(raster.source);
                }
                break;
            }
        }
        if (!grid.source) grid = held_whole(std::move(grid.held));
        source.georeferenced = true;
        source.grid = grid.source.get();
        return grid;
    }

    // The bytes of every file the treatment writes, from an input held or read in place, with
    // bands of `rows` rows (0: as memory allows, here the whole output).
    std::string output(GridForm in, GridForm out, Held held, const Treatment& t, int32_t rows,
                       unsigned threads) {
        Source source;
        const InputGrid grid = input(in, held, source);
        const std::string name = out == GridForm::raster_pair ? "out"
                                 : out == GridForm::gdal      ? "out.tif"
                                                              : "out.asc";
        Target target = prepare_target(out, (dir / name).string());
        if (out == GridForm::gdal) {
            target.gdal.driver = "GTiff";
            target.gdal.type = "Float32";
            target.gdal.creation_options = gdal_default_creation_options("GTiff", "Float32", 1, 1);
        }
        const Work work{.threads = threads, .band_rows = rows};
        testing::internal::CaptureStderr();
        treat(source, target, t, work);
        commit(target, work);
        testing::internal::GetCapturedStderr();
        std::string bytes;
        for (const char* file : {"out_m4.txt", "out_m4.raw", "out.asc", "out.prj", "out.tif"}) {
            if (fs::exists(dir / file)) {
                bytes += std::string(file) + ":" + read_file(dir / file);
                fs::remove(dir / file);
            }
        }
        return bytes;
    }

    ScratchDir dir;
};

TEST_F(Bands, FewRowsAtATimeWriteTheWholeGridsBytes) {
    const struct {
        GridForm in;
        GridForm out;
        Treatment t;
    } cases[] = {
        {GridForm::raster_pair, GridForm::raster_pair, {{30.5, 43.5, 30}, Extent::input, {}}},
        {GridForm::raster_pair, GridForm::raster_pair, {{30.5, 43.5, 0}, Extent::full, {}}},
        // The smallest value that lands is covered by a later cell: the background written
        // first is not the output's, and the data is written again.
        {GridForm::raster_pair, GridForm::raster_pair, {{30.5, 43.5, 41.6}, Extent::input, {}}},
        {GridForm::raster_pair, GridForm::raster_pair, {{30.5, 43.5, -43.7}, Extent::input, {}}},
        // A reference point so far that every cell is placed by the polar formulas.
        {GridForm::raster_pair, GridForm::raster_pair, {{2e9, 43.5, 1e-7}, Extent::input, {}}},
        {GridForm::raster_pair, GridForm::ascii_grid, {{30.5, 43.5, 90}, Extent::full, {}}},
        {GridForm::ascii_grid, GridForm::ascii_grid, {{47.5, 45, 180}, Extent::input, {}}},
        {GridForm::ascii_grid, GridForm::raster_pair, {{10, 80, 1e-7}, Extent::full, {}}},
        {GridForm::ascii_grid, GridForm::gdal, {{-500, 800, -17.3}, Extent::full, {}}},
        {GridForm::gdal,
         GridForm::ascii_grid,
         {{200.25, -40, -90}, Extent::input, {Background::Kind::nodata, 0}}},
        {GridForm::gdal, GridForm::gdal, {{47.5, 45, 45}, Extent::full, {}}},
        {GridForm::raster_pair,
         GridForm::gdal,
         {{30, 43, -135}, Extent::input, {Background::Kind::given, 12.5}}},
    };
    for (const auto& c : cases) {
        if (!gdal_available() && (c.in == GridForm::gdal || c.out == GridForm::gdal)) continue;
        const std::string whole = output(c.in, c.out, Held::whole, c.t, 0, 2);
        ASSERT_FALSE(whole.empty());
        for (const Held held : {Held::whole, Held::in_place, Held::stored}) {
            if (held == Held::stored && c.in != GridForm::raster_pair) continue;
            for (const int32_t rows : {1, 2, 3, 17}) {
                EXPECT_EQ(output(c.in, c.out, held, c.t, rows, rows == 2 ? 1 : 3), whole)
                    << "angle " << c.t.rotation.despl_ang << ", bands of " << rows << " rows, "
                    << (held == Held::whole    ? "held whole"
                        : held == Held::stored ? "stored values held"
                                               : "read in place");
            }
        }
    }
    // Nothing is left behind: no scratch copy, no temporary file.
    EXPECT_EQ(file_names(dir.path()),
              (std::vector<std::string>{"lux_elev.asc", "lux_elev.tif", "volcano_m4.raw",
                                        "volcano_m4.txt"}));
}

}  // namespace
