// The output made a few rows at a time, from inputs held whole or read in place, writes every
// byte the whole-grid run writes.
#include <gtest/gtest.h>

#include "formats/ascii_grid.h"
#include "formats/gdal_raster.h"
#include "formats/raster_pair.h"
#include "job/band_plan.h"
#include "job/input.h"
#include "job/target.h"
#include "job/treat.h"
#include "support.h"

using namespace terrapivoter;

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

    // The input in `form`, held whole or read in place, as the program loads it.
    OpenedInput input(GridForm form, Held held) {
        const Work work{.threads = 2,
                        .reference = held == Held::whole,
                        .memory = held == Held::in_place ? 1 : 0};
        InputSpec spec{.form = form, .with_range = true, .scratch_beside = (dir / "out").string()};
        switch (form) {
            case GridForm::raster_pair:
                spec.name = (dir / "volcano").string();
                spec.coef = 100.0;
                spec.corner = InputSpec::Corner{1756000.0, 5917000.0};
                break;
            case GridForm::ascii_grid:
                spec.name = (dir / "lux_elev.asc").string();
                break;
            case GridForm::gdal:
                spec.name = (dir / "lux_elev.tif").string();
                gdal_info = peek_gdal_raster(spec.name);
                spec.gdal = &gdal_info;
                break;
            case GridForm::memory:
                ADD_FAILURE() << "an output form only";
                break;
        }
        return open_input(spec, work);
    }

    // The bytes of every file the treatment writes, from an input held or read in place, with
    // bands of `rows` rows (0: as memory allows, here the whole output).
    std::string output(GridForm in, GridForm out, Held held, const Treatment& t, int32_t rows,
                       unsigned threads) {
        const OpenedInput opened = input(in, held);
        const InputBand& source = opened.band;
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
        if (out == GridForm::memory) {
            const Target::InMemory& m = target.memory;
            bytes.assign(reinterpret_cast<const char*>(m.cells.data()),
                         static_cast<std::size_t>(m.nb_lig) * static_cast<std::size_t>(m.nb_col) *
                             sizeof(double));
            bytes += " at " + std::to_string(m.frame.left) + "," + std::to_string(m.frame.bottom);
        }
        for (const char* file : {"out_m4.txt", "out_m4.raw", "out.asc", "out.prj", "out.tif"}) {
            if (fs::exists(dir / file)) {
                bytes += std::string(file) + ":" + read_file(dir / file);
                fs::remove(dir / file);
            }
        }
        return bytes;
    }

    ScratchDir dir;
    GdalInfo gdal_info;
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
        // Handed back in memory: swept in place when whole, copied band by band otherwise.
        {GridForm::ascii_grid, GridForm::memory, {{47.5, 45, 33}, Extent::input, {}}},
        {GridForm::raster_pair, GridForm::memory, {{30.5, 43.5, -71}, Extent::full, {}}},
        {GridForm::gdal,
         GridForm::memory,
         {{200.25, -40, 15}, Extent::input, {}, false, Resampling::bilinear}},
        {GridForm::raster_pair,
         GridForm::gdal,
         {{30, 43, -135}, Extent::input, {Background::Kind::given, 12.5}}},
        // Resampled: each band reads the input cells around its cells' positions.
        {GridForm::raster_pair,
         GridForm::raster_pair,
         {{30.5, 43.5, 30}, Extent::input, {}, false, Resampling::bilinear}},
        {GridForm::raster_pair,
         GridForm::ascii_grid,
         {{30.5, 43.5, -61.2}, Extent::full, {}, false, Resampling::cubic}},
        {GridForm::ascii_grid,
         GridForm::gdal,
         {{-500, 800, 17.3}, Extent::full, {}, false, Resampling::nearest}},
        {GridForm::gdal,
         GridForm::raster_pair,
         {{200.25, -40, 135},
          Extent::input,
          {Background::Kind::given, 3},
          false,
          Resampling::cubic}},
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

// A source of nothing but its size, read in place.
class SizedSource : public GridSource {
  public:
    using GridSource::GridSource;
    void read(int32_t, int32_t, int32_t, double*) override {}
};

TEST(BandHeight, GrowsWithTheBudgetFromOneRowToTheWholeOutput) {
    Matrix<double> held(600, 500);
    MemorySource whole(held.view());
    SizedSource in_place(600, 500);
    const RotationParameters p{250, 300, 30};
    const Enlargement geo = enlargement_with_margin(600, 500, p);
    for (const GridSource* in :
         {static_cast<const GridSource*>(&whole), static_cast<const GridSource*>(&in_place)}) {
        int32_t previous = 0;
        for (int64_t mb = 1; mb <= 4096; mb *= 2) {
            const int32_t height = band_height(*in, geo, p, {.memory = mb << 20});
            EXPECT_GE(height, std::max(1, previous)) << mb << " MB";
            EXPECT_LE(height, geo.nb_lig);
            previous = height;
        }
        EXPECT_EQ(previous, geo.nb_lig);  // 4 GB holds it all
        EXPECT_EQ(band_height(*in, geo, p, {.memory = 1}), 1);
        // Rows asked for stand, within the output.
        EXPECT_EQ(band_height(*in, geo, p, {.band_rows = 17}), 17);
        EXPECT_EQ(band_height(*in, geo, p, {.band_rows = 1 << 30}), geo.nb_lig);
    }
    // A budget a little above what a band costs beyond its rows (128 MB) and the 2.4 MB input:
    // some of the output's rows (5.6 kB each), not all.
    const int32_t some = band_height(whole, geo, p, {.memory = int64_t{132} << 20});
    EXPECT_GT(some, 1);
    EXPECT_LT(some, geo.nb_lig);
}

}  // namespace
