// One line on standard error, rewritten in place, that tells how far a long step has got.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "base/work.h"

namespace terrapivoter {

class Progress {
  public:
    // The progress of a step that counts `total` units over a grid of `cells` cells. It is
    // drawn only when `work` may show progress (standard error is a terminal) and the grid is
    // large enough for the wait to be noticed; otherwise it draws nothing at all.
    Progress(const Work& work, std::string label, int64_t total, int64_t cells);
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    // Clears the line.
    ~Progress();

    // Counts `units` more as done; any thread may call it. Redraws at most ten times a second.
    void advance(int64_t units);

  private:
    void draw(int64_t done);

    JobWatch* const watch_;
    const std::string label_;
    const int64_t total_;
    const bool show_;
    const std::chrono::steady_clock::time_point start_;
    std::atomic<int64_t> done_{0};
    std::atomic<int64_t> next_draw_ms_{0};
    std::mutex draw_mutex_;
};

// Grids from this many cells up show their progress (where progress may be shown at all).
inline constexpr int64_t kProgressCells = 1000000;

// Counts units on an optional Progress.
inline void advance(Progress* progress, int64_t units) {
    if (progress != nullptr) progress->advance(units);
}

}  // namespace terrapivoter
