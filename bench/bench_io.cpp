#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>

#include "number_text.h"

namespace {

std::vector<double> elevations(std::size_t count) {
    std::mt19937_64 rng(2);
    std::uniform_real_distribution<double> height(-500.0, 4000.0);
    std::vector<double> v(count);
    for (double& x : v)
        x = height(rng);
    return v;
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

}  // namespace
