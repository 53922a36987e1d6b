#include <benchmark/benchmark.h>

#include <random>

#include "base/parallel.h"
#include "bench_support.h"
#include "io/memory_budget.h"
#include "job/engine.h"
#include "job/grid_job.h"
#include "rotation/empty_cells.h"

using namespace terrapivoter;

namespace {

// The grids are made as the program makes those it reads (on huge pages where the system
// offers them, as numpy's are for the peers).
Matrix<double> terrain(int32_t n) {
    Matrix<double> grid = fresh_grid<double>(n, n, default_threads());
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> height(100.0, 900.0);
    for (int32_t i = 0; i < n; ++i) {
        for (int32_t j = 0; j < n; ++j)
            grid[i][j] = height(rng);
    }
    return grid;
}

// args: grid side, angle in tenths of a degree; the sweep into an emptied grid about the centre.
void sweep(benchmark::State& state, Work work) {
    const auto n = static_cast<int32_t>(state.range(0));
    const double angle = static_cast<double>(state.range(1)) / 10.0;
    Matrix<double> in = terrain(n);
    Matrix<double> out = fresh_grid<double>(n, n, default_threads());
    for (auto _ : state) {
        state.PauseTiming();
        mark_empty(out.view(), all_cores());
        state.ResumeTiming();
        rotate(in.view(), out.view(), {n * 0.5, n * 0.5, angle}, work);
        benchmark::DoNotOptimize(out[0][0]);
    }
    state.SetItemsProcessed(state.iterations() * n * n);
}

void BM_SweepReference(benchmark::State& state) {
    sweep(state, {.threads = 1, .reference = true});
}
BENCHMARK(BM_SweepReference)->Args({1000, 300})->Args({1000, -173})->Unit(benchmark::kMillisecond);

void BM_Sweep(benchmark::State& state) {
    sweep(state, all_cores());
}
BENCHMARK(BM_Sweep)
    ->Args({4000, 300})
    ->Args({4000, 450})
    ->Args({4000, 900})
    ->Args({4000, -173})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// args: grid side, angle in tenths of a degree, method (1 nearest, 2 bilinear, 3 cubic); every
// output cell resampled about the centre (no emptying: every cell is written).
void BM_Resample(benchmark::State& state) {
    const auto n = static_cast<int32_t>(state.range(0));
    const double angle = static_cast<double>(state.range(1)) / 10.0;
    const auto method = static_cast<Resampling>(state.range(2));
    Matrix<double> in = terrain(n);
    Matrix<double> out = fresh_grid<double>(n, n, default_threads());
    for (auto _ : state) {
        resample(in.view(), out.view(), {n * 0.5, n * 0.5, angle}, {}, method, std::nullopt,
                 all_cores());
        benchmark::DoNotOptimize(out[0][0]);
    }
    state.SetItemsProcessed(state.iterations() * n * n);
}
BENCHMARK(BM_Resample)
    ->ArgsProduct({{4000}, {300, 450, -173}, {1, 2, 3}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_HoleFilling(benchmark::State& state) {
    const auto n = static_cast<int32_t>(state.range(0));
    Matrix<double> in = terrain(n);
    Matrix<double> out = empty_grid(n, n);
    rotate(in.view(), out.view(), {n * 0.5, n * 0.5, 30}, all_cores());
    Matrix<double> work(n, n);
    for (auto _ : state) {
        state.PauseTiming();
        for (int32_t i = 0; i < n; ++i)
            std::copy(out[i], out[i] + n, work[i]);
        state.ResumeTiming();
        fill_holes_and_background(work.view(), std::nullopt, all_cores());
    }
    state.SetItemsProcessed(state.iterations() * n * n);
}
BENCHMARK(BM_HoleFilling)->Arg(4000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The whole job on a grid in memory, as the Python package runs it: the turned grid made, swept,
// its holes filled and its background given. args: grid side, angle in tenths of a degree.
void BM_TurnGrid(benchmark::State& state) {
    const auto n = static_cast<int32_t>(state.range(0));
    Matrix<double> in = terrain(n);
    JobOptions options;
    options.angle = static_cast<double>(state.range(1)) / 10.0;
    for (auto _ : state) {
        TurnedGrid turned = turn_grid(in.view(), options);
        benchmark::DoNotOptimize(turned.cells.data()[0]);
    }
    state.SetItemsProcessed(state.iterations() * n * n);
}
BENCHMARK(BM_TurnGrid)
    ->ArgsProduct({{4000}, {300, 450, -173}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
