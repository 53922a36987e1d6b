// How long each stage of a run took, for the benchmark that lays a whole run out beside the
// sum of its parts. A run without a log times nothing.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "base/work.h"

namespace terrapivoter {

class StageLog {
  public:
    void add(std::string stage, double seconds) {
        entries_.emplace_back(std::move(stage), seconds);
    }
    const std::vector<std::pair<std::string, double>>& entries() const { return entries_; }

  private:
    std::vector<std::pair<std::string, double>> entries_;
};

// Adds the time from its making to its end, under `stage`, to work.stages when there is one.
class StageTimer {
  public:
    StageTimer(const Work& work, const char* stage)
        : log_(work.stages), stage_(stage), start_(std::chrono::steady_clock::now()) {}
    ~StageTimer() {
        if (log_ == nullptr) return;
        log_->add(stage_,
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count());
    }
    StageTimer(const StageTimer&) = delete;
    StageTimer& operator=(const StageTimer&) = delete;

  private:
    StageLog* log_;
    const char* stage_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace terrapivoter
