// How a core function does its work. The program decides it in one place (engine.h).
#pragma once

#include <atomic>
#include <cstdint>

namespace terrapivoter {

class StageLog;

// What a caller in the same process sees of a running job, and how it stops it (the QGIS
// tool's progress bar and its Cancel button): each step's progress, and a request to stop that
// the next progress count answers by throwing Cancelled.
struct JobWatch {
    std::atomic<bool> cancel{false};
    std::atomic<int> step{0};           // steps begun
    std::atomic<int> step_permille{0};  // how far the latest step has got, in thousandths
};

struct Work {
    unsigned threads = 1;        // threads a step may use (at least one)
    bool reference = false;      // the plain reference methods, value by value, as the
                                 // reference build runs them; only the engine reads it
    bool show_progress = false;  // standard error is a terminal: long steps may show progress
    StageLog* stages = nullptr;  // where a benchmark wants each stage's time; none otherwise
    int64_t memory = 0;          // bytes the run may hold at once; 0: the machine's memory
    int32_t band_rows = 0;       // rows an output band may have at most; 0: as memory allows
    JobWatch* watch = nullptr;   // a caller's view of the job, if it asked for one
    bool in_library = false;     // run inside another program's process (the Python package):
                                 // the process-wide settings (the heap's) are left as they are
};

}  // namespace terrapivoter
