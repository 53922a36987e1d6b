// What a job's options make of a loaded input: its turn and its treatment. Every way in, on
// files or on grids in memory, reads its options here.
#pragma once

#include <string>

#include "job/input.h"
#include "job/input_band.h"
#include "job/job.h"
#include "job/treatment.h"

namespace terrapivoter {

// A number as short as it reads back: "-32768", "0.1".
std::string shortest_text(double v);

// UsageError unless the options give an angle the program takes.
void check_angle(const JobOptions& o);

// The turn and what the output's uncovered cells receive, for the loaded `input` (UsageError
// for a no-data background without a no-data value).
Treatment treatment_for(const JobOptions& o, const InputBand& input, const StoredUnits& units);

}  // namespace terrapivoter
