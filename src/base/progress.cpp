#include "base/progress.h"

#include <algorithm>
#include <cstdio>

#include "base/failure.h"

namespace terrapivoter {

namespace {
constexpr int64_t kRedrawMs = 100;
}

Progress::Progress(const Work& work, std::string label, int64_t total, int64_t cells)
    : watch_(work.watch),
      label_(std::move(label)),
      total_(total > 0 ? total : 1),
      show_(work.show_progress && cells >= kProgressCells),
      start_(std::chrono::steady_clock::now()) {
    if (watch_ != nullptr) {
        if (watch_->cancel.load()) throw Cancelled();
        watch_->step.fetch_add(1);
        watch_->step_permille.store(0);
    }
    if (show_) {
        std::fflush(stdout);
        draw(0);
    }
}

Progress::~Progress() {
    if (!show_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
}

void Progress::advance(int64_t units) {
    const int64_t done = done_.fetch_add(units) + units;
    if (watch_ != nullptr) {
        watch_->step_permille.store(static_cast<int>(1000 * std::min(done, total_) / total_));
        if (watch_->cancel.load()) throw Cancelled();
    }
    if (!show_) return;
    const auto elapsed_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start_)
                                .count();
    int64_t next = next_draw_ms_.load();
    if (elapsed_ms < next || !next_draw_ms_.compare_exchange_strong(next, elapsed_ms + kRedrawMs)) {
        return;
    }
    std::unique_lock lock(draw_mutex_, std::try_to_lock);
    if (lock.owns_lock()) draw(done);
}

void Progress::draw(int64_t done) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const auto percent = static_cast<int>(100 * (done < total_ ? done : total_) / total_);
    std::fprintf(stderr, "\r\033[Kterrapivoter: %s: %3d%% (%.1f s)", label_.c_str(), percent,
                 seconds);
    std::fflush(stderr);
}

}  // namespace terrapivoter
