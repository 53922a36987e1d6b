#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "base/parallel.h"
#include "bench_support.h"
#include "formats/ascii_grid.h"
#include "formats/number_text.h"
#include "formats/raster_pair.h"
#include "io/output_file.h"

using namespace terrapivoter;

namespace {

namespace fs = std::filesystem;

std::vector<double> elevations(std::size_t count) {
    std::mt19937_64 rng(2);
    std::uniform_real_distribution<double> height(-500.0, 4000.0);
    std::vector<double> v(count);
    for (double& x : v)
        x = height(rng);
    return v;
}

Matrix<double> terrain(int32_t n) {
    Matrix<double> grid(n, n);
    const std::vector<double> v =
        elevations(static_cast<std::size_t>(n) * static_cast<std::size_t>(n));
    for (int32_t i = 0; i < n; ++i)
        std::copy_n(v.begin() + int64_t{i} * n, n, grid[i]);
    return grid;
}

fs::path scratch(const char* name) {
    return fs::temp_directory_path() / name;
}

void BM_FormatFixed6(benchmark::State& state) {
    const std::vector<double> values = elevations(1 << 16);
    char buf[kMaxFixed6Length];
    for (auto _ : state) {
        for (double v : values)
            benchmark::DoNotOptimize(format_fixed6(v, buf));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(values.size()));
}
BENCHMARK(BM_FormatFixed6);

void BM_FormatPrintf(benchmark::State& state) {
    const std::vector<double> values = elevations(1 << 16);
    char buf[kMaxFixed6Length + 8];
    for (auto _ : state) {
        for (double v : values)
            benchmark::DoNotOptimize(std::snprintf(buf, sizeof buf, "%lf", v));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(values.size()));
}
BENCHMARK(BM_FormatPrintf);

void BM_ParseRealToken(benchmark::State& state) {
    std::vector<std::string> tokens;
    char buf[kMaxFixed6Length];
    for (double v : elevations(1 << 16))
        tokens.emplace_back(buf, format_fixed6(v, buf));
    for (auto _ : state) {
        for (const std::string& t : tokens)
            benchmark::DoNotOptimize(parse_real_token(t));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(tokens.size()));
}
BENCHMARK(BM_ParseRealToken);

// The values of a 4000 x 4000 grid, as this program writes them. arg: plain (1) or fast (0)
void BM_AsciiParse(benchmark::State& state) {
    const bool plain = state.range(0) != 0;
    const int32_t n = 4000;
    std::string text;
    char buf[kMaxFixed6Length];
    for (double v : elevations(static_cast<std::size_t>(n) * n)) {
        text.append(buf, format_fixed6(v, buf));
        text += '\t';
    }
    Matrix<double> grid(n, n);
    for (auto _ : state) {
        if (plain) {
            parse_ascii_values_reference(text, 0, grid.view(), "bench.asc");
        } else {
            parse_ascii_values(text, 0, grid.view(), "bench.asc", all_cores());
        }
    }
    state.SetItemsProcessed(state.iterations() * n * n);
}
BENCHMARK(BM_AsciiParse)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Writing a 4000 x 4000 grid's values to a file. arg: plain (1) or fast (0)
void BM_AsciiWrite(benchmark::State& state) {
    const bool plain = state.range(0) != 0;
    Matrix<double> grid = terrain(4000);
    for (auto _ : state) {
        OutputFile out(scratch("terrapivoter-bench.asc").string(), true);
        if (plain) {
            write_ascii_values_reference(grid.view(), out);
        } else {
            write_ascii_values(grid.view(), out, all_cores());
        }
        out.discard();
    }
    state.SetItemsProcessed(state.iterations() * 4000 * 4000);
}
BENCHMARK(BM_AsciiWrite)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Raster pair data of 8000 x 8000 cells (256 MB): write with conversion, then read back.
void BM_RasterWrite(benchmark::State& state) {
    Matrix<double> grid = terrain(8000);
    for (auto _ : state) {
        OutputFile out(scratch("terrapivoter-bench_m4.raw").string(), false);
        warn_clamped(out, write_raster_rows(grid.view(), 100.0, out, all_cores(), nullptr));
        out.discard();
    }
    state.SetBytesProcessed(state.iterations() * int64_t{8000} * 8000 * 4);
}
BENCHMARK(BM_RasterWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RasterRead(benchmark::State& state) {
    const fs::path base = scratch("terrapivoter-bench");
    {
        std::FILE* d = std::fopen((base.string() + "_m4.txt").c_str(), "w");
        std::fputs("8000\n8000\n4\n0\n0\n1.0\n", d);
        std::fclose(d);
        std::FILE* f = std::fopen((base.string() + "_m4.raw").c_str(), "wb");
        std::vector<int32_t> row(8000, 12345);
        for (int i = 0; i < 8000; ++i)
            std::fwrite(row.data(), 4, row.size(), f);
        std::fclose(f);
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(read_raster_pair_stored(base.string(), 100.0, all_cores()));
    }
    state.SetBytesProcessed(state.iterations() * int64_t{8000} * 8000 * 4);
    fs::remove(base.string() + "_m4.txt");
    fs::remove(base.string() + "_m4.raw");
}
BENCHMARK(BM_RasterRead)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

namespace {

// Whole-file tasks on a grid that bench/compare_peers.py writes (TERRAPIVOTER_BENCH_DIR/grid.asc),
// so that the peers read the very same file.
fs::path bench_dir() {
    const char* dir = std::getenv("TERRAPIVOTER_BENCH_DIR");
    return dir != nullptr ? fs::path(dir) : fs::path();
}

void BM_AsciiReadFile(benchmark::State& state) {
    const fs::path file = bench_dir() / "grid.asc";
    if (bench_dir().empty() || !fs::exists(file)) {
        state.SkipWithError("TERRAPIVOTER_BENCH_DIR/grid.asc is missing");
        return;
    }
    int64_t cells = 0;
    for (auto _ : state) {
        cells = read_ascii_grid(file.string(), all_cores()).values.cells();
    }
    state.SetItemsProcessed(state.iterations() * cells);
}
BENCHMARK(BM_AsciiReadFile)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AsciiWriteFile(benchmark::State& state) {
    if (bench_dir().empty()) {
        state.SkipWithError("TERRAPIVOTER_BENCH_DIR is not set");
        return;
    }
    Matrix<double> grid = terrain(4000);
    for (auto _ : state) {
        OutputFile out((bench_dir() / "ours.asc").string(), true);
        out.write(format_ascii_header({4000, 4000, 500000.0, 4000000.0, 30.0, {}}));
        write_ascii_values(grid.view(), out, all_cores());
        // Like the peers: written to the system, not synced to the disk.
        out.discard();
    }
    state.SetItemsProcessed(state.iterations() * 4000 * 4000);
}
BENCHMARK(BM_AsciiWriteFile)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
