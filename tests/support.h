// Shared helpers of the tests: scratch folders, files, grids, and running the program.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "base/grid.h"
#include "formats/raster_pair.h"

using namespace terrapivoter;

namespace fs = std::filesystem;

// A fresh folder under the system's temporary directory, removed with everything in it.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

  private:
    fs::path path_;
};

void write_file(const fs::path& path, const std::string& bytes);
std::string read_file(const fs::path& path);

// Little-endian int32 bytes of `values`.
std::string raster_bytes(const std::vector<int32_t>& values);
std::vector<int32_t> raster_values(const std::string& bytes);

// A grid filled row by row from `values` (rows * cols of them).
Matrix<double> grid_of(int32_t rows, int32_t cols, const std::vector<double>& values);
std::vector<double> values_of(DoubleGrid grid);

// A raster pair as the program holds it (its stored values), its working values read out into
// a grid of their own.
RasterInput held_raster_pair(const FileName& base, double coef, const Work& work = {});
inline std::vector<double> values_of(const Matrix<double>& grid) {
    return values_of(grid.view());
}

// Bit-for-bit equality, so that -0.0 and 0.0 differ and equal NaN payloads match.
template <class T>
bool same_bits(GridView<T> a, GridView<T> b) {
    if (a.nb_lig != b.nb_lig || a.nb_col != b.nb_col) return false;
    for (int32_t i = 0; i < a.nb_lig; ++i) {
        if (std::memcmp(a[i], b[i], sizeof(T) * static_cast<std::size_t>(a.nb_col)) != 0) {
            return false;
        }
    }
    return true;
}

// A run of the real program in `workdir` with `input` on standard input.
struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};
ProgramRun run_program(const fs::path& workdir, const std::string& input,
                       const std::string& environment = "", const std::string& arguments = "");

// A run of the real program's command line in `workdir`: `arguments` as a shell would split
// them, standard input empty.
inline ProgramRun run_command(const fs::path& workdir, const std::string& arguments) {
    return run_program(workdir, "", "", arguments);
}

// Where the program looks for folder `folder` when run in `workdir`: c:/images/<folder>.
fs::path images_folder(const fs::path& workdir, const std::string& folder);

// Names of the files in a folder, sorted.
std::vector<std::string> file_names(const fs::path& folder);

// The message of the Failure that `action` throws, or "(no failure)".
std::string failure_of(const std::function<void()>& action);

// The bundled sample DEMs.
fs::path sample(const std::string& name);
