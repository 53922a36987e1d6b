#include "support.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "platform/platform.h"

using namespace terrapivoter;

namespace {

std::string process_tag() {
    return std::to_string(platform::process_id());
}

// A program's console text with the lines ended as on POSIX systems: Windows ends them with
// "\r\n"; the words are the same.
std::string console_text(std::string text) {
#ifdef _WIN32
    for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
        text.erase(at, 1);
#endif
    return text;
}

#ifdef _WIN32
// The dialogue's folders are C:\images\<folder> itself on Windows, shared by every test: the
// Windows tests run one at a time in a Wine prefix of their own, which each test starts with
// no images folder.
const fs::path kImagesRoot = "C:/images";
#endif

}  // namespace

ScratchDir::ScratchDir() {
    static std::atomic<int> counter{0};
    path_ = fs::temp_directory_path() /
            ("terrapivoter-test-" + process_tag() + "-" + std::to_string(counter++));
    fs::remove_all(path_);
    fs::create_directories(path_);
#ifdef _WIN32
    fs::remove_all(kImagesRoot);
#endif
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
#ifdef _WIN32
    fs::remove_all(kImagesRoot, ignored);
#endif
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

void write_file(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string raster_bytes(const std::vector<int32_t>& values) {
    std::string bytes;
    for (int32_t v : values) {
        auto u = static_cast<uint32_t>(v);
        for (int k = 0; k < 4; ++k)
            bytes.push_back(static_cast<char>((u >> (8 * k)) & 0xff));
    }
    return bytes;
}

std::vector<int32_t> raster_values(const std::string& bytes) {
    std::vector<int32_t> values;
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        uint32_t u = 0;
        for (unsigned k = 0; k < 4; ++k)
            u |= uint32_t{static_cast<unsigned char>(bytes[i + k])} << (8 * k);
        values.push_back(static_cast<int32_t>(u));
    }
    return values;
}

Matrix<double> grid_of(int32_t rows, int32_t cols, const std::vector<double>& values) {
    if (values.size() != static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols)) {
        throw std::invalid_argument("grid_of: wrong number of values");
    }
    Matrix<double> grid(rows, cols);
    for (int32_t i = 0; i < rows; ++i) {
        for (int32_t j = 0; j < cols; ++j)
            grid[i][j] = values[static_cast<std::size_t>(i * cols + j)];
    }
    return grid;
}

std::vector<double> values_of(DoubleGrid grid) {
    std::vector<double> values;
    for (int32_t i = 0; i < grid.nb_lig; ++i)
        values.insert(values.end(), grid[i], grid[i] + grid.nb_col);
    return values;
}

ProgramRun run_program(const fs::path& workdir, const std::string& input,
                       const std::string& environment, const std::string& arguments) {
    static std::atomic<int> counter{0};
    const fs::path io = fs::temp_directory_path() /
                        ("terrapivoter-io-" + process_tag() + "-" + std::to_string(counter++));
    fs::create_directories(io);
    write_file(io / "in", input);
    ProgramRun run;
#ifdef _WIN32
    // cmd.exe's words: no environment settings of the POSIX shell's kind here.
    if (!environment.empty()) throw std::invalid_argument("run_program: no environment on Windows");
    const std::string command = "cd /d \"" + workdir.string() +
                                "\" && \"" TERRAPIVOTER_BINARY "\" " + arguments + " < \"" +
                                (io / "in").string() + "\" > \"" + (io / "out").string() +
                                "\" 2> \"" + (io / "err").string() + "\"";
    // Wine's cmd.exe now and then fails to find a program it started a moment before, and says
    // so with status 9009 ("Can't recognize ..."): the program never ran, so it is asked again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        run.status = std::system(command.c_str());
        if (run.status != 9009) break;
    }
#else
    const std::string command = "cd '" + workdir.string() + "' && " + environment +
                                " timeout 120 '" TERRAPIVOTER_BINARY "' " + arguments + " < '" +
                                (io / "in").string() + "' > '" + (io / "out").string() + "' 2> '" +
                                (io / "err").string() + "'";
    const int raw = std::system(command.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
#endif
    run.out = console_text(read_file(io / "out"));
    run.err = console_text(read_file(io / "err"));
    fs::remove_all(io);
    return run;
}

fs::path images_folder(const fs::path& workdir, const std::string& folder) {
#ifdef _WIN32
    (void)workdir;
    return kImagesRoot / folder;
#else
    return workdir / "c:" / "images" / folder;
#endif
}

std::vector<std::string> file_names(const fs::path& folder) {
    std::vector<std::string> names;
    if (!fs::exists(folder)) return names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

fs::path sample(const std::string& name) {
    return fs::path(TERRAPIVOTER_SAMPLES) / name;
}

std::string failure_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const Failure& failure) {
        return failure.what();
    }
    return "(no failure)";
}

RasterInput held_raster_pair(const FileName& base, double coef, const Work& work) {
    const RasterSource held = read_raster_pair_stored(base, coef, work);
    Matrix<double> values(held.descriptor.nb_lig, held.descriptor.nb_col);
    for (int32_t i = 0; i < held.descriptor.nb_lig; ++i)
        held.source->read(i, 0, held.descriptor.nb_col, values[i]);
    return {held.descriptor, *held.range, std::move(values)};
}
