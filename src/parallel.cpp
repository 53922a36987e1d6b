#include "parallel.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

unsigned default_threads() { return std::max(1u, std::thread::hardware_concurrency()); }

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
    for (unsigned t = 1; t < workers; ++t) helpers.emplace_back(work);
    work();
    for (std::thread& t : helpers) t.join();
    if (failure) std::rethrow_exception(failure);
}
