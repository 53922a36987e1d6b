// Every 32-bit integer in every unit: the one double division the fast reader uses gives the
// extended-precision quotient's rounding, bit for bit. Opt-in (TERRAPIVOTER_EXHAUSTIVE, label
// exhaustive): about 13 billion divisions, a few minutes on two cores.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>

#include "base/parallel.h"
#include "formats/raster_pair.h"

using namespace terrapivoter;

namespace {

TEST(Exhaustive, WorkingValuesEqualTheExtendedDivisionForEveryInteger) {
    constexpr int64_t kFirst = INT32_MIN;
    constexpr int64_t kCount = int64_t{1} << 32;
    constexpr unsigned kPieces = 4096;
    for (double coef : {10.0, 100.0, 1000.0}) {
        std::atomic<int64_t> differences{0};
        std::atomic<int64_t> first_difference{INT64_MAX};
        run_tasks(default_threads(), kPieces, [&](unsigned piece) {
            const int64_t begin = kFirst + piece_start(kCount, kPieces, piece);
            const int64_t end = kFirst + piece_start(kCount, kPieces, piece + 1);
            for (int64_t v = begin; v < end; ++v) {
                const auto value = static_cast<int32_t>(v);
                if (std::bit_cast<uint64_t>(working_value_fast(value, coef)) !=
                    std::bit_cast<uint64_t>(working_value(value, coef))) {
                    ++differences;
                    int64_t seen = first_difference.load();
                    while (v < seen && !first_difference.compare_exchange_weak(seen, v)) {
                    }
                }
            }
        });
        EXPECT_EQ(differences.load(), 0)
            << "unit " << coef << ", first at " << first_difference.load();
    }
}

}  // namespace
