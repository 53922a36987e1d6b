// The dialogue: the program's questions in a fixed order on standard output, the answers from
// standard input, in three phases over one run-state record: `opening` picks and loads the input
// and prepares the output, `parameters` asks for the reference point and the angle, `treatment`
// rotates, fills and writes.
#pragma once

namespace terrapivoter {

// Runs the whole dialogue. Failures propagate (Failure, MissingInputFile) once the temporary
// outputs are removed.
void run_dialogue();

}  // namespace terrapivoter
