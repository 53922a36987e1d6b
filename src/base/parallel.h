// Splitting work over the machine's cores.
#pragma once

#include <cstdint>
#include <functional>

namespace terrapivoter {

// Threads the program uses: every core the system offers (at least 1).
unsigned default_threads();

// Runs task(0) ... task(count - 1) on up to `threads` threads (the calling thread included) and
// returns when all are done. The first exception a task throws is rethrown here.
void run_tasks(unsigned threads, unsigned count, const std::function<void(unsigned)>& task);

// Part `part` of `parts` near-equal consecutive pieces of [0, size): its first index.
inline int64_t piece_start(int64_t size, unsigned parts, unsigned part) {
    return size * part / parts;
}

// Produces blocks 0 .. count - 1 in two alternating slots: prepare(b, slot) fills a slot,
// consume(b, slot) uses it. Consuming block b (on a thread of its own) overlaps preparing
// block b + 1, so that writing a file overlaps formatting what comes next. Blocks are consumed
// in order; an exception from either side is rethrown once both have stopped.
void pipeline(unsigned count, const std::function<void(unsigned block, unsigned slot)>& prepare,
              const std::function<void(unsigned block, unsigned slot)>& consume);

// Splits rows [first, first + count) into `threads` consecutive bands and runs
// band(t, begin, end) for each on its own thread; `t` numbers the band from 0.
void for_row_bands(unsigned threads, int64_t first, int64_t count,
                   const std::function<void(unsigned t, int32_t begin, int32_t end)>& band);

// Runs row(i, running) -> running for rows [first, first + count) in consecutive bands, one per
// thread, each band's running value starting at `start`, and returns the smallest of the bands'
// results, the first of equal ones (`start` for no rows): the smallest of a value over rows,
// as one pass in row order finds it with a strict "less than".
double smallest_over_row_bands(unsigned threads, int64_t first, int64_t count, double start,
                               const std::function<double(int32_t i, double running)>& row);

// Produces rows [0, rows) a block of `rows_per_block` at a time, for writers: prepare(slot,
// part, begin, end) makes rows [begin, end) of a block ready in one of two slots, the block's
// rows split into `threads` consecutive parts run on their own threads; emit(slot, begin, end)
// then writes the whole block, rows [begin, end), in order, while the next block is prepared.
void produce_row_blocks(
    int32_t rows, int32_t rows_per_block, unsigned threads,
    const std::function<void(unsigned slot, unsigned part, int32_t begin, int32_t end)>& prepare,
    const std::function<void(unsigned slot, int32_t begin, int32_t end)>& emit);

}  // namespace terrapivoter
