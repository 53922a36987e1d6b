// Splitting work over threads: every row or task exactly once, in the bands and the order each
// helper promises, whatever the number of threads; failures reach the caller.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "base/parallel.h"

using namespace terrapivoter;

namespace {

TEST(Parallel, RowBandsCoverEveryRowOnceInConsecutiveBands) {
    for (const int64_t count : {0, 1, 5, 64, 1001}) {
        for (const unsigned threads : {1u, 2u, 3u, 8u}) {
            std::vector<std::atomic<int>> visits(static_cast<std::size_t>(count) + 1);
            std::vector<std::pair<int32_t, int32_t>> bands(threads, {-1, -1});
            for_row_bands(threads, 7, count, [&](unsigned t, int32_t begin, int32_t end) {
                bands[t] = {begin, end};
                for (int32_t i = begin; i < end; ++i)
                    ++visits[static_cast<std::size_t>(i - 7)];
            });
            int32_t next = 7;
            for (const auto& [begin, end] : bands) {
                EXPECT_EQ(begin, next) << count << " rows, " << threads << " threads";
                EXPECT_LE(end - begin, count / threads + 1);
                next = end;
            }
            EXPECT_EQ(next, 7 + count);
            for (int64_t i = 0; i < count; ++i)
                EXPECT_EQ(visits[static_cast<std::size_t>(i)].load(), 1) << i;
        }
    }
}

TEST(Parallel, TasksRunOnceAndTheFirstFailureReachesTheCaller) {
    for (const unsigned threads : {1u, 2u, 5u}) {
        std::vector<std::atomic<int>> runs(40);
        run_tasks(threads, 40, [&](unsigned k) { ++runs[k]; });
        for (const auto& r : runs)
            EXPECT_EQ(r.load(), 1);
        std::atomic<int> ran{0};
        EXPECT_THROW(run_tasks(threads, 10,
                               [&](unsigned k) {
                                   ++ran;
                                   if (k == 3) throw std::runtime_error("task 3");
                               }),
                     std::runtime_error);
        EXPECT_EQ(ran.load(), 10);  // the other tasks still ran
    }
}

TEST(Parallel, TheSmallestOverBandsIsTheFirstSmallestInRowOrder) {
    // Rows whose values repeat: -0.0 before 0.0, and NaN never the smallest.
    const std::vector<double> values = {3, 0.0, -0.0, NAN, 1, -0.0, 0.0, 2, 5, -0.0};
    for (const unsigned threads : {1u, 2u, 3u, 4u}) {
        const double least = smallest_over_row_bands(
            threads, 0, static_cast<int64_t>(values.size()), 99.0, [&](int32_t i, double running) {
                const double v = values[static_cast<std::size_t>(i)];
                return v < running ? v : running;
            });
        EXPECT_EQ(least, 0.0);
        EXPECT_FALSE(std::signbit(least)) << threads << " threads: the first zero is +0";
        EXPECT_EQ(smallest_over_row_bands(threads, 0, 0, 99.0, nullptr), 99.0);
    }
}

TEST(Parallel, BlocksAreEmittedWholeAndInOrder) {
    for (const unsigned threads : {1u, 3u}) {
        std::vector<int> slot_rows[2] = {std::vector<int>(100, -1), std::vector<int>(100, -1)};
        std::vector<int32_t> emitted;
        produce_row_blocks(
            23, 5, threads,
            [&](unsigned slot, unsigned, int32_t begin, int32_t end) {
                for (int32_t i = begin; i < end; ++i)
                    slot_rows[slot][static_cast<std::size_t>(i)] = i;
            },
            [&](unsigned slot, int32_t begin, int32_t end) {
                for (int32_t i = begin; i < end; ++i) {
                    EXPECT_EQ(slot_rows[slot][static_cast<std::size_t>(i)], i);
                    emitted.push_back(i);
                }
            });
        std::vector<int32_t> all(23);
        for (int32_t i = 0; i < 23; ++i)
            all[static_cast<std::size_t>(i)] = i;
        EXPECT_EQ(emitted, all) << threads << " threads";
    }
}

}  // namespace
