// The command line: one rotation from a shell or a script, with ordinary paths, asking nothing
// and reading nothing from standard input.
#pragma once

#include <string>
#include <vector>

#include "job/job.h"

namespace terrapivoter {

class StageLog;

// The job that `args` describe (the options and the two paths, as typed after the program's
// name), every value read and checked as run_command_line reads it: UsageError in its words.
Job job_of_arguments(const std::vector<std::string>& args);

// Runs `terrapivoter [OPTIONS] INPUT OUTPUT` (`args` as for job_of_arguments) and returns the
// exit status: 0 when the output was written, 1 when the run failed, 2 on a usage error. Prints
// nothing on standard output but the help and the version. With `stages`, each stage's time is
// logged there (a benchmark's).
int run_command_line(const std::vector<std::string>& args, StageLog* stages = nullptr);

}  // namespace terrapivoter
