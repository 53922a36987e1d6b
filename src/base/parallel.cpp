#include "base/parallel.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace terrapivoter {

unsigned default_threads() {
    return std::max(1u, std::thread::hardware_concurrency());
}

void run_tasks(unsigned threads, unsigned count, const std::function<void(unsigned)>& task) {
    const unsigned workers = std::max(1u, std::min(threads, count));
    std::atomic<unsigned> next{0};
    std::exception_ptr failure;
    std::mutex failure_mutex;
    auto work = [&] {
        for (unsigned k; (k = next.fetch_add(1)) < count;) {
            try {
                task(k);
            } catch (...) {
                std::lock_guard lock(failure_mutex);
                if (!failure) failure = std::current_exception();
            }
        }
    };
    std::vector<std::thread> helpers;
    helpers.reserve(workers - 1);
    for (unsigned t = 1; t < workers; ++t)
        helpers.emplace_back(work);
    work();
    for (std::thread& t : helpers)
        t.join();
    if (failure) std::rethrow_exception(failure);
}

void pipeline(unsigned count, const std::function<void(unsigned, unsigned)>& prepare,
              const std::function<void(unsigned, unsigned)>& consume) {
    if (count == 0) return;
    prepare(0, 0);
    for (unsigned b = 0; b < count; ++b) {
        std::exception_ptr consume_failure;
        std::thread consumer([&] {
            try {
                consume(b, b % 2);
            } catch (...) {
                consume_failure = std::current_exception();
            }
        });
        std::exception_ptr prepare_failure;
        try {
            if (b + 1 < count) prepare(b + 1, (b + 1) % 2);
        } catch (...) {
            prepare_failure = std::current_exception();
        }
        consumer.join();
        if (consume_failure) std::rethrow_exception(consume_failure);
        if (prepare_failure) std::rethrow_exception(prepare_failure);
    }
}

void for_row_bands(unsigned threads, int64_t first, int64_t count,
                   const std::function<void(unsigned, int32_t, int32_t)>& band) {
    threads = std::max(1u, threads);
    run_tasks(threads, threads, [&](unsigned t) {
        band(t, static_cast<int32_t>(first + piece_start(count, threads, t)),
             static_cast<int32_t>(first + piece_start(count, threads, t + 1)));
    });
}

double smallest_over_row_bands(unsigned threads, int64_t first, int64_t count, double start,
                               const std::function<double(int32_t, double)>& row) {
    threads = std::max(1u, threads);
    std::vector<double> smallest(threads, start);
    for_row_bands(threads, first, count, [&](unsigned t, int32_t begin, int32_t end) {
        double running = start;
        for (int32_t i = begin; i < end; ++i)
            running = row(i, running);
        smallest[t] = running;
    });
    return *std::min_element(smallest.begin(), smallest.end());
}

void produce_row_blocks(int32_t rows, int32_t rows_per_block, unsigned threads,
                        const std::function<void(unsigned, unsigned, int32_t, int32_t)>& prepare,
                        const std::function<void(unsigned, int32_t, int32_t)>& emit) {
    rows_per_block = std::clamp(rows_per_block, 1, std::max(rows, 1));
    const auto blocks = static_cast<unsigned>((rows + rows_per_block - 1) / rows_per_block);
    auto first_row = [&](unsigned b) { return static_cast<int32_t>(b) * rows_per_block; };
    auto end_row = [&](unsigned b) { return std::min(rows, first_row(b) + rows_per_block); };
    auto prepare_block = [&](unsigned b, unsigned slot) {
        for_row_bands(
            threads, first_row(b), end_row(b) - first_row(b),
            [&](unsigned part, int32_t begin, int32_t end) { prepare(slot, part, begin, end); });
    };
    auto emit_block = [&](unsigned b, unsigned slot) { emit(slot, first_row(b), end_row(b)); };
    pipeline(blocks, prepare_block, emit_block);
}

}  // namespace terrapivoter
