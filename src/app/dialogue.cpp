// The program is a fixed dialogue in three phases over one run-state record: `opening` picks
// and loads the input and prepares the output, `parameters` asks for the reference point and
// the angle, `treatment` rotates, fills and writes. The work itself is done by the core
// (readers, writers, rotation); this file asks, calls and stores.
#include <cstdio>
#include <iostream>

#include "app/console.h"
#include "app/dialogue.h"
#include "app/run_state.h"
#include "formats/ascii_grid.h"
#include "formats/raster_pair.h"
#include "job/engine.h"
#include "job/input.h"
#include "job/target.h"
#include "job/treat.h"
#include "platform/platform.h"
#include "rotation/placement.h"

namespace terrapivoter {

namespace {

RunState run;
Console console(std::cin, stdout);

constexpr const char* kBanner[] = {
    "\n\t***********************************************************",
    "\n\t*                                                         *",
    "\n\t*                                                         *",
    "\n\t*                     TERRAPIVOTER                        *",
    "\n\t*                                                         *",
    "\n\t*                                                         *",
    "\n\t*                                                         *",
    "\n\t*                                                         *",
    "\n\t*                                                         *",
    "\n\t*                                         L.-M. VASTIN    *",
    "\n\t*                                        (August 2018)    *",
    "\n\t*                                                         *",
    "\n\t***********************************************************",
    "\n\n\tThis program, developed for my colleague Teodric provides",
    "\n\tclockwise or anticlockwise rotation applied on a DEM File."};

constexpr const char* kBaseDirectory = "c:\\images\\";
constexpr double kUnitCoefficients[] = {1.0, 10.0, 100.0, 1000.0};

// A path of the dialogue, shown as the user named it and opened where this system keeps it.
FileName dialogue_file(const std::string& displayed) {
    return {platform::host_path(displayed), displayed};
}

void load_raster_input() {
    run.Ascii_DEM = 0;
    const FileName base = dialogue_file(run.nomim1);
    const RasterSummary summary = load_raster_summary(base, program_work());
    run.nomdescr1 = run.nomim1 + kRasterDescriptorSuffix;
    run.nomim1 += kRasterDataSuffix;
    const RasterDescriptor& d = summary.descriptor;
    run.nb_lig = d.nb_lig;
    run.nb_col = d.nb_col;
    run.num_bytes = d.num_bytes;
    run.dpix_size = d.dpix_size;
    run.min_alt = summary.range.smallest;
    run.max_alt = summary.range.largest;
    char line[96];
    std::snprintf(line, sizeof line, "\n\n\tHypsometric scale comprised between %d and %d ",
                  static_cast<int>(run.min_alt), static_cast<int>(run.max_alt));
    console.say(line);

    run.scale = console.ask_choice(
        {"\n\n\tAre these value in : ", "\n\t\t0 ====> meters\n\t\t1 ====> decimeters",
         "\n\t\t2 ====> centimeters\n\t\t3 ====> millimeters\n\t\t"},
        3);
    run.coef = kUnitCoefficients[run.scale];
    // The stored values are read again now that their unit is known (held as they are, turned
    // into working values as the sweep reads them). A grid too large for memory is read in
    // place.
    run.input =
        open_input({.form = GridForm::raster_pair, .name = base, .coef = run.coef}, program_work());
}

void load_ascii_input() {
    run.Ascii_DEM = 1;
    run.nomim1 += kAsciiSuffix;
    const FileName file = dialogue_file(run.nomim1);
    // A grid too large for memory is parsed into a scratch copy in the folder, the output's own.
    run.input = open_input(
        {.form = GridForm::ascii_grid, .name = file, .scratch_beside = file.host}, program_work());
    const InputBand& s = run.input.band;
    run.prj = s.crs.prj;
    run.nb_col = s.grid->nb_col();
    run.nb_lig = s.grid->nb_lig();
    run.X_min = s.georef.X_min;
    run.Y_min = s.georef.Y_min;
    run.dsize_pix = s.georef.cell_size;
    run.has_nodata = s.nodata.has_value();
    run.nodata = s.nodata.value_or(0.0);

    // What a raster pair written from this grid carries: values in the grid's own unit.
    run.coef = 1.0;
    run.num_bytes = s.carried.num_bytes;
    run.dpix_size = s.carried.dpix_size;
    run.min_alt = s.carried.min_alt;
    run.max_alt = s.carried.max_alt;
}

void prepare_raster_output() {
    run.output = prepare_target(GridForm::raster_pair, dialogue_file(run.nomim2));
    run.nomdescr2 = run.nomim2 + kRasterDescriptorSuffix;
    run.nomim2 += kRasterDataSuffix;
}

void prepare_ascii_output() {
    run.nomim2 += kAsciiSuffix;
    run.output = prepare_target(GridForm::ascii_grid, dialogue_file(run.nomim2));
    if (run.Ascii_DEM == 0) {
        console.say("\n\n\tIn order to create the required DEM ascii ");
        console.say("\n\tyou must enter the UTM coordinates ");
        run.X_min = console.ask_number({"\n\t\tX_min ? "});
        run.Y_min = console.ask_number({"\t\tY_min ? "});
        run.dsize_pix = run.dpix_size;
    }
}

void opening() {
    for (const char* line : kBanner)
        console.say(line);

    run.nomim1 = kBaseDirectory;
    run.nomdir = console.ask_name(
        {"\n\n\tName of the File Folder located in the Directory c:\\images\\ : "});
    run.nomim1 += run.nomdir + "\\";
    run.nomim2 = run.nomim1;

    run.nomfic = console.ask_name({"\n\n\tName of the DEM file_in (whitout any extension) ? "});
    run.nomim1 += run.nomfic;

    run.DEM_Type_in =
        console.ask_choice({"\n\n\tDEM Type :\n\t\t0 ====> raster con extension _m4.raw",
                            "\n\t\t1 ====> ascii con extension .asc\n\t\t"},
                           1);
    if (run.DEM_Type_in == 0) load_raster_input();
    if (run.DEM_Type_in == 1) load_ascii_input();

    run.nomfic = console.ask_name({"\n\n\tName of the DEM file_out (whitout any extension) ? "});
    run.nomim2 += run.nomfic;
    run.DEM_Type_out = console.ask_choice(
        {"\n\n\tDEM Type :\n\t\t0 ====> raster (_m4 type)\n\t\t1 ====> ascii\n\t\t"}, 1);
    if (run.DEM_Type_out == 0) prepare_raster_output();
    if (run.DEM_Type_out == 1) prepare_ascii_output();
}

void parameters() {
    const int32_t coord = console.ask_choice(
        {"\n\n\tCoordinates of the reference point ", "\n\t\t0 ====> center defined by the program",
         "\n\t\t1 ====> defined by the user\n\t\t"},
        1);
    if (coord == 0) {
        run.X1 = run.nb_col * 0.5;
        run.Y1 = run.nb_lig * 0.5;
    }
    if (coord == 1) {
        console.say("\n\n\tCoordinates of the reference point (in line and column) ");
        run.Y1 = console.ask_number({"\n\t\tline ? "});
        run.X1 = console.ask_number({"\tcolumn ? "});
    }
    for (;;) {
        run.despl_ang =
            console.ask_number({"\n\n\tTrigonometric rotation angle ",
                                "\n\t   (Note: a positive value creates an anticlockwise mouvement",
                                "\n\t          a negative value creates an clockwise mouvement",
                                "\n\t          these value must not be greater than 90 degrees)",
                                "\n\n\tDecimal value ? "});
        if (angle_accepted(run.despl_ang)) break;
        console.say("\n\n\tthe angular value is too great");
    }
}

void treatment() {
    console.say("\n\n");
    std::fflush(stdout);
    InputBand input;
    input.grid = run.input.band.grid;
    input.coef = run.coef;
    input.carried = {run.nb_lig,  run.nb_col,  run.num_bytes,
                     run.min_alt, run.max_alt, run.dpix_size};
    input.georef = {run.X_min, run.Y_min, run.dsize_pix};
    // An ASCII grid has its corner; a raster pair gets one when it is written as an ASCII grid.
    input.georeferenced = run.Ascii_DEM == 1 || run.DEM_Type_out == 1;
    input.crs.prj = run.prj;
    if (run.Ascii_DEM == 1 && run.has_nodata) input.nodata = run.nodata;
    Treatment treatment;
    treatment.rotation = {run.X1, run.Y1, run.despl_ang};
    const Work work = program_work();
    treat(input, run.output, treatment, work);
    commit(run.output, work);
}

}  // namespace

void run_dialogue() {
    try {
        opening();
        parameters();
        treatment();
    } catch (...) {
        // The temporary outputs go before anything is said about the failure.
        run.output = Target();
        throw;
    }
}

}  // namespace terrapivoter
