// The command line: one rotation from a shell or a script, with ordinary paths, asking nothing
// and reading nothing from standard input.
#pragma once

namespace terrapivoter {

class StageLog;

// Runs `terrapivoter [OPTIONS] INPUT OUTPUT` and returns the exit status: 0 when the output was
// written, 1 when the run failed, 2 on a usage error. Prints nothing on standard output but
// the help and the version. With `stages`, each stage's time is logged there (a benchmark's).
int run_command_line(int argc, char** argv, StageLog* stages = nullptr);

}  // namespace terrapivoter
